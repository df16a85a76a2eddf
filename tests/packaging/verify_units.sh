#!/bin/bash
# Installs the build into a scratch root, as the package lays it out, and lets
# systemd check the units there: syntax, unit names, the programs they start.
#
#   verify_units.sh BUILD_DIR PREFIX UNITDIR
#
# Exit 77 (skipped) where systemd is missing.
set -u
build=${1:?build directory}
prefix=${2:?install prefix}
unitdir=${3:?unit directory below the prefix}
host_units=/usr/lib/systemd/system
command -v systemd-analyze >/dev/null && [ -f "$host_units/sysinit.target" ] ||
    { echo "SKIP: systemd not installed"; exit 77; }
root=$(mktemp -d)
trap 'rm -rf "$root" "$root.install.log"' EXIT

DESTDIR=$root cmake --install "$build" >"$root.install.log" 2>&1 || {
    cat "$root.install.log"; echo "FAIL: cmake --install"; exit 1; }
units=$root$prefix/$unitdir
# The targets the units hang off come from the machine's systemd.
mkdir -p "$root$host_units"
cp -an "$host_units/." "$root$host_units/"
failed=0
for unit in zentavo-installer.service zentavo-installer.path; do
    [ -f "$units/$unit" ] || { echo "FAIL: $unit not installed"; failed=1; }
done
[ "$failed" -eq 0 ] || exit 1

# Installed, not enabled: nothing may link them into a target.
if find "$root" -path '*.wants/zentavo*' | grep -q .; then
    echo "FAIL: the install enables units:"; find "$root" -path '*.wants/zentavo*'; exit 1
fi
output=$(systemd-analyze verify --root="$root" --man=no \
         "$units/zentavo-installer.service" "$units/zentavo-installer.path" 2>&1)
rc=$?
echo "$output"
[ "$rc" -eq 0 ] || { echo "FAIL: systemd-analyze verify exited $rc"; exit 1; }
# verify also reports on units it only loads alongside; ours must be clean.
if grep -E 'zentavo-installer\.(service|path)' <<<"$output"; then
    echo "FAIL: systemd-analyze has remarks on the units"; exit 1
fi

# What the units promise: the updater on the frame buffer by default,
# overridable, the terminal left running when the updater ends, and the path
# with its space.
service=$units/zentavo-installer.service
check() { grep -qxF -- "$2" "$3" || { echo "FAIL: $1 ($2 not in ${3##*/})"; failed=1; }; }
check "starts the installed updater" "ExecStart=$prefix/bin/zentavo-installer" "$service"
check "linuxfb by default" "Environment=QT_QPA_PLATFORM=linuxfb" "$service"
check "environment file may override" "EnvironmentFile=-/etc/default/zentavo-installer" "$service"
check "the terminal outlives the service" "KillMode=process" "$service"
check "watches the stick's installer directory" "PathExists=/USB HD/Zentavo_Installer" "$units/zentavo-installer.path"
[ -x "$root$prefix/bin/zentavo-installer" ] || { echo "FAIL: no updater in $prefix/bin"; failed=1; }
[ "$failed" -eq 0 ] || exit 1
echo "PASS"
