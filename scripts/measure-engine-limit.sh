#!/usr/bin/env bash
# Finds the largest setup engine a launcher still runs, under Wine's WOW64:
# for each probed size it makes a real engine (a test engine of the chosen
# width with bulk data appended after its image), packs it into a package on
# the launcher with mkpackage, runs the package and looks whether the engine
# really started and wrote its report.  Bisection between two sizes, or a
# list of sizes.
#
#   scripts/measure-engine-limit.sh [--stub FILE] --kind KIND (--range LO:HI | --sizes LIST) [options]
#
# Required:
#   --kind KIND             the engine's bulk data:
#                             incompressible  random bytes: packed size about
#                                             the unpacked size, the worst case
#                             typical         the files of /usr/bin, one after
#                                             the other (again from the start if
#                                             more is needed): program code; it
#                                             packs to about 0.3 at the defaults
#   --range LO:HI           bisect between LO and HI MiB: the result is the
#                           largest size that runs, to within --step MiB
#   --sizes LIST            or probe just these sizes (MiB, comma-separated)
#
# Options:
#   --stub FILE             the launcher to test (a PE32 i386 image; default
#                           build/win32/stub32.exe); it is copied, never changed
#   --large-address-aware   test a copy of --stub with IMAGE_FILE_LARGE_ADDRESS_AWARE
#                           (0x0020) set in its COFF header
#   --engine-bits 32|64     which engine the package carries, alone (default 64;
#                           stub32 under WOW64 would pick the 64-bit one if both
#                           were there)
#   --step MIB              bisection resolution (default 25)
#   --assume-ends           with --range: take LO as running and HI as failing
#                           without probing them (known from an earlier run)
#   --preset N              mkpackage --preset (default 0: fast to build)
#   --dict SIZE             mkpackage --dict (default 4KiB, see below)
#   --timeout SECONDS       give up on one launcher run after this (default 3600)
#   --files DIR             take the test programs from DIR instead of the
#                           build tree: report-engine32.exe, report-engine64.exe,
#                           exit-code-runner.exe, mkpackage (to measure an older
#                           launcher with the programs of its time)
#   --work DIR              working folder (default build/engine-limit in the
#                           repository); it keeps its Wine prefix for the next run
#   --log FILE              also append one tab-separated line per probe to FILE
#   --nice N                run everything at this niceness at least (default 10)
#   -h, --help              this text
#
# Sizes are MiB (1048576 bytes) of the whole engine file; an engine must stay
# below 2 GiB, so 2047 is the largest size.  A probe "runs" when the launcher
# ends with the engine's exit code (77, passed as /exit=77) and the engine's
# report says it is the expected width and the whole size; anything else
# fails (203 is the launcher's out-of-memory exit).
#
# Why 4KiB for the dictionary: at preset 0, random data with a 4 MiB
# dictionary packs to 3.8 % over its size and builds at a third of the speed;
# with 4 KiB it packs to 1.5 % over, close to the 1.3 % of mkpackage's default
# preset 6 with 4 MiB, i.e. like a real package.  The launcher's memory holds
# the packed bytes, the whole engine and a window of min(dictionary, engine
# size), so the smaller dictionary lowers its need by less than 4 MiB.
#
# Each probe reports: size, packed bytes, exit code, seconds to make the
# package (data, mkpackage with its own check) and to run it, and the
# launcher's peak memory: the peak resident set (VmHWM) of the QEMU process
# that runs it (its touched pages, plus Wine's and QEMU's own), read from
# /proc while it lives.  /usr/bin/time cannot see it: Wine starts the
# launcher detached, not as a child of the runner; the runner's own peak,
# which time does see, is shown as "runner" for comparison.
#
# Everything a probe makes (engine, package, the launcher's temporary copy,
# the report) is deleted before the next one, so at most two big files exist
# at a time; the work files and the Wine server go at the end, on Ctrl+C too.
set -euo pipefail

me=${0##*/}
usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }
die() { printf '%s: %s\n' "$me" "$*" >&2; exit 2; }

