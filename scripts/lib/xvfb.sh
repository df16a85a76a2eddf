# Sourced by the end-to-end tests and the demo: a headless X display like the
# device's screen, screenshots, and taps on the on-screen keyboard with xdotool.
#
#   source scripts/lib/xvfb.sh
#   xvfb_available || exit 77          # Xvfb or xdotool missing
#   xvfb_start                         # exports DISPLAY, sets XVFB_PID
#   ... start the updater on $DISPLAY (QT_QPA_PLATFORM=xcb or unset) ...
#   keyboard_wait 20                   # until a key panel is up; finds its place
#   keyboard_tap Z; keyboard_tap Shift
#   keyboard_hold e 1.2 shot.png       # opens e's accent bar, screenshot while open
#   keyboard_tap_accent acute          # é
#   keyboard_tap 123; keyboard_tap 9; keyboard_tap ABC; keyboard_tap x; keyboard_tap Ok
#   xvfb_screenshot out.png
#   xvfb_stop
#
# No window manager runs, as on the device: windows sit where the program puts
# them, and the full-screen forms fill the 800 x 480 screen from 0,0.

XVFB_PID=
XVFB_SCREEN_DEFAULT=800x480x24
# Pause after a tap, so the updater has handled it before the next one comes.
KEYBOARD_TAP_PAUSE=${KEYBOARD_TAP_PAUSE:-0.15}

xvfb_available() {
    command -v Xvfb >/dev/null 2>&1 && command -v xdotool >/dev/null 2>&1
}

# xvfb_start [WxHxD]: starts Xvfb on a free display number (Xvfb picks it and
# reports it through -displayfd) and exports DISPLAY. Returns 1 when it fails.
xvfb_start() {
    local screen=${1:-$XVFB_SCREEN_DEFAULT}
    local number_file
    number_file=$(mktemp)
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$number_file" 2>/dev/null &
    XVFB_PID=$!
    local i
    for ((i = 0; i < 200; i++)); do
        [ -s "$number_file" ] && break
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.05
    done
    if [ ! -s "$number_file" ]; then
        rm -f "$number_file"
        xvfb_stop
        echo "xvfb: Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY=:$(tr -d '[:space:]' <"$number_file")
    rm -f "$number_file"
    # The display answers once the number is out, but give it a round trip.
    for ((i = 0; i < 100; i++)); do
        xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    echo "xvfb: display $DISPLAY does not answer" >&2
    return 1
}

xvfb_stop() {
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
    fi
    XVFB_PID=
    return 0
}

# xvfb_screenshot FILE.png: the whole screen. /usr/bin/convert is ImageMagick;
# another convert earlier in PATH may not be.
xvfb_screenshot() {
    xwd -root -silent -display "$DISPLAY" | /usr/bin/convert xwd:- -strip "png:$1"
}

# xvfb_region_signature X Y WIDTH HEIGHT: a checksum of that screen area's
# pixels, to tell whether two moments show the same there.
xvfb_region_signature() {
    xwd -root -silent -display "$DISPLAY" |
        /usr/bin/convert xwd:- -crop "${3}x${4}+${1}+${2}" +repage rgb:- | md5sum | cut -d' ' -f1
}

xvfb_window_visible() {
    xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1
}

# xvfb_window_origin TITLE: "X Y" of the visible top-level window with that title.
xvfb_window_origin() {
    local id
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)
    [ -n "$id" ] || return 1
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$id")"
    echo "$X $Y"
}

# --- The on-screen keyboard -------------------------------------------------
# Key centres relative to the panel's corner, from the panels' forms: rows at
# y = 20, 80, 140, 200 (50 high) and the action row at 288 (60 high).

