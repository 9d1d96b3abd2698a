#!/usr/bin/env python3
"""Prints the newest article of a group as the server stored it.

    show_article.py SERVER GROUP
"""
import sys

import nntp_read

server, group = sys.argv[1], sys.argv[2]
reader = nntp_read.Reader(server)
try:
    raw = reader.last_article(group)
finally:
    reader.close()
headers, body = nntp_read.split_article(raw)
for name, value in headers:
    text = value.decode("ascii", "replace")
    print("%s: %s" % (name, text))
    if "=?" in text:
        print("    (decoded: %s)" % nntp_read.decoded(value))
print()
print(body.decode("cp1250", "replace").replace("\r\n", "\n"), end="")
