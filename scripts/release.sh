#!/usr/bin/env bash
# Makes a release of the shipping program:
#   scripts/release.sh [--firmware IMAGE] [--update-host NAME] [--maker-domain NAME] [--company NAME]
# Installs what is missing, builds Vantri4Flash.exe in Release in a fresh
# build tree ($VANTRI_BUILD_ROOT/release, default build/release), checks it
# (its imports, the firmware image it carries, its version resource) and
# writes dist/Vantri4Flash-<version>.zip: the exe, the user's guide, the
# licence texts of the exe's static runtime and SHA256SUMS.
#
# The same sources, options and toolchain give the same exe and zip byte for
# byte, whatever folder they lie in and whenever this runs: the zip's dates
# come from SOURCE_DATE_EPOCH, by default the time of the checkout's last
# commit.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${VANTRI_BUILD_ROOT:-$root/build}
build=$out/release
dist=$root/dist

usage() {
    echo "usage: $0 [--firmware IMAGE] [--update-host NAME] [--maker-domain NAME] [--company NAME]" >&2
    exit 2
}

options=()
firmware=""
while (($#)); do
    (($# >= 2)) || usage
    case $1 in
        --firmware)
            [[ -f $2 ]] || { echo "release: no such firmware image: $2" >&2; exit 2; }
            firmware=$(realpath "$2")
            options+=("-DVANTRI_FIRMWARE_IMAGE=$firmware") ;;
        --update-host) options+=("-DVANTRI_UPDATE_HOST=$2") ;;
        --maker-domain) options+=("-DVANTRI_MAKER_DOMAIN=$2") ;;
        --company) options+=("-DVANTRI_COMPANY_NAME=$2") ;;
        *) usage ;;
    esac
    shift 2
done

bash "$root/scripts/setup.sh"

# Only a checkout of its own counts: a copy of the sources inside another
# checkout's build folder must not take that checkout's state.
checkout=false
if [[ $(git -C "$root" rev-parse --show-toplevel 2>/dev/null) == "$root" ]]; then
    checkout=true
    if [[ -n $(git -C "$root" status --porcelain --untracked-files=no) ]]; then
        echo "release: warning: the checkout has uncommitted changes; this release is not what its commit builds" >&2
    fi
fi
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
    SOURCE_DATE_EPOCH=315532800  # 1980-01-01, the earliest date a zip holds
    if $checkout; then SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct); fi
fi

echo "== release build"
rm -rf "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-posix.cmake" "${options[@]}" >/dev/null
cmake --build "$build" --target Vantri4Flash -j "$(nproc)"
exe=$build/app/Vantri4Flash.exe
version=$(sed -n 's/^VANTRI_VERSION:INTERNAL=//p' "$build/CMakeCache.txt")
[[ -n $version ]] || { echo "release: the build gave no version" >&2; exit 1; }

echo "== checks"
# The build's own import check, with the build's lists of allowed DLLs and
# of calls and texts the shipping program must not have.
ctest --test-dir "$build" -R '^Vantri4Flash_imports$' --no-tests=error --output-on-failure >/dev/null
echo "imports: only the allowed system DLLs"
python3 "$root/scripts/check_release_exe.py" "$exe" --firmware "${firmware:-$build/resources/firmware.bin}" \
    --version "$version"

echo "== zip"
name=Vantri4Flash-$version
stage=$build/stage/$name
mkdir -p "$stage/licences"
cp "$exe" "$stage/Vantri4Flash.exe"
cp "$root/docs/user-guide.md" "$stage/user-guide.txt"
# The licence texts as the installed toolchain's packages ship them: libgcc
# and libstdc++ (GPL 3 with the GCC Runtime Library Exception), the
# MinGW-w64 runtime and winpthreads.
gcc_copyright=/usr/share/doc/gcc-mingw-w64-x86-64-posix/copyright
cp /usr/share/common-licenses/GPL-3 "$stage/licences/GPL-3.txt"
{
    sed -n '/^GCC is Copyright (C)/,/^ - libvtv$/p' "$gcc_copyright"
    echo
    sed -n '/^GCC RUNTIME LIBRARY EXCEPTION$/,/requirements of the license of GCC\.$/p' "$gcc_copyright"
} >"$stage/licences/gcc-runtime-library-exception.txt"
if ! grep -q '^ - libstdc++-v3$' "$stage/licences/gcc-runtime-library-exception.txt" ||
    ! grep -q '^2\. No Weakening of GCC Copyleft\.$' "$stage/licences/gcc-runtime-library-exception.txt"; then
    echo "release: the runtime library exception was not found whole in $gcc_copyright" >&2
    exit 1
fi
cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$stage/licences/mingw-w64-runtime.txt"
(cd "$stage" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)

mkdir -p "$dist"
zip=$dist/$name.zip
SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH python3 - "$build/stage" "$name" "$zip" <<'EOF'
# Fixed names, order, dates and modes, and nothing of the local file system:
# the same files give the same zip.
import os, sys, time, zipfile
stage, name, out = sys.argv[1:]
when = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]
files = sorted(os.path.relpath(os.path.join(d, f), stage) for d, _, fs in os.walk(os.path.join(stage, name)) for f in fs)
with zipfile.ZipFile(out + ".part", "w") as z:
    for path in files:
        info = zipfile.ZipInfo(path.replace(os.sep, "/"), when)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3
        info.external_attr = (0o100755 if path.endswith(".exe") else 0o100644) << 16
        with open(os.path.join(stage, path), "rb") as f:
            z.writestr(info, f.read(), compresslevel=9)
os.replace(out + ".part", out)
EOF

echo "release: $(sha256sum "$exe" | cut -d' ' -f1)  Vantri4Flash.exe $version"
echo "release: $(sha256sum "$zip" | cut -d' ' -f1)  ${zip#"$root"/}"
