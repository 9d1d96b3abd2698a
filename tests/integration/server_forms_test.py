#!/usr/bin/env python3
"""Server arguments that cannot name a server, IPv6 forms among them, and an
IPv6 server behind a SOCKS 4 proxy, which cannot carry its address: both
programs (the Linux ones, or the Windows ones under wine) refuse each before
connecting, exit code 1, with a message naming what was typed."""
import os
import tempfile

from harness import check, console_env, finish, native_path, options, run

opts = options("--poster", "--fetch")
base_env, console, _ = console_env()
scratch = tempfile.mkdtemp(prefix="kestrun-forms-")
body = os.path.join(scratch, "body.txt")
with open(body, "wb") as f:
    f.write(b"never sent\r\n")


def both(server, env=base_env):
    """(exit code, message) of the poster, then of nntpfetch; the poster
    says it on standard output, nntpfetch on standard error with nothing on
    standard output."""
    r = run([opts.poster, server, "Jan <jan@example.invalid>", "pl.test", "x", native_path(body)], env)
    poster = (r.returncode, r.stdout.decode(console, "replace"))
    r = run([opts.fetch, server, "pl.test"], env)
    fetch = (r.returncode if r.stdout == b"" else -1, r.stderr.decode(console, "replace"))
    return poster, fetch


malformed = [
    "[::1",                # no closing bracket
    "[::1]x",              # something else than :port after it
    "[::1]:",              # an empty port
    "[::1]:0",             # port 0
    "nntps://[::1]:65536",
    "[127.0.0.1]",         # brackets around no IPv6 address
    "[zz::1]",
    "nntp://[news.example.net]:119",
    "1:2:3",               # two colons, and no IPv6 address
    "127.0.0.1:0",
    "127.0.0.1:65536",
    "news://127.0.0.1",
    "nntps://",
    "[::1%lo]",            # a zone on an address that is not link-local
]
for server in malformed:
    for program, (code, said) in zip(("poster", "nntpfetch"), both(server)):
        check("%s refuses the server %r: exit 1 naming it" % (program, server),
              code == 1 and '"%s"' % server in said, "%d %r" % (code, said))

# SOCKS 4 has room for an IPv4 address only; 4A hands the proxy the text.
# A URL needs brackets around an IPv6 address: the one meant is suggested.
for program, (code, said) in zip(("poster", "nntpfetch"), both("nntp://::1:7101")):
    check("%s refuses nntp://::1:7101, suggesting nntp://[::1]:7101" % program,
          code == 1 and '"nntp://::1:7101"' in said and "nntp://[::1]:7101" in said, "%d %r" % (code, said))

for server in ("[::1]:119", "nntps://[::1]"):
    env = dict(base_env, KESTRUN_SOCKS="socks4://127.0.0.1:1")
    for program, (code, said) in zip(("poster", "nntpfetch"), both(server, env)):
        check("%s refuses SOCKS 4 for %r: exit 1 naming the variable and the address" % (program, server),
              code == 1 and "KESTRUN_SOCKS" in said and "SOCKS 4" in said and "::1" in said,
              "%d %r" % (code, said))

env = dict(base_env, KESTRUN_SOCKS="socks5://[::1")
for program, (code, said) in zip(("poster", "nntpfetch"), both("127.0.0.1", env)):
    check("%s refuses a proxy with no closing bracket: exit 1 naming the variable" % program,
          code == 1 and "KESTRUN_SOCKS" in said and "]" in said, "%d %r" % (code, said))

os.unlink(body)
os.rmdir(scratch)
finish()
