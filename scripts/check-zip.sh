#!/usr/bin/env bash
# Builds the Windows .zip and lists it: it must hold, at its top, exactly the
# two programs, the README and the licence, the last two as text with
# Windows line ends; then the SDK's .zip: one folder with the public
# headers, the eight libraries, the CMake package, kestrun.pc and the
# licence.
#
# KESTRUN_WINDOWS_BUILD names another build folder than build/windows.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# The build's own output is shown only when it fails, and then whole.
log="$(mktemp)"
if ! scripts/package.sh --windows-only >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "$(basename "$0"): scripts/package.sh --windows-only failed (above)" >&2
  exit 1
fi
rm -f "$log"
zip="$(ls "${KESTRUN_WINDOWS_BUILD:-build/windows}"/package/kestrun-[0-9]*-win32.zip)"
echo "$zip:"
python3 - "$zip" <<'PY'
import sys
import zipfile

z = zipfile.ZipFile(sys.argv[1])
for entry in z.infolist():
    print("%10d  %s" % (entry.file_size, entry.filename))
names = sorted(z.namelist())
want = ["LICENSE.txt", "README.txt", "echoserver.exe", "kestrun.exe", "nntpfetch.exe"]
problems = [] if names == want else ["it holds %s, not %s" % (names, want)]
for name in ("echoserver.exe", "kestrun.exe", "nntpfetch.exe"):
    if name in names and not z.read(name).startswith(b"MZ"):
        problems.append(name + " is no Windows program")
for name, words in (("README.txt", b"# Kestrun"), ("LICENSE.txt", b"MIT License")):
    text = z.read(name) if name in names else b""
    if not text.startswith(words) or text.count(b"\n") != text.count(b"\r\n"):
        problems.append(name + " is not the text with CR LF line ends")
for p in problems:
    print("check-zip: " + p, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
echo "check-zip: the programs, the README and the licence, as they should be"

sdk="$(ls "${KESTRUN_WINDOWS_BUILD:-build/windows}"/package/kestrun-sdk-*-win32.zip)"
echo "$sdk:"
python3 - "$sdk" cmake/public-headers.txt <<'PY'
import os
import sys
import zipfile

z = zipfile.ZipFile(sys.argv[1])
for entry in z.infolist():
    print("%10d  %s" % (entry.file_size, entry.filename))
top = os.path.basename(sys.argv[1])[: -len(".zip")] + "/"
with open(sys.argv[2]) as f:
    headers = [line.strip() for line in f if line.strip().endswith(".h") and not line.startswith("#")]
libs = ["lib/libkestrun-%s.a" % n for n in ("access", "host", "netproto", "nntp-text", "nntp", "platform", "rtl", "socket")]
cmake = ["lib/cmake/Kestrun/%s.cmake" % n for n in
         ("KestrunConfig", "KestrunConfigVersion", "KestrunTargets", "KestrunTargets-release")]
want = sorted(top + name for name in ["LICENSE.txt", "lib/pkgconfig/kestrun.pc"] + libs + cmake +
              ["include/kestrun/" + h for h in headers])
names = sorted(n for n in z.namelist() if not n.endswith("/"))
problems = [] if names == want else ["it holds %s, not %s" % (sorted(set(names) - set(want)), sorted(set(want) - set(names)))]
for lib in libs:
    if top + lib in names and not z.read(top + lib).startswith(b"!<arch>\n"):
        problems.append(lib + " is no library")
for p in problems:
    print("check-zip: " + p, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
echo "check-zip: the SDK's headers, libraries, CMake package, kestrun.pc and licence, as they should be"
