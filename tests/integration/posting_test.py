#!/usr/bin/env python3
"""Posts with kestrun (the Linux program, or the Windows one under wine) to a
private INN server, reads each article back and compares it with what the
program is meant to send; then checks the failure exits against INN and
against scripted servers that misbehave on purpose."""
import os
import re
import signal
import socket
import subprocess
import tempfile
import threading

from harness import ClosedPort, ScriptedServer, check, command, console_env, find_article, finish, nntp_read, options
from harness import run as run_program
from harness import native_path, unique_tag

opts = options("--program", "--server", "--user-agent", "--url", "--scripted-server")
windows = opts.windows
env, console, eol = console_env()
# Scripted servers listen on port 119 (the program always connects to the
# nntp port) of a loopback address of this test's own; while none runs, the
# port is held closed there and a connection to it is refused.
scripted_address = opts.scripted_server
dead_server = scripted_address
author = "a <a@example.invalid>"


last_err = [""]


def run(args, stdin_bytes=None, extra_env=None):
    """The exit code and standard output; standard error in last_err."""
    r = run_program([opts.program] + args, dict(env, **(extra_env or {})), stdin_bytes=stdin_bytes)
    last_err[0] = r.stderr.decode(console, "replace")
    return r.returncode, r.stdout.decode(console, "replace")


def body_file(data):
    f = tempfile.NamedTemporaryFile(delete=False, suffix=".txt")
    f.write(data)
    f.close()
    return f.name


def expected_body(data):
    # The server keeps lines in CR LF form. The end marker adds no line after
    # a body that ends with a line end; it ends an unfinished last line; and
    # an empty file posts one empty line.
    text = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
    return text if text.endswith(b"\r\n") else text + b"\r\n"


def read_back(tag):
    raw = find_article(opts.server, "pl.test", tag)
    return nntp_read.split_article(raw) if raw is not None else ([], None)


def compare(name, body, author, subject, tag):
    headers, stored = read_back(tag)
    check(name + ": found by its tag", stored is not None, tag)
    h = lambda n: nntp_read.header(headers, n)
    check(name + ": Subject", nntp_read.decoded(h("Subject")) == subject, repr(h("Subject"))[:300])
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
            check(name + ": folded " + n, False, repr(long_line)[:300])
    check(name + ": body", stored == expected_body(body), "%r != %r" % (stored[:200], expected_body(body)[:200]))


def post_and_compare(name, body, author="Jan Kowalski <jan.kowalski@example.invalid>", subject=None):
    tag = unique_tag()
    subject = (subject or "kestrun test: " + name) + " " + tag
    path = body_file(body)
    try:
        code, out = run([opts.server, author, "pl.test", subject, path])
    finally:
        os.unlink(path)
    check(name + ": exit 0 and 'Artykuł wysłano'", code == 0 and out == "Artykuł wysłano" + eol, "%d %r" % (code, out))
    if code == 0:
        compare(name, body, author, subject, tag)


post_and_compare("lone dot line", b"before\r\n.\r\nafter\r\n")
post_and_compare("leading dots", b".one\r\n..two\r\nmid.dle\r\n.\r\n")
post_and_compare("LF-only line ends", b"first\nsecond\n.third\n")
post_and_compare("no final line end", b"line\r\nlast without end")
post_and_compare("empty body", b"")
post_and_compare("Polish subject and author", "Zażółć gęślą jaźń\r\n".encode("cp1250"),
                 author='"Łucja Wiśniewska" <lucja@example.invalid>', subject="Zażółć gęślą jaźń — próba")
post_and_compare("long Polish subject", b"body\r\n", subject="Źdźbło " * 30 + "koniec")
post_and_compare("large body", (b"x" * 999 + b"\r\n") * 2000)
post_and_compare("author as address (name)", b"body\r\n", author="lucja@example.invalid (Łucja Wiśniewska)")
post_and_compare("bare address", b"body\r\n", author="lucja@example.invalid")
post_and_compare("long ASCII subject", b"body\r\n", subject=" ".join("word%d" % i for i in range(1500)))
post_and_compare("subject that looks encoded", b"body\r\n", subject="=?UTF-8?Q?=C5=BC?= is not z")

