#!/usr/bin/env bash
# Runs a Windows program under Wine with its output passed on through a file:
#
#   wine-exec.sh PROGRAM.exe [ARGS...]
#
# A Wine program may start Wine's own processes; the first window on an idle
# desktop starts the desktop's explorer.exe. They inherit the program's
# stdout and stderr and outlive it for as long as any other program uses the
# desktop, so a caller reading through a pipe (ctest, $(...)) would wait for
# them as well: a finished test held until ctest's time limit. Here they
# inherit a file; its contents are printed once the program has ended, and
# the program's status is ours.
set -uo pipefail

out=$(mktemp)
trap 'rm -f "$out"' EXIT
/usr/lib/wine/wine64 "$@" </dev/null >"$out" 2>&1
status=$?
cat "$out"
exit "$status"
