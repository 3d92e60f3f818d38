#!/bin/sh
# Checks the Debian package on a clean system: builds it, checks it with lintian,
# installs it with apt into a fresh Debian 12 root, runs the installed updater
# there headless (Xvfb, as an ordinary user) against the installed virtual speaker
# to the done page, checks the udev rule, the menu entry, the icon and the support
# log, then purges the package and checks that nothing of it is left.
# Runs as root (debootstrap, chroot); needs Debian's mirror.
#
#   KERNO_BUILD_DIR      build directory (default: build/ at the top of the tree)
#   KERNO_DEBIAN_MIRROR  default http://deb.debian.org/debian
#   KERNO_PACKAGE_CACHE  downloaded .deb files kept between runs (apt and debootstrap
#                        check each against the signed archive), default
#                        /var/cache/kerno-check-package; empty for none
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KERNO_BUILD_DIR:-$top/build}
mirror=${KERNO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=${KERNO_PACKAGE_CACHE-/var/cache/kerno-check-package}
t0=$(date +%s)
say() { echo "check-package: [$(($(date +%s) - t0)) s] $*"; }
fail() { echo "check-package: FAILED: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "needs root: debootstrap and chroot"

"$top/tools/install-deps.sh"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
say "building the package"
rm -f "$build"/kerno-tindal2-update_*.deb
cmake --build "$build" -j "$(nproc)" --target package >"$build/package.log" 2>&1 ||
    { tail -20 "$build/package.log"; fail "the package does not build"; }
deb=$(echo "$build"/kerno-tindal2-update_*.deb)
lintian --fail-on error "$deb" || fail "lintian finds errors"

work=$(mktemp -d /var/tmp/kerno-check-package-XXXXXX)
root=$work/root
# Mounts live in a private mount namespace and end with it: nothing is left
# mounted inside the root when it is removed.
trap 'rm -rf --one-file-system "$work"' EXIT
trap 'exit 1' INT TERM HUP # through the EXIT trap: no root left behind
[ -z "$cache" ] || mkdir -p "$cache/partial"
in_root() { # [--net-off] [--user] command...: runs in the root with /proc, /dev and the cache
    net= user=
    [ "$1" = --net-off ] && { net=--net; shift; }
    [ "$1" = --user ] && { user=--userspec=tester:tester; shift; }
    unshare --mount --propagation private $net sh -c 'root=$1 user=$2 cache=$3; shift 3
        mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" &&
        { [ -z "$cache" ] || mount --bind "$cache" "$root/var/cache/apt/archives"; } &&
        exec chroot $user "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
            HOME=${user:+/home/tester} DEBIAN_FRONTEND=noninteractive "$@"' \
        sh "$root" "$user" "$cache" "$@"
}
apt_get() {
    in_root apt-get -q -y -o Dpkg::Use-Pty=0 "$@" >>"$work/apt.log" 2>&1 ||
        { tail -20 "$work/apt.log"; fail "apt-get $*"; }
}

say "debootstrap of Debian 12 into $root"
unshare --mount --propagation private debootstrap --variant=minbase ${cache:+--cache-dir="$cache"} \
    bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log"; fail "debootstrap"; }
cp "$deb" "$top/tools/updater_driver.py" "$root/tmp/"
in_root useradd --create-home tester

say "installing the package and the test tools with apt"
apt_get update
apt_get install --no-install-recommends xvfb xauth xkb-data x11-xkb-utils xdotool xclip \
    imagemagick python3 "/tmp/${deb##*/}"

say "running the installed demo command to the done page"
in_root --net-off --user xvfb-run -a -s "-screen 0 1024x768x24 -noreset" \
    python3 /tmp/updater_driver.py --binary /usr/bin/kerno-tindal2-update-demo --timeout 120 drive ||
    fail "the installed updater did not reach the done page"
log=$(ls "$root"/home/tester/.local/state/kerno-tindal2-update/run-*.log)
grep -q " library: /usr/lib/kerno-tindal2-update/virtual-speaker/libHidDfu.so$" "$log" &&
    grep -q " outcome: done$" "$log" || { cat "$log"; fail "the support log does not tell the run"; }

in_root --net-off --user kerno-dfu --version >/dev/null ||
    fail "the installed kerno-dfu does not find its library"

say "checking the rule, the menu entry and the icon"
grep -q 'ATTRS{idVendor}=="0a12", ATTRS{idProduct}=="fffe", TAG+="uaccess"' \
    "$root/usr/lib/udev/rules.d/70-kerno-tindal2.rules" || fail "no udev rule where udev reads them"
files=$(dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }')
desktop=$root$(echo "$files" | grep '^/usr/share/applications/.*\.desktop$')
desktop-file-validate "$desktop" || fail "menu entry $desktop"
appstreamcli validate --no-net "$root$(echo "$files" | grep '^/usr/share/metainfo/.*\.xml$')" >/dev/null ||
    fail "AppStream data"
# The menu entry's command as a desktop starts it: the hardware library from the
# package's private folder, with no LD_LIBRARY_PATH.
in_root --net-off --user sh -c 'QT_QPA_PLATFORM=offscreen "$1" & pid=$! n=0
    trap "kill $pid 2>/dev/null" EXIT
    until grep -qs " library: /usr/lib/kerno-tindal2-update/libHidDfu.so$" \
        ~/.local/state/kerno-tindal2-update/run-*.log; do
        n=$((n + 1)); [ $n -lt 150 ] && kill -0 $pid || exit 1; sleep 0.2
    done' sh "$(sed -n 's/^Exec=//p' "$desktop")" ||
    fail "the menu entry's command does not start the updater on the hardware library"
icon=$(sed -n 's/^Icon=//p' "$desktop")
for size in 16 24 32 48 64 128 256; do
    [ -f "$root/usr/share/icons/hicolor/${size}x$size/apps/$icon.png" ] || fail "no $size px icon"
done

say "purging the package"
apt_get purge kerno-tindal2-update
echo "$files" | while read -r path; do
    case $path in */kerno-tindal2-update*|*[!/]) [ ! -e "$root$path" ] || fail "left behind: $path" ;; esac
done
! ls "$root"/var/lib/dpkg/info/kerno-tindal2-update.* 2>/dev/null || fail "dpkg still knows the package"
say "passed"
