#!/usr/bin/env python3
"""A news server that replays prepared answers as fast as the network takes
them: the reading benchmark's second peer, so that the readers are measured
without INN's own cost.

    replay_server.py ADDRESS OVERVIEW_FILE ARTICLE_FILE   (prints "ready")

OVERVIEW_FILE holds the overview lines (CR LF, already dot-stuffed) of group
"bench" (1 to N, one line each); ARTICLE_FILE the dot-stuffed article that
"ARTICLE n" answers for any n. It serves one connection at a time.
"""
import socket
import sys

address, overview_path, article_path = sys.argv[1:4]
overview = open(overview_path, "rb").read()
article = open(article_path, "rb").read()
count = overview.count(b"\r\n")

listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind((address, 119))
listener.listen(8)
print("ready", flush=True)
while True:
    conn, _ = listener.accept()
    conn.sendall(b"200 replay server ready\r\n")
    f = conn.makefile("rb")
    while True:
        line = f.readline()
        if not line:
            break
        words = line.decode("ascii", "replace").split()
        verb = words[0].upper() if words else ""
        if verb == "MODE":
            conn.sendall(b"200 reader mode\r\n")
        elif verb == "GROUP":
            conn.sendall(b"211 %d 1 %d bench\r\n" % (count, count))
        elif verb in ("XOVER", "OVER"):
            conn.sendall(b"224 overview follows\r\n" + overview + b".\r\n")
        elif verb == "ARTICLE":
            conn.sendall(b"220 %s <replay@bench> article\r\n" % words[1].encode() + article + b".\r\n")
        elif verb == "QUIT":
            conn.sendall(b"205 bye\r\n")
            break
        else:
            conn.sendall(b"500 unknown\r\n")
    conn.close()
