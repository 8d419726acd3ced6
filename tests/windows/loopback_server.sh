# Sourced by the test wrappers: starts a server of ours on a free loopback
# port and stops it when the wrapper exits.
#
#   start_loopback_server WHAT COMMAND [ARGS...]
#
# COMMAND must be told to take port 0 and print "port=N" on stdout once it
# listens; `port` is then set. Its output goes to files, never to our
# caller's pipes, so ctest sees the end of the test's output. WHAT names the
# server in our messages.
start_loopback_server() {
    local what=$1
    shift
    server_work=$(mktemp -d)
    "$@" </dev/null >"$server_work/out" 2>"$server_work/err" &
    server_pid=$!
    trap 'kill -TERM "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; rm -rf "$server_work"' EXIT

    port=
    for _ in $(seq 200); do
        port=$(sed -n 's/^port=\([0-9][0-9]*\)$/\1/p' "$server_work/out")
        [[ -n "$port" ]] && return 0
        if ! kill -0 "$server_pid" 2>/dev/null; then
            echo "$0: $what did not start:" >&2
            cat "$server_work/err" >&2
            exit 1
        fi
        sleep 0.05
    done
    echo "$0: $what named no port" >&2
    exit 1
}