stub="" kind="" range="" sizes="" laa=0 bits=64 step=25 assume_ends=0
preset=0 dict=4KiB timeout_s=3600 files="" work="" log="" niceness=10
need_value() { [ $# -ge 2 ] || die "$1 needs a value (see --help)"; }
while [ $# -gt 0 ]; do
    case "$1" in
    --*=*) opt=${1%%=*}; val=${1#*=}; shift; set -- "$opt" "$val" "$@"; continue ;;
    esac
    case "$1" in
    -h | --help) usage; exit 0 ;;
    --stub) need_value "$@"; stub=$2; shift 2 ;;
    --kind) need_value "$@"; kind=$2; shift 2 ;;
    --range) need_value "$@"; range=$2; shift 2 ;;
    --sizes) need_value "$@"; sizes=$2; shift 2 ;;
    --large-address-aware) laa=1; shift ;;
    --engine-bits) need_value "$@"; bits=$2; shift 2 ;;
    --step) need_value "$@"; step=$2; shift 2 ;;
    --assume-ends) assume_ends=1; shift ;;
    --preset) need_value "$@"; preset=$2; shift 2 ;;
    --dict) need_value "$@"; dict=$2; shift 2 ;;
    --timeout) need_value "$@"; timeout_s=$2; shift 2 ;;
    --files) need_value "$@"; files=$2; shift 2 ;;
    --work) need_value "$@"; work=$2; shift 2 ;;
    --log) need_value "$@"; log=$2; shift 2 ;;
    --nice) need_value "$@"; niceness=$2; shift 2 ;;
    *) die "unknown argument '$1' (see --help)" ;;
    esac
done

is_uint() { case "$1" in '' | *[!0-9]*) return 1 ;; *) return 0 ;; esac; }
check_size() {
    is_uint "$1" && [ "$1" -ge 1 ] && [ "$1" -le 2047 ] ||
        die "size '$1' is not a whole number of MiB from 1 to 2047 (an engine stays below 2 GiB)"
}

stub=${stub:-$(cd "$(dirname "$0")/.." && pwd)/build/win32/stub32.exe}
[ -f "$stub" ] || die "--stub $stub: no such file"
case "$kind" in
incompressible | typical) ;;
'') die "--kind incompressible|typical is required" ;;
*) die "--kind must be incompressible or typical, not '$kind'" ;;
esac
case "$bits" in 32 | 64) ;; *) die "--engine-bits must be 32 or 64, not '$bits'" ;; esac
is_uint "$step" && [ "$step" -ge 1 ] || die "--step must be a whole number of MiB, at least 1"
is_uint "$preset" && [ "$preset" -le 9 ] || die "--preset must be 0 to 9"
case "$dict" in
*[0-9]KiB | *[0-9]MiB | *[0-9]GiB | *[0-9]) is_uint "${dict%[KMG]iB}" || die "--dict '$dict' is not a size like 4KiB or 4MiB" ;;
*) die "--dict '$dict' is not a size like 4KiB or 4MiB" ;;
esac
is_uint "$timeout_s" && [ "$timeout_s" -ge 1 ] || die "--timeout must be a number of seconds"
is_uint "$niceness" && [ "$niceness" -le 19 ] || die "--nice must be 0 to 19"
if [ -n "$range" ] && [ -n "$sizes" ]; then die "give --range or --sizes, not both"; fi
if [ -z "$range" ] && [ -z "$sizes" ]; then die "give --range LO:HI or --sizes LIST"; fi
if [ -n "$range" ]; then
    case "$range" in *:*) ;; *) die "--range must be LO:HI in MiB, e.g. 400:600" ;; esac
    lo=${range%%:*} hi=${range#*:}
    check_size "$lo"; check_size "$hi"
    [ "$lo" -lt "$hi" ] || die "--range $range: LO must be below HI"
else
    [ "$assume_ends" = 0 ] || die "--assume-ends goes with --range"
    size_list=$(printf '%s' "$sizes" | tr ',' ' ')
    [ -n "${size_list// /}" ] || die "--sizes is empty"
    for s in $size_list; do check_size "$s"; done
fi

# Gigabyte engines take minutes to pack and to run; another user of the
# machine should hardly notice.
current_nice=$(nice)
if [ "$current_nice" -lt "$niceness" ]; then
    exec nice -n $((niceness - current_nice)) "$0" --nice "$niceness" \
        --stub "$stub" --kind "$kind" ${range:+--range "$range"} ${sizes:+--sizes "$sizes"} \
        $([ "$laa" = 1 ] && echo --large-address-aware) --engine-bits "$bits" --step "$step" \
        $([ "$assume_ends" = 1 ] && echo --assume-ends) --preset "$preset" --dict "$dict" \
        --timeout "$timeout_s" ${files:+--files "$files"} ${work:+--work "$work"} ${log:+--log "$log"}
fi

root=$(cd "$(dirname "$0")/.." && pwd)
# A test program: from --files, or where scripts/build-all.sh puts it.
companion() {
    if [ -n "$files" ]; then echo "$files/$1"; return; fi
    case $1 in
    report-engine32.exe) echo "$root/build/win32/tests/engines/report-engine.exe" ;;
    report-engine64.exe) echo "$root/build/win64/tests/engines/report-engine.exe" ;;
    exit-code-runner.exe) echo "$root/build/win64/tests/engines/exit-code-runner.exe" ;;
    mkpackage) echo "$root/build/host/tools/mkpackage/mkpackage" ;;
    esac
}
for f in report-engine32.exe report-engine64.exe exit-code-runner.exe mkpackage; do
    [ -f "$(companion "$f")" ] || die "$(companion "$f") is missing (scripts/build-all.sh builds it, or give --files)"
