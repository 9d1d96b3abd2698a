#!/usr/bin/env python3
"""Median connect-and-negotiate time with Python's socks module (PySocks)
through each proxy given as ADDR:PORT, to a local listener."""
import socket
import statistics
import sys
import threading
import time

import socks

count = 1000
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(64)
port = listener.getsockname()[1]


def accept_all():
    while True:
        try:
            c, _ = listener.accept()
        except OSError:
            return
        c.close()


threading.Thread(target=accept_all, daemon=True).start()
for proxy in sys.argv[1:]:
    host, pport = proxy.rsplit(":", 1)
    times = []
    for _ in range(count):
        s = socks.socksocket()
        s.set_proxy(socks.SOCKS5, host, int(pport), rdns=True)
        t0 = time.perf_counter()
        s.connect(("127.0.0.1", port))
        times.append(time.perf_counter() - t0)
        s.close()
    print("%-24s median %8.1f us over %d connects (Python socks)" % (proxy, statistics.median(times) * 1e6, count))
listener.close()
