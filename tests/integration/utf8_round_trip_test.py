#!/usr/bin/env python3
"""Posts author names, subjects and bodies in and out of Windows-1250 with
kestrun (the Linux program, or the Windows one under wine, where the
arguments must come from the wide command line) to a private INN, finds each
article again by a tag of its own, and decodes what INN stored with Python's
own RFC 2047 decoder: every character must come back as it was typed, and
the body byte for byte with the character set it was declared in."""
import argparse
import email.header
import os
import socket
import subprocess
import sys
import tempfile
import uuid

ap = argparse.ArgumentParser()
ap.add_argument("--program", required=True)
ap.add_argument("--runner", default="")
ap.add_argument("--server", required=True)
opts = ap.parse_args()

windows = opts.program.lower().endswith(".exe")
env = dict(os.environ, WINEDEBUG="-all")
env.pop("KESTRUN_SOCKS", None)
if windows:
    # Polish ANSI code page 1250: what it lacks reaches the program only
    # through the wide command line.
    env.update(LANG="pl_PL.UTF-8", LC_ALL="pl_PL.UTF-8")
    console = "cp852"
else:
    env.update(LANG="C.UTF-8", LC_ALL="C.UTF-8")
    console = "utf-8"
failures = []


def check(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else ": " + detail))
    if not ok:
        failures.append(what)


def run(args):
    cmd = ([opts.runner] if opts.runner else []) + [opts.program] + args
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=120)
    return r.returncode, r.stdout.decode(console, "replace").strip()


class News:
    """Just enough NNTP to find an article by a word of its subject."""

    def __init__(self, host):
        self.sock = socket.create_connection((host, 119), timeout=30)
        self.file = self.sock.makefile("rb")
        self.file.readline()

    def command(self, text):
        self.sock.sendall(text.encode() + b"\r\n")
        return self.file.readline()

    def lines(self):
        out = []
        while (l := self.file.readline()) != b".\r\n":
            out.append(l[1:] if l.startswith(b"..") else l)
        return out

    def article_tagged(self, tag):
        first, last = self.command("GROUP pl.test").split()[2:4]
        if not self.command("XHDR Subject %s-%s" % (first.decode(), last.decode())).startswith(b"221"):
            return None
        # The tag may sit inside an encoded-word, even split between two.
        numbers = [l.split(b" ", 1)[0].decode() for l in self.lines()
                   if tag in decoded(l.split(b" ", 1)[1].rstrip(b"\r\n"))]
        if len(numbers) != 1 or not self.command("ARTICLE " + numbers[0]).startswith(b"220"):
            return None
        return b"".join(self.lines())


def decoded(value):
    parts = email.header.decode_header(value.decode("ascii").replace("\r\n", ""))
    return "".join(p.decode(c or "ascii") if isinstance(p, bytes) else p for p, c in parts)


def headers_of(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    fields = {}
    name = None
    for l in head.split(b"\r\n"):
        if l[:1] in (b" ", b"\t"):
            fields[name] += b"\r\n" + l
        else:
            key, _, value = l.partition(b": ")
            name = key.decode().lower()
            fields[name] = value
    return fields, body


bom = b"\xef\xbb\xbf"
cases = [
    # what, author, subject, file, charset of the words (None: plain), body charset, stored body
    ("Cyrillic and euro", "Иван Петров <ivan@example.invalid>", "Тема по-русски €",
     "Привет, мир — zażółć\r\n".encode(), "UTF-8", "UTF-8", "Привет, мир — zażółć\r\n".encode()),
    ("Polish stays Windows-1250", "Łucja Wiśniewska <lucja@example.invalid>", "Zażółć gęślą jaźń €",
     "Zażółć gęślą jaźń\r\n".encode("cp1250"), "Windows-1250", "Windows-1250",
     "Zażółć gęślą jaźń\r\n".encode("cp1250")),
    ("emoji, long and folded", "ivan@example.invalid (Иван 😀)",
     "Łódź 😀 " + "Иван Петров wraca do domu " * 6, bom + ".\r\nТекст 😀\r\n".encode(), "UTF-8", "UTF-8",
     ".\r\nТекст 😀\r\n".encode()),
    ("ASCII body, invalid UTF-8 body", "Jan <jan@example.invalid>", "ascii only",
     bom + b"Za\xbf\xf3\r\n", None, "Windows-1250", bom + b"Za\xbf\xf3\r\n"),
]

news = News(opts.server)
for what, author, subject, data, words, charset, stored in cases:
    tag = "t" + uuid.uuid4().hex[:12]
    subject = subject + " " + tag
    with tempfile.NamedTemporaryFile(delete=False, suffix=".txt") as f:
        f.write(data)
    try:
        code, out = run([opts.server, author, "pl.test", subject, f.name])
    finally:
        os.unlink(f.name)
    check(what + ": posted", code == 0 and out == "Artykuł wysłano", "%d %r" % (code, out))
    raw = news.article_tagged(tag)
    check(what + ": found by its tag", raw is not None)
    if raw is None:
        continue
    fields, body = headers_of(raw)
    check(what + ": Subject as typed", decoded(fields["subject"]) == subject, repr(fields["subject"]))
    check(what + ": From as typed", decoded(fields["from"]) == author, repr(fields["from"]))
    raw_words = (fields["from"] + fields["subject"]).decode("ascii")
    check(what + ": encoded-words in " + str(words),
          ("=?" + words + "?Q?" in raw_words) if words else ("=?" not in raw_words), raw_words)
    longest = max(len(l) for n in ("from", "subject") for l in (n + ": ").encode().join(
        [b"", fields[n]]).split(b"\r\n"))
    check(what + ": header lines within 78", longest <= 78, str(longest))
    check(what + ": charset=" + charset,
          fields["content-type"] == ("text/plain; charset=" + charset).encode(), repr(fields["content-type"]))
    check(what + ": body byte for byte", body == stored, "%r != %r" % (body[:100], stored[:100]))
news.command("QUIT")

# An empty server name is refused before anything else, naming the parameter.
code, out = run(["", "Jan <jan@example.invalid>", "pl.test", "s", "no-such-file.txt"])
check("empty server refused", code == 1 and out == "Brak nazwy serwera w parametrze: serwer",
      "%d %r" % (code, out))

if not windows:
    # Bytes that are no text in the locale's encoding (a Windows-1250 subject
    # typed in a UTF-8 terminal) are refused, not posted as question marks.
    code, out = run([opts.server, "Jan <jan@example.invalid>", "pl.test", b"Za\xbf\xf3\xb3\xe6",
                     "no-such-file.txt"])
    check("bytes outside the locale's encoding refused",
          code == 1 and out == "Bajty spoza kodowania konsoli w parametrze: temat", "%d %r" % (code, out))

sys.exit(1 if failures else 0)
