#!/bin/sh
# The main job: sets everything up, builds the launcher and mkpackage, makes
# a sample package around a test engine and runs it under Wine, then prints
# what happened.
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
rm -f "$work"/setup.exe "$work"/setup.exe.report "$work"/engine32.exe
engine64=$root/build/win64/tests/engines/report-engine.exe
runner=$root/build/win64/tests/engines/exit-code-runner.exe
mkpackage=$root/build/host/tools/mkpackage/mkpackage

# Any engine image will do for the 32-bit entry: the same program, padded,
# so that its size tells which entry ran.
cp "$engine64" "$work/engine32.exe"
head -c 4096 /dev/zero >> "$work/engine32.exe"

"$mkpackage" build --stub "$root/build/win64/stub64.exe" \
    --engine32 "$work/engine32.exe" --engine64 "$engine64" \
    --allow xp,vista,7,8,8.1,10,11,later --win10 1507- --win11 2110- \
    --elevation noadmin \
    --wrong-width-text "This setup needs a different processor." \
    --unsupported-text "This setup does not run on %USER%." \
    -o "$work/setup.exe"
"$mkpackage" inspect "$work/setup.exe"

export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Preparing a Wine prefix in $WINEPREFIX (about 10 s, once)"
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
    size=$(sed -n 's/^self_size=//p' "$work/setup.exe.report" | tr -d '\r')
    if [ "$size" = "$(stat -c %s "$engine64")" ]; then chosen=64-bit; else chosen=32-bit; fi
    report() { sed -n "s/^$1=//p" "$work/setup.exe.report" | tr -d '\r'; }
    printf '  engine chosen:       %s\n' "$chosen"
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
