#!/bin/sh
# The main job: sets everything up, builds the launcher and mkpackage, makes
# a sample package on stub32.exe (the product) around the test engines of
# both widths, runs it under Wine (the launcher under WOW64, as on 64-bit
# Windows), then prints what happened, including how the engine was started:
# directly, or through the shell with which verb and parameters.
#
#   scripts/run-sample.sh [--standard-user] [ARGUMENTS FOR THE PACKAGE...]
#
# Wine's own user is an administrator, whose engine the launcher starts
# directly.  --standard-user runs the package as a user who is not one (a
# limited token without BUILTIN\Administrators, as UAC gives nearly every
# interactive user): the launcher then starts the engine through the shell.
set -eu
user=administrator
case "${1:-}" in
--standard-user) user="standard user"; shift ;;
--help | -h)
    sed -n '2,/^set -eu/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
    ;;
esac
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
printf 'Running as %s: %s\n' "$user" "$command_line"
standard=0
[ "$user" = administrator ] || standard=1
# Wine's exec trace shows each ShellExecuteExW call: what the launcher asked
# the shell for.
trace=$work/trace.txt
result=$(E2E_STANDARD_USER=$standard WINEDEBUG=trace+exec E2E_COMMAND_LINE="$command_line" \
    /usr/lib/wine/wine64 "$runner" 2>"$trace" | tr -d '\r')
shell_call=$(grep -a 'trace:exec:SHELL_execute mask=' "$trace" | head -n 1 || true)
# A traced string, L"..." with \" and \\ escaped, unescaped.
traced() {
    printf '%s' "$shell_call" | sed -n "s/.* $1=L\"\(\([^\"\\\\]\|\\\\.\)*\)\".*/\1/p" |
        sed 's/\\\(.\)/\1/g'
}
echo
echo "What the launcher did:"
if [ -n "$shell_call" ]; then
    printf '  engine started:      through the shell, verb "%s"\n' "$(traced verb)"
    printf '  shell parameters:    %s\n' "$(traced parm)"
elif [ -f "$work/setup.exe.report" ]; then
    echo "  engine started:      directly (CreateProcessW), not through the shell"
fi
if [ -f "$work/setup.exe.report" ]; then
    report() { sed -n "s/^$1=//p" "$work/setup.exe.report" | tr -d '\r'; }
    printf '  engine chosen:       %s-bit\n' "$(report bits)"
    printf '  temporary copy:      %s\n' "$(report self)"
    printf '  engine command line: %s\n' "$(report commandline)"
    printf "  engine's folder:     %s\n" "$(report cwd)"
    printf '  package closed:      %s\n' "$(report package_closed)"
    printf '  engine as admin:     %s\n' "$(report admin)"
else
    echo "  the engine did not run"
fi
echo "  launcher exit code:  ${result#exitcode=}"
if [ -z "$(ls -A "$temp")" ]; then
    echo "  temporary copy:      deleted"
else
    echo "  temporary copy:      still there: $(ls "$temp")"
fi
