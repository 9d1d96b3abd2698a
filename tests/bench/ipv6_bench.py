#!/usr/bin/env python3
"""IPv6: what a broken IPv6 path costs, and what IPv6 itself costs.

1. A dual-stack name whose IPv6 address never answers (a listener on
   [::1]:119 whose queue is full, so that the kernel drops every SYN) and
   whose IPv4 address is a private INN: the time to a posted 1 KB article
   with kestrun, nntplib (nntplib.NNTP(name)) and inews given the same name.
   The name comes from a hosts file seen only by the clients (a mount
   namespace of their own); the machine's /etc/hosts is not touched.
2. Posting 1 KB and reading 100,000 overview lines over ::1 against the
   same over IPv4: one nnrpd daemon on each address, same port, the runs
   taking turns.

Prints medians of wall time, CPU time and peak memory.

    ipv6_bench.py KESTRUN NNTPFETCH RUNSTAT   (as root)

KESTRUN_BENCH_IPV6_ADDRESS moves the INN (default 127.0.0.9);
KESTRUN_BENCH_LINES and KESTRUN_BENCH_RUNS shrink a smoke run;
KESTRUN_BENCH_PEER_TIMEOUT caps a peer's wait (seconds, default 600);
KESTRUN_BENCH_IPV6_PARTS picks parts: broken, families (default both).
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

from benchrun import batch, median, rnews, wait_group

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.abspath(os.path.join(here, "..", ".."))
kestrun, fetch, runstat = sys.argv[1:4]
ADDR = os.environ.get("KESTRUN_BENCH_IPV6_ADDRESS", "127.0.0.9")
LINES = int(os.environ.get("KESTRUN_BENCH_LINES", "100000"))
RUNS = int(os.environ.get("KESTRUN_BENCH_RUNS", "11"))
PEER_TIMEOUT = int(os.environ.get("KESTRUN_BENCH_PEER_TIMEOUT", "600"))
PARTS = os.environ.get("KESTRUN_BENCH_IPV6_PARTS", "broken,families").split(",")
NAME = "news.dual.kestrun.test"
NNRPD = "/usr/lib/news/bin/nnrpd"
AUTHOR = "Bench <bench@example.invalid>"


def measure(cmd, env=None, prefix=(), timeout=None):
    """Wall ms, CPU ms, peak MB of `cmd` measured by runstat, run after
    `prefix` (the private hosts file); None when it did not finish."""
    try:
        r = subprocess.run(list(prefix) + [runstat] + cmd, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, env=env, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    err = r.stderr.decode(errors="replace")
    if r.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (cmd[0], r.returncode, err[-300:]))
    wall, cpu, peak = err.strip().splitlines()[-1].split()
    return float(wall), float(cpu), int(peak) / 1024


def show(label, samples):
    if any(s is None for s in samples):
        print("  %-30s %10s   (gave up after %d s)" % (label, "-", PEER_TIMEOUT))
        return None
    m = [median([s[i] for s in samples]) for i in range(3)]
    print("  %-30s %10.1f %10.1f %10.1f   (%d runs)" % (label, m[0], m[1], m[2], len(samples)))
    sys.stdout.flush()
    return m


def nnrpd(inn_dir, bind, port):
    env = dict(os.environ, INNCONF=os.path.join(inn_dir, "etc", "inn.conf"))
    family = ["-6", bind] if ":" in bind else ["-b", bind]
    subprocess.run([NNRPD, "-D"] + family + ["-p", str(port)], env=env, check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    fam = socket.AF_INET6 if ":" in bind else socket.AF_INET
    for _ in range(300):
        try:
            with socket.socket(fam) as s:
                s.connect((bind, port))
                if s.recv(3) in (b"200", b"201"):
                    return
        except OSError:
            pass
        time.sleep(0.05)
    raise RuntimeError("nnrpd does not greet on %s port %d" % (bind, port))


def stop_listeners(port):
    out = subprocess.run(["ss", "-Hltnp", "sport = :%d" % port], stdout=subprocess.PIPE, text=True).stdout
    import re
    for pid in {int(p) for p in re.findall(r"pid=(\d+)", out)}:
        try:
            os.kill(pid, 15)
        except ProcessLookupError:
            pass


def broken_path():
    print("1. Posting 1 KB to a dual-stack name whose IPv6 address never answers")
    print("   (%s: ::1, where nothing answers on port 119, then %s, INN)" % (NAME, ADDR))
    silent = socket.socket(socket.AF_INET6)
    silent.bind(("::1", 119))
    silent.listen(0)
    filler = socket.create_connection(("::1", 119))
    hosts = os.path.join(work, "hosts")
    open(hosts, "w").write("127.0.0.1 localhost\n::1 %s\n%s %s\n" % (NAME, ADDR, NAME))
    private = ["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec "$@"', hosts]
    conf = os.path.join(work, "inn.conf")
    with open(os.path.join(inn_dir, "etc", "inn.conf")) as src, open(conf, "w") as dst:
        for l in src:
            dst.write("server: %s\n" % NAME if l.startswith("server:") else l)
    print("  %-30s %10s %10s %10s" % ("client", "wall ms", "CPU ms", "peak MB"))
    show("kestrun", [measure([kestrun, NAME, AUTHOR, "pl.test.bench", "bench", body], prefix=private)
                     for _ in range(RUNS)])
    show("nntplib", [measure([sys.executable, os.path.join(here, "nntplib_post.py"), NAME, article],
                             prefix=private, timeout=PEER_TIMEOUT)])
    show("inews", [measure(["/usr/lib/news/bin/inews", "-h", "-O", article], prefix=private,
                           env=dict(os.environ, INNCONF=conf), timeout=PEER_TIMEOUT)])
    filler.close()
    silent.close()


inn_dir = subprocess.check_output([os.path.join(root, "scripts", "inn.sh"), "start", ADDR]).decode().strip()
work = tempfile.mkdtemp(prefix="kestrun-bench-ipv6.")
free = socket.socket(socket.AF_INET6)
free.bind(("::1", 0))
PORT = free.getsockname()[1]
free.close()
try:
    body = os.path.join(work, "body.txt")
    line = b"Kestrun benchmark line of text, seventy bytes long, more or less ok.\r\n"
    open(body, "wb").write((line * 15)[:1000])
    article = os.path.join(work, "article.txt")
    open(article, "wb").write(b"From: Bench <bench@example.invalid>\nNewsgroups: pl.test.bench\nSubject: bench\n\n"
                              + (line * 15)[:1000].replace(b"\r\n", b"\n"))

    if "broken" in PARTS:
        broken_path()
    if "families" not in PARTS:
        sys.exit(0)
    print("\n2. IPv6 against IPv4: nnrpd on [::1]:%d and %s:%d, runs taking turns" % (PORT, ADDR, PORT))
    print("   Filling INN with %d articles (rnews) ..." % LINES)
    for start in range(0, LINES, 20000):
        rnews(inn_dir, batch(min(20000, LINES - start), "pl.test.bench", start))
    wait_group(ADDR, LINES, "pl.test.bench")
    nnrpd(inn_dir, ADDR, PORT)
    nnrpd(inn_dir, "::1", PORT)
    servers = [("IPv4", "%s:%d" % (ADDR, PORT)), ("IPv6", "[::1]:%d" % PORT)]
    cases = [("post 1 KB", lambda s: [kestrun, s, AUTHOR, "pl.test.bench", "bench", body]),
             ("XOVER %d lines" % LINES, lambda s: [fetch, s, "pl.test.bench"])]
    print("  %-30s %10s %10s %10s" % ("case", "wall ms", "CPU ms", "peak MB"))
    for case, cmd in cases:
        samples = {fam: [] for fam, _ in servers}
        for _ in range(RUNS):
            for fam, server in servers:
                samples[fam].append(measure(cmd(server)))
        m4 = show("%s, IPv4" % case, samples["IPv4"])
        m6 = show("%s, IPv6" % case, samples["IPv6"])
        print("  %-30s wall %.3fx, CPU %.3fx" % ("IPv6/IPv4", m6[0] / m4[0], m6[1] / m4[1]))
finally:
    stop_listeners(PORT)
    subprocess.run([os.path.join(root, "scripts", "inn.sh"), "stop", inn_dir], stdout=subprocess.DEVNULL)
    subprocess.run(["rm", "-rf", work])
