#!/usr/bin/env python3
"""Posts with kestrun (the Linux program, or the Windows one under wine) to a
private INN server, reads each article back and compares it with what the
program is meant to send; then checks the failure exits."""
import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import nntp_read  # noqa: E402

ap = argparse.ArgumentParser()
ap.add_argument("--program", required=True)
ap.add_argument("--runner", default="")
ap.add_argument("--server", required=True)
ap.add_argument("--user-agent", required=True)
ap.add_argument("--url", required=True)
opts = ap.parse_args()

windows = opts.program.lower().endswith(".exe")
env = dict(os.environ)
if windows:
    env.update(LANG="pl_PL.UTF-8", LC_ALL="pl_PL.UTF-8", WINEDEBUG="-all")
    console, eol = "cp852", "\r\n"
else:
    env.update(LANG="C.UTF-8", LC_ALL="C.UTF-8")
    console, eol = "utf-8", "\n"

failures = []


def check(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else ": " + detail))
    if not ok:
        failures.append(what)


def run(args):
    cmd = ([opts.runner] if opts.runner else []) + [opts.program] + args
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=120)
    return r.returncode, r.stdout.decode(console, "replace")


def body_file(data):
    f = tempfile.NamedTemporaryFile(delete=False, suffix=".txt")
    f.write(data)
    f.close()
    return f.name


def expected_body(data):
    # The server keeps lines in CR LF form; the end marker always begins with
    # its own CR LF, so the stored body gets one more line end.
    text = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return text + b"\r\n"


def post_and_compare(name, body, author="Jan Kowalski <jan.kowalski@example.invalid>", subject=None):
    subject = subject or "kestrun test: " + name
    path = body_file(body)
    try:
        code, out = run([opts.server, author, "pl.test", subject, path])
    finally:
        os.unlink(path)
    check(name + ": exit 0 and 'Artykuł wysłano'", code == 0 and out == "Artykuł wysłano" + eol, "%d %r" % (code, out))
    if code != 0:
        return
    reader = nntp_read.Reader(opts.server)
    try:
        headers, stored = nntp_read.split_article(reader.last_article("pl.test"))
    finally:
        reader.close()
    h = lambda n: nntp_read.header(headers, n)
    check(name + ": Subject", nntp_read.decoded(h("Subject")) == subject, repr(h("Subject")))
    check(name + ": From", nntp_read.decoded(h("From")) == author.replace('"', ""), repr(h("From")))
    check(name + ": Newsgroups", h("Newsgroups") == b"pl.test", repr(h("Newsgroups")))
    check(name + ": User-Agent", h("User-Agent") == opts.user_agent.encode(), repr(h("User-Agent")))
    check(name + ": MIME headers",
          h("Mime-Version") == b"1.0" and h("Content-Type") == b"text/plain; charset=Windows-1250"
          and h("Content-Transfer-Encoding") == b"8bit", repr(headers))
    check(name + ": X-User-Agent-Url", h("X-User-Agent-Url") == opts.url.encode(), repr(h("X-User-Agent-Url")))
    for n, v in headers:
        long_line = [l for l in (n.encode() + b": " + v).split(b"\r\n") if len(l) > 78 and n in ("From", "Subject")]
        if long_line:
            check(name + ": folded " + n, False, repr(long_line))
    check(name + ": body", stored == expected_body(body), "%r != %r" % (stored[:200], expected_body(body)[:200]))


post_and_compare("lone dot line", b"before\r\n.\r\nafter\r\n")
post_and_compare("leading dots", b".one\r\n..two\r\nmid.dle\r\n.\r\n")
post_and_compare("LF-only line ends", b"first\nsecond\n.third\n")
post_and_compare("no final line end", b"line\r\nlast without end")
post_and_compare("empty body", b"")
post_and_compare("Polish subject and author", "Zażółć gęślą jaźń\r\n".encode("cp1250"),
                 author='"Łucja Wiśniewska" <lucja@example.invalid>', subject="Zażółć gęślą jaźń — próba")
post_and_compare("long Polish subject", b"body\r\n", subject="Źdźbło " * 30 + "koniec")
post_and_compare("large body", (b"x" * 999 + b"\r\n") * 2000)

path = body_file(b"body\r\n")
try:
    code, out = run(["127.0.0.9", "a <a@example.invalid>", "pl.test", "refused", path])
    check("refused port: exit 2", code == 2 and out == "Połączenie niemożliwe" + eol, "%d %r" % (code, out))
    code, out = run(["no-such-server.invalid", "a <a@example.invalid>", "pl.test", "unresolvable", path])
    check("unresolvable name: exit 2", code == 2 and out == "Połączenie niemożliwe" + eol, "%d %r" % (code, out))
    code, out = run([opts.server, "a <a@example.invalid>", "pl.nie.istnieje", "refused group", path])
    lines = out.split(eol)
    check("refused group: exit 3", code == 3 and lines[0] == "Błąd serwera:" and lines[1].startswith("441 ")
          and len(lines) == 3, "%d %r" % (code, out))
    missing = os.path.join(tempfile.gettempdir(), "kestrun-no-such-file.txt")
    code, out = run([opts.server, "a <a@example.invalid>", "pl.test", "missing file", missing])
    check("missing file: exit 1 naming the file", code == 1 and missing in out, "%d %r" % (code, out))
    code, out = run([opts.server, "a <a@example.invalid>", "pl.test", "two\r\nControl: cancel <x@y>", path])
    check("line break in a header argument: exit 1", code == 1 and "temat" in out, "%d %r" % (code, out))
finally:
    os.unlink(path)



def silent_server(address, script):
    """A news server on ADDRESS:119 that answers with SCRIPT (a list of
    lines, one per line received, the first one unasked) and then says
    nothing more."""
    import socket
    import threading
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind((address, 119))
    srv.listen(1)

    def serve():
        try:
            conn, _ = srv.accept()
        except OSError:
            return
        f = conn.makefile("rb")
        for i, line in enumerate(script):
            if i > 0 and not f.readline():
                break
            conn.sendall(line.encode() + b"\r\n")
        while f.readline():
            pass
        conn.close()

    threading.Thread(target=serve, daemon=True).start()
    return srv


def interrupted(name, script, want_code, want_first_line):
    """Ctrl-C while the program waits on a server that has gone quiet."""
    import signal
    import time
    srv = silent_server("127.0.0.4", script)
    path = body_file(b"body\r\n")
    try:
        p = subprocess.Popen([opts.program, "127.0.0.4", "a <a@example.invalid>", "pl.test", name, path],
                             stdout=subprocess.PIPE, env=env)
        time.sleep(1.0)
        still_waiting = p.poll() is None
        p.send_signal(signal.SIGINT)
        out, _ = p.communicate(timeout=30)
        out = out.decode(console)
        check(name, still_waiting and p.returncode == want_code and out.startswith(want_first_line + eol),
              "waiting %s, exit %s, %r" % (still_waiting, p.returncode, out))
    finally:
        srv.close()
        os.unlink(path)


if not windows:  # wine turns a signal into a console event only for a real console
    interrupted("Ctrl-C before the greeting: exit 2", [], 2, "Połączenie niemożliwe")
    interrupted("Ctrl-C while waiting for the final reply: exit 3", ["200 ready", "340 send it"], 3, "Błąd serwera:")

sys.exit(1 if failures else 0)
