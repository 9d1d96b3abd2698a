#!/usr/bin/env python3
"""The echo server example at a thousand connections, with faults among them.

Every client of the crowd sends 64-byte messages and must get each back,
byte for byte, while others misbehave beside it: some reset the connection
in the middle of a message, some half-close and expect the echo and then
the end, some send one byte every 100 ms. Then the crowd leaves and comes
back: the server's memory stays flat and (on Linux) every descriptor of a
client is freed. Before the crowd: bad arguments are refused, and one client
that sends without reading costs the server no memory and loses no byte. Waits are on events (selectors), never fixed sleeps.
"""
import argparse
import os
import resource
import selectors
import shlex
import socket
import struct
import subprocess
import sys
import time

MESSAGE = 64
DEADLINE = 120  # seconds for each phase: a hang fails, slowness does not


class Client:
    def __init__(self, sel, address, port, kind):
        self.kind = kind
        self.sock = socket.socket()
        self.sock.setblocking(False)
        self.sock.connect_ex((address, port))
        self.sel = sel
        self.out = b""
        self.expected = b""
        self.got = b""
        self.eof = False
        self.done = False
        self.sent_at = 0.0
        sel.register(self.sock, selectors.EVENT_READ, self)

    def send(self, data):
        self.expected += data
        self.out += data
        self.flush()

    def flush(self):
        while self.out:
            try:
                n = self.sock.send(self.out)
            except BlockingIOError:
                break
            self.out = self.out[n:]
        events = selectors.EVENT_READ | (selectors.EVENT_WRITE if self.out else 0)
        self.sel.modify(self.sock, events, self)

    def on_ready(self, mask):
        if mask & selectors.EVENT_WRITE:
            self.flush()
        if mask & selectors.EVENT_READ:
            try:
                data = self.sock.recv(65536)
            except (BlockingIOError, InterruptedError):
                return
            if not data:
                self.eof = True
                self.sel.unregister(self.sock)
            self.got += data

    def close(self, reset=False):
        if reset:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        try:
            self.sel.unregister(self.sock)
        except (KeyError, ValueError):
            pass
        self.sock.close()


def run_until(sel, clients, done, slow=None, what="phase"):
    start = time.monotonic()
    while not done():
        if time.monotonic() - start > DEADLINE:
            missing = [c for c in clients if not c.done and c.got != c.expected]
            raise SystemExit(f"{what}: no progress; {len(missing)} clients not served")
        timeout = 0.02 if slow else 1.0
        for key, mask in sel.select(timeout):
            key.data.on_ready(mask)
        if slow:
            slow()


