#!/usr/bin/env bash
# Installs what is missing, builds, and runs Vantri4 Flash (its emulation
# build, under Wine) against one emulated adapter whose firmware is old
# enough to be offered the update and whose config area holds five configs,
# with the local update host (tests/support/update_host.py) standing in for
# the real one: the program's downloads reach it as their proxy.
#
#   With a display ($DISPLAY set and reachable): the window opens there and
#   you click; each run of the program does one operation, and the script
#   offers to start it again against the same adapter and update host, so
#   that update, backup and restore can each be tried by hand. Afterwards
#   the script says what the adapter holds.
#   Without one: a virtual display is started and every operation is driven
#   in turn, with screenshots of each step in the folder printed at the end:
#   the update (the image checked on the adapter), a backup of the adapter's
#   config area (the file checked byte for byte), and the restore of that
#   backup onto an adapter whose configs were erased (its config area and
#   both block regions checked).
#
# With --shipping: the program users get, Vantri4Flash.exe (no environment,
# no emulator code), against the same emulated adapter presented as a HID
# device of the prefix under Wine's own HID stack (emulator/hid_device/);
# headless, the update of one adapter is driven and checked.
#
# Build trees go to $VANTRI_BUILD_ROOT (default: build/ in the checkout).
set -euo pipefail

shipping=0
[[ "${1:-}" == --shipping ]] && shipping=1

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
build_targets "$out/windows" Vantri4FlashEmu Vantri4Flash vantri_driver vantri_firmware_image vantri_hid_devices

emulator=$out/native-release/emulator/vantri_emulator
exe=$out/windows/app/Vantri4FlashEmu.exe
driver=$out/windows/tests/e2e/driver/vantri_driver.exe
shipping_exe=$out/windows/app/Vantri4Flash.exe
hid_devices=$out/windows/emulator/hid_device/vantri_hid_devices.exe
firmware=$(sed -n 's/^VANTRI_FIRMWARE_IMAGE_PATH:INTERNAL=//p' "$out/windows/CMakeCache.txt")
update_host=$(sed -n 's/^VANTRI_UPDATE_HOST:STRING=//p' "$out/windows/CMakeCache.txt")
maker_domain=$(sed -n 's/^VANTRI_MAKER_DOMAIN:STRING=//p' "$out/windows/CMakeCache.txt")

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
    mkdir -p "$state"
    # Five configs whose games the update host's database holds, so that a
    # backup of this adapter can be restored.
    PYTHONPATH="$root/tests/e2e" python3 -c 'import sys, restore_scenarios as r
open(sys.argv[1], "wb").write(r.config_area(7, r.ROUND_TRIP_ENTRIES))' "$state/config-area.bin"
    coproc EMULATOR { exec "$emulator" --port 0 --adapters 1 --version "$adapter_version" --frame-clock \
        --config-file "$state/config-area.bin" --state-dir "$state"; }
    emulator_pid=$EMULATOR_PID
    read -r -t 15 line <&"${EMULATOR[0]}"
    port=${line#port=}
    # A second coprocess would replace the first's descriptors: the port is
    # read from a file instead.
    python3 "$root/tests/support/update_host.py" --port 0 --host-name "$update_host" \
        --log "$state/update-host.log" >"$state/update-host.port" 2>/dev/null </dev/null &
    host_pid=$!
    trap 'kill "$emulator_pid" "$host_pid" 2>/dev/null || true; /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
    for _ in $(seq 150); do
        grep -q '^port=' "$state/update-host.port" 2>/dev/null && break
        sleep 0.1
    done
    host_port=$(sed -n 's/^port=//p' "$state/update-host.port")
    echo "   one emulated adapter (firmware $adapter_version, five configs) on 127.0.0.1:$port"
    echo "   the update host $update_host on 127.0.0.1:$host_port, reached as the program's proxy"
    run_env=(VANTRI4_EMULATOR=127.0.0.1:$port)
    if ((shipping)); then
        # The adapter as a HID device of the prefix; closing the installer's
        # input removes it again.
        exec {devices_in}> >(exec /usr/lib/wine/wine64 "$hid_devices" --port "$port" \
            --inf "Z:${hid_devices%/*}/vantri_hid_bridge.inf" >"$state/hid-devices.out" 2>&1)
        for _ in $(seq 300); do grep -q '^ready' "$state/hid-devices.out" 2>/dev/null && break; sleep 0.1; done
        grep '^device' "$state/hid-devices.out" | sed 's/^/   HID /'
        exe=$shipping_exe run_env=()
    fi
    echo "   each run of $(basename "$exe") does one operation; the window closes when it is done"
    while :; do
        env "${run_env[@]}" http_proxy=http://127.0.0.1:$host_port \
            /usr/lib/wine/wine64 "$exe" </dev/null || true
        [[ -t 0 ]] || break
        read -r -p "   start Vantri4 Flash again (the same adapter and update host)? [y/N] " again || break
        [[ $again == [yY]* ]] || break
    done
    if ((shipping)); then
        exec {devices_in}>&-
        for _ in $(seq 300); do grep -q '^done' "$state/hid-devices.out" 2>/dev/null && break; sleep 0.1; done
    fi
    kill -TERM "$emulator_pid" "$host_pid"
    wait "$emulator_pid" "$host_pid" || true
    trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
    if [[ -f "$state/adapter0/image.bin" ]] && cmp -s "$state/adapter0/image.bin" "$firmware"; then
        echo "== the emulated adapter received the carried firmware image ($(stat -c %s "$firmware") bytes)"
    else
        echo "== the emulated adapter did not receive an image (state in $state)"
    fi
    grep -E '^(config_area_reads|config_area_writes|primary_writes|overflow_writes)=' "$state/adapter0/state.txt" |
        sed 's/^/   /'
    echo "   requests the update host served: $(grep -c '^GET' "$state/update-host.log" 2>/dev/null || echo 0)"
    exit 0
fi

if ((shipping)); then
    echo "== headless run: $(basename "$shipping_exe") updates one virtual HID adapter"
    python3 "$root/tests/e2e/run_scenario.py" hid_update_one \
        --exe "$exe" --shipping-exe "$shipping_exe" --hid-devices "$hid_devices" --driver "$driver" \
        --emulator "$emulator" --firmware "$firmware" --update-host "$update_host" \
        --maker-domain "$maker_domain" --artefacts "$out/run"
    exit 0
fi

echo "== headless run: virtual display, driven update, backup and restore, screenshots"
shots=$out/screenshots
rm -rf "$shots"
python3 "$root/tests/e2e/run_scenario.py" demo_all \
    --exe "$exe" --driver "$driver" --emulator "$emulator" --firmware "$firmware" \
    --update-host "$update_host" --maker-domain "$maker_domain" \
    --artefacts "$out/run" --x11-prefix "$out/wineprefix-x11" --screenshots "$shots"
echo "screenshots: $shots"
ls "$shots"
