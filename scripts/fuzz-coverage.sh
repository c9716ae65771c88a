#!/bin/sh
# Measures what the fuzzers reach: builds the fuzz targets with clang's
# source-based coverage (preset "fuzz-coverage", in build/fuzz-coverage),
# replays for each target its corpus (build/fuzz/corpus/<target>, which may
# be missing or empty) and a fresh set of seeds (make_seeds), merges the
# profiles and reports line and branch coverage of the launcher's logic
# (src/ without src/StubCore/win32/, which only Windows runs).
#
#   scripts/fuzz-coverage.sh                 measure the corpus as it stands
#   scripts/fuzz-coverage.sh --fuzz SECONDS  run scripts/fuzz.sh SECONDS first
#
# Writes build/fuzz-coverage/report/:
#   summary.txt          per file: lines and branches reached, all targets
#                        together and each target alone (printed at the end)
#   unreached-lines.txt  every line no input reached: file:line and its text
#   one-way-branches.txt every decision reached but taken only one way
#   html/index.html      llvm-cov's annotated sources, with branch counts
#   all.lcov             the merged counts, for other tools
#
# Exits nonzero when the build, a tool or a fuzz target fails (a replayed
# input that crashes is named in summary.txt and counted without it), never
# because of a coverage figure.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

usage() {
    echo "usage: scripts/fuzz-coverage.sh [--fuzz SECONDS_PER_TARGET]" >&2
    exit 2
}
fuzz_seconds=
while [ $# -gt 0 ]; do
    case $1 in
        --fuzz) [ $# -ge 2 ] || usage; fuzz_seconds=$2; shift 2 ;;
        --fuzz=*) fuzz_seconds=${1#--fuzz=}; shift ;;
        *) usage ;;
    esac
done
case $fuzz_seconds in
    '') ;;
    *[!0-9]*) usage ;;
esac

targets="records decoder cmdline launcher"
jobs=${JOBS:-$(nproc)}
build=build/fuzz-coverage
bin=$build/fuzz
work=$build/replay
report=$build/report

failed=0
if [ -n "$fuzz_seconds" ]; then
    # A crash the fuzzers find is theirs to report; the corpus they grew is
    # still worth measuring, so the failure is only remembered.
    scripts/fuzz.sh "$fuzz_seconds" || failed=1
fi

cmake --preset fuzz-coverage >/dev/null
cmake --build --preset fuzz-coverage -j "$jobs"

rm -rf "$work" "$report"
mkdir -p "$work/raw" "$work/logs" "$report"

# make_seeds is built with the same instrumentation; its own profile is not
# part of the measure.
LLVM_PROFILE_FILE="$work/make_seeds.profraw" "$bin/make_seeds" "$work/seeds" >/dev/null
rm -f "$work/make_seeds.profraw"

# Replays inputs; true when the fuzz target ended normally.  %p keeps the
# profiles of several processes apart.
replay() {
    target=$1
    shift
    LLVM_PROFILE_FILE="$root/$work/raw/$target.%p.profraw" \
        "$bin/fuzz_$target" "$@" -runs=0 >>"$work/logs/$target.log" 2>&1
}

crashes=
inputs_line=
for target in $targets; do
    corpus=build/fuzz/corpus/$target
    seeds=$work/seeds/$target
    set -- "$seeds"
    count=$(find "$seeds" -type f | wc -l)
    corpus_count=0
    if [ -d "$corpus" ]; then
        set -- "$corpus" "$seeds"
        corpus_count=$(find "$corpus" -type f | wc -l)
    fi
    inputs_line="$inputs_line $target $corpus_count+$count,"
    if ! replay "$target" "$@"; then
        # An input that ends the process also loses the profile of every
        # input before it: replay them one by one to keep the rest and name
        # the culprits.
        rm -f "$work/raw/$target".*.profraw
        for input in $(find "$@" -type f | sort); do
            replay "$target" "$input" || crashes="$crashes $input"
        done
    fi
done

