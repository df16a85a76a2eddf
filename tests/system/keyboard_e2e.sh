#!/usr/bin/env bash
# End to end on a real X display: the real updater on a simulated device, the
# administrator password typed on the on-screen keyboard with xdotool.
#
#   keyboard_e2e.sh ZENTAVO_INSTALLER ZENTAVO_PASSWD
#
# Runs two updates: a wrong password, then the right one typed with Shift, the
# number panel and an accent from a held vowel, which installs the payload;
# and a cancelled prompt, which installs nothing. Each run ends when the
# stick's installer directory is removed, and must exit with 0.
#
# Exit 77 (skipped) without Xvfb or xdotool. With ZENTAVO_E2E_SHOTS set to a
# directory, the screenshots are kept there.

set -u

APP=${1:?zentavo-installer path}
PASSWD_TOOL=${2:?zentavo-passwd path}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/lib/xvfb.sh
source "$HERE/../../scripts/lib/xvfb.sh"

if ! xvfb_available; then
    echo "SKIP: Xvfb or xdotool not installed"
    exit 77
fi
[ -x "$APP" ] || { echo "FAIL: no updater at $APP"; exit 1; }
[ -x "$PASSWD_TOOL" ] || { echo "FAIL: no zentavo-passwd at $PASSWD_TOOL"; exit 1; }

export LC_ALL=C.UTF-8
PASSWORD='Zé9x'

WORK=$(mktemp -d)
SHOTS=${ZENTAVO_E2E_SHOTS:-$WORK/shots}
mkdir -p "$SHOTS"
APP_PID=
FAILURES=0

cleanup() {
    if [ -n "$APP_PID" ]; then
        kill "$APP_PID" 2>/dev/null
        wait "$APP_PID" 2>/dev/null
    fi
    xvfb_stop
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    FAILURES=$((FAILURES + 1))
}
check() { # check DESCRIPTION COMMAND...
    local description=$1
    shift
    if "$@"; then echo "ok: $description"; else fail "$description"; fi
}

DEVICE=$WORK/device
FLASH=$DEVICE/FlashDisk
STICK=$DEVICE/USB\ HD/Zentavo_Installer
LOG=$STICK/log.txt

put() { # put FILE TEXT
    mkdir -p "$(dirname "$1")"
    printf '%s\n' "$2" >"$1"
}

# A stand-in terminal: leaves a line beside itself when the updater starts it.
put_terminal() { # put_terminal FILE LABEL
    mkdir -p "$(dirname "$1")"
    printf '#!/bin/sh\necho "%s" >>"$(dirname "$0")/started.txt"\n' "$2" >"$1"
    chmod 755 "$1"
}

make_device() {
    rm -rf "$DEVICE"
    put_terminal "$FLASH/Zentavo/Zentavo.exe" "terminal 1.0"
    put "$FLASH/Zentavo/Zentavo.ini" "version=1.0"
    put "$FLASH/Zentavo/list/order-1.xml" "<order/>"
    put "$FLASH/System/startup.cfg" "old"
    mkdir -p "$FLASH/Zentavo/data" "$STICK"
    put_terminal "$FLASH/Zentavo_Installer/Zentavo/Zentavo.exe" "terminal 2.0"
    put "$FLASH/Zentavo_Installer/Zentavo/Zentavo.ini" "version=2.0"
    put "$FLASH/Zentavo_Installer/System/startup.cfg" "new"
    put "$FLASH/Zentavo_Installer/System/drivers/printer.dll" "printer 2.0"
    "$PASSWD_TOOL" "$FLASH/Zentavo/data/Administrator_setting.db" "$PASSWORD" || {
        echo "FAIL: zentavo-passwd could not provision the password"
        exit 1
    }
}

start_updater() {
    local attempt
    for attempt in 1 2; do
        ZENTAVO_DEVICE_ROOT=$DEVICE QT_QPA_PLATFORM=xcb "$APP" >"$WORK/updater.out" 2>&1 &
        APP_PID=$!
        # Another Xvfb starting at the same moment can take our display's
        # socket away; that is the machine's trouble, not the updater's, so
        # it gets one fresh display.
        sleep 1
        if kill -0 "$APP_PID" 2>/dev/null || ! grep -q "could not connect to display" "$WORK/updater.out"; then
            return 0
        fi
        wait "$APP_PID" 2>/dev/null
        APP_PID=
        echo "note: the updater could not connect to $DISPLAY; starting a new Xvfb"
        xvfb_stop
        xvfb_start || return 1
        rm -f "$LOG"
    done
}

