#!/usr/bin/env bash
# Installs what is missing, builds, and runs Vantri4 Flash (its emulation
# build, under Wine) against one emulated adapter whose firmware is old
# enough to be offered the update.
#
#   With a display ($DISPLAY set and reachable): the window opens there and
#   you click; afterwards the script says what the adapter received.
#   Without one: a virtual display is started, the update is driven
#   (Update Firmware, Yes, OK) and screenshots of each step are written to
#   the folder printed at the end; the script checks the adapter received
#   the image. Then the same adapter's config area is backed up (Backup
#   Configs, the save dialog, OK) and the file is checked byte for byte.
#
# Build trees go to $VANTRI_BUILD_ROOT (default: build/ in the checkout).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${VANTRI_BUILD_ROOT:-$root/build}
jobs=$(nproc)
adapter_version=4.00.20150101

bash "$root/scripts/setup.sh"

has_target() { cmake --build "$1" --target help 2>/dev/null | grep -q "^$2:"; }
build_targets() {
    local tree=$1 wanted=() t
    shift
    for t in "$@"; do
        has_target "$tree" "$t" && wanted+=(--target "$t")
    done
    if ((${#wanted[@]})); then cmake --build "$tree" -j "$jobs" "${wanted[@]}"; fi
}

echo "== native release build (the emulator process)"
cmake -S "$root" -B "$out/native-release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
build_targets "$out/native-release" vantri_emulator_server vantri_demo

echo "== Windows build"
cmake -S "$root" -B "$out/windows" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-posix.cmake" \
    -DVANTRI_NATIVE_BUILD="$out/native-release" >/dev/null
build_targets "$out/windows" Vantri4FlashEmu Vantri4Flash vantri_driver vantri_firmware_image

emulator=$out/native-release/emulator/vantri_emulator
exe=$out/windows/app/Vantri4FlashEmu.exe
driver=$out/windows/tests/e2e/driver/vantri_driver.exe
firmware=$(sed -n 's/^VANTRI_FIRMWARE_IMAGE_PATH:INTERNAL=//p' "$out/windows/CMakeCache.txt")

if [[ ! -f "$exe" || ! -x "$emulator" ]]; then
    demo=$out/native-release/emulator/vantri_demo
    if [[ -x "$demo" ]]; then
        echo "== the Windows program or the emulator process is not built yet; running the native demo"
        exec "$demo"
    fi
    echo "run.sh: neither $exe with $emulator nor the native demo could be built" >&2
    exit 1
fi

display_reachable() {
    [[ -n "${DISPLAY:-}" ]] && xdpyinfo -display "$DISPLAY" >/dev/null 2>&1
}

if display_reachable; then
    echo "== interactive run on $DISPLAY"
    export WINEPREFIX=$out/wineprefix-desktop WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
        echo "   preparing the Wine prefix $WINEPREFIX (once, about 10 s)"
        /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
    fi
    /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
    /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1

    state=$out/run-state
    rm -rf "$state"
    coproc EMULATOR { exec "$emulator" --port 0 --adapters 1 --version "$adapter_version" --frame-clock \
        --state-dir "$state"; }
    emulator_pid=$EMULATOR_PID
    trap 'kill "$emulator_pid" 2>/dev/null || true; /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
    read -r -t 15 line <&"${EMULATOR[0]}"
    port=${line#port=}
    echo "   one emulated adapter (firmware $adapter_version) on 127.0.0.1:$port"
    echo "   click Update Firmware, then Yes; the window closes when the update is done"
    VANTRI4_EMULATOR=127.0.0.1:$port /usr/lib/wine/wine64 "$exe" </dev/null || true
    kill -TERM "$emulator_pid"
    wait "$emulator_pid" || true
    trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
    if [[ -f "$state/adapter0/image.bin" ]] && cmp -s "$state/adapter0/image.bin" "$firmware"; then
        echo "== the emulated adapter received the carried firmware image ($(stat -c %s "$firmware") bytes)"
    else
        echo "== the emulated adapter did not receive an image (state in $state)"
    fi
    exit 0
fi

echo "== headless run: virtual display, driven update and backup, screenshots"
shots=$out/screenshots
rm -rf "$shots"
python3 "$root/tests/e2e/run_scenario.py" demo_update_and_backup \
    --exe "$exe" --driver "$driver" --emulator "$emulator" --firmware "$firmware" \
    --artefacts "$out/run" --x11-prefix "$out/wineprefix-x11" --screenshots "$shots"
echo "screenshots: $shots"
ls "$shots"
