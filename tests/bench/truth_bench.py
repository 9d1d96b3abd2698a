#!/usr/bin/env python3
"""Posting that never lies, measured against INN's inews on a private INN:

1. Truth under faults: posts through a relay that cuts the first connection
   at a random byte offset in either direction, and posts whose answer is
   lost (the article stored, its 240 dropped). Each run's report (exit code)
   is compared with the spool: how many arrived, how many twice, how many
   reports were wrong.
2. Peak memory posting 1 KB, 10 MB and 60 MB files.
3. CPU and wall posting a 10 MB UTF-8 file and a 10 MB ASCII file, runs of
   the two programs in turn, medians and their ratio.

    truth_bench.py KESTRUN RUNSTAT [CUTS LOST] [--truth-only | --speed-only] [--runs=N]
                                                  (as root; starts its own INN)
"""
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import benchrun
from benchrun import median

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.abspath(os.path.join(here, "..", ".."))
sys.path.insert(0, os.path.join(root, "tests", "integration"))
sys.path.insert(0, os.path.join(root, "scripts"))
from cutting_relay import CuttingRelay  # noqa: E402
import nntp_read  # noqa: E402

kestrun, runstat = sys.argv[1], sys.argv[2]
numbers = [int(a) for a in sys.argv[3:] if not a.startswith("--")]
RUNS = int(([a[7:] for a in sys.argv if a.startswith("--runs=")] or ["9"])[-1])
CUTS = numbers[0] if numbers else 100
LOST = numbers[1] if len(numbers) > 1 else 20
INN = os.environ.get("KESTRUN_BENCH_TRUTH_ADDRESS", "127.0.0.5")
INEWS = "/usr/lib/news/bin/inews"
GROUP = "pl.test"
random.seed(29)


