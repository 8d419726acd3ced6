#!/usr/bin/env bash
# Runs a command against a fresh emulator process:
#
#   run_with_emulator.sh EMULATOR [EMULATOR_OPTIONS...] -- COMMAND [ARGS...]
#
# Starts EMULATOR (the native vantri_emulator) on a free loopback port, runs
# COMMAND with VANTRI4_EMULATOR=127.0.0.1:PORT, stops the emulator and exits
# with COMMAND's status.
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

source "$(dirname "${BASH_SOURCE[0]}")/loopback_server.sh"
start_loopback_server "the emulator" "$emulator" --port 0 "${options[@]}"

VANTRI4_EMULATOR="127.0.0.1:$port" "$@"
