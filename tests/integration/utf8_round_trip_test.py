#!/usr/bin/env python3
"""Posts author names, subjects and bodies in and out of Windows-1250 with
kestrun (the Linux program, or the Windows one under wine, where the
arguments must come from the wide command line) to a private INN, finds each
article again by a tag of its own, and decodes what INN stored with Python's
own RFC 2047 decoder: every character must come back as it was typed, and
the body byte for byte with the character set it was declared in."""
import os
import tempfile

from harness import check, console_env, find_article, finish, options, run, unique_tag
from nntp_read import decoded, header, split_article

opts = options("--program", "--server")
# Under wine the locale is Polish, ANSI code page 1250: what it lacks reaches
# the program only through the wide command line.
env, console, _ = console_env()


def post(args):
    r = run([opts.program] + args, env)
    return r.returncode, r.stdout.decode(console, "replace").strip()


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

for what, author, subject, data, words, charset, stored in cases:
    # The tag may end up inside an encoded-word, even split between two.
    tag = unique_tag()
    subject = subject + " " + tag
    with tempfile.NamedTemporaryFile(delete=False, suffix=".txt") as f:
        f.write(data)
    try:
        code, out = post([opts.server, author, "pl.test", subject, f.name])
    finally:
        os.unlink(f.name)
    check(what + ": posted", code == 0 and out == "Artykuł wysłano", "%d %r" % (code, out))
    raw = find_article(opts.server, "pl.test", tag)
    check(what + ": found by its tag", raw is not None)
    if raw is None:
        continue
    headers, body = split_article(raw)
    fields = {n: header(headers, n) for n in ("From", "Subject", "Content-Type")}
    check(what + ": Subject as typed", decoded(fields["Subject"]) == subject, repr(fields["Subject"]))
    check(what + ": From as typed", decoded(fields["From"]) == author, repr(fields["From"]))
    raw_words = (fields["From"] + fields["Subject"]).decode("ascii")
    check(what + ": encoded-words in " + str(words),
          ("=?" + words + "?Q?" in raw_words) if words else ("=?" not in raw_words), raw_words)
    longest = max(len(l) for n in ("From", "Subject") for l in (n + ": ").encode().join(
        [b"", fields[n]]).split(b"\r\n"))
    check(what + ": header lines within 78", longest <= 78, str(longest))
    check(what + ": charset=" + charset,
          fields["Content-Type"] == ("text/plain; charset=" + charset).encode(), repr(fields["Content-Type"]))
    check(what + ": body byte for byte", body == stored, "%r != %r" % (body[:100], stored[:100]))

# An empty server name is refused before anything else, naming the parameter.
code, out = post(["", "Jan <jan@example.invalid>", "pl.test", "s", "no-such-file.txt"])
check("empty server refused", code == 1 and out == "Brak nazwy serwera w parametrze: serwer",
      "%d %r" % (code, out))

if not opts.windows:
    # Bytes that are no text in the locale's encoding (a Windows-1250 subject
    # typed in a UTF-8 terminal) are refused, not posted as question marks.
    code, out = post([opts.server, "Jan <jan@example.invalid>", "pl.test", b"Za\xbf\xf3\xb3\xe6",
                      "no-such-file.txt"])
    check("bytes outside the locale's encoding refused",
          code == 1 and out == "Bajty spoza kodowania konsoli w parametrze: temat", "%d %r" % (code, out))

finish()
