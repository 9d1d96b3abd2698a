"""What the integration tests share: their options, running a program
(through the runner under wine) in the console's encoding, the tally of
checks, a scripted news server, a port held closed, finding a test's own
article on a shared server by the tag in its subject, and INN's reader on
::1."""
import argparse
import os
import re
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import nntp_read  # noqa: E402

failures = []
_opts = None


def options(*required):
    """Parses --runner and the given options (all required); `windows` tells
    whether --program (or --fetch) is the Windows build."""
    global _opts
    ap = argparse.ArgumentParser()
    for name in required:
        ap.add_argument(name, required=True)
    ap.add_argument("--runner", default="")
    opts = ap.parse_args()
    program = getattr(opts, "program", None) or getattr(opts, "fetch", "")
    opts.windows = program.lower().endswith(".exe")
    _opts = opts
    return opts


def console_env():
    """The environment the programs run in, the console's encoding and its
    line end: the Windows programs show Polish through code page 852."""
    env = dict(os.environ)
    for name in ("KESTRUN_IDLE_TIMEOUT", "KESTRUN_SOCKS", "NETRC"):
        env.pop(name, None)
    if _opts.windows:
        env.update(LANG="pl_PL.UTF-8", LC_ALL="pl_PL.UTF-8", WINEDEBUG="-all")
        return env, "cp852", "\r\n"
    env.update(LANG="C.UTF-8", LC_ALL="C.UTF-8")
    return env, "utf-8", "\n"


def check(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok or not detail else ": " + detail))
    if not ok:
        failures.append(what)


def command(cmd):
    return ([_opts.runner] if _opts.runner else []) + cmd


def run(cmd, env, cwd=None, stdin_bytes=None):
    return subprocess.run(command(cmd), env=env, cwd=cwd, input=stdin_bytes, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=300)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def native_path(path):
    # The Windows programs see the Linux file system as drive Z:.
    return "Z:" + path.replace("/", "\\") if _opts.windows else path


def unique_tag():
    """A word no other test run puts in its articles."""
    return "k%dx%dk" % (os.getpid(), time.monotonic_ns())


def finish():
    if failures:
        print("%d failed: %s" % (len(failures), ", ".join(failures)))
    sys.exit(1 if failures else 0)


class ClosedPort:
    """Port 119 of a loopback address, bound but not listening, for as long
    as the object lives: a connection there is refused, and nothing else can
    start listening on it meanwhile."""

    def __init__(self, address, port=119):
        self.sock = socket.socket()
        # An earlier run's connections to the port may still be in TIME-WAIT;
        # the address is this test's own, so no stranger can share the port.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.sock.close()


class ScriptedServer:
    """A news server for one connection on address:port (port 0: a free one,
    then in `port`). `script(server, conn, f)` plays the server's part (f
    reads the connection); then whatever the client sends is read and
    dropped. A list of scripts serves as many connections, one after the
    other. `accepted` and `article_in` are set as the client gets that far."""

    def __init__(self, address, script, port=119):
        self.srv = socket.socket()
        self.srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.srv.bind((address, port))
        self.port = self.srv.getsockname()[1]
        self.srv.listen(1)
        self.accepted = threading.Event()
        self.article_in = threading.Event()
        self.thread = threading.Thread(target=self._serve, args=(script,), daemon=True)
        self.thread.start()

    def _serve(self, script):
        # A list of scripts plays one connection each, in turn.
        for one in script if isinstance(script, list) else [script]:
            try:
                conn, _ = self.srv.accept()
            except OSError:
                return
            self.accepted.set()
            f = conn.makefile("rb")
            try:
                one(self, conn, f)
                while f.read(65536):
                    pass
            except OSError:
                pass
            conn.close()

    def read_article(self, f):
        """Takes an article up to its end marker; returns it as received."""
        got = []
        for line in iter(f.readline, b""):
            if line == b".\r\n":
                break
            got.append(line)
        self.article_in.set()
        return b"".join(got)

    def close(self):
        try:
            self.srv.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.srv.close()
        self.thread.join(timeout=30)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# An answer that ends with this is sent, then the connection is dropped.
CLOSE = b"<close>"


def answering(answer):
    """A script that greets, then answers each command line with
    answer(line); after a 340 it takes the article and answers
    answer("<article>")."""

    def script(server, conn, f):
        conn.sendall(b"200 scripted server ready\r\n")
        for line in iter(f.readline, b""):
            reply = answer(line.rstrip(b"\r\n").decode("latin-1"))
            if reply.endswith(CLOSE):
                conn.sendall(reply[:-len(CLOSE)])
                conn.shutdown(socket.SHUT_RDWR)
                return
            conn.sendall(reply)
            if reply.startswith(b"340"):
                server.read_article(f)
                conn.sendall(answer("<article>"))

    return script


def _data_lines(f):
    for line in iter(f.readline, b""):
        if line == b".\r\n":
            return
        yield line


