#!/usr/bin/env python3
"""The flood benchmark: echo servers facing a client that sends without
reading, side by side in one run, on loopback.

1. One client sends up to 1 GB and reads nothing: the server's peak resident
   memory (VmHWM) and how much it took before the client's sends stalled
   (for two seconds nothing more was taken) or the gigabyte was gone.
2. 1,000 clients ping-pong 64-byte messages beside one client that sends
   all the while without reading: their round trip, median and 99th
   percentile, and the same without the flooding client.

Servers: the component's examples/echoserver, the libuv server of
tests/bench/peers/uv_echo.c careful (it stops reading a client whose echo
waits above 64 KB) and naive (it reads on regardless).

    flood_bench.py [--build build/linux] [--gigabytes 1] [--seconds 5] [--repeat 3]

Talks to 127.0.0.1 only.
"""
import argparse
import os
import resource
import selectors
import socket
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def status_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    return -1


def start(cmd):
    srv = subprocess.Popen(cmd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    return srv, int(srv.stdout.readline())


def stop(srv):
    srv.terminate()
    try:
        srv.wait(timeout=30)
    except subprocess.TimeoutExpired:
        srv.kill()
        srv.wait()


def flood_memory(cmd, total):
    srv, port = start(cmd)
    try:
        s = socket.create_connection(("127.0.0.1", port))
        s.setblocking(False)
        chunk = memoryview(b"f" * (1 << 20))
        sel = selectors.DefaultSelector()
        sel.register(s, selectors.EVENT_WRITE)
        sent = 0
        while sent < total and sel.select(2.0):
            try:
                sent += s.send(chunk[: min(len(chunk), total - sent)])
            except BlockingIOError:
                pass
        hwm = status_kb(srv.pid, "VmHWM:")
        s.close()
        return {"taken_mb": sent / (1 << 20), "hwm_kb": hwm, "stalled": sent < total}
    finally:
        stop(srv)


def pings(cmd, load, count, seconds, flood):
    srv, port = start(cmd)
    try:
        env = dict(os.environ, ECHO_SERVER_PID=str(srv.pid), ECHO_FLOOD="1" if flood else "0")
        out = subprocess.run([load, "127.0.0.1", str(port), str(count), str(seconds)], env=env,
                             capture_output=True, text=True, timeout=300).stdout
        f = dict(kv.split("=") for kv in out.split())
        return {"msgs_per_s": float(f["msgs_per_s"]), "p50_us": float(f["p50_us"]),
                "p99_us": float(f["p99_us"]), "hwm_kb": int(f["hwm_kb"]),
                "flood_mb": float(f["flood_mb"]), "served": int(f["served"])}
    finally:
        stop(srv)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build/linux"))
    ap.add_argument("--gigabytes", type=float, default=1)
    ap.add_argument("--connections", type=int, default=1000)
    ap.add_argument("--seconds", type=float, default=5)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    uv = os.path.join(args.build, "tests/bench/uv_echo")
    servers = [("kestrun", [os.path.join(args.build, "examples/echoserver"), "127.0.0.1", "0"]),
               ("libuv careful", [uv, "127.0.0.1", "0"]),
               ("libuv naive", [uv, "127.0.0.1", "0", "naive"])]
    load = os.path.join(args.build, "tests/bench/echo_load")
    total = int(args.gigabytes * (1 << 30))

    mem = {}
    for _ in range(args.repeat):
        for name, cmd in servers:
            r = flood_memory(cmd, total)
            mem.setdefault(name, []).append(r)
            print(f"flood {name:14} {r}", file=sys.stderr, flush=True)
    print(f"| server | peak memory (VmHWM) | taken from a client that reads nothing, "
          f"of {args.gigabytes:g} GB |")
    print("|---|---|---|")
    for name, _ in servers:
        runs = mem[name]
        hwm = statistics.median(r["hwm_kb"] for r in runs)
        taken = statistics.median(r["taken_mb"] for r in runs)
        print(f"| {name} | {hwm / 1024:.1f} MB | {taken:,.1f} MB"
              f"{'' if all(r['stalled'] for r in runs) else ' (all of it)'} |")

    lat = {}
    for _ in range(args.repeat):
        for flood in (False, True):
            for name, cmd in servers[:2]:
                r = pings(cmd, load, args.connections, args.seconds, flood)
                lat.setdefault((name, flood), []).append(r)
                print(f"pings {name:14} flood={flood} {r}", file=sys.stderr, flush=True)
    print()
    print(f"| {args.connections:,} pinging clients | server | messages/s | round trip p50 | "
          "round trip p99 | server peak memory |")
    print("|---|---|---|---|---|---|")
    for flood in (False, True):
        for name, _ in servers[:2]:
            runs = lat[(name, flood)]
            med = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
            print(f"| {'beside one flooding client' if flood else 'alone'} | {name} | "
                  f"{med['msgs_per_s']:,.0f} | {med['p50_us'] / 1000:.2f} ms | "
                  f"{med['p99_us'] / 1000:.2f} ms | {med['hwm_kb'] / 1024:.1f} MB |")


if __name__ == "__main__":
    main()
