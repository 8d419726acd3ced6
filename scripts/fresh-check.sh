#!/usr/bin/env bash
# Runs the README's three commands as a new user meets them: in a minimal
# Debian 12 (debootstrap --variant=minbase, from the mirror apt here already
# uses), with nothing else installed, on the sources as a clone of this
# checkout's commit and as an archive of it without .git:
#
#   scripts/fresh-check.sh [--keep] [clone] [archive]     (default: both)
#
# Each kind gets its own root file system in $VANTRI_BUILD_ROOT/fresh-check/
# (default build/fresh-check/), and in it, one after the other, as root:
# bash scripts/run.sh, bash scripts/test.sh, bash scripts/release.sh. Prints
# for each whether it passed and how long it took, the ctest totals of
# test.sh, and the osslsigncode that setup installed. Logs stay in
# fresh-check/<kind>/; the root file systems are deleted at the end unless
# --keep. Needs root (debootstrap, chroot, mounts) and installs debootstrap
# itself. Slow: about as long as test.sh twice, plus the packages.
#
# Only committed work is checked: the clone and the archive are of HEAD.
# From a tree that is not a checkout, "archive" copies the tree as it is and
# "clone" cannot be made.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${VANTRI_BUILD_ROOT:-$root/build}/fresh-check
suite=bookworm

keep=false
kinds=()
for arg in "$@"; do
    case $arg in
        --keep) keep=true ;;
        clone | archive) kinds+=("$arg") ;;
        *) echo "usage: $0 [--keep] [clone] [archive]" >&2; exit 2 ;;
    esac
