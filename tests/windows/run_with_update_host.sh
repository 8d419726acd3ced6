#!/usr/bin/env bash
# Runs a command with the local update host as its HTTP proxy:
#
#   run_with_update_host.sh PYTHON UPDATE_HOST_PY [HOST_OPTIONS...] -- COMMAND [ARGS...]
#
# Starts tests/support/update_host.py on a free loopback port, runs COMMAND
# with http_proxy=http://127.0.0.1:PORT (WinHTTP under Wine takes its default
# proxy from there), stops the host and exits with COMMAND's status.
set -uo pipefail

(($# >= 4)) || { echo "usage: $0 PYTHON UPDATE_HOST_PY [OPTIONS...] -- COMMAND [ARGS...]" >&2; exit 2; }
python=$1
host=$2
shift 2
options=()
while (($#)) && [[ "$1" != -- ]]; do
    options+=("$1")
    shift
done
[[ "${1:-}" == -- ]] || { echo "$0: missing -- before the command" >&2; exit 2; }
shift

source "$(dirname "${BASH_SOURCE[0]}")/loopback_server.sh"
start_loopback_server "the update host" "$python" "$host" --port 0 "${options[@]}"

unset no_proxy NO_PROXY https_proxy HTTPS_PROXY
# Wine prefers its built-in winhttp.dll even to a file beside the program;
# native first makes it load a planted one where Windows would, so that a
# binding that refuses it is seen doing so.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winhttp=n,b"
http_proxy="http://127.0.0.1:$port" HTTP_PROXY="http://127.0.0.1:$port" "$@"
