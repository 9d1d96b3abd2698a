#!/usr/bin/env python3
"""Runs the program as a user would and checks its help texts byte for byte.

The Linux program writes the locale's encoding (UTF-8 here); the Windows
program under wine with a Polish locale writes code page 852 with CR LF.
"""
import argparse
import os
import subprocess
import sys

ap = argparse.ArgumentParser()
ap.add_argument("--program", required=True)
ap.add_argument("--runner", default="")
ap.add_argument("--name", required=True)
ap.add_argument("--version", required=True)
ap.add_argument("--url", required=True)
ap.add_argument("--copyright", required=True)
opts = ap.parse_args()

windows = opts.program.lower().endswith(".exe")
base = os.path.splitext(os.path.basename(opts.program))[0]
parts = [int(p) & 0xFF for p in opts.version.split(".")]
header = [
    "%s wersja %d.%02d.%02d.%02d" % (opts.name, *parts),
    opts.copyright,
    opts.url,
    "",
]
errors = [
    "Możliwe błędy:",
    "1 - wyświetlenie pomocy (także w wyniku braku parametrów)",
    "2 - nie można połączyć się z serwerem",
    "3 - wysyłanie zakończone błędem z podaniem komunikatu serwera",
]
usage = [
    "Składnia: %s serwer kto grup(a/y) temat plik" % base,
    "",
    "W której:",
    "serwer    - adres serwera np. news.example.net",
    "kto       - autor w formacie „xxx <yyy@zzz[.invalid]>”:",
    "  xxx     - imię i nazwisko lub inny opis wysyłającego",
    "  yyy@zzz - adres poczty, w wypadku fikcyjności zakończony „.invalid”",
    "grup(a/y) - nazwa grupy lub listą nazw rozdzielonych przecinkami",
    "            np. pl.test,pl.news.czytniki",
    "temat     - temat artykułu np. „To jest artykuł”",
    "plik      - jest nazwą pliku np. %s.txt" % base,
    "",
    "Parametry zawierające odstępy jak temat należy ująć w cudzysłowia",
    "",
    "Przykład: %s news.example.net „Jan Kowalski <jan.kowalski@example.invalid>” pl.test „Jakiś Temat”" % base,
    "          Kestrun.txt",
]
general = [
    "",
    "Składnia: %s [ /bledy | /uzycie | parametry ]" % base,
    "",
    "/bledy    - informacje o błędach numerycznych jakie publikator generuje",
    "/uzycie   - informacje o normalnym użyciu publikatora",
    "parametry - normalne użycie publikatora z parametrami jak po /uzycie",
]


def encode(lines):
    if windows:
        # Code page 852 has no typographic quotes; the console shows the
        # platform's replacement, which wine makes a plain double quote.
        text = "".join(l + "\r\n" for l in lines)
        return text.replace("„", '"').replace("”", '"').encode("cp852")
    return "".join(l + "\n" for l in lines).encode("utf-8")


cases = [
    ([], general),
    (["/bledy"], errors),
    (["/BLEDY"], errors),
    (["/UZYCIE"], usage),
    (["/Uzycie"], usage),
    (["a", "b", "c", "d"], general),
    (["/uzycie", "b", "c", "d"], usage),
]

env = dict(os.environ)
if windows:
    env.update(LANG="pl_PL.UTF-8", LC_ALL="pl_PL.UTF-8", WINEDEBUG="-all")
else:
    env.update(LANG="C.UTF-8", LC_ALL="C.UTF-8")

failed = 0
for args, body in cases:
    cmd = ([opts.runner] if opts.runner else []) + [opts.program] + args
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=120)
    want = encode(header + body)
    if r.returncode != 1 or r.stdout != want:
        failed += 1
        print("FAIL %r: exit %d" % (args, r.returncode))
        got, exp = r.stdout.splitlines(), want.splitlines()
        for i in range(max(len(got), len(exp))):
            g = got[i] if i < len(got) else None
            e = exp[i] if i < len(exp) else None
            if g != e:
                print("  line %d: got %r, want %r" % (i + 1, g, e))
    else:
        print("ok   %r" % (args,))
sys.exit(1 if failed else 0)
