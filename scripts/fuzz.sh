#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz, clang with ASan and UBSan) and
# runs each for SECONDS (default 30), from its seed corpus and whatever an
# earlier run added to the working corpus:
#
#   scripts/fuzz.sh [SECONDS]
#
# Build tree and working corpora in $VANTRI_BUILD_ROOT/fuzz (default
# build/fuzz). Prints one line per target: runs, executions per second,
# libFuzzer's coverage counters, and the edges covered in the functions of
# restore/ that the target reached. A crash, a sanitizer report or a leak
# fails the script and leaves the input in the build tree.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${VANTRI_BUILD_ROOT:-$root/build}/fuzz
seconds=${1:-30}
targets=(conversion content_length locate_database)

# libFuzzer names the functions it covered, and a sanitizer the frames of a
# crash, through llvm-symbolizer; without it every line lacks its file, and
# the coverage below would read 0/0. It comes with llvm-14 (scripts/setup.sh),
# the version of clang and its runtime.
symbolizer=$(command -v "llvm-symbolizer-$(clang -dumpversion | cut -d. -f1)" || clang -print-prog-name=llvm-symbolizer)
if [[ ! -x "$symbolizer" ]]; then
    echo "fuzz: llvm-symbolizer not found (run scripts/setup.sh)" >&2
    exit 1
fi
export ASAN_SYMBOLIZER_PATH=$symbolizer UBSAN_SYMBOLIZER_PATH=$symbolizer

CC=clang CXX=clang++ cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANTRI_SANITIZE=ON -DVANTRI_FUZZ=ON -DVANTRI_BENCHMARKS=OFF >/dev/null
cmake --build "$out" -j "$(nproc)" $(printf -- '--target vantri_fuzz_%s ' "${targets[@]}") >/dev/null

status=0
for target in "${targets[@]}"; do
    corpus="$out/corpus/$target"
    mkdir -p "$corpus"
    cp -n "$root/tests/fuzz/corpus/$target/"* "$corpus/"
    log="$out/$target.log"
    # Text inputs may grow well past their seeds: a version file's first
    # line must be able to exceed 259 characters.
    max_len=4096
    [[ "$target" == conversion ]] && max_len=16384
    if ! "$out/tests/fuzz/vantri_fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" \
        -print_final_stats=1 -print_coverage=1 -artifact_prefix="$out/crash-$target-" \
        "$corpus" >"$log" 2>&1; then
        echo "fuzz $target: FAILED (log: $log)"
        grep -m1 -A12 -E 'ERROR|runtime error|deadly signal' "$log" || tail -20 "$log"
        status=1
        continue
    fi
    python3 - "$target" "$log" <<'PY' || status=1
import re, sys
target, log = sys.argv[1], sys.argv[2]
text = open(log, errors="replace").read()
stat = dict(re.findall(r"^stat::(\w+):\s+(\d+)", text, re.M))
done = re.findall(r"DONE\s+cov: (\d+) ft: (\d+) corp: (\d+)", text)
cov, ft, corp = done[-1] if done else ("?", "?", "?")
covered = total = funcs = 0
# A file of restore/ itself: the build reaches headers through its layers'
# include roots, where restore's root also links protocol/.
for hit, of in re.findall(r"^COVERED_FUNC: hits: \d+ edges: (\d+)/(\d+) .*/restore/[^/ ]+:\d+$", text, re.M):
    covered += int(hit); total += int(of); funcs += 1
if funcs == 0:
    sys.exit(f"fuzz {target}: no function of restore/ named in the coverage (symbolizer missing?): {log}")
print(f"fuzz {target}: {stat.get('number_of_executed_units', '?')} runs, "
      f"{stat.get('average_exec_per_sec', '?')} exec/s, cov {cov} ft {ft} corpus {corp}; "
      f"restore/ edges {covered}/{total} in the {funcs} functions reached (sanitizer checks count as edges)")
PY
done
exit $status