done
wine64=/usr/lib/wine/wine64
for tool in "$wine64" wineserver wineboot timeout pgrep od dd /usr/bin/time; do
    command -v "$tool" >/dev/null || die "$tool is missing"
done
work=${work:-$root/build/engine-limit}
mkdir -p "$work"
work=$(cd "$work" && pwd)
if [ -n "$log" ]; then
    touch "$log" 2>/dev/null || die "--log $log cannot be written"
fi

# Two runs in one folder would delete each other's files.
lock=$work/lock
mkdir "$lock" 2>/dev/null || die "$work is in use by another run (or a crashed one: remove $lock)"
probe_dir=$work/probe
temp_dir=$work/temp
monitor_pid="" run_pid="" server_up=0
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEARCH=win64
# No display: a message box returns at once, and the exit code tells.
unset DISPLAY

cleanup() {
    # A second Ctrl+C must not cut the cleanup short.
    trap '' INT TERM
    trap - EXIT
    if [ -n "$monitor_pid" ]; then kill "$monitor_pid" 2>/dev/null || true; fi
    if [ -n "$run_pid" ]; then kill -TERM -- "-$run_pid" "$run_pid" 2>/dev/null || true; fi
    # Ends the launcher and the engine too when a run was interrupted: Wine
    # starts them detached from this script.
    if [ "$server_up" = 1 ]; then wineserver -k 2>/dev/null || true; fi
    rm -rf "$probe_dir" "$temp_dir"
    rmdir "$lock" 2>/dev/null || true
}
trap cleanup EXIT
trap 'echo "$me: interrupted" >&2; exit 130' INT
trap 'exit 143' TERM

rm -rf "$probe_dir" "$temp_dir"
mkdir -p "$probe_dir" "$temp_dir"
for f in report-engine32.exe report-engine64.exe exit-code-runner.exe; do
    cp "$(companion "$f")" "$probe_dir/$f"
done
mkpackage=$(companion mkpackage)
engine_image=$probe_dir/report-engine$bits.exe
runner=$probe_dir/exit-code-runner.exe

# --- the launcher -----------------------------------------------------------