# One profile per target, and their sum.
objects=
profiles=
first=
for target in $targets; do
    if ls "$work/raw/$target".*.profraw >/dev/null 2>&1; then
        llvm-profdata merge -sparse "$work/raw/$target".*.profraw -o "$work/$target.profdata"
        profiles="$profiles $work/$target.profdata"
        if [ -z "$first" ]; then first=$bin/fuzz_$target; else objects="$objects -object $bin/fuzz_$target"; fi
    fi
done
if [ -z "$profiles" ]; then
    echo "fuzz-coverage: no profile was written; see $work/logs/" >&2
    exit 1
fi
# shellcheck disable=SC2086
llvm-profdata merge -sparse $profiles -o "$work/all.profdata"

# Only the launcher's logic: llvm-cov takes source paths to report on.
filter="$root/src -ignore-filename-regex=/src/StubCore/win32/"

# llvm-cov over all four targets.  An inline function that a target compiles
# but never calls (ExpectedFileSize, the fuzzers' LoadU32...) has an empty
# record in that binary, which llvm-cov counts as "mismatched data" while it
# takes the function's counts from the targets that call it; only that
# warning is dropped (HTML output colours it, whatever the options say).
escape=$(printf '\033')
cov() {
    status=0
    llvm-cov "$@" 2>"$work/llvm-cov.err" || status=$?
    sed "s/$escape\[[0-9;]*m//g" "$work/llvm-cov.err" |
        grep -v -e '^warning: [0-9]* functions have mismatched data$' -e '^$' >&2 || true
    return "$status"
}

# Per file: lines found and hit, branch directions found and hit.
lcov_totals() {
    awk -v root="$root/" '
        /^SF:/ { file = substr($0, 4); sub("^" root, "", file) }
        /^LF:/ { lf = substr($0, 4) }
        /^LH:/ { lh = substr($0, 4) }
        /^BRF:/ { brf = substr($0, 5) }
        /^BRH:/ { brh = substr($0, 5) }
        /^end_of_record/ { print file, lf, lh, brf, brh; lf = lh = brf = brh = 0 }
    ' "$1"
}

# shellcheck disable=SC2086
cov export -format=lcov "$first" $objects -instr-profile="$work/all.profdata" $filter \
    >"$report/all.lcov"
lcov_totals "$report/all.lcov" | sort >"$work/all.totals"
totals=
for target in $targets; do
    if [ -f "$work/$target.profdata" ]; then
        # shellcheck disable=SC2086
        cov export -format=lcov "$bin/fuzz_$target" -instr-profile="$work/$target.profdata" \
            $filter >"$work/$target.lcov"
        lcov_totals "$work/$target.lcov" | sort >"$work/$target.totals"
    else
        : >"$work/$target.totals"
    fi
    totals="$totals $work/$target.totals"
done

