#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#   native build under AddressSanitizer and UBSan (core, emulator, workflows),
#   native release build (the same tests optimised, the emulator process,
#   the benchmarks),
#   Windows build (the exe and its Windows-side tests) run under Wine,
#   and two release builds (scripts/release.sh) in two folders, compared.
# Every test tree builds with warnings as errors (VANTRI_WERROR).
# Build trees go to $VANTRI_BUILD_ROOT (default: build/ in the checkout).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${VANTRI_BUILD_ROOT:-$root/build}
jobs=$(nproc)

bash "$root/scripts/setup.sh"

echo "== native build (sanitizers)"
cmake -S "$root" -B "$out/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTRI_SANITIZE=ON -DVANTRI_BENCHMARKS=OFF \
    -DVANTRI_WERROR=ON >/dev/null
cmake --build "$out/native" -j "$jobs"

# Optimisation brings its own warnings and its own timing: the tests are
# built and run here too, not only under the sanitizers.
echo "== native release build (tests optimised, emulator process, benchmarks)"
cmake -S "$root" -B "$out/native-release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTRI_WERROR=ON >/dev/null
cmake --build "$out/native-release" -j "$jobs"

echo "== Windows build"
cmake -S "$root" -B "$out/windows" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-posix.cmake" \
    -DVANTRI_NATIVE_BUILD="$out/native-release" -DVANTRI_WERROR=ON >/dev/null
cmake --build "$out/windows" -j "$jobs"

# Wine's server and services start here, detached from our pipes, so that
# ctest's captured output sees end-of-file; they are stopped on the way out.
eval "$(bash "$root/scripts/wine-prefix.sh" "$out/wineprefix")"
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT

log="$out/ctest-all.log"
: >"$log"
status=0
for tree in native native-release windows; do
    echo "== tests: $tree"
    (cd "$out/$tree" && ctest --output-on-failure --timeout 600 -j "$jobs") 2>&1 | tee -a "$log" || status=1
done

if [[ -x "$out/native-release/bench/vantri_bench" ]]; then
    echo "== benchmarks (quick run; JSON in $out/bench.json)"
    "$out/native-release/bench/vantri_bench" --benchmark_min_time=0.05 \
        --benchmark_filter='BM_Exchange|BM_WriteImage|BM_Enumerate|BM_FlashLatency/|BM_ReadConfigArea|BM_ConvertConfigs|BM_DownloadLoop' \
        --benchmark_format=json --benchmark_out="$out/bench.json" >/dev/null || status=1
    python3 "$root/scripts/bench_summary.py" "$out/bench.json" || status=1
fi

# A release is reproducible: two release builds, each from its own copy of
# the sources in its own folder and one after the other, must give the same
# exe and the same zip, byte for byte.
echo "== reproducible release (two release builds in two folders, compared)"
repro=$out/reproducible
rm -rf "$repro"
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 315532800)}
zips=()
for copy in first second; do
    mkdir -p "$repro/$copy"
    (cd "$root" && git ls-files -z --cached --others --exclude-standard |
        tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$repro/$copy"
    if SOURCE_DATE_EPOCH=$epoch VANTRI_BUILD_ROOT="$repro/$copy/build" bash "$repro/$copy/scripts/release.sh" >"$repro/$copy.log" 2>&1; then
        zips+=("$(ls "$repro/$copy"/dist/Vantri4Flash-*.zip)")
    else
        echo "release build in $repro/$copy failed: see $repro/$copy.log"; status=1
    fi
done
if ((${#zips[@]} == 2)); then
    sha256sum "${zips[@]}" "$repro"/{first,second}/build/release/app/Vantri4Flash.exe
    if cmp "${zips[0]}" "${zips[1]}" && cmp "$repro"/{first,second}/build/release/app/Vantri4Flash.exe; then
        echo "reproducible release: the two builds are identical"
    else
        status=1
    fi
fi

echo "== fuzzing (each target 30 s)"
bash "$root/scripts/fuzz.sh" 30 || status=1

passed=0 failed=0
while read -r _ _ _ nfailed _ _ _ _ total; do
    passed=$((passed + total - nfailed)); failed=$((failed + nfailed))
done < <(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log")
echo "ctest (native, native-release and windows): $passed passed, $failed failed"
exit $status
