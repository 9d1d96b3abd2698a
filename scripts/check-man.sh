#!/bin/sh
# The manual pages render without a single warning, as man shows them.
#
#   scripts/check-man.sh [PAGE...]     (default: man/*.1)
set -u
root="$(cd "$(dirname "$0")/.." && pwd)"
[ $# -gt 0 ] || set -- "$root"/man/*.1
status=0
for page in "$@"; do
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null)"
  if [ -n "$warnings" ]; then
    printf '%s\n' "$warnings"
    status=1
  fi
done
[ $status = 0 ] && echo "check-man: $# pages, no warnings"
exit $status
