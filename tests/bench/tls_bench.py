#!/usr/bin/env python3
"""What TLS costs: posting 1 KB and 1 MB to a private INN over NNTPS with
kestrun and with nntplib (NNTP_SSL), beside the same kestrun in clear; and
reading overviews of up to 100,000 lines over NNTPS with nntpfetch, nntplib
and the plain blocking reader given TLS (the ceiling), beside nntpfetch in
clear. Beside the posts, the plain reader opening a session and nothing else
shows what a verified TLS session costs before any work. Prints medians of
wall time, CPU time and peak memory, and appends them to a CSV file for the
plot.

    tls_bench.py KESTRUN NNTPFETCH PLAIN_READER RUNSTAT CSV   (as root)

KESTRUN_BENCH_TLS_ADDRESS moves the server (port 119 and 563);
KESTRUN_BENCH_LINES and KESTRUN_BENCH_RUNS shrink a smoke run.
"""
import os
import shutil
import subprocess
import sys
import tempfile

import benchrun
from benchrun import batch, median, rnews, wait_group

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.abspath(os.path.join(here, "..", ".."))
kestrun, fetch, plain, runstat, csv_path = sys.argv[1:6]
ADDR = os.environ.get("KESTRUN_BENCH_TLS_ADDRESS", "127.0.0.7")
LINES = int(os.environ.get("KESTRUN_BENCH_LINES", "100000"))
RUNS = int(os.environ.get("KESTRUN_BENCH_RUNS", "5"))
POSTS = [("1 KB", 1000), ("1 MB", 1000000)]
HEADERS = b"From: Bench <bench@example.invalid>\nNewsgroups: pl.test.bench\nSubject: bench\n\n"
inn_sh = os.path.join(root, "scripts", "inn.sh")
rows = []


def run_case(target, case, size_mb, clients, env):
    print("  %-24s %-16s %10s %10s %10s" % (case, "client", "wall ms", "CPU ms", "peak MB"))
    results = {}
    for name, cmd in clients:
        samples = [benchrun.measure(runstat, cmd, env) for _ in range(RUNS)]
        results[name] = [median([s[i] for s in samples]) for i in range(3)]
        w, c, m = results[name]
        print("  %-24s %-16s %10.1f %10.1f %10.1f" % ("", name, w, c, m))
        rows.append((target, case, name, size_mb, w, c, m))
        sys.stdout.flush()
    return results


def ratios(results, ours, clear, python):
    o, c, p = results[ours], results[clear], results[python]
    print("  %-24s TLS over clear: wall %+.0f%% (target at most +20%%); CPU %.2f of nntplib's (target 0.10)"
          % ("", (o[0] / c[0] - 1) * 100, o[1] / p[1]))
    if "session alone" in results:
        print("  %-24s the TLS session alone already takes %.2f of nntplib's CPU"
              % ("", results["session alone"][1] / p[1]))


work = tempfile.mkdtemp(prefix="kestrun-tlsbench.")
certs = os.path.join(work, "certs")
subprocess.run([os.path.join(root, "scripts", "tls-certs.sh"), certs, ADDR], check=True)
ca = os.path.join(certs, "ca.pem")
inn_dir = subprocess.run([inn_sh, "start", "--tls", certs, ADDR], stdout=subprocess.PIPE,
                         check=True).stdout.decode().strip()
env = dict(os.environ, KESTRUN_CA_FILE=ca)
try:
    print("Posting to INN over NNTPS (%s:563) and in clear (port 119), medians of %d runs" % (ADDR, RUNS))
    for label, size in POSTS:
        body = (b"Kestrun benchmark line of text, seventy bytes long, more or less ok.\r\n" * (size // 70 + 1))[:size]
        bodyfile = os.path.join(work, "body.txt")
        artfile = os.path.join(work, "article.txt")
        open(bodyfile, "wb").write(body)
        open(artfile, "wb").write(HEADERS + body.replace(b"\r\n", b"\n"))
        post = [kestrun, None, "Bench <bench@example.invalid>", "pl.test.bench", "bench", bodyfile]
        r = run_case("INN TLS", "post " + label, size / 1e6, [
            ("kestrun", post[:1] + ["nntps://" + ADDR] + post[2:]),
            ("kestrun clear", post[:1] + [ADDR] + post[2:]),
            ("nntplib", [sys.executable, os.path.join(here, "nntplib_post.py"), "--tls", ca, ADDR, artfile]),
            # The floor: the plain reader opens a verified NNTPS session
            # (handshake, greeting, QUIT) and does nothing else.
            ("session alone", [plain, "--tls", ca, ADDR, "-"]),
        ], env)
        ratios(r, "kestrun", "kestrun clear", "nntplib")

    # Three groups of a hundredth, a tenth and all of the lines.
    sizes = [("pl.test", max(1, LINES // 100)), ("pl.test.read", max(1, LINES // 10)), ("pl.test.bench", LINES)]
    print("\nFilling INN with %d articles (rnews) ..." % sum(n for _, n in sizes))
    for k, (group, n) in enumerate(sizes):
        # Message-ids apart per group: INN refuses a second article with one.
        for start in range(0, n, 20000):
            rnews(inn_dir, batch(min(20000, n - start), group, k * 10 ** 6 + start))
    for group, n in sizes:
        wait_group(ADDR, n, group)
    print("\nReading the overview over NNTPS, medians of %d runs" % RUNS)
    for group, n in sizes:
        over = subprocess.run([plain, "--tls", ca, ADDR, group], stdout=subprocess.PIPE, check=True).stdout
        same = subprocess.run([fetch, "nntps://" + ADDR, group], stdout=subprocess.PIPE, env=env).stdout == over
        print("  %s: %.1f MB in %d lines; nntpfetch's output identical to the ceiling's: %s"
              % (group, len(over) / 1e6, over.count(b"\r\n"), "yes" if same else "NO"))
        r = run_case("INN TLS", "XOVER %d lines" % n, len(over) / 1e6, [
            ("nntpfetch", [fetch, "nntps://" + ADDR, group]),
            ("nntpfetch clear", [fetch, ADDR, group]),
            ("ceiling", [plain, "--tls", ca, ADDR, group]),
            ("nntplib", [sys.executable, os.path.join(here, "nntplib_read.py"), "--tls", ca, ADDR, group]),
        ], env)
        ratios(r, "nntpfetch", "nntpfetch clear", "nntplib")
finally:
    subprocess.run([inn_sh, "stop", inn_dir])
    shutil.rmtree(work, ignore_errors=True)
    with open(csv_path, "a") as f:
        for row in rows:
            f.write("tls,%s,%s,%s,%.4f,%.2f,%.2f,%.2f\n" % row)
