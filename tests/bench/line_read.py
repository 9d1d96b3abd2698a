#!/usr/bin/env python3
"""Python's socket.makefile().readline() on the lines that
`layers_bench serve-lines COUNT` serves: lines/s and processor time."""
import resource
import subprocess
import socket
import sys
import time

bench, count = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 1000000
server = subprocess.Popen([bench, "serve-lines", str(count)], stdout=subprocess.PIPE)
port = int(server.stdout.readline())
cpu0 = resource.getrusage(resource.RUSAGE_SELF)
t0 = time.monotonic()
s = socket.create_connection(("127.0.0.1", port))
f = s.makefile("rb")
lines = 0
while f.readline():
    lines += 1
elapsed = time.monotonic() - t0
cpu1 = resource.getrusage(resource.RUSAGE_SELF)
f.close()  # the file holds the socket open too
s.close()
server.wait()
cpu = (cpu1.ru_utime - cpu0.ru_utime) + (cpu1.ru_stime - cpu0.ru_stime)
print("%-34s %9d lines %7.3f s %10.0f lines/s  cpu %6.3f s (reader only)"
      % ("Python makefile().readline()", lines, elapsed, lines / elapsed, cpu))