log_has() { grep -qxF -- "$1" "$LOG" 2>/dev/null; }
log_count() { grep -cxF -- "$1" "$LOG" 2>/dev/null; }

# wait_until TIMEOUT_S COMMAND...: polls until COMMAND succeeds or the updater ends.
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        kill -0 "$APP_PID" 2>/dev/null || { "$@"; return; }
        sleep 0.05
    done
}

# Pulls the stick and expects the updater to end with 0 and start the terminal.
pull_stick_and_expect_exit() { # LABEL_OF_STARTED_TERMINAL
    # Away in one step: deleting in place races with the updater's log lines.
    mv "$STICK" "$STICK.pulled" && rm -rf "$STICK.pulled"
    local deadline=$((SECONDS + 15))
    while kill -0 "$APP_PID" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.05; done
    if kill -0 "$APP_PID" 2>/dev/null; then
        fail "updater still runs after the stick was removed"
        return
    fi
    wait "$APP_PID"
    local status=$?
    APP_PID=
    check "updater exits with 0 after the stick is removed (got $status)" [ "$status" -eq 0 ]
    # The terminal runs detached and may write its line after the updater ended.
    local started=$FLASH/Zentavo/started.txt
    deadline=$((SECONDS + 10))
    until grep -qxF "$1" "$started" 2>/dev/null || [ "$SECONDS" -ge "$deadline" ]; do sleep 0.05; done
    check "terminal started: $1" grep -qxF "$1" "$started"
}

report_display() {
    echo "--- updater output"
    cat "$WORK/updater.out"
    if kill -0 "$XVFB_PID" 2>/dev/null; then echo "Xvfb $XVFB_PID on $DISPLAY still runs"; else echo "Xvfb $XVFB_PID is gone"; fi
    ls -la /tmp/.X11-unix/
}

press_and_slide_off() { # KEY: down on the key, up far beside the panel
    local position
    position=$(keyboard_key_position "$1") || return 1
    # shellcheck disable=SC2086
    xdotool mousemove $position mousedown 1
    sleep 0.1
    xdotool mousemove 790 10 mouseup 1
}

no_bar_visible() { ! xdotool search --onlyvisible --name "^KeyBar_" >/dev/null; }

keyboard_at() { # keyboard_at X Y: the panel's corner as keyboard_locate found it
    [ "$KEYBOARD_PANEL_X" -eq "$1" ] && [ "$KEYBOARD_PANEL_Y" -eq "$2" ]
}

xvfb_start || exit 1
echo "display $DISPLAY"

# --- Wrong password, then the right one: the payload is installed. ----------
make_device
start_updater
if ! keyboard_wait 30; then
    fail "no key panel came up"
    report_display
    exit 1
fi
# Prompt at 0,0, field at 60,60 and 40 rows high: the panel starts at 60,101.
check "upper-case panel under the password field at 60,101 (found $KEYBOARD_PANEL_X,$KEYBOARD_PANEL_Y)" \
    keyboard_at 60 101
check "prompt logged" log_has "Enter Password..."
xvfb_screenshot "$SHOTS/prompt-keyboard.png"

# The field's inside, right of where an empty field shows its cursor: the
# masked characters show there, and nothing when the field is empty.
field_pixels() { xvfb_region_signature 70 65 570 30; }
empty_field=$(field_pixels)
keyboard_tap Q
keyboard_tap W
sleep 0.3
check "typed characters show in the field" [ "$(field_pixels)" != "$empty_field" ]
keyboard_tap Ok
sleep 0.5
check "a wrong password empties the field" [ "$(field_pixels)" = "$empty_field" ]
check "a wrong password keeps the prompt open" xvfb_window_visible "Input Panel"
check "a wrong password decides nothing" bash -c '! grep -q "^HandleEvents" "$1"' _ "$LOG"

