#!/usr/bin/env bash
# Makes a release of the shipping program:
#   scripts/release.sh [--firmware IMAGE] [--update-host NAME] [--maker-domain NAME] [--company NAME]
#       [--sign-pkcs12 FILE --sign-password-file FILE [--timestamp-url URL] | --attach-signatures DIR]
#       [--ca-file FILE]
# Installs what is missing, builds Vantri4Flash.exe in Release in a fresh
# build tree ($VANTRI_BUILD_ROOT/release, default build/release), checks it
# (its imports, the firmware image it carries, its version resource) and
# writes dist/Vantri4Flash-<version>.zip: the exe, the user's guide, the
# licence texts of the exe's static runtime and SHA256SUMS.
#
# The same sources, options and toolchain give the same exe and zip byte for
# byte, whatever folder they lie in and whenever this runs: the zip's dates
# come from SOURCE_DATE_EPOCH, by default the time of the checkout's last
# commit; outside a checkout, the same time as git archive wrote it into
# scripts/source-date, or else 1980-01-01.
#
# Signed (--sign-pkcs12): after the build and its checks, each shipping exe
# gets an Authenticode SHA-256 signature (osslsigncode), which is verified
# and also written, detached, to dist/signatures/<exe>.pem. With
# --attach-signatures DIR the same build gets those signatures attached
# instead, which gives the signed release's zip byte for byte. Signatures are
# verified against --ca-file, or the system's roots. The password is read
# from its file by osslsigncode itself and is never shown.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${VANTRI_BUILD_ROOT:-$root/build}
build=$out/release
dist=$root/dist

# The programs the zip ships, each with the folder of the build it is made
# in: each is built, checked, signed and listed in SHA256SUMS under its own
# name.
shipping=(
    Vantri4Flash
    Vantri4FlashCli
)
declare -A built_in=([Vantri4Flash]=app [Vantri4FlashCli]=cli)
built() { echo "$build/${built_in[$1]}/$1.exe"; }

usage() {
    echo "usage: $0 [--firmware IMAGE] [--update-host NAME] [--maker-domain NAME] [--company NAME]" >&2
    echo "       [--sign-pkcs12 FILE --sign-password-file FILE [--timestamp-url URL] | --attach-signatures DIR]" >&2
    echo "       [--ca-file FILE]" >&2
    exit 2
}
existing() {
    [[ -e $2 ]] || { echo "release: no such $1: $2" >&2; exit 2; }
    realpath "$2"
}

options=()
firmware=""
pkcs12="" password_file="" timestamp_url="" signatures="" ca_file=""
while (($#)); do
    (($# >= 2)) || usage
    case $1 in
        --firmware)
            firmware=$(existing "firmware image" "$2")
            options+=("-DVANTRI_FIRMWARE_IMAGE=$firmware") ;;
        --update-host) options+=("-DVANTRI_UPDATE_HOST=$2") ;;
        --maker-domain) options+=("-DVANTRI_MAKER_DOMAIN=$2") ;;
        --company) options+=("-DVANTRI_COMPANY_NAME=$2") ;;
        --sign-pkcs12) pkcs12=$(existing "PKCS#12 file" "$2") ;;
        --sign-password-file) password_file=$(existing "password file" "$2") ;;
        --timestamp-url) timestamp_url=$2 ;;
        --attach-signatures) signatures=$(existing "signature folder" "$2") ;;
        --ca-file) ca_file=$(existing "CA file" "$2") ;;
        *) usage ;;
    esac
    shift 2
done
if [[ -n $pkcs12 || -n $password_file ]]; then
    [[ -n $pkcs12 && -n $password_file ]] || { echo "release: --sign-pkcs12 and --sign-password-file go together" >&2; exit 2; }
    [[ -z $signatures ]] || { echo "release: either sign or attach signatures, not both" >&2; exit 2; }
    mode=sign
elif [[ -n $signatures ]]; then
    mode=attach
else
    mode=unsigned
fi
[[ -z $timestamp_url || $mode == sign ]] || { echo "release: --timestamp-url needs --sign-pkcs12" >&2; exit 2; }
[[ -z $ca_file || $mode != unsigned ]] || { echo "release: --ca-file needs --sign-pkcs12 or --attach-signatures" >&2; exit 2; }

bash "$root/scripts/setup.sh"

# Only a checkout of its own counts: a copy of the sources inside another
# checkout's build folder must not take that checkout's state. The copy may
# belong to another user (a clone made as one, a release made as root).
git_here() { git -c safe.directory="$root" -C "$root" "$@"; }
checkout=false
if [[ $(git_here rev-parse --show-toplevel 2>/dev/null) == "$root" ]]; then
    checkout=true
    if [[ -n $(git_here status --porcelain --untracked-files=no) ]]; then
        echo "release: warning: the checkout has uncommitted changes; this release is not what its commit builds" >&2
    fi
