#!/usr/bin/env python3
"""TLS servers for the socket component's TLS tests, on one loopback address.

    tls_peer.py start ADDRESS DIR    makes the test certificates in DIR/certs
                                     (scripts/tls-certs.sh), starts the
                                     servers, returns once they listen
    tls_peer.py stop DIR             stops them

Ports on ADDRESS:
  4430  good certificate, TLS 1.2: the greeting "200 ready sni=NAME" (NAME
        the SNI the client sent, "-" for none) goes out in the same write as
        the server's last handshake records; then the commands below
  4431  wrongname.pem   4432  expired.pem   4433  unknown-ca.pem
  4434  answers the ClientHello with bytes that are no TLS
  4435  plain "200 plain" first; "STARTTLS" is answered "382 go ahead" and
        TLS (good certificate) follows; then the commands below
  4436  reads the ClientHello and closes
  4437  good certificate, but TLS 1.0 and 1.1 only
  4438  a news server in clear: its greeting at once, then it waits
  4439  as 4435, but a forged line rides behind "382 go ahead" in the same
        write, in clear: "INJECTED forged line"

Commands (lines inside TLS):
  ECHO n      the next n bytes are sent back as they come
  SEND n      n bytes of numbered lines ("%07d" and CR LF each, the last cut
              short), then close_notify and the TCP close
  TAG t       names this connection; STATUS t (on another one) answers
              "STATUS close_notify" or "STATUS eof": how the client ended it
  BYE         "205 bye", close_notify, then the TCP close
  DROP        "205 drop", then the TCP close without close_notify
"""
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
CERTS_SCRIPT = os.path.join(HERE, "..", "..", "scripts", "tls-certs.sh")
BASE = 4430

statuses = {}
statuses_lock = threading.Lock()


class Session:
    """A server-side TLS session over memory BIOs on a blocking socket, so
    that records can be gathered and sent in one write."""

    def __init__(self, sock, ctx):
        self.sock = sock
        self.inc = ssl.MemoryBIO()
        self.out = ssl.MemoryBIO()
        self.sni = "-"

        def remember(obj, name, _ctx):
            self.sni = name if name else "-"

        ctx.sni_callback = remember
        self.obj = ctx.wrap_bio(self.inc, self.out, server_side=True)
        self.buffer = b""
        self.ended = None  # "close_notify" or "eof"

    def handshake(self):
        while True:
            try:
                self.obj.do_handshake()
                return
            except ssl.SSLWantReadError:
                self.flush()
                data = self.sock.recv(65536)
                if not data:
                    raise ConnectionError("closed in the handshake")
                self.inc.write(data)

    def flush(self, extra=b""):
        if extra:
            self.obj.write(extra)
        data = self.out.read()
        if data:
            self.sock.sendall(data)

    def fill(self):
        while True:
            try:
                chunk = self.obj.read(65536)
                if not chunk:
                    self.ended = "close_notify"
                    return False
                self.buffer += chunk
                return True
            except ssl.SSLZeroReturnError:
                self.ended = "close_notify"
                return False
            except ssl.SSLWantReadError:
                self.flush()
                data = self.sock.recv(65536)
                if not data:
                    self.ended = "eof"
                    return False
                self.inc.write(data)

    def line(self):
        while b"\r\n" not in self.buffer:
            if not self.fill():
                return None
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line.decode()

    def echo(self, n):
        while n > 0:
            if not self.buffer and not self.fill():
                return
            piece, self.buffer = self.buffer[:n], self.buffer[n:]
            n -= len(piece)
            self.flush(piece)

    def close_notify(self):
        try:
            self.obj.unwrap()
        except ssl.SSLWantReadError:
            pass
        self.flush()


def context(certs, cert, tls12_only=False, old=False):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(certs, cert + ".pem"), os.path.join(certs, cert + ".key"))
    if tls12_only:
        ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    if old:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            ctx.minimum_version = ssl.TLSVersion.TLSv1
            ctx.maximum_version = ssl.TLSVersion.TLSv1_1
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
    return ctx


