#!/usr/bin/env python3
"""Both programs (the Linux ones, or the Windows ones under wine) over IPv6:
kestrun posts to INN's reader on ::1 and nntpfetch reads the article back,
byte for byte, with the server written in brackets with its port, in clear
and over NNTPS with a certificate issued for the IP address ::1."""
import os
import socket
import sys
import tempfile

from harness import Ipv6Reader, check, console_env, finish, native_path, options, run, unique_tag

opts = options("--poster", "--fetch", "--inn-dir", "--certs", "--socks6-port")
try:
    socket.socket(socket.AF_INET6).bind(("::1", 0))
except OSError as e:
    # A machine (or container) with IPv6 switched off: nothing to test.
    print("no IPv6 loopback address here (%s): skipped" % e)
    sys.exit(77)
base_env, console, eol = console_env()
env = dict(base_env, KESTRUN_CA_FILE=native_path(os.path.join(opts.certs, "ca.pem")))
scratch = tempfile.mkdtemp(prefix="kestrun-ipv6-")
tag = unique_tag()
# Lines a dot begins (doubled on the wire, undone when read), Polish in
# UTF-8, an empty line.
body = ".kropka\r\n..dwie\r\n.\r\nZażółć gęślą jaźń\r\n\r\nostatni\r\n".encode("utf-8")
path = os.path.join(scratch, "body.txt")
with open(path, "wb") as f:
    f.write(body)


def fetch(args, env):
    r = run([opts.fetch] + args, env)
    return r.returncode, r.stdout, r.stderr.decode(console, "replace")


def find(over, subject):
    for line in over.split(b"\r\n"):
        fields = line.split(b"\t")
        if len(fields) > 4 and fields[1] == subject.encode():
            return fields[0].decode(), fields[4].decode()
    return None, None


with Ipv6Reader(opts.inn_dir) as clear, Ipv6Reader(opts.inn_dir, tls=True) as nntps:
    # Through dante, itself reached over IPv6, to the IPv6 server.
    proxied = dict(env, KESTRUN_SOCKS="socks5://[::1]:%s" % opts.socks6_port)
    for how, server, how_env in (("in clear", "[::1]:%d" % clear.port, env),
                                 ("as a URL", "nntp://[::1]:%d/" % clear.port, env),
                                 ("over NNTPS", "nntps://[::1]:%d" % nntps.port, env),
                                 # The certificate names the address, not the text.
                                 ("over NNTPS, written long", "nntps://[0:0:0:0::1]:%d" % nntps.port, env),
                                 ("through a SOCKS 5 proxy on ::1", "[::1]:%d" % clear.port, proxied)):
        subject = "ipv6 %s %s" % (how, tag)
        r = run([opts.poster, server, "Jan <jan@example.invalid>", "pl.test", subject, native_path(path)],
                how_env)
        out, err = r.stdout.decode(console, "replace"), r.stderr.decode(console, "replace")
        check("kestrun %s: exit 0" % server, r.returncode == 0 and out == "Artykuł wysłano" + eol,
              "%d %r %r" % (r.returncode, out, err))
        code, over, err = fetch([server, "pl.test"], how_env)
        number, message_id = find(over, subject)
        check("nntpfetch %s: the overview lists it" % server, code == 0 and number is not None,
              "%d %r" % (code, err))
        if number is None:
            continue
        want = b"\r\n\r\n" + body
        code, article, err = fetch([server, "pl.test", number], how_env)
        check("nntpfetch %s: the article by number, byte for byte" % server,
              code == 0 and article.endswith(want), "%d %r %r" % (code, article[-80:], err))
        code, article, err = fetch([server, message_id], how_env)
        check("nntpfetch %s: the article by message-id, byte for byte" % server,
              code == 0 and article.endswith(want), "%d %r %r" % (code, article[-80:], err))

os.unlink(path)
os.rmdir(scratch)
finish()
