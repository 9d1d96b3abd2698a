#!/usr/bin/env python3
"""Posts with kestrun through real SOCKS servers named by KESTRUN_SOCKS
(dante, microsocks, a 4A relay), reads each article back from the private
INN, and checks the failures: a refused login, an unreachable proxy, a
malformed value."""
import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import nntp_read  # noqa: E402

ap = argparse.ArgumentParser()
ap.add_argument("--program", required=True)
ap.add_argument("--runner", default="")
ap.add_argument("--server", required=True, help="the private INN's address")
ap.add_argument("--socks", required=True, help="the address socks.sh started its servers on")
ap.add_argument("--name", required=True, help="a name of the INN only the 4A relay resolves")
opts = ap.parse_args()

windows = opts.program.lower().endswith(".exe")
base_env = dict(os.environ)
if windows:
    base_env.update(LANG="pl_PL.UTF-8", LC_ALL="pl_PL.UTF-8", WINEDEBUG="-all")
    console, eol = "cp852", "\r\n"
else:
    base_env.update(LANG="C.UTF-8", LC_ALL="C.UTF-8")
    console, eol = "utf-8", "\n"
base_env.pop("KESTRUN_SOCKS", None)

failures = []


def check(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else ": " + detail))
    if not ok:
        failures.append(what)


f = tempfile.NamedTemporaryFile(delete=False, suffix=".txt")
f.write(b"through a proxy\r\n")
f.close()
body = f.name


def run(socks, server):
    env = dict(base_env)
    if socks is not None:
        env["KESTRUN_SOCKS"] = socks
    subject = "kestrun socks test %s %f" % (socks, time.time())
    cmd = ([opts.runner] if opts.runner else []) + [opts.program, server, "a <a@example.invalid>",
                                                    "pl.test", subject, body]
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=120)
    return r.returncode, r.stdout.decode(console, "replace"), subject


def last_subject():
    reader = nntp_read.Reader(opts.server)
    try:
        headers, _ = nntp_read.split_article(reader.last_article("pl.test"))
    finally:
        reader.close()
    return nntp_read.decoded(nntp_read.header(headers, "Subject"))


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
for what, url, server in posts:
    code, out, subject = run(url, server)
    check(what + ": exit 0", code == 0 and out == "Artykuł wysłano" + eol, "%d %r" % (code, out))
    if code == 0:
        check(what + ": stored", last_subject() == subject)

for what, url, server in [
    ("dante refuses the password", "socks5://kestrunsocks:wrong@%s:1081" % s, opts.server),
    ("microsocks refuses the password", "socks5://kestrun:wrong@%s:1083" % s, opts.server),
    ("nobody listens on the proxy port", "socks5://%s:1099" % s, opts.server),
    # Port 119 of the proxies' own address: nobody listens there.
    ("the proxy cannot reach the server", "socks5://%s:1082" % s, s),
]:
    code, out, _ = run(url, server)
    check(what + ": exit 2", code == 2 and out == "Połączenie niemożliwe" + eol, "%d %r" % (code, out))

code, out, _ = run("socks5://%s:99999" % s, opts.server)
check("malformed value: exit 1 naming the variable", code == 1 and "KESTRUN_SOCKS" in out
      and "99999" in out, "%d %r" % (code, out))
code, out, _ = run("", opts.server)
check("empty value: a direct post", code == 0 and out == "Artykuł wysłano" + eol, "%d %r" % (code, out))

os.unlink(body)
sys.exit(1 if failures else 0)