declare -gA KEYBOARD_KEY=()
_keyboard_row() { # y x0 keys...
    local y=$1 x=$2
    shift 2
    local key
    for key in "$@"; do
        KEYBOARD_KEY[$key]="$((x + 25)) $((y + 25))"
        x=$((x + 60))
    done
}
_keyboard_row 20 0 Q W E R T Z U I O P
_keyboard_row 80 40 A S D F G H J K L
_keyboard_row 140 60 Y X C V B N M
# Number panel, in the same places.
_keyboard_row 20 0 1 2 3 4 5 6 7 8 9 0
_keyboard_row 80 40 '@2' '#' '(' ')' '=' '+' '-' '*' '/'
_keyboard_row 140 60 '!' '?' '$' ';' ':' ',2' '.2'
KEYBOARD_KEY[Shift]="25 165"
KEYBOARD_KEY[Backspace]="535 165"
KEYBOARD_KEY[123]="40 225"
KEYBOARD_KEY[ABC]="40 225"
KEYBOARD_KEY[@]="115 225"
KEYBOARD_KEY[Space]="310 225"
KEYBOARD_KEY[.]="505 225"
KEYBOARD_KEY[,]="565 225"
KEYBOARD_KEY[Ok]="535 318"
KEYBOARD_KEY[Cancel]="670 318"

# Where the panel and the accent bars are; keyboard_locate reads them off the
# screen. Under the password prompt (field at 60,60, 40 high) they are these.
KEYBOARD_PANEL_X=60 KEYBOARD_PANEL_Y=101
KEYBOARD_BAR_X=50 KEYBOARD_BAR_Y=389

# keyboard_locate: takes the corner of the visible key panel. The accent bars
# open 10 px left of the panel and 288 px further down (field bottom + 290).
keyboard_locate() {
    local origin title
    for title in "Input Panel" "Input Panel Number"; do
        origin=$(xvfb_window_origin "$title") && break
    done
    [ -n "$origin" ] || return 1
    KEYBOARD_PANEL_X=${origin% *}
    KEYBOARD_PANEL_Y=${origin#* }
    KEYBOARD_BAR_X=$((KEYBOARD_PANEL_X - 10))
    KEYBOARD_BAR_Y=$((KEYBOARD_PANEL_Y + 288))
}

# keyboard_wait TIMEOUT_S: until a key panel is visible, then keyboard_locate.
keyboard_wait() {
    local deadline=$((SECONDS + ${1:-20}))
    until xvfb_window_visible "Input Panel" || xvfb_window_visible "Input Panel Number"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
    keyboard_locate
}

# keyboard_key_position KEY: "X Y" on screen. Letters in either case (the
# panel decides the case), digits, symbols, Shift, Backspace, 123, ABC, Space,
# Ok, Cancel; '@2' ',2' '.2' are the number panel's second @ , . keys.
keyboard_key_position() {
    local key=$1
    [[ $key =~ ^[a-z]$ ]] && key=${key^^}
    local position=${KEYBOARD_KEY[$key]:-}
    [ -n "$position" ] || { echo "keyboard: no key '$1'" >&2; return 1; }
    echo "$((KEYBOARD_PANEL_X + ${position% *})) $((KEYBOARD_PANEL_Y + ${position#* }))"
}

# keyboard_accent_position ACCENT: diaeresis, circumflex, acute, grave, tilde
# (only on the bars of A and O).
keyboard_accent_position() {
    local index
    case $1 in
    diaeresis) index=0 ;;
    circumflex) index=1 ;;
    acute) index=2 ;;
    grave) index=3 ;;
    tilde) index=4 ;;
    *) echo "keyboard: no accent '$1'" >&2; return 1 ;;
    esac
    echo "$((KEYBOARD_BAR_X + 10 + index * 60 + 25)) $((KEYBOARD_BAR_Y + 10 + 25))"
}

keyboard_tap() {
    local position
    position=$(keyboard_key_position "$1") || return 1
    # shellcheck disable=SC2086
    xdotool mousemove $position click 1
    sleep "$KEYBOARD_TAP_PAUSE"
}

# keyboard_hold KEY SECONDS [SCREENSHOT]: presses KEY, keeps it down (0.8 s
# opens a vowel's accent bar), optionally takes a screenshot, and releases.
keyboard_hold() {
    local position
    position=$(keyboard_key_position "$1") || return 1
    # shellcheck disable=SC2086
    xdotool mousemove $position mousedown 1
    sleep "${2:-1.2}"
    [ -n "${3:-}" ] && xvfb_screenshot "$3"
    xdotool mouseup 1
    sleep "$KEYBOARD_TAP_PAUSE"
}

keyboard_tap_accent() {
    local position
    position=$(keyboard_accent_position "$1") || return 1
    # shellcheck disable=SC2086
    xdotool mousemove $position click 1
    sleep "$KEYBOARD_TAP_PAUSE"
}
