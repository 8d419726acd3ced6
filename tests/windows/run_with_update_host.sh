#!/usr/bin/env bash
# Runs a command with the local update host as its HTTP proxy:
#
#   run_with_update_host.sh PYTHON UPDATE_HOST_PY [HOST_OPTIONS...] -- COMMAND [ARGS...]
#
# Starts tests/support/update_host.py on a free loopback port, runs COMMAND
# with http_proxy=http://127.0.0.1:PORT (WinHTTP under Wine takes its default
# proxy from there), stops the host and exits with COMMAND's status. The
# host's output goes to files, never to our caller's pipes.
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

work=$(mktemp -d)
"$python" "$host" --port 0 "${options[@]}" </dev/null >"$work/out" 2>"$work/log" &
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
        echo "$0: the update host did not start:" >&2
        cat "$work/log" >&2
        exit 1
    fi
    sleep 0.05
done
[[ -n "$port" ]] || { echo "$0: the update host named no port" >&2; exit 1; }

unset no_proxy NO_PROXY https_proxy HTTPS_PROXY
# Wine prefers its built-in winhttp.dll even to a file beside the program;
# native first makes it load a planted one where Windows would, so that a
# binding that refuses it is seen doing so.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winhttp=n,b"
http_proxy="http://127.0.0.1:$port" HTTP_PROXY="http://127.0.0.1:$port" "$@"
