#!/usr/bin/env python3
"""Publishing the program twice: the first run, then the up-to-date run.

For each kind of run: whole-process wall time, CPU time and peak memory
(medians of several runs, measured by runstat), and for the up-to-date run
the files it opened for reading and for writing and the programs it started
(strace). The up-to-date run should read and write no content file, start
no compressor and flush nothing. With --no-flush LIBRARY (libeatmydata,
which turns fsync and its kin into no-ops) the first run is measured also
without the flushes to the disk, in turn with the real one, which shows
what they cost (under wine the program flushes in its own process too).

  packager_bench.py KESTRUN RUNSTAT [RUNS] [--no-flush LIB]
                    [--wine KESTRUN.EXE --fake-compress EXE --prefix DIR]
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import tempfile

ap = argparse.ArgumentParser()
ap.add_argument("kestrun")
ap.add_argument("runstat")
ap.add_argument("runs", type=int, nargs="?", default=15)
ap.add_argument("--wine")
ap.add_argument("--fake-compress")
ap.add_argument("--prefix")
ap.add_argument("--no-flush")
opts = ap.parse_args()


def one(cmd, env):
    """Wall ms, CPU ms and peak MB of one run of `cmd`."""
    r = subprocess.run([opts.runstat] + cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall, cpu, peak = r.stderr.decode().strip().split("\n")[-1].split()
    return float(wall), float(cpu), int(peak) / 1024


def medians(samples):
    return tuple(statistics.median(s[i] for s in samples) for i in range(3))


def measure(cmd, env, before=None):
    """Medians of `cmd`, `before` run ahead of each."""
    samples = []
    for _ in range(opts.runs):
        if before:
            before()
        samples.append(one(cmd, env))
    return medians(samples)


def measure_flushes(cmd, env, before):
    """Medians of the first run with its flushes and with them made no-ops,
    in turn, so that the machine's drift weighs on both alike."""
    kept, dropped = [], []
    for _ in range(opts.runs):
        for preload, samples in ((None, kept), (opts.no_flush, dropped)):
            before()
            samples.append(one(cmd, dict(env, LD_PRELOAD=preload) if preload else env))
    return medians(kept), medians(dropped)


FLUSHES = ("fsync", "fdatasync", "sync_file_range", "syncfs", "sync")


def traced(cmd, env, work):
    """Files opened for reading and for writing, programs started, flushes."""
    log = os.path.join(work, "strace.log")
    subprocess.run(["strace", "-f", "-qq", "-o", log, "-e",
                    "trace=openat,execve,rename,unlink," + ",".join(FLUSHES)] + cmd,
                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    reads, writes, starts, flushes = [], [], [], 0
    for line in open(log):
        if re.match(r"\d+\s+(%s)\(" % "|".join(FLUSHES), line):
            flushes += 1
        m = re.search(r'openat\(\w+, "([^"]*)", ([A-Z_|]+).*\) = (\d+)', line)
        if m:
            path, flags = m.group(1), m.group(2)
            if path.startswith(work):
                (writes if re.search("O_WRONLY|O_RDWR|O_CREAT", flags) else reads).append(path[len(work):])
        m = re.search(r'execve\("([^"]*)".*\) = 0', line)
        if m:
            starts.append(m.group(1))
    return reads, writes, starts[1:], flushes  # the first start is kestrun itself


def linux():
    work = tempfile.mkdtemp(prefix="kestrun-bench-")
    try:
        os.makedirs(os.path.join(work, "prog"))
        program = os.path.join(work, "prog", "kestrun")
        shutil.copy2(opts.kestrun, program)
        temp = os.path.join(work, "t")
        root = os.path.join(work, "pub")
        env = dict(os.environ, TMPDIR=temp, LANG="C.UTF-8", LC_ALL="C.UTF-8")

        def fresh():
            shutil.rmtree(temp, ignore_errors=True)
            shutil.rmtree(root, ignore_errors=True)
            os.makedirs(temp)

        cmd = [program, "-nainternet", root + "/"]
        if opts.no_flush:
            first, unflushed = measure_flushes(cmd, env, fresh)
        else:
            first = measure(cmd, env, fresh)
        fresh()
        first_flushes = traced(cmd, env, work)[3]
        second = measure(cmd, env)
        reads, writes, starts, flushes = traced(cmd, env, work)
        size = os.path.getsize(program) / 1e6
        print("Linux program (%.1f MB), %d runs each, medians:" % (size, opts.runs))
        print("| run | wall ms | CPU ms | peak MB |")
        print("|---|---|---|---|")
        print("| first (compress and copy) | %.1f | %.1f | %.1f |" % first)
        if opts.no_flush:
            print("| first, the flushes made no-ops | %.1f | %.1f | %.1f |" % unflushed)
        print("| second (up to date) | %.1f | %.1f | %.1f |" % second)
        print("first run: %d flushes (files and folders)" % first_flushes)
        content = [p for p in reads + writes if p.endswith(".zawartosc")]
        print("second run: %d files read, %d written, %d programs started, %d content files touched, "
              "%d flushes" % (len(reads), len(writes), len(starts), len(content), flushes))
        for p in reads:
            print("  read  " + p)
        for p in writes:
            print("  write " + p)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def wine():
    prefix = opts.prefix
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="winemenubuilder.exe=d")
    work = tempfile.mkdtemp(prefix="kestrun-bench-wine-")
    try:
        shutil.copy2(opts.fake_compress, os.path.join(work, "compress.exe"))
        shutil.copy2(opts.wine, os.path.join(work, "kestrun.exe"))
        env["WINEPATH"] = subprocess.run(["winepath", "-w", work], env=env, stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL).stdout.decode().strip()
        win_root = env["WINEPATH"] + "\\pub\\"
        temp = subprocess.run(["winepath", "-u", "C:\\users\\%s\\Temp" % os.environ.get("USER", "root")],
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode().strip()

        subprocess.run(["wineserver", "-p"], env=env)  # one server for all runs
        subprocess.run(["wine", "cmd", "/c", "exit"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def fresh():
            shutil.rmtree(os.path.join(work, "pub"), ignore_errors=True)
            shutil.rmtree(os.path.join(temp, "Z~"), ignore_errors=True)

        cmd = ["wine", os.path.join(work, "kestrun.exe"), "-nainternet", win_root]
        if opts.no_flush:
            first, unflushed = measure_flushes(cmd, env, fresh)
        else:
            first = measure(cmd, env, fresh)
        second = measure(cmd, env)
        print("Windows program under wine (stand-in compressor), %d runs each, medians:" % opts.runs)
        print("| run | wall ms | CPU ms | peak MB |")
        print("|---|---|---|---|")
        print("| first (compress and copy) | %.1f | %.1f | %.1f |" % first)
        if opts.no_flush:
            print("| first, the flushes made no-ops | %.1f | %.1f | %.1f |" % unflushed)
        print("| second (up to date) | %.1f | %.1f | %.1f |" % second)
        fresh()
    finally:
        subprocess.run(["wineserver", "-k"], env=env)
        shutil.rmtree(work, ignore_errors=True)


linux()
if opts.wine:
    print()
    wine()
