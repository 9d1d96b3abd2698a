#!/usr/bin/env python3
"""Both programs over TLS (the Linux ones, or the Windows ones under wine):
posting and reading over NNTPS and over STARTTLS against an INN that takes a
login only inside TLS, also compressed (COMPRESS DEFLATE, through a relay
that counts the bytes); then scripted servers on the same address: bad
certificates, a server that must never see the password in clear, STARTTLS
refused, servers that break the handshake, and compression refused or
corrupt."""
import os
import socket
import ssl
import tempfile
import threading
import time

from harness import check, console_env, finish, native_path, options, relay, run, through, unique_tag

opts = options("--poster", "--fetch", "--server", "--certs", "--user", "--password")
base_env, console, _ = console_env()
scratch = tempfile.mkdtemp(prefix="kestrun-tls-")
tag = unique_tag()
secret = opts.password

netrc = os.path.join(scratch, "netrc")
with open(netrc, "w") as f:
    f.write("machine %s login %s password %s\n" % (opts.server, opts.user, secret))
os.chmod(netrc, 0o600)
ca = os.path.join(opts.certs, "ca.pem")
trusting = dict(base_env, NETRC=native_path(netrc), KESTRUN_CA_FILE=native_path(ca))


def program(path, args, env):
    r = run([path] + args, env)
    return r.returncode, r.stdout, r.stderr.decode(console, "replace")


def post(server, subject, env=trusting, body=b"posted over TLS\r\n"):
    path = os.path.join(scratch, "body.txt")
    with open(path, "wb") as f:
        f.write(body)
    code, out, err = program(opts.poster, [server, "Jan <jan@example.invalid>", "pl.test", subject,
                                           native_path(path)], env)
    return code, out.decode(console, "replace"), err


def fetch(args, env=trusting):
    return program(opts.fetch, args, env)


def quiet(out, err):
    """The password is in no output."""
    text = out if isinstance(out, str) else out.decode("latin-1")
    return secret not in text and secret not in err


# ---- INN: NNTPS and STARTTLS, the login inside TLS ------------------------------------------

def stored(subject):
    """The article INN filed under that subject, read over NNTPS with a login."""
    ctx = ssl.create_default_context(cafile=ca)
    with socket.create_connection((opts.server, 563), timeout=30) as raw, \
            ctx.wrap_socket(raw, server_hostname=opts.server) as s:
        f = s.makefile("rb")

        def say(line):
            s.sendall(line.encode() + b"\r\n")
            return f.readline()
        f.readline()
        say("AUTHINFO USER " + opts.user)
        say("AUTHINFO PASS " + secret)
        reply = say("GROUP pl.test").split()
        say("XOVER %s-%s" % (reply[2].decode(), reply[3].decode()))
        number = None
        for line in iter(f.readline, b".\r\n"):
            fields = line.split(b"\t")
            if fields[1].decode() == subject:
                number = fields[0].decode()
        if number is None:
            return None
        say("HEAD " + number)
        return b"".join(iter(f.readline, b".\r\n")).decode("latin-1")


for how, server in (("NNTPS", "nntps://" + opts.server), ("STARTTLS", opts.server)):
    subject = "tls %s %s" % (how, tag)
    # Traced: the TLS session and the login show, the password does not.
    code, out, err = post(server, subject, dict(trusting, KESTRUN_TRACE="1"))
    check("poster over %s: exit 0" % how, code == 0 and "Artykuł wysłano" in out and quiet(out, err),
          "%d %r %r" % (code, out, err))
    for step in ("* TLS 1.", "certificate: CN=good test server", "> AUTHINFO USER " + opts.user,
                 "> AUTHINFO PASS ********", "< 281"):
        check("poster over %s: the trace shows %r" % (how, step), step in err, err[-800:])
    head = stored(subject) or ""
    # INN takes AUTHINFO only inside TLS (483 in clear) and names the account.
    check("poster over %s: INN filed it as posted by the account" % how,
          'posting-account="%s"' % opts.user in head, repr(head[-400:]))
    code, over, err = fetch([server, "pl.test"], dict(trusting, KESTRUN_TRACE="1"))
    check("nntpfetch over %s: the trace shows TLS and the login, masked" % how,
          "* TLS 1." in err and "> AUTHINFO PASS ********" in err and "> XOVER" in err, err[-800:])
    check("nntpfetch over %s: the overview lists it" % how,
          code == 0 and ("\t%s\t" % subject).encode() in over and quiet(over, err), "%d %r" % (code, err))
    number = next((l.split(b"\t")[0].decode() for l in over.split(b"\r\n") if ("\t%s\t" % subject).encode() in l), "1")
    code, article, err = fetch([server, "pl.test", number])
    check("nntpfetch over %s: the article" % how,
          code == 0 and article.endswith(b"\r\n\r\nposted over TLS\r\n"), "%d %r" % (code, article[-80:]))

