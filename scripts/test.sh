#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test:
#   native build under AddressSanitizer and UBSan (core, emulator, workflows),
#   native release build (the same tests optimised, the emulator process,
#   the benchmarks),
#   Windows build (the exe and its Windows-side tests) run under Wine,
#   and two release builds (scripts/release.sh) in two folders, compared:
#   the first signed with a throwaway certificate, the second with the
#   first's signatures attached.
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
# The console program's rows run in a prefix of their own beside the window
# scenarios (tests/e2e/CMakeLists.txt); it is prepared here too.
console_prefix=$out/windows/wineprefix-console
bash "$root/scripts/wine-prefix.sh" "$console_prefix" >/dev/null
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; WINEPREFIX=$console_prefix /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT

log="$out/ctest-all.log"
: >"$log"
status=0
# Only this run's reports count below.
rm -f "$out"/windows/bench-wine-cli-*.json
for tree in native native-release windows; do
    echo "== tests: $tree"
    (cd "$out/$tree" && ctest --output-on-failure --timeout 600 -j "$jobs") 2>&1 | tee -a "$log" || status=1
done

# The console program's benchmarks under Wine have targets: a run above its
# target is marked as an error in its record, and shown here. It does not
# fail the suite: on a shared machine of two cores the loopback runs of many
# adapters are bound by the processor time of Wine's sockets, not by the
# program (docs/testing-under-wine.md), and the scenarios themselves already
# fail on any functional fault.
for report in "$out"/windows/bench-wine-cli-*.json; do
    if [[ -f "$report" ]]; then
        python3 "$root/scripts/bench_summary.py" "$report" || echo "(above its target: $report)"
    fi
done

if [[ -x "$out/native-release/bench/vantri_bench" ]]; then
    echo "== benchmarks (quick run; JSON in $out/bench.json)"
    "$out/native-release/bench/vantri_bench" --benchmark_min_time=0.05 \
        --benchmark_filter='BM_Exchange|BM_WriteImage|BM_Enumerate|BM_FlashLatency/|BM_ReadConfigArea|BM_ConvertConfigs|BM_DownloadLoop' \
        --benchmark_format=json --benchmark_out="$out/bench.json" >/dev/null || status=1
    python3 "$root/scripts/bench_summary.py" "$out/bench.json" || status=1
fi

# A release is reproducible, signed too: two release builds, each from its
# own copy of the sources in its own folder and one after the other, must
# give the same exe, byte for byte. The first is signed with a throwaway
# certificate; the second gets the first's detached signatures attached and
# must give the first's zip byte for byte.
echo "== reproducible release (two release builds in two folders, compared; the first signed, its signatures attached to the second)"
repro=$out/reproducible
rm -rf "$repro"
git_here() { git -c safe.directory="$root" -C "$root" "$@"; }
checkout=false
[[ $(git_here rev-parse --show-toplevel 2>/dev/null) == "$root" ]] && checkout=true
# A checkout gives its tracked and new files, dated as its last commit is
# (the line git archive would write into scripts/source-date); any other
# tree, an unpacked archive for one, is copied as it is, without what the
# builds left in it.
copy_sources() {
    mkdir -p "$1"
    if $checkout; then
        (cd "$root" && git_here ls-files -z --cached --others --exclude-standard |
            tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$1"
        git_here log -1 --format=%ct >"$1/scripts/source-date"
    else
        tar -C "$root" --exclude='./build*' --exclude=./dist --exclude=./out --exclude=__pycache__ --exclude=.git \
            -cf - . | tar -xf - -C "$1"
    fi
}
if $checkout && [[ $(git_here archive HEAD scripts/source-date | tar -xOf - | head -n1) != $(git_here log -1 --format=%ct) ]]; then
    echo "git archive does not write the commit's time into scripts/source-date (.gitattributes)"; status=1
fi

# The throwaway signer: a CA and a code-signing certificate under it, in a
# PKCS#12 file whose random password must never show in the releases' logs.
signer=$repro/signer
mkdir -p "$signer"
if ! (
    cd "$signer"
    openssl rand -hex 24 >password
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Vantri4 Flash test CA" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
    openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Vantri4 Flash test signer"
    printf '%s\n' basicConstraints=critical,CA:FALSE keyUsage=critical,digitalSignature extendedKeyUsage=codeSigning \
        >signer.ext
    openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext -out signer.pem
    openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout file:password -out signer.p12
) >"$repro/signer.log" 2>&1; then
    echo "the throwaway certificate could not be made: see $repro/signer.log"; status=1
fi
zips=()
release_in() {
    local copy=$1
    shift
    copy_sources "$repro/$copy"
    if VANTRI_BUILD_ROOT="$repro/$copy/build" bash "$repro/$copy/scripts/release.sh" "$@" >"$repro/$copy.log" 2>&1; then
        zips+=("$(ls "$repro/$copy"/dist/Vantri4Flash-*.zip)")
        grep -E '^(release: |[A-Za-z0-9]+\.exe: signature verified)' "$repro/$copy.log"
    else
        echo "release build in $repro/$copy failed: see $repro/$copy.log"; status=1
    fi
}
release_in first --sign-pkcs12 "$signer/signer.p12" --sign-password-file "$signer/password" --ca-file "$signer/ca.pem"
release_in second --attach-signatures "$repro/first/dist/signatures" --ca-file "$signer/ca.pem"
if ((${#zips[@]} == 2)); then
    if cmp "${zips[0]}" "${zips[1]}" && cmp "$repro"/{first,second}/build/release/app/Vantri4Flash.exe &&
        cmp "$repro"/{first,second}/build/release/cli/Vantri4FlashCli.exe; then
        echo "reproducible release: the two builds are identical, and the signed zip and the one with the signatures attached too"
    else
        status=1
    fi
    if grep -qF -f "$signer/password" "$repro/first.log" "$repro/second.log" "$repro"/first/build/release/signing/*.log; then
        echo "the signing password shows in a release's output or log"; status=1
    fi
    # One byte changed in the signed exe's code must break its signature.
    python3 - "${zips[0]}" "$repro/tampered.exe" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    exe = bytearray(z.read(next(n for n in z.namelist() if n.endswith("/Vantri4Flash.exe"))))
exe[len(exe) // 3] ^= 0x01
open(sys.argv[2], "wb").write(exe)
PY
    if ! osslsigncode verify -CAfile "$signer/ca.pem" -in "$repro/tampered.exe" >"$repro/tampered.log" 2>&1 &&
        grep -q MISMATCH "$repro/tampered.log"; then
        echo "signed exe with one byte changed: verification fails on its digest"
    else
        echo "a signed exe with one byte changed did not fail on its digest: see $repro/tampered.log"; status=1
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
