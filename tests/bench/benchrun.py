"""What the benchmark scripts share: one measured run and the median."""
import subprocess


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
