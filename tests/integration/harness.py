"""What the tests of the maintenance switches share: their options, running
the program (through the runner under wine), and the tally of checks."""
import argparse
import subprocess
import sys

failures = []
_opts = None


def options(*extra):
    global _opts
    ap = argparse.ArgumentParser()
    for name in ("--program", "--tools", "--work") + extra:
        ap.add_argument(name, required=True)
    ap.add_argument("--runner", default="")
    opts = ap.parse_args()
    opts.windows = opts.program.lower().endswith(".exe")
    _opts = opts
    return opts


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def run(cmd, env, cwd=None):
    full = ([_opts.runner] if _opts.runner else []) + cmd
    return subprocess.run(full, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=300)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def finish():
    sys.exit(1 if failures else 0)
