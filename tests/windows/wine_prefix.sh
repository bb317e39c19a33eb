#!/usr/bin/env bash
# Prepares wine for the Windows tests: creates the prefix once (parallel first starts would
# race to create it) and keeps one wine server running across the tests. Without that each
# test's own server lingers after the test, holding its output open, and the test runner
# waits for it every time.
#
# usage: wine_prefix.sh <wineserver or ""> <wine> [wine args...]
set -euo pipefail
wineserver=$1
shift
export WINEDEBUG=-all
unset DISPLAY
mkdir -p "${WINEPREFIX:?}"
if [ -n "$wineserver" ]; then
  # A server left from an earlier run may be about to shut down: replace it with one that
  # stays up 60 s after the last program ends.
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -p60 </dev/null >/dev/null 2>&1
fi
# wine's own service processes start here and live as long as the server; they must not
# inherit the runner's output, or each test would wait for them.
log="$WINEPREFIX.log"
if ! "$@" wineboot.exe --init </dev/null >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