def text(size, line):
    return (line * (size // len(line) + 1))[:size]


ASCII_LINE = b"Kestrun benchmark line of text, seventy bytes long, more or less ok.\r\n"
UTF8_LINE = "Zażółć gęślą jaźń — próba tekstu w UTF-8, linia mniej więcej tej długości.\r\n".encode()


def copies(tag):
    reader = nntp_read.Reader(INN)
    try:
        first, last = reader.command("GROUP " + GROUP).split()[2:4]
        reader.command("XOVER %s-%s" % (first.decode(), last.decode()))
        n = 0
        for line in iter(reader.file.readline, b""):
            if line == b".\r\n":
                break
            if tag.encode() in line.split(b"\t")[1]:
                n += 1
        return n
    finally:
        reader.close()


def inews_conf(work, inn_dir):
    conf = os.path.join(work, "inews.conf")
    with open(os.path.join(inn_dir, "etc", "inn.conf")) as src, open(conf, "w") as dst:
        for l in src:
            dst.write("server: %s\n" % INN if l.startswith("server:") else l)
    return conf


def article_file(work, subject, body):
    path = os.path.join(work, "article.txt")
    with open(path, "wb") as f:
        f.write(("From: Bench <bench@example.invalid>\nNewsgroups: %s\nSubject: %s\n\n" % (GROUP, subject)).encode()
                + body.replace(b"\r\n", b"\n"))
    return path


def post(client, work, inn_dir, port, subject, body):
    """Exit code of one post by `client` to INN through `port`."""
    if client == "kestrun":
        path = os.path.join(work, "body.txt")
        with open(path, "wb") as f:
            f.write(body)
        r = subprocess.run([kestrun, "%s:%d" % (INN, port), "Bench <bench@example.invalid>", GROUP, subject, path],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=600)
        return r.returncode, r.stderr.decode("utf-8", "replace")
    env = dict(os.environ, INNCONF=inews_conf(work, inn_dir))
    r = subprocess.run([INEWS, "-h", "-O", "-p", str(port), article_file(work, subject, body)], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=600)
    return r.returncode, r.stderr.decode("utf-8", "replace")


def truth(work, inn_dir):
    body = text(20000, ASCII_LINE)
    faults = [("up", random.randint(1, 20400)) if random.random() < 0.5 else ("down", random.randint(1, 90))
              for _ in range(CUTS)] + [("answer-lost", 0)] * LOST
    print("Truth under faults: %d posts cut at a random byte offset in either direction, %d with the answer lost"
          % (CUTS, LOST))
    print("  %-8s %-12s %6s %8s %6s %8s %8s %13s" % ("client", "fault", "posts", "arrived", "twice",
                                                     "said ok", "said no", "wrong reports"))
    for client in ("kestrun", "inews"):
        for kind in ("random cut", "answer lost"):
            picked = [f for f in faults if (f[0] == "answer-lost") == (kind == "answer lost")]
            arrived = twice = ok = no = wrong = 0
            for how, offset in picked:
                relay = CuttingRelay(INN, INN, how, offset)
                tag = "t%dx%d" % (os.getpid(), random.getrandbits(40))
                try:
                    code, err = post(client, work, inn_dir, relay.port, "truth " + tag, body)
                finally:
                    relay.close()
                n = copies(tag)
                arrived += n >= 1
                twice += n >= 2
                ok += code == 0
                no += code != 0
                # A report is wrong when it says posted and nothing (or two)
                # arrived, or says not posted and a copy is there. Kestrun's
                # "may have been posted" (exit 3, said on standard error) is
                # no claim either way.
                maybe = client == "kestrun" and "mógł zostać wysłany" in err
                wrong += (code == 0 and n != 1) or (code != 0 and n != 0 and not maybe)
            print("  %-8s %-12s %6d %8d %6d %8d %8d %13d" % (client, kind, len(picked), arrived, twice, ok, no, wrong))
            sys.stdout.flush()


def memory(work):
    print("\nPeak memory (max RSS) posting a file of each size, median of 3")
    print("  %-8s %10s %10s" % ("size", "kestrun MB", "inews MB"))
    for label, size in (("1 KB", 1000), ("10 MB", 10_000_000), ("60 MB", 60_000_000)):
        body = text(size, ASCII_LINE)
        bodyfile = os.path.join(work, "body.txt")
        with open(bodyfile, "wb") as f:
            f.write(body)
        artfile = article_file(work, "memory " + label, body)
        env = dict(os.environ, INNCONF=inews_conf(work, inn_dir))
        k = median([benchrun.measure(runstat, [kestrun, INN, "Bench <bench@example.invalid>", GROUP,
                                               "memory " + label, bodyfile])[2] for _ in range(3)])
        i = median([benchrun.measure(runstat, [INEWS, "-h", "-O", artfile], env)[2] for _ in range(3)])
        print("  %-8s %10.2f %10.2f" % (label, k, i))
        sys.stdout.flush()


def floor(subject, body):
    """Wall ms of the least a client can do: from connect to the 240, the
    article already in memory and no program to start. Against it, how much
    of a program's wall is the server's own."""
    start = time.monotonic()
    with socket.create_connection((INN, 119)) as s:
        f = s.makefile("rb")
        f.readline()
        s.sendall(b"POST\r\n")
        go = f.readline()
        mid = go[go.find(b"<"):go.find(b">") + 1] or b"<floor.%d@kestrun.test>" % random.getrandbits(64)
        end = b".\r\n" if body.endswith(b"\r\n") else b"\r\n.\r\n"
        s.sendall(b"From: Bench <bench@example.invalid>\r\nNewsgroups: %s\r\nSubject: %s\r\nMessage-ID: %s\r\n\r\n"
                  % (GROUP.encode(), subject.encode(), mid) + body + end)
        answer = f.readline()
    if not answer.startswith(b"240"):
        raise RuntimeError("floor post refused: %r" % answer)
    return (time.monotonic() - start) * 1000


def speed(work, runs=RUNS):
    print("\nCPU and wall posting 10 MB, %d runs of each program in turn, medians; floor: the same post by a bare"
          " client inside this script (no program started, no file read), the server's own share" % runs)
    print("  %-10s %10s %10s %10s %10s %8s %8s %9s %8s" % ("file", "kestrun ms", "CPU ms", "inews ms", "CPU ms",
                                                           "wall x", "CPU x", "floor ms", "floor x"))
    env = dict(os.environ, INNCONF=inews_conf(work, inn_dir))
    for label, line in (("UTF-8", UTF8_LINE), ("ASCII", ASCII_LINE)):
        body = text(10_000_000, line)
        if label == "UTF-8":
            body = body[:body.rfind(b"\r\n") + 2]  # no character cut at the end
        bodyfile = os.path.join(work, "body.txt")
        with open(bodyfile, "wb") as f:
            f.write(body)
        artfile = article_file(work, "speed " + label, body)
        ks, is_, fs = [], [], []
        for _ in range(runs):
            fs.append(floor("speed floor " + label, body))
            ks.append(benchrun.measure(runstat, [kestrun, INN, "Bench <bench@example.invalid>", GROUP,
                                                 "speed " + label, bodyfile]))
            is_.append(benchrun.measure(runstat, [INEWS, "-h", "-O", artfile], env))
        kw, kc = median([s[0] for s in ks]), median([s[1] for s in ks])
        iw, ic = median([s[0] for s in is_]), median([s[1] for s in is_])
        fw = median(fs)
        print("  %-10s %10.1f %10.1f %10.1f %10.1f %8.2f %8.2f %9.1f %8.2f" % (label, kw, kc, iw, ic, kw / iw, kc / ic,
                                                                        fw, fw / iw))
        sys.stdout.flush()


inn_dir = subprocess.check_output([os.path.join(root, "scripts", "inn.sh"), "start", INN]).decode().strip()
work = tempfile.mkdtemp(prefix="kestrun-truth.")
try:
    if "--speed-only" not in sys.argv:
        truth(work, inn_dir)
    if "--truth-only" not in sys.argv:
        if "--speed-only" not in sys.argv:
            memory(work)
        speed(work)
finally:
    subprocess.run([os.path.join(root, "scripts", "inn.sh"), "stop", inn_dir])
    shutil.rmtree(work, ignore_errors=True)
