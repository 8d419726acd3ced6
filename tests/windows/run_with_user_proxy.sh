#!/usr/bin/env bash
# Runs a command in a Wine prefix of its own with the local update host
# running and NO http_proxy, so that only the proxy settings the command
# writes into that prefix's registry can lead its requests to the host:
#
#   run_with_user_proxy.sh PYTHON UPDATE_HOST_PY PREFIX_DIR [HOST_OPTIONS...] -- COMMAND [ARGS...]
#
# The host's port is given as VANTRI_TEST_PROXY_PORT. The prefix's server is
# stopped on the way out, so nothing of this prefix outlives the command.
set -uo pipefail

(($# >= 5)) || { echo "usage: $0 PYTHON UPDATE_HOST_PY PREFIX_DIR [OPTIONS...] -- COMMAND [ARGS...]" >&2; exit 2; }
python=$1
host=$2
prefix=$3
shift 3
options=()
while (($#)) && [[ "$1" != -- ]]; do
    options+=("$1")
    shift
done
[[ "${1:-}" == -- ]] || { echo "$0: missing -- before the command" >&2; exit 2; }
shift

here=$(dirname "${BASH_SOURCE[0]}")
eval "$(bash "$here/../../scripts/wine-prefix.sh" "$prefix")" || exit 1
source "$here/loopback_server.sh"
start_loopback_server "the update host" "$python" "$host" --port 0 "${options[@]}"
trap 'kill -TERM "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; rm -rf "$server_work"; /usr/lib/wine/wineserver -k >/dev/null 2>&1' EXIT

unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY no_proxy NO_PROXY
VANTRI_TEST_PROXY_PORT=$port "$@"