# The system's store does not know the test CA.
code, out, err = post("nntps://" + opts.server, "untrusted " + tag, dict(trusting, KESTRUN_CA_FILE=""))
check("poster, a CA the system does not know: exit 2 and why", code == 2 and out.strip() == "Połączenie niemożliwe"
      and "nie jest zaufany" in err and len(err.strip().splitlines()) == 1, "%d %r %r" % (code, out, err))
check("... and nothing was posted", stored("untrusted " + tag) is None)
code, out, err = fetch(["nntps://" + opts.server, "pl.test"], dict(trusting, KESTRUN_CA_FILE=""))
check("nntpfetch, the same: exit 2 and why", code == 2 and out == b"" and "not trusted" in err, "%d %r" % (code, err))

missing = native_path(os.path.join(scratch, "no-such-ca.pem"))
code, out, err = post("nntps://" + opts.server, "x", dict(trusting, KESTRUN_CA_FILE=missing))
check("poster, a CA file that is not there: exit 1 naming the variable", code == 1 and "KESTRUN_CA_FILE" in out,
      "%d %r" % (code, out))
code, out, err = fetch(["nntps://" + opts.server, "pl.test"], dict(trusting, KESTRUN_CA_FILE=missing))
check("nntpfetch, the same", code == 1 and "KESTRUN_CA_FILE" in err, "%d %r" % (code, err))

# ---- scripted servers ----------------------------------------------------------------------------


class Peer:
    """One connection's server on the INN's address and a port of its own.
    `script(peer)` talks to the client; every command line is recorded with
    whether TLS carried it."""

    def __init__(self, script, tls_cert=None, nntps=None):
        self.script, self.commands = script, []
        self.nntps = bool(tls_cert) if nntps is None else nntps
        self.srv = socket.socket()
        self.srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.srv.bind((opts.server, 0))
        self.srv.listen(1)
        self.port = self.srv.getsockname()[1]
        self.tls_cert = tls_cert
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def wrap(self, cert):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(os.path.join(opts.certs, cert + ".pem"), os.path.join(opts.certs, cert + ".key"))
        self.conn = ctx.wrap_socket(self.conn, server_side=True)
        self.tls = True

    def line(self):
        data = b""
        while not data.endswith(b"\n"):
            piece = self.conn.recv(1)
            if not piece:
                return None
            data += piece
        text = data.rstrip(b"\r\n").decode("latin-1")
        self.commands.append((text, self.tls))
        return text

    def send(self, data):
        self.conn.sendall(data)

    def serve(self):
        try:
            self.conn, _ = self.srv.accept()
        except OSError:
            return
        self.tls = False
        try:
            if self.tls_cert:
                self.wrap(self.tls_cert)
            self.script(self)
        except (OSError, ssl.SSLError):
            pass
        self.conn.close()

    def stop(self):
        self.srv.close()
        self.thread.join(timeout=60)

    def saw(self, word, tls=None):
        return any(c.startswith(word) and (tls is None or t == tls) for c, t in self.commands)


# Capability labels are case-insensitive.
CAPS = b"101 list\r\nVERSION 2\r\nREADER\r\nPOST\r\nStartTLS\r\nAUTHINFO USER\r\n.\r\n"


