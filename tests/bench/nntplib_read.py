#!/usr/bin/env python3
"""The reading benchmark's Python client: nntplib (Python 3.11) doing what
nntpfetch does, with the data written to standard output.

    nntplib_read.py ADDRESS GROUP [NUMBER]
"""
import sys
import warnings

warnings.simplefilter("ignore", DeprecationWarning)
import nntplib  # noqa: E402

server, group = sys.argv[1], sys.argv[2]
out = sys.stdout.buffer
with nntplib.NNTP(server, readermode=True) as s:
    _, count, first, last, _ = s.group(group)
    if len(sys.argv) > 3:
        _, info = s.article(sys.argv[3])
        for line in info.lines:
            out.write(line + b"\r\n")
    else:
        # over() parses each line into a dictionary, as a Python reader uses
        # it; the fields are written back out as a line.
        _, overviews = s.over((first, last))
        fmt = list(overviews[0][1].keys()) if overviews else []
        for number, fields in overviews:
            text = "\t".join([str(number)] + [fields[k] or "" for k in fmt])
            out.write(text.encode("utf-8", "surrogateescape") + b"\r\n")
out.flush()
