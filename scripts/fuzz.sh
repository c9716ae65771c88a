#!/bin/sh
# Builds the libFuzzer targets (clang, ASan, UBSan; preset "fuzz"), writes
# their starting inputs (real packages from the package writer) and runs each
# target for SECONDS_PER_TARGET seconds (default 5).  Prints the executions
# per target.  Exits nonzero when any target crashed, leaked, hung or broke
# an invariant; the input that did it is kept in build/fuzz/artifacts/ and
# the target's output in build/fuzz/logs/.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]     a few seconds in the test run,
#                                            hours for a real search
#   FUZZ_TARGETS="cmdline launcher" scripts/fuzz.sh 1800
#                                            only the targets named
# The corpus grows in build/fuzz/corpus/, so later runs start where earlier
# ones stopped.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-5}
jobs=${JOBS:-$(nproc)}
build=build/fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

rm -rf "$build/seeds"
# The resources target starts from the real launchers, when they are built.
"$build/fuzz/make_seeds" "$build/seeds" $(ls build/win32/stub32.exe build/win64/stub64.exe 2>/dev/null)
mkdir -p "$build/corpus" "$build/artifacts" "$build/logs"

export UBSAN_OPTIONS="print_stacktrace=1:${UBSAN_OPTIONS:-}"
failed=0
for target in ${FUZZ_TARGETS:-records decoder cmdline launcher resources}; do
    [ -x "$build/fuzz/fuzz_$target" ] || { echo "fuzz.sh: no target named $target" >&2; exit 2; }
    case $target in
        cmdline) dict=fuzz/cmdline.dict ;;
        resources) dict=fuzz/resources.dict ;;
        *) dict=fuzz/launcher.dict ;;
    esac
    corpus=$build/corpus/$target
    log=$build/logs/$target.log
    mkdir -p "$corpus"
    status=0
    "$build/fuzz/fuzz_$target" "$corpus" "$build/seeds/$target" \
        -dict="$dict" -max_total_time="$seconds" -timeout=25 \
        -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 \
        >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log")
    if [ "$status" -ne 0 ]; then
        echo "fuzz_$target: FAILED (exit $status) after ${runs:-?} runs; output in $log"
        grep -E 'ERROR|invariant|SUMMARY|Test unit written' "$log" | head -20 || true
        failed=1
    else
        echo "fuzz_$target: ${runs:-?} runs in $seconds s, no crash"
    fi
done
exit "$failed"