def _text(value):
    try:
        return nntp_read.decoded(value)
    except (UnicodeError, LookupError, ValueError):
        return value.decode("latin-1")


def find_article(server, group, tag):
    """The article of the group whose subject holds `tag`, as stored (None
    when there is none): other tests post to the same group meanwhile, so
    the newest article need not be ours."""
    reader = nntp_read.Reader(server)
    try:
        reply = reader.command("GROUP " + group)
        if not reply.startswith(b"211"):
            raise RuntimeError("GROUP: %r" % reply)
        first, last = reply.split()[2:4]
        reply = reader.command("XOVER %s-%s" % (first.decode(), last.decode()))
        if not reply.startswith(b"224"):
            raise RuntimeError("XOVER: %r" % reply)
        found = None
        for line in _data_lines(reader.file):
            fields = line.rstrip(b"\r\n").split(b"\t")
            if len(fields) > 4 and tag in _text(fields[1]):
                found = fields[4].decode()
        if found is None:
            return None
        reply = reader.command("ARTICLE " + found)
        if not reply.startswith(b"220"):
            raise RuntimeError("ARTICLE: %r" % reply)
        return b"".join(l[1:] if l.startswith(b"..") else l for l in _data_lines(reader.file))
    finally:
        reader.close()


def relay(address, port, scratch):
    """A relay of our own (the benchmarks' slow link, at full speed) from a
    free port of `address` to its `port`, which counts the bytes of each
    connection: (process, its port, its log, connections seen)."""
    log = os.path.join(scratch, "relay-%d.log" % port)
    probe = socket.socket()
    probe.bind((address, 0))
    listen = probe.getsockname()[1]
    probe.close()
    proc = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                                          "bench", "slow_link.py"),
                             address, str(listen), address, str(port), "--log", log],
                            stdout=subprocess.PIPE)
    proc.stdout.readline()
    return proc, listen, log, [0]


def through(relay_state, run):
    """Runs `run` (one connection through the relay) and returns its result
    and what the connection carried, UP and DOWN. The relay notes a
    connection once both its ends have closed, which may come just after the
    program has ended: waited for, so that each run reads its own line."""
    proc, port, log, seen = relay_state
    result = run()
    for _ in range(500):
        try:
            lines = open(log).read().splitlines()
        except OSError:
            lines = []
        if len(lines) > seen[0]:
            seen[0] += 1
            return result, tuple(int(x) for x in lines[seen[0] - 1].split())
        time.sleep(0.01)
    return result, (0, 0)


class Ipv6Reader:
    """INN's reader daemon serving a port of ::1 for the INN that
    scripts/inn.sh started in `inn_dir` (its innd stays on its IPv4 address):
    NNTPS when `tls`, with that INN's certificate, else plain. The port is a
    free one of ::1; the daemon is stopped by the pid that listens there,
    since it renames its process."""

    NNRPD = "/usr/lib/news/bin/nnrpd"

    def __init__(self, inn_dir, tls=False):
        probe = socket.socket(socket.AF_INET6)
        probe.bind(("::1", 0))
        self.port = probe.getsockname()[1]
        probe.close()
        self.tls = tls
        certs = os.path.join(inn_dir, "etc", "tls")
        # As inn.sh starts its NNTPS daemon: the test CA is its whole trust
        # store, so that it does not read the system's for every connection.
        env = dict(os.environ, INNCONF=os.path.join(inn_dir, "etc", "inn.conf"),
                   SSL_CERT_FILE=os.path.join(certs, "ca.pem"), SSL_CERT_DIR=certs)
        with open(os.path.join(inn_dir, "log", "nnrpd-ipv6.out"), "ab") as log:
            subprocess.run([self.NNRPD, "-D", "-6", "::1", "-p", str(self.port)] + (["-S"] if tls else []),
                           env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log, check=True, timeout=60)
        self.ca = os.path.join(certs, "ca.pem")
        self._wait_for_greeting()

    def _wait_for_greeting(self):
        deadline = time.monotonic() + 30
        while True:
            try:
                with socket.create_connection(("::1", self.port), timeout=5) as s:
                    if self.tls:
                        ctx = ssl.create_default_context(cafile=self.ca)
                        with ctx.wrap_socket(s, server_hostname="::1") as t:
                            greeting = t.recv(3)
                    else:
                        greeting = s.recv(3)
                if greeting in (b"200", b"201"):
                    return
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("nnrpd does not greet on [::1]:%d" % self.port)
            time.sleep(0.05)

    def close(self):
        out = subprocess.run(["ss", "-Hltnp", "src [::1]:%d" % self.port], stdout=subprocess.PIPE,
                             text=True).stdout
        for pid in sorted({int(p) for p in re.findall(r"pid=(\d+)", out)}):
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                continue
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                try:
                    os.kill(pid, 0)
                except ProcessLookupError:
                    break
                time.sleep(0.05)
            else:
                os.kill(pid, signal.SIGKILL)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
