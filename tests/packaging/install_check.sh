#!/bin/bash
# Installs a built package with apt-get as an integrator would, runs
# zentavo-version from the installed path, removes the package with dpkg -r
# and checks that nothing of it stays behind.
#
#   install_check.sh DIST/zentavo-installer_VERSION_ARCH.deb
#
# All of it happens in a throw-away copy of this machine: a private mount
# namespace with an overlay over / whose writes go to a tmpfs, so the
# machine's own package database and /usr are never touched, however the
# check ends. Needs root and unshare; exit 77 (skipped) without them.
set -u
deb=$(realpath "${1:?package file}")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
fixture=$here/../installer/fixtures/zentavo-2.4.1.0.exe

if [ -z "${ZENTAVO_INSTALL_CHECK_INSIDE:-}" ]; then
    if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then
        echo "SKIP: the install check needs root and unshare"; exit 77
    fi
    scratch=$(mktemp -d)
    unshare -m --propagation private env ZENTAVO_INSTALL_CHECK_INSIDE="$scratch" bash "$0" "$deb"
    rc=$?
    rmdir "$scratch"
    exit "$rc"
fi

# --- inside the private namespace ---
scratch=$ZENTAVO_INSTALL_CHECK_INSIDE
mount -t tmpfs -o size=2g tmpfs "$scratch" || exit 1
mkdir -p "$scratch/upper" "$scratch/work" "$scratch/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/root" || {
    echo "SKIP: no overlay over / here"; exit 77; }
root=$scratch/root
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/tmp"
cp "$deb" "$fixture" "$root/tmp/"
name=${deb##*/}
package=$(dpkg-deb -f "$deb" Package)

failed=0
fail() { echo "FAIL: $*"; failed=1; }
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }

if in_root dpkg-query -W "$package" >/dev/null 2>&1; then
    fail "$package is installed on this machine already; the check needs a machine without it"
    exit 1
fi
echo "== apt-get install ./$name"
in_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y --no-install-recommends "/tmp/$name" </dev/null ||
    { fail "apt-get install"; exit 1; }
mapfile -t files < <(in_root dpkg-query -L "$package" | while read -r path; do
    [ -f "$root$path" ] || [ -L "$root$path" ] && echo "$path"; done)
echo "installed ${#files[@]} files:"; printf '   %s\n' "${files[@]}"

version=$(in_root /usr/bin/zentavo-version /tmp/zentavo-2.4.1.0.exe 2>&1)
[ "$version" = 2.4.1.0 ] || fail "zentavo-version from /usr/bin printed '$version', not 2.4.1.0"
in_root /usr/bin/zentavo-passwd /tmp/settings.db 'Técnico7' || fail "zentavo-passwd from /usr/bin"
in_root /usr/bin/zentavo-pack >/dev/null 2>&1
[ $? -eq 2 ] || fail "zentavo-pack from /usr/bin did not answer with its usage"
in_root ldd /usr/bin/zentavo-installer | grep -q 'not found' && fail "the updater misses a library"
in_root ldd /usr/bin/zentavo-installer | grep -q "libInstallerShared.so.1 => /usr/.*/zentavo-installer/libInstallerShared.so.1 " ||
    fail "the updater does not find its libInstallerShared.so.1"
[ -L "$root/etc/systemd/system/multi-user.target.wants/zentavo-installer.path" ] &&
    fail "the package enabled the path unit"

echo "== dpkg -r $package"
in_root dpkg -r "$package" || fail "dpkg -r"
in_root dpkg-query -W -f='${db:Status-Status}\n' "$package" 2>/dev/null | grep -qx installed &&
    fail "$package still installed"
for path in "${files[@]}"; do
    [ -e "$root$path" ] || [ -L "$root$path" ] && fail "$path stayed behind"
done

[ "$failed" -eq 0 ] || exit 1
echo "PASS: $name installs, runs from /usr/bin and is removed cleanly"
