#!/usr/bin/env python3
"""Reading benchmark: nntpfetch against Python's nntplib and a plain blocking
C++ reader (the ceiling), from a private INN filled in bulk with rnews and
from a replay server; then the login path of posting (480, AUTHINFO, 240)
against inews with its passwd.nntp. Prints medians of wall time, CPU time
and peak memory, and appends them to a CSV file for the plot.

    reading_bench.py NNTPFETCH PLAIN_READER KESTRUN RUNSTAT CSV   (as root)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import benchrun
from benchrun import batch, median, rnews
from benchrun import wait_group as wait_group_at

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.abspath(os.path.join(here, "..", ".."))
fetch, plain, kestrun, runstat, csv_path = sys.argv[1:6]
# Loopback addresses of the servers (port 119); KESTRUN_BENCH_ADDRESSES
# ("INN AUTH REPLAY") moves them off addresses that tests may be using.
INN, AUTH, REPLAY = os.environ.get("KESTRUN_BENCH_ADDRESSES", "127.0.0.5 127.0.0.4 127.0.0.6").split()
LINES = int(os.environ.get("KESTRUN_BENCH_LINES", "100000"))
RUNS = int(os.environ.get("KESTRUN_BENCH_RUNS", "5"))
USER, PASSWORD = "bench", "Bench-9-haslo"
inn_sh = os.path.join(root, "scripts", "inn.sh")


def measure(cmd, env=None):
    return benchrun.measure(runstat, cmd, env)


def output(cmd):
    return subprocess.run(cmd, stdout=subprocess.PIPE, check=True).stdout


def stuffed(data):
    return b"".join(b"." + l if l.startswith(b".") else l for l in data.splitlines(keepends=True))


def wait_group(count, group):
    wait_group_at(INN, count, group)


rows = []


def run_case(target, case, size_mb, clients):
    print("  %-28s %-10s %10s %10s %10s %8s" % (case, "client", "wall ms", "CPU ms", "peak MB", "MB/s"))
    for name, cmd in clients:
        samples = [measure(cmd) for _ in range(RUNS)]
        w, c, m = (median([s[i] for s in samples]) for i in range(3))
        print("  %-28s %-10s %10.1f %10.1f %10.1f %8.1f" % ("", name, w, c, m, size_mb / (w / 1000)))
        rows.append((target, case, name, size_mb, w, c, m))
        sys.stdout.flush()


work = tempfile.mkdtemp(prefix="kestrun-readbench.")
inn_dir = output([inn_sh, "start", INN]).decode().strip()
# INN offers STARTTLS, and kestrun logs in only after it worked: the login
# server speaks TLS, with certificates kestrun is told to trust.
certs = os.path.join(work, "certs")
subprocess.run([os.path.join(root, "scripts", "tls-certs.sh"), certs, AUTH], check=True)
auth_dir = output([inn_sh, "start", "--auth", USER + ":" + PASSWORD, "--tls", certs, AUTH]).decode().strip()
replay = None
try:
    print("Filling INN with %d articles (rnews) and one of 10 MB ..." % LINES)
    t0 = time.time()
    for start in range(0, LINES, 20000):
        rnews(inn_dir, batch(min(20000, LINES - start), "pl.test.bench", start))
    big = (b"Kestrun benchmark line of text, seventy bytes long, more or less ok.\n" * 150000)[:10000000]
    rnews(inn_dir, batch(1, "pl.test", 10 ** 7, big))
    wait_group(LINES, "pl.test.bench")
    wait_group(1, "pl.test")
    print("  filled in %.0f s" % (time.time() - t0))

    over = output([plain, INN, "pl.test.bench"])
    art = output([plain, INN, "pl.test", "1"])
    check_over = output([fetch, INN, "pl.test.bench"])
    check_art = output([fetch, INN, "pl.test", "1"])
    print("  overview %.1f MB in %d lines, article %.1f MB; nntpfetch output identical to the ceiling's: %s"
          % (len(over) / 1e6, over.count(b"\r\n"), len(art) / 1e6,
             "yes" if (over, art) == (check_over, check_art) else "NO"))

    def readers(addr, group, number=None):
        extra = [number] if number else []
        return [("nntpfetch", [fetch, addr, group] + extra),
                ("ceiling", [plain, addr, group] + extra),
                ("nntplib", [sys.executable, os.path.join(here, "nntplib_read.py"), addr, group] + extra)]

    print("\nFrom INN (%s:119), medians of %d runs" % (INN, RUNS))
    run_case("INN", "XOVER %d lines" % LINES, len(over) / 1e6, readers(INN, "pl.test.bench"))
    run_case("INN", "ARTICLE 10 MB", len(art) / 1e6, readers(INN, "pl.test", "1"))

    print("\nFrom the replay server (%s:119)" % REPLAY)
    lines = over.split(b"\r\n")[:-1]

    def replay_case(case, size_mb, overview, article, group_args):
        global replay
        ov = os.path.join(work, "over.txt")
        ar = os.path.join(work, "article.txt")
        open(ov, "wb").write(stuffed(overview))
        open(ar, "wb").write(stuffed(article))
        replay = subprocess.Popen([sys.executable, os.path.join(here, "replay_server.py"), REPLAY, ov, ar],
                                  stdout=subprocess.PIPE)
        replay.stdout.readline()
        try:
            run_case("replay", case, size_mb, readers(REPLAY, *group_args))
        finally:
            replay.kill()
            replay.wait()
            replay = None

    for n in sorted({max(1, LINES // 100), max(1, LINES // 10), LINES}):
        part = b"".join(l + b"\r\n" for l in lines[:n])
        replay_case("XOVER %d lines" % n, len(part) / 1e6, part, b"x\r\n", ["bench"])
    for size in (100000, 1000000, 10000000):
        # Whole lines only: the answer must end with a line end before ".".
        part = art[:art.rfind(b"\r\n", 0, size) + 2]
        replay_case("ARTICLE %.1f MB" % (len(part) / 1e6), len(part) / 1e6, b"", part, ["bench", "1"])

    print("\nPosting 1 KB to an INN that wants a login (%s:119; kestrun after STARTTLS)" % AUTH)
    netrc = os.path.join(work, "netrc")
    with open(netrc, "w") as f:
        f.write("machine %s login %s password %s\n" % (AUTH, USER, PASSWORD))
    os.chmod(netrc, 0o600)
    conf = os.path.join(work, "auth.conf")
    with open(os.path.join(auth_dir, "etc", "inn.conf")) as src, open(conf, "w") as dst:
        for l in src:
            dst.write("server: %s\n" % AUTH if l.startswith("server:") else l)
    bodyfile = os.path.join(work, "body.txt")
    open(bodyfile, "wb").write(b"A short article posted after a login.\r\n" * 25)
    artfile = os.path.join(work, "article.txt")
    open(artfile, "wb").write(b"From: Bench <bench@example.invalid>\nNewsgroups: pl.test.bench\nSubject: bench\n\n"
                              + b"A short article posted after a login.\n" * 25)
    env_k = dict(os.environ, NETRC=netrc, KESTRUN_CA_FILE=os.path.join(certs, "ca.pem"))
    env_i = dict(os.environ, INNCONF=conf)
    print("  %-28s %-10s %10s %10s %10s" % ("", "client", "wall ms", "CPU ms", "peak MB"))
    for name, cmd, env in (("kestrun", [kestrun, AUTH, "Bench <bench@example.invalid>", "pl.test.bench", "bench",
                                        bodyfile], env_k),
                           ("inews", ["/usr/lib/news/bin/inews", "-h", "-O", artfile], env_i)):
        samples = [measure(cmd, env) for _ in range(RUNS * 3)]
        w, c, m = (median([s[i] for s in samples]) for i in range(3))
        print("  %-28s %-10s %10.1f %10.1f %10.1f" % ("480, login, 240", name, w, c, m))
        rows.append(("INN login", "post 1 KB after 480", name, 0.001, w, c, m))
finally:
    if replay:
        replay.kill()
    subprocess.run([inn_sh, "stop", inn_dir])
    subprocess.run([inn_sh, "stop", auth_dir])
    shutil.rmtree(work, ignore_errors=True)
    with open(csv_path, "a") as f:
        for r in rows:
            f.write("reading,%s,%s,%s,%.4f,%.2f,%.2f,%.2f\n" % r)
