#!/usr/bin/env python3
"""Posts an article file (headers and body) with Python's nntplib."""
import sys
import warnings

warnings.simplefilter("ignore")
import nntplib  # noqa: E402

with nntplib.NNTP(sys.argv[1], 119, readermode=False) as s, open(sys.argv[2], "rb") as f:
    s.post(f)
