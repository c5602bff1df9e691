#!/usr/bin/env bash
# Smoke test on a real X server rather than the offscreen plugin: the configurator starts, its
# window comes up under its title and is painted, and a picture of it is saved.
# Usage: smoke-x11.sh <tcprtu-configurator> <screenshot.png>
set -euo pipefail

app=$1
shot=$2
title="Конфигуратор Modbus TCP-RTU"

# xwininfo escapes non-ASCII window names unless the locale is UTF-8.
export LC_ALL=C.UTF-8
# The rest of the suite runs headless and exports offscreen; this test is about the X11 plugin.
export QT_QPA_PLATFORM=xcb

work=$(mktemp -d)
xvfb=
configurator=
finish() {
    local pid
    for pid in $configurator $xvfb; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap finish EXIT

fail() {
    echo "smoke-x11: $*" >&2
    tail -n 20 "$work"/*.log >&2 || true
    exit 1
}

# Tries a check ten times a second for up to $1 seconds.
within() {
    local tenths=$(($1 * 10))
    shift
    for (( ; tenths > 0; tenths--)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"

# Only holders of the cookie may use the server. It reads every cookie in the file whatever display
# the entry names; clients look theirs up by the display number, known only once it is running.
export XAUTHORITY=$work/auth
: >"$XAUTHORITY"
cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
xauth -q add :0 . "$cookie"

# -displayfd picks a free display and writes its number once the server accepts clients; -fbdir
# keeps the screen in an XWD file, which is the screenshot.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -nocursor -auth "$XAUTHORITY" \
    -fbdir "$work" 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!

serverUp() {
    kill -0 "$xvfb" 2>/dev/null || fail "Xvfb exited"
    grep -qx '[0-9]\+' "$work/display"
}
within 10 serverUp || fail "Xvfb did not come up"
export DISPLAY=:$(cat "$work/display")
xauth -q add "$DISPLAY" . "$cookie"

"$app" >"$work/configurator.log" 2>&1 &
configurator=$!

window=
windowShown() {
    kill -0 "$configurator" 2>/dev/null || fail "the configurator exited"
    window=$(xwininfo -root -tree | grep -F " \"$title\": " | awk '{ print $1; exit }') &&
        [ -n "$window" ] && xwininfo -id "$window" | grep -q 'Map State: IsViewable'
}
within 10 windowShown || fail "no window titled \"$title\" was shown"

info=$(xwininfo -id "$window")
geometry() { awk -v key="$1" 'index($0, key) { print $NF; exit }' <<<"$info"; }
x=$(geometry 'Absolute upper-left X:')
y=$(geometry 'Absolute upper-left Y:')
width=$(geometry 'Width:')
height=$(geometry 'Height:')

colours() { ppmhist -noheader "$1" | wc -l; }

# Mapped comes before painted: wait until the window is colourful and two pictures agree.
: >"$work/before.ppm"
painted() {
    xwdtopnm "$work/Xvfb_screen0" 2>/dev/null |
        pamcut -left "$x" -top "$y" -width "$width" -height "$height" >"$work/now.ppm"
    [ "$(colours "$work/now.ppm")" -ge 32 ] && cmp -s "$work/now.ppm" "$work/before.ppm" ||
        { mv "$work/now.ppm" "$work/before.ppm" && false; }
}
within 10 painted || fail "the window was never painted"

pnmtopng "$work/now.ppm" >"$shot"
pngtopam "$shot" >"$work/check.ppm"
pamfile "$work/check.ppm" | grep -q " $width by $height " || fail "$shot is not the window's picture"
[ "$(colours "$work/check.ppm")" -ge 32 ] || fail "$shot is nearly blank"
kill -0 "$configurator" 2>/dev/null || fail "the configurator exited"
echo "Window ${width}x$height on $DISPLAY; screenshot: $shot"
