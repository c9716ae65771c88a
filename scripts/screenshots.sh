#!/bin/sh
# Takes a picture of every message box the launcher can show, as its users
# see it: stub32.exe under Wine (WOW64) on a virtual X display, one package
# per message, built with mkpackage.  Writes PNG files to docs/ (or to the
# folder given):
#
#   docs/message-damaged-package.png       docs/message-truncated-package.png
#   docs/message-temporary-copy.png        docs/message-engine-start.png
#   docs/message-wrong-width.png           docs/message-unsupported-windows.png
#
#   scripts/screenshots.sh [OUTPUT_FOLDER]
#
# Needs what scripts/setup.sh installs (Wine with its 32-bit half, Xvfb,
# xdotool, ImageMagick) and the builds of scripts/build-all.sh (run here
# unless SKIP_BUILD=1).  Wine draws the title bar itself, in its own style.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
out=$(realpath -m "${1:-docs}")
mkdir -p "$out"
if [ "${SKIP_BUILD:-0}" != 1 ]; then
    scripts/build-all.sh >/dev/null
fi
for tool in Xvfb xdotool import wine; do
    command -v "$tool" >/dev/null || { echo "screenshots.sh: $tool is missing; run scripts/setup.sh" >&2; exit 1; }
done

stub=$root/build/win32/stub32.exe
engine32=$root/build/win32/tests/engines/report-engine.exe
engine64=$root/build/win64/tests/engines/report-engine.exe
runner=$root/build/win64/tests/engines/exit-code-runner.exe
mkpackage=$root/build/host/tools/mkpackage/mkpackage
work=$root/build/screenshots
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEARCH=win64
mkdir -p "$work"

# A display of our own, and a Wine session bound to it.
display=
for n in $(seq 90 139); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 1 50); do
        if xdpyinfo -display ":$n" >/dev/null 2>&1; then display=":$n"; break; fi
        kill -0 "$xvfb" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$display" ] && break
    kill "$xvfb" 2>/dev/null || true
done
[ -n "$display" ] || { echo "screenshots.sh: Xvfb did not start" >&2; exit 1; }
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT INT TERM
export DISPLAY=$display

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "screenshots.sh: preparing a Wine prefix in $WINEPREFIX (about 20 s, once)"
    wineboot -i >/dev/null 2>&1
fi
# No window manager here: Wine draws the title bar, as Windows would.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
wine reg delete 'HKCU\Software\Wine' /v Version /f >/dev/null 2>&1 || true   # Windows 7

# Packages live where a user's downloads would, so the caption reads like one.
downloads=$WINEPREFIX/drive_c/users/Public/Downloads
rm -rf "$downloads"
mkdir -p "$downloads"
package=$downloads/ExampleSetup.exe
caption='C:\users\Public\Downloads\ExampleSetup.exe'

build() {
    "$mkpackage" build --stub "$stub" --allow all \
        --wrong-width-text "This edition of Example needs 32-bit Windows.  Please download the 64-bit edition from example.com." \
        --unsupported-text "Example needs Windows 10 or Windows 11.  This computer runs %USER%." \
        -o "$package" "$@" >/dev/null 2>&1
}

# shot NAME [ARGUMENTS]: runs the package, photographs the message box
# titled with its path, presses Enter and checks that the launcher ended.
shot() {
    name=$1
    shift
    rm -f "$work/runner.out"
    E2E_COMMAND_LINE="\"$caption\" $*" wine "$runner" >"$work/runner.out" 2>/dev/null &
    runner_pid=$!
    window=
    for _ in $(seq 1 300); do
        window=$(xdotool search --name "^$(printf '%s' "$caption" | sed 's/[\\.]/\\&/g')\$" 2>/dev/null | head -n 1 || true)
        [ -n "$window" ] && break
        sleep 0.2
    done
    if [ -z "$window" ]; then
        echo "screenshots.sh: no message box appeared for $name" >&2
        kill "$runner_pid" 2>/dev/null || true
        exit 1
    fi
    sleep 0.5   # let it finish painting
    import -window "$window" "$out/message-$name.png"
    xdotool key --window "$window" Return 2>/dev/null
    wait "$runner_pid" || true
    printf 'screenshots.sh: %-40s %s\n' "$out/message-$name.png" "$(tr -d '\r' < "$work/runner.out")"
}

cp "$stub" "$package"
shot damaged-package

build --engine32 "$engine32" --engine64 "$engine64"
head -c -1 "$package" > "$package.cut" && mv "$package.cut" "$package"
shot truncated-package

build --engine32 "$engine32" --engine64 "$engine64"
shot temporary-copy '/temp "C:\no such folder"'

printf 'this is not a program' > "$work/not-a-program.exe"
build --engine32 "$work/not-a-program.exe" --engine64 "$work/not-a-program.exe"
shot engine-start

build --engine32 "$engine32" --refuse-64bit
shot wrong-width

build --engine32 "$engine32" --engine64 "$engine64" --allow 10,11
shot unsupported-windows

rm -rf "$downloads"
