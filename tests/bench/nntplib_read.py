#!/usr/bin/env python3
"""The reading benchmark's Python client: nntplib (Python 3.11) doing what
nntpfetch does, with the data written to standard output.

    nntplib_read.py [--tls CAFILE] ADDRESS GROUP [NUMBER]
"""
import ssl
import sys
import warnings

warnings.simplefilter("ignore", DeprecationWarning)
import nntplib  # noqa: E402

server, group = sys.argv[1], sys.argv[2]
out = sys.stdout.buffer
if server == "--tls":
    # NNTPS: nntplib_read.py --tls CAFILE ADDRESS GROUP [NUMBER]
    ctx = ssl.create_default_context(cafile=sys.argv[2])
    sys.argv[1:] = sys.argv[3:]
    server, group = sys.argv[1], sys.argv[2]
    connection = nntplib.NNTP_SSL(server, 563, ssl_context=ctx, readermode=True)
else:
    connection = nntplib.NNTP(server, readermode=True)
with connection as s:
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