def commands(s, tag=None):
    while True:
        line = s.line()
        if line is None:
            break
        word, _, arg = line.partition(" ")
        if word == "ECHO":
            s.echo(int(arg))
        elif word == "SEND":
            n = int(arg)
            data = b"".join(b"%07d\r\n" % i for i in range(n // 9 + 1))[:n]
            for at in range(0, n, 65536):
                s.flush(data[at:at + 65536])
            s.close_notify()
            break
        elif word == "TAG":
            tag = arg
        elif word == "STATUS":
            with statuses_lock:
                s.flush(("STATUS %s\r\n" % statuses.get(arg, "unknown")).encode())
        elif word == "BYE":
            s.flush(b"205 bye\r\n")
            s.close_notify()
            break
        elif word == "DROP":
            s.flush(b"205 drop\r\n")
            break
        else:
            s.flush(b"500 what?\r\n")
    if tag is not None:
        with statuses_lock:
            statuses[tag] = s.ended or "server"


def serve_good(conn, certs):
    s = Session(conn, context(certs, "good", tls12_only=True))
    s.handshake()
    # The server's last handshake records and the greeting in one write.
    s.flush(("200 ready sni=%s\r\n" % s.sni).encode())
    commands(s)


def serve_starttls(conn, certs, behind=b""):
    conn.sendall(b"200 plain\r\n")
    data = b""
    while b"\r\n" not in data:
        more = conn.recv(1)  # byte by byte: nothing of the ClientHello is taken
        if not more:
            return
        data += more
    if data.strip() != b"STARTTLS":
        conn.sendall(b"500 what?\r\n")
        return
    conn.sendall(b"382 go ahead\r\n" + behind)
    s = Session(conn, context(certs, "good"))
    s.handshake()
    s.flush()
    commands(s)


def serve_certificate(conn, certs, cert, old=False):
    s = Session(conn, context(certs, cert, old=old))
    s.handshake()
    s.flush(b"200 should not have been trusted\r\n")
    s.fill()


def serve_garbage(conn, _certs):
    conn.recv(65536)
    # Short enough to be read whole as a record header and what it claims
    # to hold, so that no client waits for more.
    conn.sendall(b"\x48\x03\x03\x00\x05HTTP/")
    conn.recv(65536)


def serve_plain_news(conn, _certs):
    conn.sendall(b"200 plain news ready\r\n")
    conn.recv(65536)
    conn.recv(65536)


def serve_hangup(conn, _certs):
    conn.recv(65536)


def handlers():
    return {
        BASE: serve_good,
        BASE + 1: lambda c, d: serve_certificate(c, d, "wrongname"),
        BASE + 2: lambda c, d: serve_certificate(c, d, "expired"),
        BASE + 3: lambda c, d: serve_certificate(c, d, "unknown-ca"),
        BASE + 4: serve_garbage,
        BASE + 5: serve_starttls,
        BASE + 6: serve_hangup,
        BASE + 7: lambda c, d: serve_certificate(c, d, "good", old=True),
        BASE + 8: serve_plain_news,
        BASE + 9: lambda c, d: serve_starttls(c, d, b"INJECTED forged line\r\n"),
    }


def run_connection(handler, conn, certs):
    try:
        with conn:
            handler(conn, certs)
    except (OSError, ssl.SSLError, ConnectionError, ValueError):
        pass


def listen(address, port, handler, certs):
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((address, port))
    server.listen(16)

    def loop():
        while True:
            conn, _ = server.accept()
            threading.Thread(target=run_connection, args=(handler, conn, certs), daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()


def serve(address, folder):
    certs = os.path.join(folder, "certs")
    for port, handler in handlers().items():
        listen(address, port, handler, certs)
    with open(os.path.join(folder, "ready"), "w") as f:
        f.write("%d\n" % os.getpid())
    signal.sigwait([signal.SIGTERM, signal.SIGINT])


def start(address, folder):
    os.makedirs(folder, exist_ok=True)
    stop(folder)
    subprocess.run([CERTS_SCRIPT, os.path.join(folder, "certs"), address], check=True)
    ready = os.path.join(folder, "ready")
    if os.path.exists(ready):
        os.remove(ready)
    log = open(os.path.join(folder, "peer.log"), "w")
    proc = subprocess.Popen([sys.executable, __file__, "serve", address, folder], stdout=log,
                            stderr=log, start_new_session=True)
    deadline = time.time() + 20
    while not os.path.exists(ready):
        if proc.poll() is not None or time.time() > deadline:
            sys.exit("tls_peer: the servers did not start (see %s)" % log.name)
        time.sleep(0.05)
    print(folder)


def stop(folder):
    ready = os.path.join(folder, "ready")
    try:
        with open(ready) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    os.remove(ready)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "start":
        start(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "serve":
        signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM, signal.SIGINT])
        serve(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3 and sys.argv[1] == "stop":
        stop(sys.argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
