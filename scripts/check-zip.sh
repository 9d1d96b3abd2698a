#!/usr/bin/env bash
# Builds the Windows .zip and lists it: it must hold, at its top, exactly the
# two programs, the README and the licence, the last two as text with
# Windows line ends.
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
zip="$(ls "${KESTRUN_WINDOWS_BUILD:-build/windows}"/package/kestrun-*-win32.zip)"
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
