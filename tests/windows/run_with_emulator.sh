#!/usr/bin/env bash
# Runs a command against a fresh emulator process:
#
#   run_with_emulator.sh EMULATOR [EMULATOR_OPTIONS...] -- COMMAND [ARGS...]
#
# Starts EMULATOR (the native vantri_emulator) on a free loopback port, runs
# COMMAND with VANTRI4_EMULATOR=127.0.0.1:PORT, stops the emulator and exits
# with COMMAND's status. The emulator's output goes to files, never to our
# caller's pipes, so ctest sees the end of the test's output.
set -uo pipefail

(($# >= 3)) || { echo "usage: $0 EMULATOR [OPTIONS...] -- COMMAND [ARGS...]" >&2; exit 2; }
emulator=$1
shift
options=()
while (($#)) && [[ "$1" != -- ]]; do
    options+=("$1")
    shift
done
[[ "${1:-}" == -- ]] || { echo "$0: missing -- before the command" >&2; exit 2; }
shift

work=$(mktemp -d)
"$emulator" --port 0 "${options[@]}" </dev/null >"$work/out" 2>"$work/err" &
pid=$!
stop() {
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    rm -rf "$work"
}
trap stop EXIT

port=
for _ in $(seq 200); do
    port=$(sed -n 's/^port=\([0-9][0-9]*\)$/\1/p' "$work/out")
    [[ -n "$port" ]] && break
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "$0: the emulator did not start:" >&2
        cat "$work/err" >&2
        exit 1
    fi
    sleep 0.05
done
[[ -n "$port" ]] || { echo "$0: the emulator named no port" >&2; exit 1; }

VANTRI4_EMULATOR="127.0.0.1:$port" "$@"