# Users post from standard input (the Windows program too, by the same
# name), or on Linux from a FIFO another program fills.
body = b"from a pipe\r\n.dot\r\n" * 5000
tag = unique_tag()
code, out = run([opts.server, author, "pl.test", "standard input " + tag, "/dev/stdin"], stdin_bytes=body)
check("standard input: exit 0", code == 0 and out == "Artykuł wysłano" + eol, "%d %r" % (code, out))
if code == 0:
    compare("standard input", body, author, "standard input " + tag, tag)
if not windows:
    fifo_dir = tempfile.mkdtemp()
    fifo = os.path.join(fifo_dir, "article.fifo")
    os.mkfifo(fifo)

    def fill():
        with open(fifo, "wb") as f:
            f.write(body)

    writer = threading.Thread(target=fill, daemon=True)
    writer.start()
    tag = unique_tag()
    try:
        code, out = run([opts.server, author, "pl.test", "FIFO " + tag, fifo])
        check("FIFO: exit 0", code == 0 and out == "Artykuł wysłano" + eol, "%d %r" % (code, out))
        if code == 0:
            compare("FIFO", body, author, "FIFO " + tag, tag)
    finally:
        writer.join(timeout=5)
        os.unlink(fifo)
        os.rmdir(fifo_dir)

# A closed standard output must not end the program by a signal: the exit
# code still tells that the article went out.
path = body_file(b"body\r\n")
tag = unique_tag()
try:
    p = subprocess.Popen(command([opts.program, opts.server, author, "pl.test", "closed output " + tag, path]),
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    p.stdout.close()
    code = p.wait(timeout=120)
    check("closed standard output: exit 0", code == 0, "exit %d" % code)
    if code == 0:
        check("closed standard output: posted", read_back(tag)[1] == b"body\r\n")
finally:
    os.unlink(path)

closed = ClosedPort(dead_server)
path = body_file(b"body\r\n")
try:
    code, out = run([dead_server, author, "pl.test", "refused", path])
    check("refused port: exit 2", code == 2 and out == "Połączenie niemożliwe" + eol, "%d %r" % (code, out))
    code, out = run(["no-such-server.invalid", author, "pl.test", "unresolvable", path])
    check("unresolvable name: exit 2", code == 2 and out == "Połączenie niemożliwe" + eol, "%d %r" % (code, out))
    code, out = run([opts.server, author, "pl.nie.istnieje", "refused group", path])
    lines = out.split(eol)
    check("refused group: exit 3", code == 3 and lines[0] == "Błąd serwera:" and lines[1].startswith("441 ")
          and len(lines) == 3, "%d %r" % (code, out))
    code, out = run([opts.server, author, "pl.test", "two\r\nControl: cancel <x@y>", path])
    check("line break in a header argument: exit 1", code == 1 and "temat" in out, "%d %r" % (code, out))
    # Refused before connecting: the server is dead, yet the exit is 1.
    code, out = run([dead_server, "Jan <jań@example.invalid>", "pl.test", "address", path])
    check("non-ASCII address: exit 1 before connecting", code == 1 and "autor" in out, "%d %r" % (code, out))
finally:
    os.unlink(path)

# Files that cannot be posted are refused before connecting (the server is
# dead, yet the exit is 1), with a message that names them as typed.
missing = os.path.join(tempfile.gettempdir(), "kestrun-no-such-file.txt")
code, out = run([dead_server, author, "pl.test", "missing file", missing])
check("missing file: exit 1 naming the file", code == 1 and missing in out, "%d %r" % (code, out))
polish = os.path.join(tempfile.gettempdir(), "kestrun-zażółć-nie-ma.txt")
code, out = run([dead_server, author, "pl.test", "missing file", polish])
check("missing Polish file name shown as typed", code == 1 and out.strip() == "Cannot open file " + polish,
      "%d %r" % (code, out))
folder = tempfile.mkdtemp()
try:
    code, out = run([dead_server, author, "pl.test", "directory", folder])
    check("directory: exit 1 naming it", code == 1 and folder in out, "%d %r" % (code, out))
finally:
    os.rmdir(folder)
    closed.sock.close()


def greet_and_take_post(conn, f):
    conn.sendall(b"200 scripted server ready\r\n")
    f.readline()  # POST


def scripted(script, body=b"body\r\n", extra_env=None):
    srv = ScriptedServer(scripted_address, script)
    path = body_file(body)
    try:
        return run([scripted_address, author, "pl.test", "scripted", path], extra_env=extra_env)
    finally:
        srv.close()
        os.unlink(path)


def refused(name, script, reply, body=b"body\r\n"):
    code, out = scripted(script, body)
    check(name, code == 3 and out == "Błąd serwera:" + eol + reply + eol, "%d %r" % (code, out))


def answers_post_with_240(s, conn, f):
    greet_and_take_post(conn, f)
    conn.sendall(b"240 article posted\r\n")


def answers_340_and_240_at_once(s, conn, f):
    greet_and_take_post(conn, f)
    conn.sendall(b"340 send it\r\n240 article posted\r\n")


def answers_240_during_the_article(s, conn, f):
    greet_and_take_post(conn, f)
    conn.sendall(b"340 send it\r\n")
    f.read(100000)
    conn.sendall(b"240 article posted\r\n")


def answers_without_a_status(s, conn, f):
    greet_and_take_post(conn, f)
    conn.sendall(b"340 send it\r\n")
    s.read_article(f)
    conn.sendall(b"article posted, or so\r\n")


# Success is 340, the whole article, the end marker, then 240; anything
# else is the server's refusal.
refused("240 instead of 340: exit 3", answers_post_with_240, "240 article posted")
refused("340 and 240 in one segment: exit 3", answers_340_and_240_at_once, "240 article posted")
refused("240 during a large article: exit 3", answers_240_during_the_article, "240 article posted",
        body=b"x" * 10000000)
refused("a final reply without a status: exit 3", answers_without_a_status, "article posted, or so")


# A silent server ends the run after the inactivity limit, here shortened to
# a second; without it the program would wait for ever.
def says_nothing(s, conn, f):
    pass


def says_nothing_after_the_article(s, conn, f):
    greet_and_take_post(conn, f)
    conn.sendall(b"340 send it\r\n")
    s.read_article(f)


quick = {"KESTRUN_IDLE_TIMEOUT": "1", "KESTRUN_RETRIES": "0"}
code, out = scripted(says_nothing, extra_env=quick)
check("silent before the greeting: exit 2", code == 2 and out == "Połączenie niemożliwe" + eol,
      "%d %r" % (code, out))
code, out = scripted(says_nothing_after_the_article, extra_env=quick)
check("silent after the article: exit 3", code == 3 and out == "Błąd serwera:" + eol + "340 send it" + eol,
      "%d %r" % (code, out))
check("silent after the article: the reason and the Message-ID on standard error",
      re.fullmatch(r"Brak odpowiedzi serwera przez 1 s; artykuł <[0-9a-f]{32}@kestrun\.invalid> "
                   r"mógł zostać wysłany\r?\n", last_err[0]) is not None, repr(last_err[0]))


# What goes on the wire: the Message-ID the server recommends (else one of
# our own), CR LF line ends (a file's own CR LF untouched), doubled dots.
recorded = []


def recording(go_ahead):
    def script(s, conn, f):
        greet_and_take_post(conn, f)
        conn.sendall(go_ahead)
        recorded.append(s.read_article(f))
        conn.sendall(b"240 article posted\r\n")
    return script


generated = []
for name, go_ahead, body, wire, want_id in (
        ("LF-only file", b"340 send it\r\n", b"one\n.two\n\nthree", b"one\r\n..two\r\n\r\nthree\r\n", None),
        ("LF-only file again", b"340 send it\r\n", b"x\n", b"x\r\n", None),
        ("CR LF file", b"340 Ok, recommended Message-ID <rec.1@scripted.example>\r\n",
         b"one\r\n.two\r\n\r\nlone\rCR\r\n", b"one\r\n..two\r\n\r\nlone\rCR\r\n",
         b"<rec.1@scripted.example>")):
    recorded.clear()
    code, out = scripted(recording(go_ahead), body)
    head, _, sent = (recorded or [b""])[0].partition(b"\r\n\r\n")
    ids = re.findall(rb"\r\nMessage-ID: (<[^>]*>)\r\n", head)
    check(name + ": exit 0", code == 0, "%d %r" % (code, out))
    check(name + ": CR LF line ends on the wire", sent == wire, "%r" % sent)
    check(name + ": its Message-ID", len(ids) == 1 and (ids[0] == want_id if want_id else
                                                        re.fullmatch(rb"<[0-9a-f]{32}@kestrun\.invalid>", ids[0])),
          repr(head))
    if not want_id:
        generated += ids
# Drawn afresh by every run of the program, never the same.
check("generated Message-IDs differ from run to run", len(generated) == 2 and generated[0] != generated[1],
      repr(generated))


# The answer lost, the server asked again on a new connection: STAT tells,
# or, where STAT is refused, the article again under the same Message-ID,
# which a server that has it refuses as a duplicate.
def answer_lost(s, conn, f):
    greet_and_take_post(conn, f)
    conn.sendall(b"340 Ok, recommended Message-ID <lost.1@scripted.example>\r\n")
    s.read_article(f)
    conn.shutdown(socket.SHUT_RDWR)


def then(*replies, final=b"441 435 Duplicate\r\n"):
    def script(s, conn, f):
        conn.sendall(b"200 scripted server ready\r\n")
        for reply in replies:
            line = f.readline()
            recorded.append(line)
            conn.sendall(reply)
            if reply.startswith(b"340"):
                s.read_article(f)
                conn.sendall(final)
    return script


for name, second, want_code, want_lines in (
        ("STAT finds it", then(b"223 0 <lost.1@scripted.example>\r\n"), 0,
         [b"STAT <lost.1@scripted.example>\r\n"]),
        ("STAT refused, a duplicate", then(b"500 What?\r\n", b"340 send it\r\n"), 0,
         [b"STAT <lost.1@scripted.example>\r\n", b"POST\r\n"]),
        ("STAT says no, posted again", then(b"430 no such article\r\n", b"340 send it\r\n", final=b"240 posted\r\n"), 0,
         [b"STAT <lost.1@scripted.example>\r\n", b"POST\r\n"]),
        ("STAT after a login", then(b"480 login first\r\n", b"500 What?\r\n", b"381 more\r\n", b"281 ok\r\n",
                                     b"223 0 <lost.1@scripted.example>\r\n"), 0,
         [b"STAT <lost.1@scripted.example>\r\n", b"CAPABILITIES\r\n", b"AUTHINFO USER jan\r\n",
          b"AUTHINFO PASS tajne\r\n", b"STAT <lost.1@scripted.example>\r\n"])):
    recorded.clear()
    with tempfile.NamedTemporaryFile("w", suffix=".netrc", delete=False) as netrc:
        netrc.write("machine %s login jan password tajne\n" % scripted_address)
    try:
        code, out = scripted([answer_lost, second],
                             extra_env={"NETRC": native_path(netrc.name), "KESTRUN_PLAIN_LOGIN": "1"})
    finally:
        os.unlink(netrc.name)
    check("answer lost, %s: exit 0" % name, code == 0 and out == "Artykuł wysłano" + eol and recorded == want_lines,
          "%d %r %r %r" % (code, out, recorded, last_err[0]))
    check("answer lost, %s: said on standard error" % name, "<lost.1@scripted.example>" in last_err[0],
          repr(last_err[0]))


def interrupted(name, script, ready, want_code, want_first_line, want_err):
    """Ctrl-C once the program waits on a server that has gone quiet."""
    srv = ScriptedServer(scripted_address, script)
    path = body_file(b"body\r\n")
    try:
        p = subprocess.Popen([opts.program, scripted_address, author, "pl.test", name, path],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        waiting = ready(srv).wait(timeout=60)
        still_running = p.poll() is None
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=30)
        out, err = out.decode(console), err.decode(console)
        check(name, waiting and still_running and p.returncode == want_code
              and out.startswith(want_first_line + eol) and re.fullmatch(want_err, err) is not None,
              "waiting %s, running %s, exit %s, %r %r" % (waiting, still_running, p.returncode, out, err))
    finally:
        srv.close()
        os.unlink(path)


if not windows:  # wine turns a signal into a console event only for a real console
    interrupted("Ctrl-C before the greeting: exit 2", says_nothing, lambda s: s.accepted, 2,
                "Połączenie niemożliwe", r"Przerwano przez użytkownika\n")
    interrupted("Ctrl-C while waiting for the final reply: exit 3", says_nothing_after_the_article,
                lambda s: s.article_in, 3, "Błąd serwera:",
                r"Przerwano przez użytkownika; artykuł <[0-9a-f]{32}@kestrun\.invalid> mógł zostać wysłany\n")

finish()
