#!/bin/sh
# The main job: sets everything up, builds the launcher and mkpackage, makes
# a sample package on stub32.exe (the product) around the test engines of
# both widths, runs it under Wine (the launcher under WOW64, as on 64-bit
# Windows), then prints what happened.
#
#   scripts/run-sample.sh [ARGUMENTS FOR THE PACKAGE...]
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
if [ "${SKIP_SETUP:-0}" != 1 ]; then
    scripts/setup.sh
fi
scripts/build-all.sh >/dev/null

work=$root/build/sample
mkdir -p "$work"
rm -f "$work"/setup.exe "$work"/setup.exe.report
engine32=$root/build/win32/tests/engines/report-engine.exe
engine64=$root/build/win64/tests/engines/report-engine.exe
runner=$root/build/win64/tests/engines/exit-code-runner.exe
mkpackage=$root/build/host/tools/mkpackage/mkpackage

"$mkpackage" build --stub "$root/build/win32/stub32.exe" \
    --engine32 "$engine32" --engine64 "$engine64" \
    --allow xp,vista,7,8,8.1,10,11,later --win10 1507- --win11 2110- \
    --elevation noadmin \
    --wrong-width-text "This setup needs a different processor." \
    --unsupported-text "This setup does not run on %USER%." \
    -o "$work/setup.exe"
"$mkpackage" inspect "$work/setup.exe"

export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEARCH=win64
# No display: a message box would wait for a user; its exit code tells.
unset DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Preparing a Wine prefix in $WINEPREFIX (about 20 s, once)"
    wineboot -i >/dev/null 2>&1
fi
temp="$work/temp"
rm -rf "$temp"
mkdir -p "$temp"
to_wine() { printf 'Z:%s' "$1" | tr / '\\'; }
args="${*:-/silent /exit=3010}"
command_line="\"$(to_wine "$work/setup.exe")\" /temp \"$(to_wine "$temp")\" $args"
echo
# printf, not echo: the Windows paths are full of backslashes.
printf 'Running: %s\n' "$command_line"
result=$(E2E_COMMAND_LINE="$command_line" wine "$runner" 2>/dev/null | tr -d '\r')
echo
echo "What the launcher did:"
if [ -f "$work/setup.exe.report" ]; then
    report() { sed -n "s/^$1=//p" "$work/setup.exe.report" | tr -d '\r'; }
    printf '  engine chosen:       %s-bit\n' "$(report bits)"
    printf '  temporary copy:      %s\n' "$(report self)"
    printf '  engine command line: %s\n' "$(report commandline)"
    printf "  engine's folder:     %s\n" "$(report cwd)"
    printf '  package closed:      %s\n' "$(report package_closed)"
else
    echo "  the engine did not run"
fi
echo "  launcher exit code:  ${result#exitcode=}"
if [ -z "$(ls -A "$temp")" ]; then
    echo "  temporary copy:      deleted"
else
    echo "  temporary copy:      still there: $(ls "$temp")"
fi
