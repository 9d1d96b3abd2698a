#!/usr/bin/env python3
"""What a new user meets first, against scripted servers on free ports of
127.0.0.1: the dry run (the article as a recording server receives it, and
no connection), the dialogue trace with a netrc login (the dialogue there,
the password nowhere), a STARTTLS that the server refuses with 580 (with
and without KESTRUN_PLAIN_LOGIN=1), and the hint when no netrc entry
answers a 480. With --fresh-prefix (Windows build only) the program runs
instead in a default wine prefix made for the test, without a display."""
import os
import shlex
import shutil
import socket
import subprocess
import tempfile
import time

from harness import ScriptedServer, check, command, console_env, finish, native_path, options

opts = options("--program")
env, console, eol = console_env()
for name in ("KESTRUN_TRACE", "KESTRUN_DRY_RUN", "KESTRUN_PLAIN_LOGIN", "KESTRUN_COMPRESS"):
    env.pop(name, None)
scratch = tempfile.mkdtemp()
PASSWORD = "Sekret-7-ZX"


class Listener:
    """A port of 127.0.0.1 that listens and never accepts: once the program
    has ended, a connection it made waits in the queue."""

    def __init__(self):
        self.srv = socket.socket()
        self.srv.bind(("127.0.0.1", 0))
        self.srv.listen(4)
        self.port = self.srv.getsockname()[1]

    def url(self):
        return "nntp://127.0.0.1:%d" % self.port

    def connected(self):
        self.srv.setblocking(False)
        try:
            self.srv.accept()[0].close()
            return True
        except BlockingIOError:
            return False
        finally:
            self.srv.close()


class Recorder(ScriptedServer):
    """A news server for one connection on a free port of 127.0.0.1, which
    records every byte it receives. `replies` maps a command's first words
    to the answer; the article after a 340 is recorded apart (up to and
    with its end marker) and answered 240."""

    def __init__(self, replies):
        self.replies = replies
        self.received = b""
        self.articles = []
        self.connections = 0
        super().__init__("127.0.0.1", self.record, port=0)

    def answer(self, line):
        for start, reply in self.replies:
            if line.upper().startswith(start):
                return reply
        return b"500 what?\r\n"

    def record(self, _server, conn, f):
        self.connections += 1
        conn.sendall(b"200 recorder ready\r\n")
        for line in iter(f.readline, b""):
            self.received += line
            reply = self.answer(line.rstrip(b"\r\n"))
            if callable(reply):
                reply = reply()
            conn.sendall(reply)
            if reply.startswith(b"340"):
                article = b""
                for data in iter(f.readline, b""):
                    article += data
                    if data == b".\r\n":
                        break
                self.received += article
                self.articles.append(article)
                conn.sendall(b"240 article posted\r\n")

    def url(self):
        return "nntp://127.0.0.1:%d" % self.port