def answer_reader(p, word):
    """The commands both programs use once they may: POST (the article read
    to its end), GROUP and XOVER; anything else is unknown."""
    if word == "POST":
        p.send(b"340 send\r\n")
        while p.line() not in (".", None):
            pass
        p.send(b"240 posted\r\n")
    elif word == "GROUP":
        p.send(b"211 1 7 7 pl.test\r\n")
    elif word == "XOVER":
        p.send(b"224 over\r\n7\tscripted\ta\td\t<7@x>\t\t1\t1\r\n.\r\n")
    else:
        p.send(b"500 what\r\n")


def news_server(starttls_cert="good", after_382=None, behind_382=b"", caps=CAPS):
    """A server that wants a login and offers STARTTLS; the login and the
    article are taken inside TLS only (in clear, AUTHINFO fails the test).
    `caps` is its answer to CAPABILITIES in clear (None: it closes)."""
    def script(p):
        p.send(b"200 scripted\r\n")
        logged_in = False
        while True:
            cmd = p.line()
            if cmd is None:
                return
            word = cmd.split(" ")[0].upper()
            if word == "CAPABILITIES" and caps is None and not p.tls:
                return
            if word == "CAPABILITIES":
                p.send(caps if not p.tls else CAPS.replace(b"StartTLS\r\n", b""))
            elif word == "STARTTLS" and starttls_cert is None:
                p.send(b"580 cannot start TLS now\r\n")
            elif word == "STARTTLS":
                p.send(b"382 go ahead\r\n" + behind_382)
                if after_382:
                    return after_382(p)
                p.wrap(starttls_cert)
            elif cmd.startswith("AUTHINFO USER"):
                p.send(b"381 more\r\n")
            elif cmd.startswith("AUTHINFO PASS"):
                logged_in = True
                p.send(b"281 ok\r\n")
            elif word == "MODE":
                p.send(b"200 reader\r\n")
            elif not logged_in:
                p.send(b"480 log in\r\n")
            else:
                answer_reader(p, word)
    return script


def with_peer(peer, start):
    try:
        return start("%s%s:%d" % ("nntps://" if peer.nntps else "", opts.server, peer.port))
    finally:
        peer.stop()


def both(name, make_peer, expect, env=trusting):
    """Runs the poster and nntpfetch each against its own peer."""
    for program in ("poster", "nntpfetch"):
        peer = make_peer()
        if program == "poster":
            code, out, err = with_peer(peer, lambda s: post(s, "scripted " + tag, env))
        else:
            code, out, err = with_peer(peer, lambda s: fetch([s, "pl.test"], env))
        expect("%s, %s" % (program, name), program, peer, code, out, err)


def good(name, program, peer, code, out, err):
    check(name + ": exit 0", code == 0 and quiet(out, err), "%d %r %r" % (code, out, err))
    check(name + ": the password only inside TLS", peer.saw("AUTHINFO PASS", True) and
          not peer.saw("AUTHINFO", False), repr(peer.commands))
    check(name + ": CAPABILITIES asked again inside TLS", peer.saw("CAPABILITIES", True), repr(peer.commands))


def refused(reason_pl, reason_en):
    def expect(name, program, peer, code, out, err):
        says = reason_pl if program == "poster" else reason_en
        stdout_ok = (out.strip() == "Połączenie niemożliwe") if program == "poster" else out == b""
        check(name + ": exit 2 and why", code == 2 and stdout_ok and says in err and quiet(out, err),
              "%d %r %r" % (code, out, err))
        check(name + ": no login, nothing posted", not peer.saw("AUTHINFO") and not peer.saw("POST", True)
              and not peer.saw("GROUP", True), repr(peer.commands))
    return expect


both("STARTTLS before the login", lambda: Peer(news_server()), good)
# Lines in clear behind the 382 (a third party's, say) must not be taken for
# answers inside TLS.
both("a forged answer behind the 382", lambda: Peer(news_server(behind_382=b"500 forged\r\n")), good)
def refused_in_clear(name, program, peer, code, out, err):
    """A refused STARTTLS leaves the session in clear: no password goes
    there unless allowed, and the run ends as a refused login (exit 3) with
    the reason and the way to allow it."""
    says = "odmówił STARTTLS" if program == "poster" else "refused STARTTLS"
    stdout_ok = out.startswith("Błąd serwera:") if program == "poster" else out == b""
    check(name + ": exit 3, why and how to allow it",
          code == 3 and stdout_ok and says in err and "KESTRUN_PLAIN_LOGIN=1" in err and quiet(out, err),
          "%d %r %r" % (code, out, err))
    check(name + ": no login", not peer.saw("AUTHINFO"), repr(peer.commands))


