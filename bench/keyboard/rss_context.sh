#!/usr/bin/env bash
# Peak RSS (VmHWM) of the real updater with its keyboard, on Xvfb 800 x 480:
#   prompt      - the password prompt with the upper-case panel up
#   accent bar  - after a vowel was held and its accent bar opened
#   no prompt   - a device without a password: keyboard created, never shown,
#                 measured while the updater waits for the stick
#
#   bench/keyboard/rss_context.sh ZENTAVO_INSTALLER ZENTAVO_PASSWD
set -u
APP=${1:?zentavo-installer path}
PASSWD_TOOL=${2:?zentavo-passwd path}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../../scripts/lib/xvfb.sh"
xvfb_available || { echo "  not measured: Xvfb or xdotool missing"; exit 0; }

WORK=$(mktemp -d)
APP_PID=
cleanup() {
    [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null && wait "$APP_PID" 2>/dev/null
    xvfb_stop
    rm -rf "$WORK"
}
trap cleanup EXIT
xvfb_start || exit 1

peak_kib() { sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status"; }

device() { # device WITH_PASSWORD
    local flash=$WORK/device/FlashDisk
    rm -rf "$WORK/device"
    mkdir -p "$flash/Zentavo/data" "$WORK/device/USB HD/Zentavo_Installer"
    printf '#!/bin/sh\n' >"$flash/Zentavo/Zentavo.exe"
    chmod 755 "$flash/Zentavo/Zentavo.exe"
    [ "$1" = yes ] && LC_ALL=C.UTF-8 "$PASSWD_TOOL" "$flash/Zentavo/data/Administrator_setting.db" 'Zé9x'
}

device yes
ZENTAVO_DEVICE_ROOT=$WORK/device QT_QPA_PLATFORM=xcb "$APP" >/dev/null 2>&1 &
APP_PID=$!
keyboard_wait 30 || { echo "  no keyboard came up"; exit 1; }
sleep 0.5
printf '  %-12s %6d KiB peak RSS\n' "prompt" "$(peak_kib "$APP_PID")"
keyboard_hold e 1.2
sleep 0.3
printf '  %-12s %6d KiB peak RSS\n' "accent bar" "$(peak_kib "$APP_PID")"
kill "$APP_PID"; wait "$APP_PID" 2>/dev/null; APP_PID=

device no
ZENTAVO_DEVICE_ROOT=$WORK/device QT_QPA_PLATFORM=xcb "$APP" >/dev/null 2>&1 &
APP_PID=$!
for ((i = 0; i < 200; i++)); do
    grep -q "HandleEvents" "$WORK/device/USB HD/Zentavo_Installer/log.txt" 2>/dev/null && break
    sleep 0.05
done
sleep 0.5
printf '  %-12s %6d KiB peak RSS\n' "no prompt" "$(peak_kib "$APP_PID")"
