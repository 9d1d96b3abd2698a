"""What the benchmark scripts share: one measured run and the median, and
filling a private INN in bulk."""
import email.utils
import os
import socket
import subprocess
import tempfile
import time


def measure(runstat, cmd, env=None):
    """Wall ms, CPU ms and peak MB of one run, measured by runstat for the
    program alone (a child of this large Python process would count the
    parent's pages in its peak)."""
    r = subprocess.run([runstat] + cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    err = r.stderr.decode(errors="replace")
    if r.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (cmd[0], r.returncode, err[-300:]))
    wall, cpu, peak = err.strip().splitlines()[-1].split()
    return float(wall), float(cpu), int(peak) / 1024


def median(xs):
    xs = sorted(xs)
    return xs[len(xs) // 2]


def batch(count, group, first=0, body=b"body\n"):
    """An rnews batch of `count` articles whose overview lines are about as
    long as a real group's (a References chain of a few ids)."""
    now = email.utils.formatdate(time.time(), usegmt=True)
    refs = " ".join("<ref.%d.%d@kestrun.test>" % (first, j) for j in range(5))
    parts = []
    for i in range(first, first + count):
        art = ("Path: bench\nFrom: Benchmark Poster <bench.poster@example.invalid>\nNewsgroups: %s\n"
               "Subject: Reading benchmark article number %d, a subject of usual length\nDate: %s\n"
               "Message-ID: <bench.%d.%d@kestrun.test>\nReferences: %s\n\n" % (group, i, now, i, os.getpid(), refs)
               ).encode() + body
        parts.append(b"#! rnews %d\n" % len(art) + art)
    return b"".join(parts)


def rnews(inn_dir, data):
    with tempfile.NamedTemporaryFile(delete=False) as f:
        f.write(data)
    os.chmod(f.name, 0o644)
    subprocess.run(["su", "news", "-s", "/bin/sh", "-c",
                    "INNCONF=%s/etc/inn.conf /usr/bin/rnews -N < %s" % (inn_dir, f.name)], check=True)
    os.unlink(f.name)


def wait_group(addr, count, group):
    """Waits until the INN on addr has filed `count` articles in the group."""
    for _ in range(1200):
        with socket.create_connection((addr, 119)) as c:
            f = c.makefile("rb")
            f.readline()
            c.sendall(b"GROUP " + group.encode() + b"\r\n")
            reply = f.readline().split()
        if reply[0] == b"211" and int(reply[1]) >= count:
            return
        time.sleep(0.5)
    raise RuntimeError("INN did not file the articles")