both("STARTTLS refused (580)", lambda: Peer(news_server(None)), refused_in_clear)
for cert, pl, en in (("wrongname", "innej nazwy", "another name"), ("expired", "wygasł", "expired"),
                     ("unknown-ca", "nie jest zaufany", "not trusted")):
    both("NNTPS with the %s certificate" % cert, lambda: Peer(news_server(), tls_cert=cert), refused(pl, en))
    both("STARTTLS with the %s certificate" % cert, lambda: Peer(news_server(cert)), refused(pl, en))
both("382 and then a close", lambda: Peer(news_server(after_382=lambda p: None)), refused("TLS", "TLS"))
both("garbage instead of a handshake",
     lambda: Peer(news_server(after_382=lambda p: p.send(b"200 not TLS at all\r\n" * 20))), refused("TLS", "TLS"))


def nntps_garbage(p):
    p.send(b"200 plain text on the TLS port\r\n")
    p.line()


both("NNTPS port answering in clear", lambda: Peer(nntps_garbage, nntps=True), refused("TLS", "TLS"))


# STARTTLS stripped from the list, or the list refused, by anyone on the
# path: no login goes out in clear unless the user allows it for the run.
STRIPPED = CAPS.replace(b"StartTLS\r\n", b"")


def no_login_in_clear(name, program, peer, code, out, err):
    stdout_ok = (out.splitlines() == ["Błąd serwera:", "480 log in"] if program == "poster"
                 else out == b"" and "the server refused: 480 log in" in err)
    check(name + ": exit 3 with the 480", code == 3 and stdout_ok and quiet(out, err), "%d %r %r" % (code, out, err))
    check(name + ": one line on stderr says why and how to allow it",
          "KESTRUN_PLAIN_LOGIN=1" in err and ("szyfrowania" in err if program == "poster" else "encryption" in err),
          repr(err))
    check(name + ": no AUTHINFO at all", not peer.saw("AUTHINFO"), repr(peer.commands))


def login_in_clear(name, program, peer, code, out, err):
    check(name + ": exit 0", code == 0 and quiet(out, err), "%d %r %r" % (code, out, err))
    check(name + ": the login went in clear, as allowed", peer.saw("AUTHINFO PASS", False), repr(peer.commands))


for what, caps in (("STARTTLS stripped from CAPABILITIES", STRIPPED), ("CAPABILITIES answered 500", b"500 no\r\n")):
    both(what, lambda: Peer(news_server(caps=caps)), no_login_in_clear)
    both(what + ", KESTRUN_PLAIN_LOGIN=1", lambda: Peer(news_server(caps=caps)), login_in_clear,
         dict(trusting, KESTRUN_PLAIN_LOGIN="1"))


def lost_asking(name, program, peer, code, out, err):
    if program == "poster":
        ok = code == 3 and out.splitlines() == ["Błąd serwera:", "480 log in"]
    else:
        ok = code == 2 and "connection lost" in err
    check(name + ": a lost connection, said in the program's words", ok and "Not ready" not in str(out) + err,
          "%d %r %r" % (code, out, err))


both("the server closes while CAPABILITIES is asked before a login", lambda: Peer(news_server(caps=None)),
     lost_asking)


# A server that never answers the handshake: the poster's inactivity limit.
def silent(p):
    p.line()
    p.line()


for name, make in (("NNTPS", lambda: Peer(silent, nntps=True)),
                   ("STARTTLS", lambda: Peer(news_server(after_382=lambda p: silent(p))))):
    peer = make()
    started = time.time()
    code, out, err = with_peer(peer, lambda s: post(s, "silent " + tag, dict(trusting, KESTRUN_IDLE_TIMEOUT="2")))
    check("poster, %s handshake never answered: exit 2 after the inactivity limit" % name,
          code == 2 and out.strip() == "Połączenie niemożliwe" and time.time() - started < 60 and not peer.saw("AUTHINFO"),
          "%d %r %r" % (code, out, err))

