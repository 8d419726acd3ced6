#!/usr/bin/env bash
# One 16 MiB download from the local update host through Wine's WinHTTP (the
# real DownloadWorker, in the Windows-side test program), against curl
# fetching the same URL through the same proxy, alternately in one run:
#
#   scripts/bench_wine_download.sh [ROUNDS]     (default 5)
#
# Needs the Windows build tree ($VANTRI_BUILD_ROOT/windows, as scripts/test.sh
# makes it). Prints the medians and their ratio, and writes them to
# $VANTRI_BUILD_ROOT/wine_download.json.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${VANTRI_BUILD_ROOT:-$root/build}
rounds=${1:-5}
program="$out/windows/tests/windows/download/vantri_windows_download_tests.exe"
[[ -f "$program" ]] || { echo "$0: build the Windows tree first ($program missing)" >&2; exit 1; }
host_name=$(sed -n 's/^VANTRI_UPDATE_HOST:STRING=//p' "$out/windows/CMakeCache.txt")

eval "$(bash "$root/scripts/wine-prefix.sh" "$out/wineprefix")"
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT

export VANTRI_BENCH_ROUNDS=$rounds VANTRI_BENCH_PROGRAM=$program VANTRI_BENCH_HOST=$host_name
export VANTRI_BENCH_JSON="$out/wine_download.json"
bash "$root/tests/windows/run_with_update_host.sh" python3 "$root/tests/support/update_host.py" \
    --host-name "$host_name" --games 380 --pad-to 16777216 -- python3 - <<'PY'
import json, os, re, statistics, subprocess

rounds = int(os.environ["VANTRI_BENCH_ROUNDS"])
url = f"http://{os.environ['VANTRI_BENCH_HOST']}/db/Games.vdb"
wine, curl = [], []
for _ in range(rounds):
    run = subprocess.run(["/usr/lib/wine/wine64", os.environ["VANTRI_BENCH_PROGRAM"],
                          "--gtest_filter=*SixteenMebibytes*"], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL)
    found = re.search(r"16 MiB in (\d+) reads, ([0-9.]+) s", run.stdout)
    if run.returncode != 0 or not found:
        raise SystemExit(f"the Wine download failed:\n{run.stdout[-2000:]}")
    wine.append(float(found.group(2)))
    took = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{time_total}", "-x",
                           os.environ["http_proxy"], url], capture_output=True, text=True, check=True)
    curl.append(float(took.stdout))
result = {"rounds": rounds, "wine_median_s": statistics.median(wine), "curl_median_s": statistics.median(curl),
          "wine_over_curl": statistics.median(wine) / statistics.median(curl), "wine_s": wine, "curl_s": curl}
with open(os.environ["VANTRI_BENCH_JSON"], "w") as f:
    json.dump(result, f, indent=1)
print(f"16 MiB through the proxy, median of {rounds}: WinHTTP under Wine {result['wine_median_s']:.3f} s, "
      f"curl {result['curl_median_s']:.3f} s, ratio {result['wine_over_curl']:.2f}")
PY