{
    echo "Coverage of the launcher's logic (src/ without src/StubCore/win32/) by the fuzz targets"
    echo "$(date '+%Y-%m-%d %H:%M'); inputs replayed (corpus+seeds):${inputs_line%,}"
    echo
    echo "All targets together"
    awk '
        function pct(hit, found) { return found ? sprintf("%6.1f%%", 100 * hit / found) : "      -" }
        BEGIN { printf "%-34s %19s   %19s\n", "file", "lines", "branches" }
        {
            printf "%-34s %5d/%-5d %s   %5d/%-5d %s\n", $1, $3, $2, pct($3, $2), $5, $4, pct($5, $4)
            lf += $2; lh += $3; brf += $4; brh += $5
        }
        END {
            printf "%-34s %5d/%-5d %s   %5d/%-5d %s\n", "TOTAL", lh, lf, pct(lh, lf), brh, brf, pct(brh, brf)
        }
    ' "$work/all.totals"
    echo
    echo "Each target alone: lines % / branches %"
    # One column per target, joined on the file name.
    # shellcheck disable=SC2086
    awk -v targets="$targets" '
        function pct(hit, found) { return found ? sprintf("%.0f", 100 * hit / found) : "-" }
        BEGIN { n = split(targets, t, " ") }
        FNR == 1 { k++ }
        {
            files[$1] = 1
            cell[$1, k] = sprintf("%s/%s", pct($3, $2), pct($5, $4))
            lf[k] += $2; lh[k] += $3; brf[k] += $4; brh[k] += $5
        }
        END {
            printf "%-34s", "file"
            for (i = 1; i <= n; i++) printf " %11s", t[i]
            printf "\n"
            m = 0
            for (f in files) list[++m] = f
            for (i = 2; i <= m; i++)
                for (j = i; j > 1 && list[j - 1] > list[j]; j--) { s = list[j]; list[j] = list[j - 1]; list[j - 1] = s }
            for (i = 1; i <= m; i++) {
                printf "%-34s", list[i]
                for (j = 1; j <= n; j++) printf " %11s", ((list[i], j) in cell) ? cell[list[i], j] : "-"
                printf "\n"
            }
            printf "%-34s", "TOTAL"
            for (j = 1; j <= n; j++) printf " %11s", pct(lh[j], lf[j]) "/" pct(brh[j], brf[j])
            printf "\n"
        }
    ' $totals
    if [ -n "$crashes" ]; then
        echo
        echo "Inputs that ended their fuzz target (left out of the figures):"
        for input in $crashes; do echo "  $input"; done
    fi
} >"$report/summary.txt"

# Unreached lines with their text, by file and line; a blank line between
# groups of adjacent lines.
awk -v root="$root/" '
    /^SF:/ { path = substr($0, 4); file = path; sub("^" root, "", file); n = 0
             while ((getline text < path) > 0) source[++n] = text
             close(path) }
    /^DA:/ {
        split(substr($0, 4), f, ",")
        if (f[2] == "0") printf "%s:%d: %s\n", file, f[1], source[f[1] + 0]
    }
' "$report/all.lcov" | sort -t: -k1,1 -k2,2n |
    awk -F: '{ if (NR > 1 && ($1 != file || $2 != line + 1)) print ""; file = $1; line = $2; print }' \
    >"$report/unreached-lines.txt"

# Decisions reached but taken one way only, from llvm-cov's annotated text.
# shellcheck disable=SC2086
cov show "$first" $objects -instr-profile="$work/all.profdata" -show-branches=count $filter \
    >"$work/annotated.txt"
awk -v root="$root/" '
    /^\/.*:$/ { file = substr($0, 1, length($0) - 1); sub("^" root, "", file); next }
    /^ *[0-9]+\|/ { text = $0; sub(/^ *[0-9]+\|[^|]*\| */, "", text); next }
    /Branch \(/ {
        if ($0 ~ /Folded/) next
        t = $0; sub(/.*True: /, "", t); sub(/,.*/, "", t)
        f = $0; sub(/.*False: /, "", f); sub(/\].*/, "", f)
        if ((t == "0") == (f == "0")) next
        where = $0; sub(/.*Branch \(/, "", where); sub(/\).*/, "", where)
        printf "%s:%s: only %s: %s\n", file, where, t == "0" ? "false" : "true", text
    }
' "$work/annotated.txt" | sort -t: -k1,1 -k2,2n -k3,3n >"$report/one-way-branches.txt"

# shellcheck disable=SC2086
cov show "$first" $objects -instr-profile="$work/all.profdata" -format=html \
    -show-branches=count -show-line-counts-or-regions -output-dir="$report/html" $filter

cat "$report/summary.txt"
echo
echo "$(grep -c . "$report/unreached-lines.txt" || true) unreached lines: $report/unreached-lines.txt"
echo "$(grep -c . "$report/one-way-branches.txt" || true) decisions taken one way only: $report/one-way-branches.txt"
echo "annotated sources: $report/html/index.html"
if [ -n "$crashes" ]; then
    echo "fuzz-coverage: some inputs ended their fuzz target; see $report/summary.txt" >&2
    failed=1
fi
exit "$failed"
