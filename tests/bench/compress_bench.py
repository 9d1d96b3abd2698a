#!/usr/bin/env python3
"""COMPRESS DEFLATE over a slow link: a relay of our own (slow_link.py)
between the clients and a private INN limits each direction to 10 Mbit/s
and delays it by 20 ms. Reading the overview of a large group and a 10 MB
text article: nntpfetch with compression and without, Python's nntplib, and
the plain blocking reader with zlib (the ceiling: the same exchange with
inflate and nothing else). Posting a 1 MB text article: kestrun with and
without compression, and inews. Then straight to INN on loopback, where the
programs' own choice must never be slower than no compression. Prints
medians of wall time, CPU time and peak memory, and the bytes the link
carried; appends the figures to a CSV file for the plot.

    compress_bench.py NNTPFETCH PLAIN_READER KESTRUN RUNSTAT CSV   (as root)
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

import benchrun
from benchrun import batch, median, rnews, wait_group

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.abspath(os.path.join(here, "..", ".."))
fetch, plain, kestrun, runstat, csv_path = sys.argv[1:6]
INN, LINK = os.environ.get("KESTRUN_COMPRESS_BENCH_ADDRESSES", "127.0.0.7 127.0.0.8").split()
LINES = int(os.environ.get("KESTRUN_BENCH_LINES", "100000"))
RUNS = int(os.environ.get("KESTRUN_BENCH_RUNS", "3"))
# "link", "loopback" or both (the default).
PARTS = os.environ.get("KESTRUN_COMPRESS_BENCH_PARTS", "link loopback").split()
MBIT, DELAY_MS = 10, 20
inn_sh = os.path.join(root, "scripts", "inn.sh")


def text(size, seed):
    """Real prose: the Perl manual pages of this machine (English, about as
    compressible as news text: DEFLATE takes them to a third), from a place
    that depends on `seed`, repeated to `size` bytes."""
    pods = sorted(glob.glob("/usr/share/perl/*/pod/*.pod") + glob.glob("/usr/share/perl5/**/*.pod", recursive=True))
    data = b"".join(open(p, "rb").read() for p in pods)
    if not data:
        raise RuntimeError("no Perl manual pages (*.pod) to take text from")
    at = (seed * 7919) % len(data)
    data = data[at:] + data[:at]
    return (data * (size // len(data) + 1))[:size]


def output(cmd, env=None):
    return subprocess.run(cmd, stdout=subprocess.PIPE, check=True, env=env).stdout


rows = []


def link_lines(log):
    try:
        with open(log) as f:
            return f.read().splitlines()
    except OSError:
        return []


# Connections made through the link so far: the link notes each once both
# its ends have closed, which may come just after the program has ended.
made = [0]


def link_bytes(log):
    """What the link carried for the last connection made: up, down."""
    for _ in range(500):
        lines = link_lines(log)
        if len(lines) >= made[0]:
            return tuple(int(x) for x in lines[made[0] - 1].split())
        time.sleep(0.01)
    return (0, 0)


def run_case(target, case, size_mb, clients, log=None):
    print("  %-24s %-22s %9s %9s %8s %12s" % (case, "client", "wall ms", "CPU ms", "peak MB", "link down/up"))
    results = {}
    # The clients take turns, run by run, so that the server's caches and the
    # machine's drift weigh on all of them alike.
    samples = {name: [] for name, _, _ in clients}
    carried = {}
    for _ in range(RUNS):
        for name, cmd, env in clients:
            samples[name].append(benchrun.measure(runstat, cmd, env))
            if log:
                made[0] += 1
                up, down = link_bytes(log)
                carried[name] = "%.2f / %.3f MB" % (down / 1e6, up / 1e6)
    for name, _, _ in clients:
        w, c, m = (median([x[i] for x in samples[name]]) for i in range(3))
        print("  %-24s %-22s %9.1f %9.1f %8.1f %12s" % ("", name, w, c, m, carried.get(name, "")))
        rows.append((target, case, name, size_mb, w, c, m))
        results[name] = (w, c, m)
        sys.stdout.flush()
    return results


work = tempfile.mkdtemp(prefix="kestrun-compressbench.")
inn_dir = output([inn_sh, "start", INN]).decode().strip()
link = None
try:
    print("Filling INN with %d articles (rnews) and a 10 MB text article ..." % LINES)
    t0 = time.time()
    for start in range(0, LINES, 20000):
        rnews(inn_dir, batch(min(20000, LINES - start), "pl.test.bench", start))
    article_text = text(10 * 1000 * 1000, 1)
    rnews(inn_dir, batch(1, "pl.test", 10 ** 7, article_text))
    wait_group(INN, LINES, "pl.test.bench")
    wait_group(INN, 1, "pl.test")
    print("  filled in %.0f s" % (time.time() - t0))

    log = os.path.join(work, "link.log")
    link = subprocess.Popen([sys.executable, os.path.join(here, "slow_link.py"), LINK, "119", INN, "119",
                             "--mbit", str(MBIT), "--delay", str(DELAY_MS), "--log", log], stdout=subprocess.PIPE)
    link.stdout.readline()
    on = dict(os.environ, KESTRUN_COMPRESS="1")
    off = dict(os.environ, KESTRUN_COMPRESS="0")

    over = output([plain, INN, "pl.test.bench"])
    art = output([plain, INN, "pl.test", "1"])
    same = all(output([fetch, LINK, g] + n, on) == want
               for g, n, want in (("pl.test.bench", [], over), ("pl.test", ["1"], art)))
    made[0] += 2
    print("  overview %.1f MB in %d lines, article %.1f MB; nntpfetch with compression over the link "
          "gives the same bytes: %s" % (len(over) / 1e6, over.count(b"\r\n"), len(art) / 1e6,
                                        "yes" if same else "NO"))

    def readers(group, number=None):
        extra = [number] if number else []
        return [("nntpfetch compressed", [fetch, LINK, group] + extra, on),
                ("ceiling (zlib)", [plain, "--compress", LINK, group] + extra, None),
                ("nntpfetch", [fetch, LINK, group] + extra, off),
                ("nntplib", [sys.executable, os.path.join(here, "nntplib_read.py"), LINK, group] + extra, None)]

    body = os.path.join(work, "body.txt")
    post_text = text(1000 * 1000, 2)
    open(body, "wb").write(post_text)
    artfile = os.path.join(work, "article.txt")
    open(artfile, "wb").write(b"From: Bench <bench@example.invalid>\nNewsgroups: pl.test.bench\nSubject: bench\n\n"
                              + post_text)
    conf = os.path.join(work, "link.conf")
    with open(os.path.join(inn_dir, "etc", "inn.conf")) as src, open(conf, "w") as dst:
        for line in src:
            dst.write("server: %s\n" % LINK if line.startswith("server:") else line)

    def posters(address, first, second):
        k = [kestrun, address, "Bench <bench@example.invalid>", "pl.test.bench", "bench", body]
        return [(first[0], k, first[1]), (second[0], k, second[1])]

    summary = []
    if "link" in PARTS:
        print("\nReading through the link (%d Mbit/s, %d ms each way), medians of %d runs"
              % (MBIT, DELAY_MS, RUNS))
        for case, size, args in (("XOVER %d lines" % LINES, len(over), ("pl.test.bench",)),
                                 ("ARTICLE 10 MB text", len(art), ("pl.test", "1"))):
            r = run_case("slow link", case, size / 1e6, readers(*args), log)
            fast = r["nntpfetch compressed"]
            ceiling = r["ceiling (zlib)"]
            summary.append("  %s: %.1fx faster than nntpfetch uncompressed, %.1fx than nntplib; %.2fx the "
                           "ceiling's wall, %.2fx its CPU" % (case, r["nntpfetch"][0] / fast[0],
                                                             r["nntplib"][0] / fast[0], fast[0] / ceiling[0],
                                                             fast[1] / ceiling[1]))

        print("\nPosting a 1 MB text article through the link")
        inews = ("inews", ["/usr/lib/news/bin/inews", "-h", "-O", artfile], dict(os.environ, INNCONF=conf))
        r = run_case("slow link", "POST 1 MB text", 1.0,
                     posters(LINK, ("kestrun compressed", on), ("kestrun", off)) + [inews], log)
        summary.append("  POST 1 MB: kestrun compressed %.1fx faster than inews"
                       % (r["inews"][0] / r["kestrun compressed"][0]))

    if "loopback" in PARTS:
        print("\nStraight to INN on loopback: the programs' own choice against no compression")
        default = dict(os.environ)
        default.pop("KESTRUN_COMPRESS", None)
        for case, args in (("XOVER %d lines" % LINES, ["pl.test.bench"]),
                           ("ARTICLE 10 MB text", ["pl.test", "1"])):
            run_case("loopback", case, 0, [("nntpfetch, its choice", [fetch, INN] + args, default),
                                           ("nntpfetch, off", [fetch, INN] + args, off),
                                           ("nntpfetch, forced on", [fetch, INN] + args, on)])
        run_case("loopback", "POST 1 MB text", 1.0,
                 posters(INN, ("kestrun, its choice", default), ("kestrun, off", off)))
    print("\nSummary")
    print("\n".join(summary))
finally:
    if link:
        link.terminate()
        link.wait()
    subprocess.run([inn_sh, "stop", inn_dir])
    shutil.rmtree(work, ignore_errors=True)
    with open(csv_path, "a") as f:
        for r in rows:
            f.write("compress,%s,%s,%s,%.4f,%.2f,%.2f,%.2f\n" % r)
