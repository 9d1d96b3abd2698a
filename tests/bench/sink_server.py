#!/usr/bin/env python3
"""A loopback news server that accepts every POST and stores nothing.

    sink_server.py ADDRESS   (listens on ADDRESS:119 until killed)
"""
import socket
import sys
import threading


def serve(conn):
    f = conn.makefile("rb", buffering=65536)
    conn.sendall(b"200 sink ready (posting ok)\r\n")
    while True:
        line = f.readline()
        if not line:
            break
        word = line.split(b" ", 1)[0].strip().upper()
        if word == b"POST":
            conn.sendall(b"340 send it\r\n")
            tail = b""
            while True:
                chunk = f.read1(65536)
                if not chunk:
                    return
                tail = (tail + chunk)[-5:]
                if tail == b"\r\n.\r\n":
                    break
            conn.sendall(b"240 article received\r\n")
        elif word == b"QUIT":
            conn.sendall(b"205 bye\r\n")
            break
        elif word == b"MODE":
            conn.sendall(b"200 reader mode\r\n")
        else:
            conn.sendall(b"500 what?\r\n")
    conn.close()


srv = socket.socket()
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind((sys.argv[1], 119))
srv.listen(16)
print("ready", flush=True)
while True:
    c, _ = srv.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