# ---- COMPRESS DEFLATE against INN, through a relay that counts the bytes ------------------------

# News text compresses: a body of varied lines, 200 KB.
compressible = b"".join(b"Linia %d artyku\xc5\x82u o kompresji, %s.\r\n" % (i, b"abcdefghij"[i % 10:] * 3)
                        for i in range(5000))
relays = [relay(opts.server, 119, scratch), relay(opts.server, 563, scratch)]
try:
    for state, scheme in zip(relays, ("", "nntps://")):
        server = "%s%s:%d" % (scheme, opts.server, state[1])
        how = "NNTPS" if scheme else "STARTTLS"
        for setting in ("1", "0"):
            env = dict(trusting, KESTRUN_COMPRESS=setting)
            what = "%s, KESTRUN_COMPRESS=%s" % (how, setting)
            subject = "compress %s %s %s" % (how, setting, tag)
            (code, out, err), (up, _) = through(state, lambda: post(server, subject, env, compressible))
            check("poster, %s: exit 0" % what, code == 0 and quiet(out, err), "%d %r %r" % (code, out, err))
            check("poster, %s: %s on the wire" % (what, "compressed" if setting == "1" else "as it is"),
                  (up < len(compressible) // 3) if setting == "1" else up > len(compressible), "%d bytes up" % up)
            (code, over, err), _ = through(state, lambda: fetch([server, "pl.test"], env))
            number = next((l.split(b"\t")[0].decode() for l in over.split(b"\r\n")
                           if ("\t%s\t" % subject).encode() in l), None)
            (code, article, err), (_, down) = through(
                state, lambda: fetch([server, "pl.test", number or "1"], env))
            check("nntpfetch, %s: the article byte for byte" % what,
                  code == 0 and number is not None and article.endswith(b"\r\n\r\n" + compressible),
                  "%d %r %r" % (code, article[-80:], err))
            check("nntpfetch, %s: %s on the wire" % (what, "compressed" if setting == "1" else "as it is"),
                  (down < len(compressible) // 3) if setting == "1" else down > len(compressible),
                  "%d bytes down" % down)
finally:
    for proc, _, _, _ in relays:
        proc.terminate()
        proc.wait()


# ---- compression offered, then refused or corrupt -----------------------------------------------

COMPRESS_CAPS = b"101 list\r\nVERSION 2\r\nREADER\r\nPOST\r\nCOMPRESS DEFLATE\r\n.\r\n"


def compressing_server(answer):
    """A server that offers COMPRESS and answers it with `answer`: "403", or
    "corrupt" (206, then bytes that are no DEFLATE once the client speaks)."""
    def script(p):
        p.send(b"200 scripted\r\n")
        while True:
            cmd = p.line()
            if cmd is None:
                return
            word = cmd.split(" ")[0].upper()
            if word == "CAPABILITIES":
                p.send(COMPRESS_CAPS)
            elif word == "COMPRESS" and answer == "403":
                p.send(b"403 not now\r\n")
            elif word == "COMPRESS":
                p.send(b"206 compressing\r\n")
                p.conn.recv(100)
                p.send(b"\xff\xff\xff\xff\xff\xff\xff\xff")
                p.conn.recv(100)
                return
            elif word == "MODE":
                p.send(b"200 reader\r\n")
            else:
                answer_reader(p, word)
    return script


def compress_refused(name, program, peer, code, out, err):
    says = "odmówił kompresji" if program == "poster" else "refused COMPRESS"
    check(name + ": done uncompressed, and said so", code == 0 and says in err, "%d %r %r" % (code, out, err))


def compress_corrupt(name, program, peer, code, out, err):
    if program == "poster":
        ok = code == 3 and out.startswith("Błąd serwera:") and "uszkodzone dane skompresowane" in err
    else:
        ok = code == 2 and "compressed data is corrupt" in err
    check(name + ": a failure in the program's words", ok, "%d %r %r" % (code, out, err))


forced = dict(trusting, KESTRUN_COMPRESS="1")
both("COMPRESS answered 403", lambda: Peer(compressing_server("403")), compress_refused, forced)
both("206 and then a corrupt stream", lambda: Peer(compressing_server("corrupt")), compress_corrupt, forced)


finish()
