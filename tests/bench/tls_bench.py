#!/usr/bin/env python3
"""What TLS costs: posting 1 KB and 1 MB to a private INN over NNTPS with
kestrun and with nntplib (NNTP_SSL), beside the same kestrun in clear; and
reading overviews of up to 100,000 lines over NNTPS with nntpfetch, nntplib
and the plain blocking reader given TLS (the ceiling), beside nntpfetch in
clear. Beside the posts, the plain reader opening a session and nothing else
shows what a verified TLS session costs before any work. Then a 1 KB post
with the system's trust store as a user has it (a copy of the system's
hashed directory with the test CA added, named by SSL_CERT_DIR for every
program, SSL_CERT_FILE unset so that each also sees the default bundle):
kestrun against nntplib with ssl.create_default_context(), kestrun with a
one-certificate KESTRUN_CA_FILE, and kestrun told to read the whole bundle
(SSL_CERT_FILE naming it), each run in turn. Prints medians of wall time,
CPU time and peak memory, and appends them to a CSV file for the plot.

    tls_bench.py KESTRUN NNTPFETCH PLAIN_READER RUNSTAT CSV   (as root)

KESTRUN_BENCH_TLS_ADDRESS moves the server (port 119 and 563);
KESTRUN_BENCH_LINES and KESTRUN_BENCH_RUNS shrink a smoke run;
KESTRUN_BENCH_STORE_RUNS sets the trust store's runs (default 31);
KESTRUN_BENCH_TLS_PARTS picks parts: posts, store, reading (default all).
"""
import os
import shutil
import ssl
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
STORE_RUNS = int(os.environ.get("KESTRUN_BENCH_STORE_RUNS", "31"))
PARTS = os.environ.get("KESTRUN_BENCH_TLS_PARTS", "posts,store,reading").split(",")
POSTS = [("1 KB", 1000), ("1 MB", 1000000)]
HEADERS = b"From: Bench <bench@example.invalid>\nNewsgroups: pl.test.bench\nSubject: bench\n\n"
inn_sh = os.path.join(root, "scripts", "inn.sh")
rows = []
rows_store = []  # apart from the plot's series: one size only


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


def quartiles(xs):
    xs = sorted(xs)
    return xs[len(xs) // 4], xs[len(xs) // 2], xs[(3 * len(xs)) // 4]


def trust_store_post(body):
    """A 1 KB post with the system's trust store as a user has it; the
    clients take turns, run after run, so that a busy spell of the machine
    falls on all of them alike."""
    store = os.path.join(work, "system-certs")
    system_dir = os.path.realpath(ssl.get_default_verify_paths().openssl_capath)
    shutil.copytree(system_dir, store, symlinks=True)
    system_count = len([n for n in os.listdir(store) if n.endswith(".pem")])
    shutil.copy(ca, os.path.join(store, "kestrun-test-ca.pem"))
    subprocess.run(["openssl", "rehash", store], stderr=subprocess.DEVNULL)
    user = {k: v for k, v in os.environ.items() if k not in ("SSL_CERT_FILE", "KESTRUN_CA_FILE")}
    user["SSL_CERT_DIR"] = store
    bundle = os.path.join(work, "bundle-with-ca.pem")
    with open(bundle, "wb") as f:
        f.write(open(ssl.get_default_verify_paths().openssl_cafile, "rb").read() + b"\n" + open(ca, "rb").read())
    bodyfile = os.path.join(work, "store-body.txt")
    artfile = os.path.join(work, "store-article.txt")
    open(bodyfile, "wb").write(body)
    open(artfile, "wb").write(HEADERS + body.replace(b"\r\n", b"\n"))
    post = [kestrun, "nntps://" + ADDR, "Bench <bench@example.invalid>", "pl.test.bench", "bench", bodyfile]
    clients = [
        ("kestrun", post, user),
        ("nntplib", [sys.executable, os.path.join(here, "nntplib_post.py"), "--tls", "system", ADDR, artfile], user),
        ("kestrun, one-cert file", post, dict(user, KESTRUN_CA_FILE=ca)),
        ("kestrun, bundle named", post, dict(user, SSL_CERT_FILE=bundle)),
    ]
    print("\nPosting 1 KB over NNTPS with the system's trust store (%s: %d certificates and the test CA;\n"
          "the default bundle); SSL_CERT_DIR=%s, SSL_CERT_FILE unset; %d runs of each in turn"
          % (system_dir, system_count, store, STORE_RUNS))
    samples = {name: [] for name, _, _ in clients}
    for _ in range(STORE_RUNS):
        for name, cmd, env_ in clients:
            samples[name].append(benchrun.measure(runstat, cmd, env_))
    print("  %-24s %10s %10s %22s %10s" % ("client", "wall ms", "CPU ms", "CPU quartiles", "peak MB"))
    cpu = {}
    for name, _, _ in clients:
        runs = samples[name]
        w, c, m = (median([r[i] for r in runs]) for i in range(3))
        q1, _, q3 = quartiles([r[1] for r in runs])
        cpu[name] = c
        print("  %-24s %10.1f %10.1f %10.1f to %7.1f %10.1f" % (name, w, c, q1, q3, m))
        rows_store.append(("INN TLS", "post 1 KB, system store", name, len(body) / 1e6, w, c, m))
    print("  kestrun's CPU: %.3f of nntplib's (target at most 0.10); %.2f times the one-certificate run"
          " (target at most 1.3); the whole bundle read: %.2f times"
          % (cpu["kestrun"] / cpu["nntplib"], cpu["kestrun"] / cpu["kestrun, one-cert file"],
             cpu["kestrun, bundle named"] / cpu["kestrun, one-cert file"]))
    sys.stdout.flush()


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
    if "posts" in PARTS:
        print("Posting to INN over NNTPS (%s:563) and in clear (port 119), medians of %d runs" % (ADDR, RUNS))
    for label, size in POSTS if "posts" in PARTS else []:
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

    if "store" in PARTS:
        trust_store_post((b"Kestrun benchmark line of text, seventy bytes long, more or less ok.\r\n" * 15)[:1000])
    if "reading" not in PARTS:
        sys.exit(0)

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
        for row in rows_store:
            f.write("tls-store,%s,%s,%s,%.4f,%.2f,%.2f,%.2f\n" % row)