def message(i, round_):
    text = f"{i:06d}:{round_:04d}:".encode()
    return (text * (MESSAGE // len(text) + 1))[:MESSAGE]


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def server_pid(proc, program):
    """The process that serves: the program itself on Linux, the wine
    process running it under wine (found by its command line)."""
    name = os.path.basename(program)
    if not name.endswith(".exe"):
        return proc.pid
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmd = f.read().split(b"\0")
        except OSError:
            continue
        if cmd and cmd[0].endswith(name.encode()) or (cmd and cmd[0].endswith(b"\\" + name.encode())):
            return int(entry)
    return None


def crowd(sel, address, port, count, round_base, rounds):
    clients = [Client(sel, address, port, "crowd") for _ in range(count)]
    for r in range(rounds):
        for i, c in enumerate(clients):
            c.send(message(i, round_base + r))
        run_until(sel, clients, lambda: all(c.got == c.expected for c in clients), what=f"round {r}")
    return clients


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def shortage(args, sel):
    """More clients than the server has descriptors: those it cannot take
    wait in the kernel's queue, without the server spinning on them, and are
    served as soon as others leave."""
    limit, clients_n = 64, 100

    def low_limit():
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))

    proc = subprocess.Popen(shlex.split(args.runner) + [args.program, args.address, "0"],
                            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, preexec_fn=low_limit)
    try:
        port = int(proc.stdout.readline())
        clients = [Client(sel, args.address, port, "short") for _ in range(clients_n)]
        for i, c in enumerate(clients):
            c.send(message(i, 1))
        # Served as far as descriptors go; the rest wait.
        run_until(sel, clients, lambda: sum(c.got == c.expected for c in clients) >= limit // 2,
                  what="descriptor shortage")
        cpu0, t0 = cpu_seconds(proc.pid), time.monotonic()
        while time.monotonic() - t0 < 1.0:
            for key, mask in sel.select(0.1):
                key.data.on_ready(mask)
        spent = cpu_seconds(proc.pid) - cpu0
        # A server that spins on the connection it cannot take uses most of
        # the second; one that waits, next to nothing.
        if spent > 0.3:
            raise SystemExit(f"the server spun while out of descriptors: {spent:.2f} s of CPU in 1 s")
        # Divided once, after the second: a client whose echo came during it
        # holds one of the server's descriptors too, and must leave with the
        # served, or the server stays full and the last waiting are never
        # taken.
        served = [c for c in clients if c.got == c.expected]
        waiting = [c for c in clients if c.got != c.expected]
        for c in served:
            c.close()
        run_until(sel, waiting, lambda: all(c.got == c.expected for c in waiting),
                  what="clients after the shortage")
        print(f"descriptor shortage: {len(served)} served at first, {len(waiting)} waited "
              f"(server CPU meanwhile {spent * 1000:.0f} ms in 1 s) and were served after")
        for c in waiting:
            c.close()
    finally:
        proc.terminate()
        proc.wait(timeout=30)


def refuses_bad_arguments(args):
    """A port outside 0-65535, or no number at all, is refused with exit 1
    and a message, never wrapped into another port."""
    for bad in (["127.0.0.1", "80000"], ["127.0.0.1", "65536"], ["127.0.0.1", "-1"],
                ["127.0.0.1", "12x"], ["127.0.0.1", ""], ["1", "2", "3"]):
        r = subprocess.run(shlex.split(args.runner) + [args.program] + bad, stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=DEADLINE)
        if r.returncode != 1 or not r.stderr.strip() or r.stdout.strip():
            raise SystemExit(f"echoserver {bad}: exit {r.returncode}, out {r.stdout!r}, "
                             f"err {r.stderr!r}")
    print("bad arguments refused with exit 1")


