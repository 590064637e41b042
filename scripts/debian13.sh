#!/usr/bin/env bash
# Runs a command (default: `make test`) on Debian 13 inside a root made from
# Debian's archive with mmdebstrap, beside whatever release this machine runs.
#
#   scripts/debian13.sh                 # make test, in build-debian13/root/src
#   scripts/debian13.sh make run        # any command, run in the copy of the tree
#   ORVO_DEBIAN13_FRESH=1 scripts/debian13.sh   # a new root first
#
# The root is made once and kept in build-debian13/root (about 3 GB); each run
# copies the work tree (tracked and new files) into its /src, keeping the
# builds made there. proc, sys, dev, dev/pts, dev/shm and run are mounted for
# the run and unmounted on every way out; the root is removed only when
# nothing is mounted in it any more. Needs root (sudo is used otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=ORVO_DEBIAN13_FRESH,ORVO_DEBIAN13_MIRROR,CI "$0" "$@"
fi

top=$(pwd)
base="$top/build-debian13"
root="$base/root"
mirror=${ORVO_DEBIAN13_MIRROR:-http://deb.debian.org/debian}
[ $# -gt 0 ] || set -- make test

mounts_under() {
    # Every mount point at or below the root, deepest first.
    awk -v r="$1" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts | sort -r
}

stop_processes() {
    # Processes a test left behind in the root would keep its mounts busy.
    local pid link
    for pid in /proc/[0-9]*; do
        link=$(readlink "$pid/root" 2>/dev/null) || continue
        case "$link" in "$root" | "$root"/*) kill -KILL "${pid#/proc/}" 2>/dev/null || true ;; esac
    done
}

unmount_all() {
    local point tries
    stop_processes
    for tries in 1 2 3 4 5; do
        for point in $(mounts_under "$root"); do
            umount "$point" 2>/dev/null || true
        done
        [ -z "$(mounts_under "$root")" ] && return 0
        sleep 1
        stop_processes
    done
    echo "debian13: still mounted under $root:" >&2
    mounts_under "$root" >&2
    return 1
}

remove_root() {
    # Never while anything is mounted in it: rm would go through the mounts.
    if [ -n "$(mounts_under "$root")" ]; then
        echo "debian13: not removing $root, something is mounted in it" >&2
        return 1
    fi
    rm -rf --one-file-system "$root"
}

# One run at a time: a second one would unmount the first one's root.
mkdir -p "$base"
exec 9>"$base/lock"
flock 9

trap 'unmount_all' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

command -v mmdebstrap >/dev/null || scripts/install-deps.sh mmdebstrap

unmount_all
if [ -n "${ORVO_DEBIAN13_FRESH:-}" ] || [ ! -e "$root/etc/debian_version" ] || [ -e "$base/incomplete" ]; then
    remove_root
    touch "$base/incomplete"
    echo "debian13: making a Debian 13 root in $root"
    mmdebstrap --quiet --variant=apt --include=ca-certificates,sudo,make \
        trixie "$root" "deb $mirror trixie main" "deb $mirror trixie-updates main"
    rm -f "$base/incomplete"
fi

# The work tree as it is now (tracked and new files), without this machine's
# builds; the builds made inside the root are kept.
mkdir -p "$root/src"
find "$root/src" -mindepth 1 -maxdepth 1 ! -name 'build*' -exec rm -rf {} +
git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$root/src" -xf -

mount -t proc proc "$root/proc"
mount -t sysfs sys "$root/sys"
mount --bind /dev "$root/dev"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
mount -t tmpfs -o mode=755 run "$root/run"
cp /etc/resolv.conf "$root/etc/resolv.conf"

status=0
chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
    /bin/sh -c 'cd /src && exec "$@"' sh "$@" || status=$?
exit $status