fi
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
    # git archive (and so a forge's download of a commit) writes the
    # commit's time into scripts/source-date (export-subst in
    # .gitattributes): an archive is dated as a checkout of its commit is.
    # Any other copy keeps the file's placeholder and gets the earliest date
    # a zip holds, which every such copy shares.
    recorded=$(head -n1 "$root/scripts/source-date" 2>/dev/null || true)
    if $checkout; then
        SOURCE_DATE_EPOCH=$(git_here log -1 --format=%ct)
    elif [[ $recorded =~ ^[0-9]+$ ]]; then
        SOURCE_DATE_EPOCH=$recorded
    else
        SOURCE_DATE_EPOCH=315532800  # 1980-01-01
        echo "release: neither a checkout nor an archive made by git archive: dated 1980-01-01 (SOURCE_DATE_EPOCH sets a date)" >&2
    fi
fi

echo "== release build"
rm -rf "$build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-posix.cmake" "${options[@]}" >/dev/null
cmake --build "$build" $(printf -- '--target %s ' "${shipping[@]}") -j "$(nproc)"
version=$(sed -n 's/^VANTRI_VERSION:INTERNAL=//p' "$build/CMakeCache.txt")
[[ -n $version ]] || { echo "release: the build gave no version" >&2; exit 1; }

echo "== checks"
# The build's own import check, with the build's lists of allowed DLLs and
# of calls and texts the shipping program must not have.
for program in "${shipping[@]}"; do
    ctest --test-dir "$build" -R "^${program}_imports\$" --no-tests=error --output-on-failure >/dev/null
    echo "imports of $program.exe: only the allowed system DLLs"
    python3 "$root/scripts/check_release_exe.py" "$(built "$program")" \
        --firmware "${firmware:-$build/resources/firmware.bin}" --version "$version"
done

echo "== zip"
name=Vantri4Flash-$version
stage=$build/stage/$name
mkdir -p "$stage/licences"
for program in "${shipping[@]}"; do cp "$(built "$program")" "$stage/"; done
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

if [[ $mode != unsigned ]]; then
    echo "== signatures ($mode, $(osslsigncode --version 2>/dev/null | head -n1 | sed "s/,.*//"))"
    signing=$build/signing
    mkdir -p "$signing"
    verify_with=()
    [[ -z $ca_file ]] || verify_with=(-CAfile "$ca_file")
    if [[ $mode == sign ]]; then
        rm -rf "$dist/signatures"
        mkdir -p "$dist/signatures"
    fi
    for program in "${shipping[@]}"; do
        unsigned=$stage/$program.exe signed=$signing/$program.exe
        rm -f "$signed"
        if [[ $mode == sign ]]; then
            # -readpass: the password goes from its file to osslsigncode,
            # never through an argument, this script's variables or a log.
            stamp=()
            [[ -z $timestamp_url ]] || stamp=(-ts "$timestamp_url")
            if ! osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" -h sha256 "${stamp[@]}" \
                -in "$unsigned" -out "$signed" >"$signing/$program.sign.log" 2>&1; then
                echo "release: signing $program.exe failed:" >&2
                tail -n 5 "$signing/$program.sign.log" >&2
                exit 1
            fi
        else
            signature=$signatures/$program.exe.pem
            [[ -f $signature ]] || { echo "release: no signature for $program.exe in $signatures" >&2; exit 1; }
            # attach-signature checks what it wrote as verify does; a
            # signature made for other bytes fails here.
            if ! osslsigncode attach-signature -sigin "$signature" "${verify_with[@]}" \
                -in "$unsigned" -out "$signed" >"$signing/$program.attach.log" 2>&1; then
                echo "release: the signature $signature does not fit this build of $program.exe:" >&2
                grep -E 'MISMATCH|[Ff]ailed|[Ee]rror' "$signing/$program.attach.log" | head -n 5 >&2
                exit 1
            fi
        fi
        if ! osslsigncode verify "${verify_with[@]}" -in "$signed" >"$signing/$program.verify.log" 2>&1; then
            echo "release: the signature of $program.exe does not verify:" >&2
            grep -E 'MISMATCH|[Ff]ailed|[Ee]rror' "$signing/$program.verify.log" | head -n 5 >&2
            exit 1
        fi
        if [[ $mode == sign ]]; then
            # PEM: the one form that both Debian's osslsigncode 2.5 and later
            # versions read back (2.5's raw form is its own).
            osslsigncode extract-signature -pem -in "$signed" -out "$dist/signatures/$program.exe.pem" \
                >"$signing/$program.extract.log" 2>&1 ||
                { echo "release: the signature could not be taken from $program.exe" >&2; exit 1; }
        fi
        signer=$(sed -n 's/^[[:space:]]*Subject: //p' "$signing/$program.verify.log" | head -n1)
        echo "$program.exe: signature verified (signer $signer; timestamp ${timestamp_url:-none})"
        cp "$signed" "$unsigned"
    done
fi

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

for program in "${shipping[@]}"; do
    echo "release: $(sha256sum "$(built "$program")" | cut -d' ' -f1)  $program.exe $version"
    if [[ $mode != unsigned ]]; then
        echo "release: $(sha256sum "$stage/$program.exe" | cut -d' ' -f1)  $program.exe $version, signed"
    fi
done
[[ $mode != sign ]] || echo "release: detached signatures in ${dist#"$root"/}/signatures/"
echo "release: $(sha256sum "$zip" | cut -d' ' -f1)  ${zip#"$root"/}"