def flood(address, port, pid, total=64 << 20):
    """One client sends without reading: the server stops reading it once
    its echo is queued, so the client's sends stall long before `total`,
    and the server's memory stays where it was. Then the client reads: every
    byte comes back."""
    idle = rss_kb(pid) if pid else None
    s = socket.create_connection((address, port))
    s.setblocking(False)
    pattern = bytes(range(256)) * 512
    sel = selectors.DefaultSelector()
    sel.register(s, selectors.EVENT_WRITE)
    sent = 0
    # Until nothing more is taken for two seconds: both ends' buffers are
    # full and the server holds back.
    while sent < total and sel.select(2.0):
        try:
            sent += s.send(memoryview(pattern)[sent % 256:][: total - sent])
        except BlockingIOError:
            pass
    rss = rss_kb(pid) if pid else None
    if sent >= total:
        raise SystemExit(f"the server took all {total} bytes from a client that reads nothing")
    sel.modify(s, selectors.EVENT_READ)
    got = 0
    deadline = time.monotonic() + DEADLINE
    while got < sent and time.monotonic() < deadline:
        if not sel.select(1.0):
            continue
        data = s.recv(1 << 20)
        if not data:
            break
        expect = (pattern * 3)[got % 256:][: len(data)] if len(data) <= len(pattern) else None
        if expect is not None and data != expect:
            raise SystemExit(f"the echo differs at byte {got}")
        got += len(data)
    s.close()
    if got != sent:
        raise SystemExit(f"{sent} bytes sent, {got} echoed")
    print(f"a client that did not read: {sent} bytes sent before it stalled, all echoed"
          + (f"; server RSS {idle} KB before, {rss} KB stalled" if idle else ""))
    if idle and rss - idle > 8192:
        raise SystemExit(f"the server grew by {rss - idle} KB for one client that does not read")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--runner", default="")
    ap.add_argument("--address", default="127.0.0.1")
    ap.add_argument("--connections", type=int, default=1000)
    args = ap.parse_args()

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = 2 * args.connections + 200
    if hard != resource.RLIM_INFINITY and hard < need:
        raise SystemExit(f"the open-file limit ({hard}) is below {need}")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, need), hard))

    cmd = shlex.split(args.runner) + [args.program, args.address, "0"]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    try:
        port = int(proc.stdout.readline())
        pid = server_pid(proc, args.program)
        refuses_bad_arguments(args)
        flood(args.address, port, pid)
        sel = selectors.DefaultSelector()
        n = args.connections

        # All of them connected and served: nothing lost at the accept.
        clients = crowd(sel, args.address, port, n, 0, 2)
        print(f"{n} connections served, 2 rounds")
        base_rss = rss_kb(pid) if pid else None

        # Faults beside a crowd that goes on.
        faults = 20
        stay = clients[: n - 3 * faults]
        resetters = clients[n - 3 * faults : n - 2 * faults]
        halfclosers = clients[n - 2 * faults : n - faults]
        slow = clients[n - faults :]
        for c in resetters:
            c.sock.send(message(0, 99)[: MESSAGE // 2])
            c.close(reset=True)
            c.done = True
        for i, c in enumerate(halfclosers):
            c.send(message(i, 7))
            c.sock.shutdown(socket.SHUT_WR)
        slow_left = {id(c): 10 for c in slow}
        slow_next = [time.monotonic()]

        def drip():
            now = time.monotonic()
            if now < slow_next[0]:
                return
            slow_next[0] = now + 0.1
            for c in slow:
                if slow_left[id(c)] > 0:
                    slow_left[id(c)] -= 1
                    c.send(b"s")

        for r in range(5):
            for i, c in enumerate(stay):
                c.send(message(i, 10 + r))
            run_until(sel, stay + halfclosers + slow,
                      lambda: all(c.got == c.expected for c in stay), slow=drip, what=f"fault round {r}")
        run_until(sel, halfclosers + slow,
                  lambda: all(c.eof and c.got == c.expected for c in halfclosers)
                  and all(slow_left[id(c)] == 0 and c.got == c.expected for c in slow),
                  slow=drip, what="half-closed and slow clients")
        print(f"faults: {faults} reset mid-message, {faults} half-closed got echo and end, "
              f"{faults} slow served; {len(stay)} others served meanwhile")

        # The crowd leaves and comes back, twice: the server keeps no memory
        # or descriptor of the clients that went.
        for c in clients:
            if not c.done:
                c.close()
        if pid and not args.program.endswith(".exe"):
            start = time.monotonic()
            fds = fd_count(pid)
            while fds > 10 and time.monotonic() - start < DEADLINE:
                # The server closes on the end it reads: wait on its
                # descriptor count, in short steps.
                sel.select(0.05)
                fds = fd_count(pid)
            if fds > 10:
                raise SystemExit(f"the server still holds {fds} descriptors after every client left")
            print(f"every client's socket freed ({fds} descriptors left)")
        for cycle in range(2):
            again = crowd(sel, args.address, port, n, 100 + cycle * 10, 1)
            for c in again:
                c.close()
        if base_rss:
            again = crowd(sel, args.address, port, n, 200, 1)
            rss = rss_kb(pid)
            for c in again:
                c.close()
            print(f"server RSS with {n} connections: {base_rss} KB first, {rss} KB after "
                  f"{3 * n + 3 * faults} more connections came and went")
            # Flat: what one crowd's churn may leave behind is far below a
            # crowd's worth of connections.
            if rss - base_rss > 4096:
                raise SystemExit(f"the server's memory grew by {rss - base_rss} KB")
        if not args.program.endswith(".exe"):
            shortage(args, sel)
        print("ok")
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()


if __name__ == "__main__":
    main()