# The right password is accepted only if the wrong one left an empty field.
keyboard_tap Z
keyboard_tap Shift
check "Shift brings the lower-case panel to the same place" keyboard_locate
check "lower-case panel at 60,101" keyboard_at 60 101
keyboard_hold e 1.2 "$SHOTS/accent-bar.png"
check "holding e opened its accent bar at 50,389" bash -c '
    id=$(xdotool search --onlyvisible --name "^KeyBar_E_small\$" | head -n 1)
    [ -n "$id" ] && xdotool getwindowgeometry --shell "$id" | grep -qx "X=50" &&
        xdotool getwindowgeometry --shell "$id" | grep -qx "Y=389"'
keyboard_tap_accent acute
keyboard_tap 123
check "number panel up" xvfb_window_visible "Input Panel Number"
keyboard_tap 9
keyboard_tap ABC
keyboard_tap x
keyboard_tap Ok

wait_until 30 log_has "HandleEvents: InitialState: Successful."
# The payload goes right after the result screen; a slow (emulated) run takes a moment.
wait_until 15 test ! -e "$FLASH/Zentavo_Installer/Zentavo"
check "password accepted once" [ "$(log_count "HandleEvents: WaitPassword: Ok.")" = 1 ]
check "installation successful" log_has "HandleEvents: InitialState: Successful."
check "keyboard hidden after the right password" bash -c '! xdotool search --onlyvisible --name "^Input Panel" >/dev/null'
check "application files installed" grep -qx "version=2.0" "$FLASH/Zentavo/Zentavo.ini"
check "system files installed" grep -qx "new" "$FLASH/System/startup.cfg"
check "new system file copied" test -f "$FLASH/System/drivers/printer.dll"
check "stale request file cleared" test ! -e "$FLASH/Zentavo/list/order-1.xml"
check "application payload deleted" test ! -e "$FLASH/Zentavo_Installer/Zentavo"
sleep 0.3
xvfb_screenshot "$SHOTS/installed.png"
cp "$LOG" "$WORK/install-log.txt" 2>/dev/null
pull_stick_and_expect_exit "terminal 2.0"

# --- Cancel: nothing is installed, the application payload still goes. ------
make_device
start_updater
if ! keyboard_wait 30; then
    fail "no key panel came up for the cancel run"
    report_display
    exit 1
fi
keyboard_tap Q
# A vowel pressed and let go beside its key keeps its hold running: a special
# key within the hold must end it, or its bar opens over the number panel,
# or over nothing once the prompt has closed.
press_and_slide_off E
keyboard_tap 123
sleep 1.2
check "a hold ended by 123 opens no accent bar over the number panel" no_bar_visible
keyboard_tap ABC
press_and_slide_off E
keyboard_tap Cancel
sleep 1.2
check "a hold ended by Cancel opens no accent bar after the prompt closed" no_bar_visible
wait_until 15 log_has "HandleEvents: WaitPassword: Cancelled."
wait_until 15 test ! -e "$FLASH/Zentavo_Installer/Zentavo"
check "prompt cancelled" log_has "HandleEvents: WaitPassword: Cancelled."
check "nothing installed after Cancel" grep -qx "version=1.0" "$FLASH/Zentavo/Zentavo.ini"
check "system files untouched after Cancel" grep -qx "old" "$FLASH/System/startup.cfg"
check "application payload deleted after Cancel" test ! -e "$FLASH/Zentavo_Installer/Zentavo"
check "keyboard hidden after Cancel" bash -c '! xdotool search --onlyvisible --name "^Input Panel" >/dev/null'
sleep 0.3
xvfb_screenshot "$SHOTS/cancelled.png"
pull_stick_and_expect_exit "terminal 1.0"

if [ "$FAILURES" -gt 0 ]; then
    echo "--- updater output"
    cat "$WORK/updater.out"
    [ -f "$WORK/install-log.txt" ] && { echo "--- log of the install run"; cat "$WORK/install-log.txt"; }
    echo "$FAILURES check(s) failed"
    exit 1
fi
echo "all checks passed"
exit 0
