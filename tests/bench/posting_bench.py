#!/usr/bin/env python3
"""Whole-process cost of posting an article: kestrun, INN's inews and a
Python nntplib script, side by side, against a private INN and a loopback
sink server. Prints medians of wall time, CPU time and peak memory.

    posting_bench.py KESTRUN POST_VARIANTS RUNSTAT [CSV]   (as root; starts its own servers)

With CSV the medians are appended there too, for the plot.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import benchrun
from benchrun import median

root = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
kestrun, variants, runstat = sys.argv[1], sys.argv[2], sys.argv[3]
csv_path = sys.argv[4] if len(sys.argv) > 4 else None
# KESTRUN_BENCH_POST_ADDRESSES ("INN SINK") moves the servers elsewhere.
INN, SINK = os.environ.get("KESTRUN_BENCH_POST_ADDRESSES", "127.0.0.5 127.0.0.6").split()
SIZES = [("1 KB", 1000, 31), ("1 MB", 1000000, 15), ("10 MB", 10000000, 7)]
HEADERS = ("From: Bench <bench@example.invalid>\r\nNewsgroups: pl.test.bench\r\nSubject: bench\r\n"
           "Mime-Version: 1.0\r\nContent-Type: text/plain; charset=Windows-1250\r\n"
           "Content-Transfer-Encoding: 8bit\r\n\r\n")


def body(size):
    line = b"Kestrun benchmark line of text, seventy bytes long, more or less ok.\r\n"
    return (line * (size // len(line) + 1))[:size]


def measure(cmd, env=None):
    return benchrun.measure(runstat, cmd, env)


inn_dir = subprocess.check_output([os.path.join(root, "scripts", "inn.sh"), "start", INN]).decode().strip()
sink = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__), "sink_server.py"), SINK],
                        stdout=subprocess.PIPE)
sink.stdout.readline()
work = tempfile.mkdtemp(prefix="kestrun-bench.")
try:
    # inews finds its server in inn.conf: one copy per target.
    confs = {}
    for name, addr in (("inn", INN), ("sink", SINK)):
        conf = os.path.join(work, name + ".conf")
        with open(os.path.join(inn_dir, "etc", "inn.conf")) as src, open(conf, "w") as dst:
            for l in src:
                dst.write("server: %s\n" % addr if l.startswith("server:") else l)
        confs[name] = conf
    print("Posting benchmark: medians of whole-process wall time, CPU time (user+system) and peak memory")
    for target, addr in (("private INN", INN), ("loopback sink", SINK)):
        print("\n%s (%s:119)" % (target, addr))
        print("  %-6s %-9s %10s %10s %12s" % ("size", "client", "wall ms", "CPU ms", "peak MB"))
        for label, size, runs in SIZES:
            b = body(size)
            bodyfile = os.path.join(work, "body.txt")
            artfile = os.path.join(work, "article.txt")
            open(bodyfile, "wb").write(b)
            # inews and nntplib take a whole article with LF line ends and turn
            # them into CR LF themselves; kestrun sends its file as it is.
            open(artfile, "wb").write((HEADERS.encode() + b).replace(b"\r\n", b"\n"))
            if size == 1000000:
                open(os.path.join(work, "article1m.txt"), "wb").write(HEADERS.encode() + b)
            env = dict(os.environ, INNCONF=confs["inn" if addr == INN else "sink"])
            clients = [
                ("kestrun", lambda: measure([kestrun, addr, "Bench <bench@example.invalid>", "pl.test.bench",
                                             "bench", bodyfile])),
                ("inews", lambda: measure(["/usr/lib/news/bin/inews", "-h", "-O", artfile], env=env)),
                ("nntplib", lambda: measure([sys.executable, os.path.join(os.path.dirname(__file__),
                                                                          "nntplib_post.py"), addr, artfile])),
            ]
            results = {}
            for name, run in clients:
                samples = [run() for _ in range(runs)]
                results[name] = [median([s[i] for s in samples]) for i in range(3)]
                w, c, m = results[name]
                if csv_path:
                    with open(csv_path, "a") as f:
                        f.write("posting,%s,post %s,%s,%.4f,%.2f,%.2f,%.2f\n" % (target, label, name, size / 1e6, w, c, m))
                print("  %-6s %-9s %10.1f %10.1f %12.1f" % (label, name, w, c, m))
            k, i = results["kestrun"], results["inews"]
            print("  %-6s kestrun/inews: wall %.2fx, CPU %.2fx; kestrun peak memory %.1f MB for a %.1f MB article"
                  % ("", k[0] / i[0], k[1] / i[1], k[2], size / 1e6))
    print("\nEnd of the article, 1 MB, as the client ends it (post only, connection already up):")
    for target, addr in (("private INN", INN), ("loopback sink", SINK)):
        print("  %s:" % target)
        sys.stdout.flush()
        subprocess.run([variants, addr, "119", os.path.join(work, "article1m.txt"), "9"])
finally:
    sink.kill()
    subprocess.run([os.path.join(root, "scripts", "inn.sh"), "stop", inn_dir])
    shutil.rmtree(work, ignore_errors=True)