done
((${#kinds[@]})) || kinds=(clone archive)
((EUID == 0)) || { echo "fresh-check: needs root (debootstrap, chroot, mounts)" >&2; exit 1; }

missing=()
command -v debootstrap >/dev/null || missing+=(debootstrap)
command -v git >/dev/null || missing+=(git)
if ((${#missing[@]})); then
    echo "fresh-check: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Another run may be installing at the same moment: wait for its lock.
    apt-get -o DPkg::Lock::Timeout=600 update >/dev/null
    apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}" >/dev/null
fi

git_here() { git -c safe.directory="$root" -C "$root" "$@"; }
checkout=false
if [[ $(git_here rev-parse --show-toplevel 2>/dev/null) == "$root" ]]; then
    checkout=true
    commit=$(git_here rev-parse HEAD)
    if [[ -n $(git_here status --porcelain --untracked-files=no) ]]; then
        echo "fresh-check: warning: uncommitted changes are not checked, only HEAD ($commit)" >&2
    fi
fi

# The Debian archives apt uses here (one-line lists and deb822 .sources):
# the first for the suite itself is debootstrap's mirror; the root file
# system's apt gets the suite, its updates and its security archive from
# the same places, as an installed Debian 12 has them.
sources=$(python3 - "$suite" <<'PY'
import glob, sys
suite = sys.argv[1]
found = []
def add(uri, suites, components):
    for s in suites:
        if s.split("-")[0] == suite and "main" in components and (uri, s) not in found:
            found.append((uri.rstrip("/"), s))
for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
    try:
        lines = open(path).read().splitlines()
    except OSError:
        continue
    for line in lines:
        line = line.split("#")[0]
        if line.split()[:1] == ["deb"]:
            words = line.split(None, 1)[1]
            if words.lstrip().startswith("["):  # deb [options] uri suite components
                words = words.split("]", 1)[1]
            words = words.split()
            if len(words) >= 3:
                add(words[0], [words[1]], words[2:])
for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
    for stanza in open(path).read().split("\n\n"):
        fields = {}
        for line in stanza.splitlines():
            if ":" in line and not line.startswith(("#", " ")):
                key, value = line.split(":", 1)
                fields[key.strip().lower()] = value.split()
        if "deb" in fields.get("types", []) and fields.get("enabled", ["yes"])[0] != "no":
            for uri in fields.get("uris", []):
                add(uri, fields.get("suites", []), fields.get("components", []))
for uri, s in found:
    print(uri, s)
PY
)
mirror=$(awk -v s="$suite" '$2 == s {print $1; exit}' <<<"$sources")
if [[ -z $mirror ]]; then
    mirror=http://deb.debian.org/debian
    sources="$mirror $suite"$'\n'"$mirror $suite-updates"
fi

mounts_under() { awk -v p="$1/" 'index($2, p) == 1 {print $2}' /proc/self/mounts | sort -r; }
# Every road out: the processes left in a root file system (a wineserver,
# an emulator) are ended by their ids, then everything mounted in it is
# unmounted, deepest first.
release_root() {
    local r=$1 pid m
    [[ -d $r ]] || return 0
    for _ in 1 2; do
        for pid in $(ls /proc | grep -E '^[0-9]+$'); do
            [[ $(readlink "/proc/$pid/root" 2>/dev/null) == "$r" ]] && kill -KILL "$pid" 2>/dev/null || true
        done
        sleep 1
    done
    for m in $(mounts_under "$r"); do
        umount "$m" 2>/dev/null || umount -l "$m" || true
    done
}
current_root=""
trap '[[ -z $current_root ]] || release_root "$current_root"' EXIT
trap 'exit 130' INT TERM

seconds() { date +%s; }
status=0
summary=()
for kind in "${kinds[@]}"; do
    dir=$work/$kind
    r=$dir/root
    if [[ $kind == clone ]] && ! $checkout; then
        summary+=("$kind: not made (the sources are not a checkout)")
        continue
    fi
    release_root "$r"
    if [[ -n $(mounts_under "$r") ]]; then
        echo "fresh-check: something is still mounted under $r; not touching it" >&2
        exit 1
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    current_root=$r

    echo "== $kind: debootstrap --variant=minbase $suite from $mirror"
    start=$(seconds)
    if ! debootstrap --variant=minbase "$suite" "$r" "$mirror" >"$dir/debootstrap.log" 2>&1; then
        echo "fresh-check: debootstrap failed: see $dir/debootstrap.log"
        tail -n 5 "$dir/debootstrap.log"
        exit 1
    fi
    awk '{print "deb " $1 " " $2 " main"}' <<<"$sources" >"$r/etc/apt/sources.list"
    cp /etc/resolv.conf "$r/etc/resolv.conf"
    echo "   minbase root file system in $(($(seconds) - start)) s: $(chroot "$r" dpkg-query -W | wc -l) packages"

    mount -t proc proc "$r/proc"
    mount -t sysfs sysfs "$r/sys"
    mount --rbind /dev "$r/dev"
    mount --make-rslave "$r/dev"

    src=$r/root/vantri4-flash
    if [[ $kind == clone ]]; then
        git clone --quiet --no-checkout "$root" "$src"
        git -C "$src" checkout --quiet --detach "$commit"
        what="a clone at $commit"
    elif $checkout; then
        git_here archive --format=tar --prefix=vantri4-flash/ "$commit" | tar -xf - -C "$r/root"
        what="git archive of $commit, without .git"
    else
        mkdir -p "$src"
        tar -C "$root" --exclude='./build*' --exclude=./dist --exclude=./out --exclude=__pycache__ -cf - . |
            tar -xf - -C "$src"
        what="a copy of the tree, without .git"
    fi
    echo "   sources: $what"

    for command in run test release; do
        log=$dir/$command.log
        start=$(seconds)
        if chroot "$r" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            bash -c "cd /root/vantri4-flash && bash scripts/$command.sh" </dev/null >"$log" 2>&1; then
            result=passed
        else
            result="FAILED (exit $?)"
            status=1
        fi
        line="$kind: scripts/$command.sh $result in $(($(seconds) - start)) s"
        case $command in
            test) line+="; $(grep -E '^ctest \(' "$log" | tail -n1 || echo 'no ctest totals')"
                  line+="; $(grep -E '^reproducible release:|^signed exe' "$log" | tr '\n' ' ')" ;;
            release) line+="; $(grep -E '^release: .*\.zip$' "$log" | tail -n1)" ;;
        esac
        echo "   $line"
        [[ $result == passed ]] || { echo "   last lines of $log:"; tail -n 15 "$log" | sed 's/^/     /'; }
        summary+=("$line")
    done
    summary+=("$kind: $(chroot "$r" osslsigncode --version 2>/dev/null | head -n1 | sed 's/,.*//' || echo 'no osslsigncode')")

    release_root "$r"
    current_root=""
    if [[ -n $(mounts_under "$r") ]]; then
        echo "fresh-check: $r still has mounts; left in place" >&2
        status=1
    elif ! $keep; then
        rm -rf "$r"
    fi
done

echo "== fresh-check summary"
printf '%s\n' "${summary[@]}"
exit $status
