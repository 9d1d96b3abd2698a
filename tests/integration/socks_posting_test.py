#!/usr/bin/env python3
"""Posts with kestrun through real SOCKS servers named by KESTRUN_SOCKS
(dante, microsocks, a 4A relay), reads each article back from the private
INN, and checks the failures: a refused login, an unreachable proxy, a
malformed value. nntpfetch reads through the same proxies, and says why
one fails in its own words."""
import os
import tempfile

from harness import ClosedPort, check, console_env, find_article, finish, options
from harness import run as run_program
from harness import unique_tag

opts = options("--program", "--fetch", "--server", "--socks", "--name", "--closed-server")
# --server: the private INN; --socks: where socks.sh started its servers;
# --name: a name of the INN only the 4A relay resolves; --closed-server: an
# address whose port 119 this test holds closed.
base_env, console, eol = console_env()

f = tempfile.NamedTemporaryFile(delete=False, suffix=".txt")
f.write(b"through a proxy\r\n")
f.close()
body = f.name


def run(socks, server):
    env = dict(base_env)
    if socks is not None:
        env["KESTRUN_SOCKS"] = socks
    tag = unique_tag()
    r = run_program([opts.program, server, "a <a@example.invalid>", "pl.test", "kestrun socks test " + tag, body],
                    env)
    return r.returncode, r.stdout.decode(console, "replace"), r.stderr.decode(console, "replace"), tag


s = opts.socks
posts = [
    ("dante, SOCKS 5", "socks5://%s:1080" % s, opts.server),
    ("dante, SOCKS 4", "socks4://kestrun@%s:1080" % s, opts.server),
    ("dante, SOCKS 5 with a system account", "socks5://kestrunsocks:kestrun-socks@%s:1081" % s, opts.server),
    ("microsocks, SOCKS 5", "socks5://%s:1082" % s, opts.server),
    ("microsocks, SOCKS 5 with a percent-encoded password", "socks5://kestrun:micro%%20secret@%s:1083" % s,
     opts.server),
    # Only the relay knows this name: the client must leave it to the proxy.
    ("relay, SOCKS 4A with a name", "socks4a://%s:1084" % s, opts.name),
    ("microsocks, default port kept in the URL", "socks5://%s:1082/" % s, opts.server),
]


def fetch(socks, server):
    r = run_program([opts.fetch, server, "pl.test"], dict(base_env, KESTRUN_SOCKS=socks))
    return r.returncode, r.stdout, r.stderr.decode(console, "replace")


for what, url, server in posts:
    code, out, _, tag = run(url, server)
    check(what + ": exit 0", code == 0 and out == "Artykuł wysłano" + eol, "%d %r" % (code, out))
    if code == 0:
        check(what + ": stored", find_article(opts.server, "pl.test", tag) is not None, tag)
    code, over, err = fetch(url, server)
    check(what + ": nntpfetch reads the overview through it", code == 0 and tag.encode() in over,
          "%d %r" % (code, err))

unreachable, no_proxy = ClosedPort(opts.closed_server), ClosedPort(s, 1099)
for what, url, server, reason in [
    ("dante refuses the password", "socks5://kestrunsocks:wrong@%s:1081" % s, opts.server,
     "nie przyjął nazwy użytkownika lub hasła"),
    ("microsocks refuses the password", "socks5://kestrun:wrong@%s:1083" % s, opts.server,
     "nie przyjął nazwy użytkownika lub hasła"),
    ("nobody listens on the proxy port", "socks5://%s:1099" % s, opts.server,
     "Nie można połączyć się z serwerem pośredniczącym SOCKS %s:1099" % s),
    ("the proxy cannot reach the server", "socks5://%s:1082" % s, opts.closed_server,
     opts.closed_server),
]:
    code, out, err, _ = run(url, server)
    check(what + ": exit 2", code == 2 and out == "Połączenie niemożliwe" + eol, "%d %r" % (code, out))
    # Why, on the error stream, and never the password.
    check(what + ": the reason", reason in err and "wrong" not in err, err)
    code, over, err = fetch(url, server)
    check(what + ": nntpfetch, exit 2 naming the proxy", code == 2 and over == b"" and "SOCKS" in err
          and "wrong" not in err, "%d %r" % (code, err))
unreachable.sock.close()
no_proxy.sock.close()

code, out, _, _ = run("socks5://%s:99999" % s, opts.server)
# Nothing after the scheme is quoted back: a "port" may be a password.
check("malformed value: exit 1 naming the variable and the fault", code == 1 and "KESTRUN_SOCKS" in out
      and "port" in out and "99999" not in out, "%d %r" % (code, out))
code, over, err = fetch("socks5://%s:99999" % s, opts.server)
check("malformed value: nntpfetch, the same", code == 1 and "KESTRUN_SOCKS" in err and "port" in err
      and "99999" not in err, "%d %r" % (code, err))
code, out, _, _ = run("", opts.server)
check("empty value: a direct post", code == 0 and out == "Artykuł wysłano" + eol, "%d %r" % (code, out))

os.unlink(body)
finish()
