#!/usr/bin/env bash
# Prepares a Wine prefix for the Windows build's programs and tests (or
# reuses one already prepared), starts its server and services detached
# from the caller's pipes, and prints the export lines a caller must eval:
#
#   eval "$(scripts/wine-prefix.sh build-win/wineprefix)"
#   ctest --test-dir build-win -L windows
#   /usr/lib/wine/wineserver -k      # when done
#
# Options:
#   --xvfb   the X11 driver with Managed=N (for screenshots on Xvfb; the
#            caller provides DISPLAY) instead of the headless null driver.
set -euo pipefail

WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

usage() {
    echo "usage: $0 [--xvfb] PREFIX_DIR" >&2
    exit 2
}

mode=headless
dir=
for arg in "$@"; do
    case "$arg" in
        --xvfb) mode=xvfb ;;
        -h | --help) usage ;;
        -*) usage ;;
        *) [[ -z "$dir" ]] || usage; dir=$arg ;;
    esac
done
[[ -n "$dir" ]] || usage

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

export WINEPREFIX="$dir" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Every Wine command runs detached from our stdio: the services it starts
# inherit them, and a caller reading our output through a pipe (eval
# "$(...)", ctest) would otherwise never see end-of-file.
quiet() { "$@" </dev/null >/dev/null 2>&1; }

marker="$dir/.vantri-prepared-$mode"
if [[ ! -f "$marker" ]]; then
    [[ -f "$dir/system.reg" ]] || quiet "$WINE" wineboot -i
    if [[ "$mode" == headless ]]; then
        # Without a display, dialogs cannot be created (error 1400).
        quiet "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
    else
        quiet "$WINE" reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f || true
        # Without a window manager, every window close stalls for 2 s.
        quiet "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
    fi
    quiet "$WINESERVER" -w
    rm -f "$dir"/.vantri-prepared-*
    touch "$marker"
fi

# A persistent server and the services up front: each program then starts
# in a few hundredths of a second, and none of them holds a caller's pipe.
quiet "$WINESERVER" -p || true
quiet "$WINE" wineboot

printf 'export WINEPREFIX=%q WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES=%q\n' "$dir" "mscoree,mshtml="
