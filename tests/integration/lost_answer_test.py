#!/usr/bin/env python3
"""Posts with kestrun (the Linux program, or the Windows one under wine) to a
private INN through a relay that cuts the first connection at a chosen
point: after the article's end reached the server (its answer lost), in the
middle of the article, right after the 340, in the greeting. The exit code and the lines
must tell what the server really holds, which must be one copy at most."""
import os
import tempfile

from cutting_relay import CuttingRelay
from harness import check, console_env, finish, nntp_read, options, unique_tag
from harness import run as run_program

opts = options("--program", "--server")
env, console, eol = console_env()
author = "Jan <jan@example.invalid>"


def copies(tag):
    """The articles of pl.test whose subject holds the tag: their
    Message-IDs."""
    reader = nntp_read.Reader(opts.server)
    try:
        reply = reader.command("GROUP pl.test")
        first, last = reply.split()[2:4]
        reply = reader.command("XOVER %s-%s" % (first.decode(), last.decode()))
        ids = []
        for line in iter(reader.file.readline, b""):
            if line == b".\r\n":
                break
            fields = line.rstrip(b"\r\n").split(b"\t")
            if len(fields) > 4 and tag.encode() in fields[1]:
                ids.append(fields[4].decode())
        return ids
    finally:
        reader.close()


def post_through(how, offset=0, retries=None, body=b"body line\r\n" * 50000):
    relay = CuttingRelay(opts.server, opts.server, how, offset)
    f = tempfile.NamedTemporaryFile(delete=False, suffix=".txt")
    f.write(body)
    f.close()
    tag = unique_tag()
    extra = {"KESTRUN_IDLE_TIMEOUT": "20"}
    if retries is not None:
        extra["KESTRUN_RETRIES"] = str(retries)
    try:
        r = run_program([opts.program, "%s:%d" % (opts.server, relay.port), author, "pl.test",
                         "cut %s %s" % (how, tag), f.name], dict(env, **extra))
    finally:
        os.unlink(f.name)
        relay.close()
    return (r.returncode, r.stdout.decode(console, "replace"), r.stderr.decode(console, "replace"),
            copies(tag), relay.cut.is_set())


# Each cut, with retries on (the default): posted once, and said so. A cut
# in the greeting ("down", 10 bytes) is a connection made and lost: made
# again.
for how, offset in (("answer-lost", 0), ("mid-article", 200000), ("after-340", 0), ("down", 10)):
    code, out, err, ids, cut = post_through(how, offset)
    check("%s: exit 0 and 'Artykuł wysłano'" % how, cut and code == 0 and out == "Artykuł wysłano" + eol,
          "cut %s, %d %r %r" % (cut, code, out, err))
    check("%s: one copy in the spool" % how, len(ids) == 1, repr(ids))
    if how == "answer-lost":
        # Found by STAT: the recovery is said, with the article's identifier.
        check("%s: the Message-ID named on standard error" % how, len(ids) == 1 and ids[0] in err, repr(err))

# Retries off: no second connection, and an honest line about what may be.
code, out, err, ids, cut = post_through("answer-lost", retries=0)
lines = out.split(eol)
check("answer lost, no retries: exit 3, 'Błąd serwera:'", code == 3 and lines[0] == "Błąd serwera:",
      "%d %r" % (code, out))
check("answer lost, no retries: one copy, named as maybe posted",
      len(ids) == 1 and ids[0] in err and "mógł zostać wysłany" in err and len(err.strip().split("\n")) == 1,
      "%r %r" % (ids, err))
# An article larger than what the sockets on the way can hold, so that its
# end cannot have been handed over when the relay cuts.
code, out, err, ids, cut = post_through("mid-article", 200000, retries=0, body=(b"x" * 79 + b"\r\n") * 200000)
check("cut mid-article, no retries: exit 3, nothing posted, said so",
      code == 3 and not ids and "zerwane" in err and "artykułu nie wysłano" in err, "%d %r %r" % (code, ids, err))

finish()