le() { od -An --endian=little -tu"$3" -j "$2" -N "$3" "$1" | tr -d ' \n'; }
launcher=$probe_dir/${stub##*/}
cp "$stub" "$launcher"
[ "$(head -c 2 "$launcher")" = MZ ] || die "--stub $stub is no PE image (no MZ)"
pe=$(le "$launcher" 60 4)
[ -n "$pe" ] && [ "$(od -An -tx1 -j "$pe" -N 4 "$launcher" | tr -d ' \n')" = 50450000 ] ||
    die "--stub $stub is no PE image (no PE signature at the offset in 0x3C)"
[ "$(le "$launcher" $((pe + 4)) 2)" = 332 ] || die "--stub $stub is not an i386 image (stub32.exe)"
characteristics_at=$((pe + 4 + 18))
characteristics=$(le "$launcher" "$characteristics_at" 2)
if [ "$laa" = 1 ]; then
    # The PE checksum is left as it was: Windows checks it only for drivers
    # and boot-time images, never for programs, so the copy runs as a build
    # with the flag set would.
    patched=$((characteristics | 0x20))
    printf "\\$(printf %03o $((patched & 255)))\\$(printf %03o $((patched >> 8)))" |
        dd of="$launcher" bs=1 seek="$characteristics_at" conv=notrunc status=none
    launcher_name="${stub##*/} with large-address-aware set (patched copy)"
else
    launcher_name=${stub##*/}
fi
characteristics_now=$(le "$launcher" "$characteristics_at" 2)
[ $((characteristics_now & 0x20)) -ne 0 ] && aware=yes || aware=no
flags=$(printf 'COFF Characteristics 0x%04x' "$characteristics")
[ "$characteristics_now" = "$characteristics" ] || flags="$flags -> $(printf '0x%04x' "$characteristics_now")"

# --- Wine ------------------------------------------------------------------

to_wine() { printf 'Z:%s' "$1" | tr / '\\'; }
# One server for all probes: a Wine program starts faster with it running.
mkdir -p "$WINEPREFIX"
wineserver -p || die "wineserver -p failed in $WINEPREFIX"
server_up=1
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Preparing a Wine prefix in $WINEPREFIX (about 20 s, once)"
    wineboot -i >/dev/null 2>&1 || die "wineboot -i failed in $WINEPREFIX"
fi

# --- one probe -------------------------------------------------------------

corpus_list=$probe_dir/corpus.list
corpus_bytes=0
if [ "$kind" = typical ]; then
    find /usr/bin -maxdepth 1 -type f -readable -size +0 -print0 | LC_ALL=C sort -z >"$corpus_list"
    corpus_bytes=$(xargs -0 stat -c %s -- <"$corpus_list" | awk '{ n += $1 } END { print n + 0 }')
    [ "$corpus_bytes" -gt 1048576 ] || die "/usr/bin has too little to read for a typical engine"
fi

# Writes $1 bytes of bulk data.
bulk() {
    if [ "$kind" = incompressible ]; then
        head -c "$1" /dev/urandom
    else
        # As often as needed; the dictionary is far smaller than /usr/bin, so
        # a repetition packs like new code.  Stops at the first failure (the
        # broken pipe once head has enough).
        for _ in $(seq $(($1 / corpus_bytes + 1))); do
            xargs -0 cat -- <"$corpus_list" 2>/dev/null || exit 0
        done | head -c "$1"
    fi
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }
secs() { printf '%d.%d' $(($1 / 1000)) $(($1 % 1000 / 100)); }

# Follows the launcher's QEMU process (comm $1, the package's Windows path
# $2 right after the Wine loader on its command line, which tells it from the
# engine's copy of the same name) and keeps its latest VmHWM in $3.
watch_peak() {
    local pid="" hwm c
    while :; do
        if [ -z "$pid" ]; then
            for c in $(pgrep -x -- "$1" 2>/dev/null || true); do
                # The path through the environment: awk -v would take its
                # backslashes for escapes.
                if tr '\0' '\n' <"/proc/$c/cmdline" 2>/dev/null | WANTED="$2" \
                    awk 'prev ~ /\/wine$/ && $0 == ENVIRON["WANTED"] { f = 1 } { prev = $0 } END { exit !f }'; then
                    pid=$c
                    break
                fi
            done
        fi
        if [ -n "$pid" ]; then
            hwm=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$pid/status" 2>/dev/null || true)
            [ -n "$hwm" ] || return 0
            echo "$hwm" >"$3"
        fi
        sleep 0.2
    done
}

engine_exit=77
# Sets p_packed, p_exit, p_ok (1 = the engine ran), p_build, p_run, p_peak, p_runner.
probe() {
    local size=$1 bytes image_bytes name engine pkg out cl rc t0 t1 t2 report
    bytes=$((size * 1048576))
    image_bytes=$(stat -c %s "$engine_image")
    local free_kib
    free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
    [ "$free_kib" -gt $((bytes / 1024 * 2 + 1048576)) ] ||
        die "too little disk space in $work for a $size MiB probe (engine or package, plus the temporary copy)"
    name=$(printf 'pkg-%04d.exe' "$size")
    engine=$probe_dir/engine.exe
    pkg=$probe_dir/$name

    t0=$(now_ms)
    { cat "$engine_image"; bulk $((bytes - image_bytes)); } >"$engine"
    [ "$(stat -c %s "$engine")" = "$bytes" ] || die "could not make a $size MiB engine"
    local width_text=()
    [ "$bits" = 32 ] || width_text=(--wrong-width-text "This test package has a 64-bit engine only.")
    if ! out=$("$mkpackage" build --stub "$launcher" "--engine$bits" "$engine" "${width_text[@]}" \
        --allow all --preset "$preset" --dict "$dict" -o "$pkg" 2>&1); then
        printf '%s\n' "$out" >&2
        die "mkpackage could not build the $size MiB package"
    fi
    rm -f "$engine"
    p_packed=$(printf '%s\n' "$out" | sed -n "s/.*engine$bits [0-9]* -> \([0-9]*\) bytes.*/\1/p")
    [ -n "$p_packed" ] || { printf '%s\n' "$out" >&2; die "mkpackage did not say the packed size"; }
    if printf '%s\n' "$out" | grep -qi warning; then
        printf '%s\n' "$out" | grep -i warning | sed 's/^/    /' >&2
    fi
    t1=$(now_ms)

    rm -rf "$temp_dir" && mkdir -p "$temp_dir"
    rm -f "$pkg.report" "$probe_dir/peak"
    cl="\"$(to_wine "$pkg")\" /temp \"$(to_wine "$temp_dir")\" /exit=$engine_exit"
    watch_peak "$name" "$(to_wine "$pkg")" "$probe_dir/peak" &
    monitor_pid=$!
    rc=0
    # In the background, and waited for: the runner takes Ctrl+C as a console
    # event and carries on, and bash would run the trap only after it.  wait
    # returns at once instead, and the cleanup ends timeout's process group
    # (timeout makes one), the runner and whatever Wine started in it.  The
    # output goes to a file, not a pipe, which the launcher may inherit.
    E2E_COMMAND_LINE="$cl" timeout "$timeout_s" /usr/bin/time -f %M -o "$probe_dir/runner-rss" \
        "$wine64" "$runner" >"$probe_dir/runner-out" 2>/dev/null &
    run_pid=$!
    wait "$run_pid" || rc=$?
    run_pid=""
    t2=$(now_ms)
    kill "$monitor_pid" 2>/dev/null || true
    wait "$monitor_pid" 2>/dev/null || true
    monitor_pid=""

    p_exit=$(tr -d '\r' <"$probe_dir/runner-out" | sed -n 's/^exitcode=//p')
    if [ "$rc" = 124 ]; then
        p_exit=timeout
        # The launcher, which Wine starts detached from the runner, may
        # still be at work: end everything in the prefix, then start afresh.
        wineserver -k 2>/dev/null || true
        wineserver -p
    elif [ -z "$p_exit" ]; then
        p_exit="none(rc=$rc)"
    fi
    p_ok=0
    if [ "$p_exit" = "$engine_exit" ] && [ -f "$pkg.report" ]; then
        report=$(tr -d '\r' <"$pkg.report")
        if printf '%s\n' "$report" | grep -qx "bits=$bits" &&
            printf '%s\n' "$report" | grep -qx "self_size=$bytes"; then
            p_ok=1
        fi
    fi
    if [ "$p_exit" = "$engine_exit" ] && [ "$p_ok" = 0 ]; then p_exit="$p_exit(no report)"; fi
    p_build=$(secs $((t1 - t0)))
    p_run=$(secs $((t2 - t1)))
    p_peak=-
    [ -s "$probe_dir/peak" ] && p_peak=$(($(cat "$probe_dir/peak") / 1024))
    p_runner=-
    [ -s "$probe_dir/runner-rss" ] && p_runner=$(($(tail -n 1 "$probe_dir/runner-rss") / 1024))
    rm -rf "$pkg" "$pkg.report" "$temp_dir" "$probe_dir/peak" "$probe_dir/runner-rss" "$probe_dir/runner-out"
    mkdir -p "$temp_dir"

    local verdict=fails
    [ "$p_ok" = 1 ] && verdict=runs
    printf '%8s %12s %7s %-8s %-5s %8s %7s %10s %10s\n' "$size" "$p_packed" \
        "$(awk -v p="$p_packed" -v u="$bytes" 'BEGIN { printf "%.3f", p / u }')" "$p_exit" "$verdict" \
        "$p_build" "$p_run" "$p_peak" "$p_runner"
    if [ -n "$log" ]; then
        printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -Is)" "$launcher_name" \
            "$kind" "$bits" "$preset" "$dict" "$size" "$p_packed" "$p_exit" "$verdict" \
            "$p_build" "$p_run" "$p_peak" "$p_runner" >>"$log"
    fi
    declare -g "packed_$size=$p_packed" "exit_$size=$p_exit"
}

echo "launcher:   $launcher_name (large-address-aware: $aware; $flags)"
echo "engine:     $kind, $bits-bit (report-engine$bits.exe + bulk data after its image)"
echo "packing:    mkpackage --preset $preset --dict $dict"
[ "$kind" = typical ] && echo "bulk data:  /usr/bin, $corpus_bytes bytes, repeated as needed"
echo "work:       $work"
echo
printf '%8s %12s %7s %-8s %-5s %8s %7s %10s %10s\n' "size MiB" "packed bytes" ratio exit "" \
    "build s" "run s" "peak MiB" "runner MiB"

if [ -n "$sizes" ]; then
    best="" first_fail=""
    for s in $size_list; do
        probe "$s"
        if [ "$p_ok" = 1 ]; then
            if [ -z "$best" ] || [ "$s" -gt "$best" ]; then best=$s; fi
        elif [ -z "$first_fail" ] || [ "$s" -lt "$first_fail" ]; then
            first_fail=$s
        fi
    done
    echo
    echo "largest that ran:    ${best:-none}${best:+ MiB}"
    echo "smallest that failed: ${first_fail:-none}${first_fail:+ MiB (exit $(eval echo "\$exit_$first_fail"))}"
    exit 0
fi

if [ "$assume_ends" = 1 ]; then
    echo "(assumed, not probed: $lo MiB runs, $hi MiB fails)"
else
    probe "$lo"
    if [ "$p_ok" = 0 ]; then
        echo
        echo "result: even $lo MiB fails (exit $p_exit); try a lower range"
        exit 1
    fi
    probe "$hi"
    if [ "$p_ok" = 1 ]; then
        echo
        echo "result: $hi MiB still runs; the limit is $hi MiB or more"
        exit 0
    fi
fi
while [ $((hi - lo)) -gt "$step" ]; do
    mid=$(((lo + hi) / 2))
    probe "$mid"
    if [ "$p_ok" = 1 ]; then lo=$mid; else hi=$mid; fi
done
echo
lo_packed=$(eval echo "\${packed_$lo:-}") hi_exit=$(eval echo "\${exit_$hi:-}")
lo_note="assumed, not probed" hi_note="assumed, not probed"
[ -z "$lo_packed" ] || lo_note="packed $lo_packed bytes"
[ -z "$hi_exit" ] || hi_note="exit $hi_exit"
echo "result: largest that runs $lo MiB ($lo_note); first that fails $hi MiB ($hi_note)"
