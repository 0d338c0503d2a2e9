#!/usr/bin/env bash
# The test runner of the build folder finds the prefix's running wineserver and starts no other: every
# program that a test starts goes through it, and a check that never finds the server would begin a new one
# (and a Wine start-up under the runner's lock) for each of them.
#   wine-run-test.sh --build-dir DIR
set -euo pipefail
[ "${1:-}" = --build-dir ] || { echo "usage: $0 --build-dir DIR" >&2; exit 2; }
RUNNER=$2/wine-run

"$RUNNER" --up
trace=$(mktemp)
trap 'rm -f "$trace"' EXIT
bash -x "$RUNNER" cmd.exe /c exit 2>"$trace" >/dev/null
if grep -q 'setsid .*wineserver' "$trace"; then
  echo "FAIL: wine-run started another wineserver although the prefix's server was running" >&2
  exit 1
fi
echo "ok: the running wineserver was found and no other was started"
