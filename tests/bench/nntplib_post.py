#!/usr/bin/env python3
"""Posts an article file (headers and body) with Python's nntplib; with
--tls CAFILE over NNTPS (NNTP_SSL, port 563), trusting the CAs of that file,
or with --tls system trusting the system's store (ssl.create_default_context(),
as a program would).

    nntplib_post.py [--tls CAFILE|system] ADDRESS ARTICLE
"""
import ssl
import sys
import warnings

warnings.simplefilter("ignore")
import nntplib  # noqa: E402

args = sys.argv[1:]
if args[0] == "--tls":
    ctx = ssl.create_default_context() if args[1] == "system" else ssl.create_default_context(cafile=args[1])
    server = nntplib.NNTP_SSL(args[2], 563, ssl_context=ctx, readermode=False)
    args = args[2:]
else:
    server = nntplib.NNTP(args[0], 119, readermode=False)
with server as s, open(args[1], "rb") as f:
    s.post(f)
