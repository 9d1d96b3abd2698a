#!/usr/bin/env python3
"""The echo benchmark: the socket component's example server against the
same server on libuv, side by side in one run, on loopback, 64-byte
ping-pong, at several connection counts. Each count runs each server in
turn, several times (so that the machine's drift weighs on both alike), and
reports medians: messages per second, server CPU per message, the server's
resident memory with every connection open and what that is per connection
above the idle server, and the time to connect and serve them all.

    echo_bench.py [--build build/linux] [--counts 100,1000,10000,19900]
                  [--seconds 3] [--repeat 3] [--csv out.csv] [--svg out.svg]
                  [--wine WINEPREFIX]   (also the Windows build under wine)

Needs the open-file limit raised to twice the largest count (it raises its
own soft limit to the hard one). Talks to 127.0.0.1 only.
"""
import argparse
import os
import resource
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def wine_pid(name):
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    cmd = f.read().split(b"\0")[0]
            except OSError:
                continue
            if cmd.endswith(name.encode()):
                return int(entry)
    return None


def run_one(server_cmd, load, count, seconds, wine_name=None):
    srv = subprocess.Popen(server_cmd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    try:
        port = int(srv.stdout.readline())
        pid = wine_pid(wine_name) if wine_name else srv.pid
        idle = rss_kb(pid)
        env = dict(os.environ, ECHO_SERVER_PID=str(pid))
        out = subprocess.run([load, "127.0.0.1", str(port), str(count), str(seconds)],
                             env=env, capture_output=True, text=True, timeout=300).stdout
        fields = dict(kv.split("=") for kv in out.split())
        msgs = float(fields["msgs_per_s"]) * float(fields["measured_ms"]) / 1000
        return {
            "served": int(fields["served"]),
            "failed": int(fields["failed"]),
            "connect_ms": float(fields["connect_ms"]),
            "msgs_per_s": float(fields["msgs_per_s"]),
            "cpu_us_per_msg": float(fields["server_cpu_ms"]) * 1000 / msgs if msgs else 0,
            "rss_kb": int(fields["rss_kb"]),
            "per_conn_kb": (int(fields["rss_kb"]) - idle) / count,
        }
    finally:
        srv.terminate()
        try:
            srv.wait(timeout=30)
        except subprocess.TimeoutExpired:
            srv.kill()
            srv.wait()


KEYS = sorted(["served", "failed", "connect_ms", "msgs_per_s", "cpu_us_per_msg", "rss_kb",
               "per_conn_kb"])


def median(runs, key):
    return statistics.median(r[key] for r in runs)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build/linux"))
    ap.add_argument("--windows-build", default=os.path.join(ROOT, "build/windows"))
    ap.add_argument("--counts", default="100,1000,10000,19900")
    ap.add_argument("--seconds", type=float, default=3)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--csv")
    ap.add_argument("--svg")
    ap.add_argument("--wine", help="a wine prefix: also runs echoserver.exe under wine")
    ap.add_argument("--plot-only", metavar="CSV", help="draws --svg from an earlier run's --csv")
    args = ap.parse_args()
    if args.plot_only:
        rows = []
        for line in open(args.plot_only):
            name, count, *values = line.strip().split(",")
            rows.append((name, int(count), dict(zip(KEYS, map(float, values)))))
        plot(rows, args.svg)
        return

    counts = [int(c) for c in args.counts.split(",")]
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if max(counts) + 100 > hard:
        sys.exit(f"the open-file limit ({hard}) is too low for {max(counts)} connections")
    load = os.path.join(args.build, "tests/bench/echo_load")
    servers = [("kestrun", [os.path.join(args.build, "examples/echoserver"), "127.0.0.1", "0"], None),
               ("libuv", [os.path.join(args.build, "tests/bench/uv_echo"), "127.0.0.1", "0"], None)]
    if args.wine:
        os.environ.update(WINEPREFIX=args.wine, WINEDEBUG="-all")
        exe = os.path.join(args.windows_build, "examples/echoserver.exe")
        servers.append(("kestrun under wine", ["wine", exe, "127.0.0.1", "0"], "echoserver.exe"))

    results = {}  # (server, count) -> [runs]
    for count in counts:
        for _ in range(args.repeat):
            for name, cmd, wine_name in servers:
                r = run_one(cmd, load, count, args.seconds, wine_name)
                results.setdefault((name, count), []).append(r)
                print(f"{name:20} {count:6} {r}", file=sys.stderr, flush=True)
    print("| connections | server | served | messages/s | server CPU per message | RSS, all connected | "
          "per connection | connecting them all |")
    print("|---|---|---|---|---|---|---|---|")
    rows = []
    for count in counts:
        for name, _, _ in servers:
            runs = results[(name, count)]
            row = {k: median(runs, k) for k in runs[0]}
            row["served"] = min(r["served"] for r in runs)
            rows.append((name, count, row))
            print(f"| {count:,} | {name} | {row['served']:,} of {count:,} | {row['msgs_per_s']:,.0f} | "
                  f"{row['cpu_us_per_msg']:.1f} µs | {row['rss_kb'] / 1024:.1f} MB | "
                  f"{row['per_conn_kb']:.2f} KB | {row['connect_ms']:.0f} ms |")
    if args.csv:
        with open(args.csv, "w") as f:
            for name, count, row in rows:
                f.write(",".join([name, str(count)] + [str(row[k]) for k in KEYS]) + "\n")
    if args.svg:
        plot(rows, args.svg)


def plot(rows, svg):
    script = ['set terminal svg size 1100,420 font "sans,11" background "white"',
              f'set output "{svg}"', "set multiplot layout 1,2", "set logscale x", "set grid",
              "set key top right", "set xlabel 'connections'"]
    colours = {"kestrun": "#1f77b4", "libuv": "#d62728", "kestrun under wine": "#9467bd"}
    for key, title in (("msgs_per_s", "Echo, 64-byte ping-pong: messages per second"),
                       ("cpu_us_per_msg", "Server CPU per message (µs)")):
        plots = []
        for name in dict.fromkeys(n for n, _, _ in rows):
            var = "$" + name.replace(" ", "_") + "_" + key
            script.append(f"{var} << EOD")
            script += [f"{c} {row[key]}" for n, c, row in rows if n == name]
            script.append("EOD")
            plots.append(f"{var} using 1:2 with linespoints lw 2 pt 7 lc rgb '{colours.get(name, 'black')}' "
                         f"title '{name}'")
        script += [f"set title '{title}'", "set yrange [0:*]", "plot " + ", ".join(plots)]
    script.append("unset multiplot")
    subprocess.run(["gnuplot"], input="\n".join(script).encode(), check=True)
    print("wrote", svg, file=sys.stderr)


if __name__ == "__main__":
    main()