def post(server, extra_env, body=b"Tresc\n.kropka\nzazolc\n", run_env=None):
    path = os.path.join(scratch, "body.txt")
    with open(path, "wb") as f:
        f.write(body)
    e = dict(run_env or env, **extra_env)
    r = subprocess.run(command([opts.program, server, "Jan Kowalski <jan@example.invalid>", "pl.test",
                                "Zażółć gęślą jaźń", native_path(path)]),
                       env=e, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    return r.returncode, r.stdout, r.stderr


def netrc(entry):
    path = os.path.join(scratch, "netrc")
    with open(path, "w") as f:
        f.write(entry)
    os.chmod(path, 0o600)
    return {"NETRC": native_path(path)}, native_path(path)


def without_message_id(article):
    # A Message-ID made afresh for each run is no difference in the article.
    return b"".join(l for l in article.splitlines(True) if not l.lower().startswith(b"message-id:"))


def fresh_prefix_run(prefix):
    """The program in a default wine prefix (no graphics driver chosen)
    with no display: it posts, or says within seconds why it cannot."""
    wine_env = dict(env, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    wine_env.pop("DISPLAY", None)
    wine_env.pop("WAYLAND_DISPLAY", None)
    if not os.path.exists(os.path.join(prefix, ".kestrun-fresh")):
        shutil.rmtree(prefix, ignore_errors=True)
        os.makedirs(prefix)
        subprocess.run(["wineboot", "-i"], env=wine_env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
        open(os.path.join(prefix, ".kestrun-fresh"), "w").close()
    body = os.path.join(scratch, "h.txt")
    with open(body, "wb") as f:
        f.write(b"x\n")
    server = Recorder([(b"POST", b"340 send it\r\n")])
    started = time.monotonic()
    try:
        r = subprocess.run(["wine", opts.program, server.url(), "A <a@example.invalid>", "pl.test",
                            "headless", native_path(body)],
                           env=dict(wine_env, KESTRUN_IDLE_TIMEOUT="5"), stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=60)
    except subprocess.TimeoutExpired:
        r = None
    finally:
        server.close()
        subprocess.run(["wineserver", "-k"], env=wine_env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    took = time.monotonic() - started
    check("fresh default prefix, no display: the program ends on its own", r is not None,
          "still running after 60 s")
    if r is not None:
        check("fresh default prefix, no display: posted", r.returncode == 0 and len(server.articles) == 1,
              "exit %d after %.1f s: %r %r" % (r.returncode, took, r.stdout[-300:], r.stderr[-300:]))


if os.environ.get("KESTRUN_FRESH_PREFIX"):
    fresh_prefix_run(os.environ["KESTRUN_FRESH_PREFIX"])
    shutil.rmtree(scratch, ignore_errors=True)
    finish()

# The dry run prints what a recording server receives after its 340, byte
# for byte, and connects nowhere.
for name, body in (("dots and Polish", "Treść\n.kropka\n..dwie\nzażółć\n".encode()),
                   ("no final line end", b"bez konca"),
                   ("CR LF lines", b"a\r\n.\r\nb\r\n")):
    listener = Listener()
    code, out, err = post(listener.url(), {"KESTRUN_DRY_RUN": "1"}, body)
    connected = listener.connected()
    recorder = Recorder([(b"POST", b"340 send it\r\n")])
    pcode, _, perr = post(recorder.url(), {}, body)
    recorder.close()
    sent = recorder.articles[0] if recorder.articles else b""
    check("dry run, %s: exit 0, no connection" % name, code == 0 and not connected,
          "exit %d, connected: %s, %r" % (code, connected, err[-200:]))
    check("dry run, %s: the article as the server received it" % name,
          pcode == 0 and sent and without_message_id(out) == without_message_id(sent),
          "posting exit %d; dry run %r; server %r" % (pcode, out[-200:], sent[-200:]))

# The trace of a netrc login: the dialogue, the connection step, the
# password nowhere (it did go to the server).
server = Recorder([(b"POST", lambda: b"340 send it\r\n" if b"AUTHINFO PASS" in server.received
                    else b"480 login first\r\n"),
                   (b"CAPABILITIES", b"101 list\r\nVERSION 2\r\nREADER\r\nAUTHINFO USER\r\n.\r\n"),
                   (b"AUTHINFO USER", b"381 password\r\n"), (b"AUTHINFO PASS", b"281 welcome\r\n")])
login, _ = netrc("machine 127.0.0.1 login jan password %s\n" % PASSWORD)
code, out, err = post(server.url(), dict(login, KESTRUN_TRACE="1", KESTRUN_PLAIN_LOGIN="1"))
server.close()
trace = err.decode("latin-1")
check("trace: posted after the login", code == 0 and PASSWORD.encode() in server.received,
      "exit %d: %r" % (code, err[-300:]))
for step in ("* connecting to 127.0.0.1:%d" % server.port, "* connected to", "< 200 recorder ready",
             "> POST", "< 480 login first", "> CAPABILITIES", "> AUTHINFO USER jan",
             "> AUTHINFO PASS ********", "< 281 welcome", "< 240 article posted"):
    check("trace shows %r" % step, step in trace, trace[-600:])
check("trace: the password nowhere", PASSWORD.encode() not in err + out)
server = Recorder([(b"POST", b"340 go\r\n")])
code, out, err = post(server.url(), {})
server.close()
check("no trace unless asked for", code == 0 and b"> POST" not in err and b"< 200" not in err, repr(err))

# STARTTLS offered, then refused with 580: in clear only when allowed.
for name, allow, want_code, want_pass in (("KESTRUN_PLAIN_LOGIN=1", "1", 0, True),
                                          ("no KESTRUN_PLAIN_LOGIN", None, 3, False)):
    server = Recorder([(b"POST", lambda: b"340 send it\r\n" if b"AUTHINFO PASS" in server.received
                        else b"480 login first\r\n"),
                       (b"CAPABILITIES", b"101 list\r\nVERSION 2\r\nSTARTTLS\r\nAUTHINFO\r\n.\r\n"),
                       (b"STARTTLS", b"580 cannot start TLS\r\n"),
                       (b"AUTHINFO USER", b"381 password\r\n"), (b"AUTHINFO PASS", b"281 welcome\r\n")])
    extra = dict(login, **({"KESTRUN_PLAIN_LOGIN": allow} if allow else {}))
    code, out, err = post(server.url(), extra)
    server.close()
    text = err.decode(console, "replace")
    check("580, %s: exit %d" % (name, want_code), code == want_code, "exit %d: %r" % (code, text))
    check("580, %s: the password %s" % (name, "sent" if want_pass else "never sent"),
          (PASSWORD.encode() in server.received) == want_pass)
    if not want_pass:
        check("580, %s: the hint says why and how" % name,
              "STARTTLS" in text and "580" in text and "KESTRUN_PLAIN_LOGIN=1" in text, text)

# A 480 and no entry for the server: where the login was looked for.
server = Recorder([(b"POST", b"480 login first\r\n"), (b"CAPABILITIES", b"101 list\r\nAUTHINFO USER\r\n.\r\n")])
other, path = netrc("machine news.example.org login jan password x\n")
code, out, err = post(server.url(), other)
server.close()
text = err.decode(console, "replace")
check("480 without an entry: exit 3, the file and the host named",
      code == 3 and path in text and "machine 127.0.0.1" in text, "exit %d: %r" % (code, text))

# The Windows program on wine's console in a UTF-8 terminal (a pseudo
# terminal made by script(1)) writes characters: the letters come through.
if opts.windows and shutil.which("script"):
    server = Recorder([(b"POST", b"340 send it\r\n")])
    path = os.path.join(scratch, "body.txt")
    line = " ".join(shlex.quote(a) for a in command([opts.program, server.url(), "A <a@example.invalid>",
                                                     "pl.test", "konsola", native_path(path)]))
    r = subprocess.run(["script", "-qec", line, "/dev/null"], env=dict(env, LANG="C.UTF-8", LC_ALL="C.UTF-8"),
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    server.close()
    check("wine console in a UTF-8 terminal: the Polish letters shown",
          "Artykuł wysłano".encode() in r.stdout, repr(r.stdout[-200:]))

shutil.rmtree(scratch, ignore_errors=True)
finish()
