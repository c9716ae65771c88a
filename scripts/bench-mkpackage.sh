#!/bin/sh
# How fast mkpackage is, in figures only: nothing passes or fails on time.
#
#   scripts/bench-mkpackage.sh [--size MiB] [--repeat N] [--preset 0-9]
#   scripts/bench-mkpackage.sh --two-engines [--size MiB] [--repeat N] [--preset 0-9]
#
# Without --two-engines: `mkpackage verify` and `mkpackage extract` (its
# fsync included) of a package with one engine of SIZE MiB (default 100),
# against `xz --format=raw -d` writing the engine to a file in the same
# folder, all in one run, interleaved, REPEAT times (default 5); prints the
# medians and the ratios.
#
# With --two-engines: `mkpackage build` of a package with two engines of
# SIZE MiB each, packed one after the other (--jobs 1) and side by side (the
# default), interleaved, REPEAT times; prints the medians and their ratio,
# and fails if the two packages differ in any byte.
#
# The engines are made of the machine's own programs and libraries (real
# x86-64 code and data), packed with mkpackage's default preset 6 unless
# --preset says otherwise (preset 6 takes about a minute for 100 MiB).
set -eu
cd "$(dirname "$0")/.."
size=100
repeat=5
preset=6
two=
while [ $# -gt 0 ]; do
    case $1 in
        --two-engines) two=1; shift ;;
        --size) size=$2; shift 2 ;;
        --repeat) repeat=$2; shift 2 ;;
        --preset) preset=$2; shift 2 ;;
        *) echo "usage: scripts/bench-mkpackage.sh [--two-engines] [--size MiB] [--repeat N] [--preset 0-9]" >&2; exit 2 ;;
    esac
done
cmake --preset host >/dev/null
cmake --build --preset host --target mkpackage -j "${JOBS:-2}" >/dev/null
mkpackage=$(pwd)/build/host/tools/mkpackage/mkpackage
work=$(pwd)/build/bench-mkpackage
mkdir -p "$work"
cd "$work"

machine_bytes() {  # the machine's programs and libraries, one after another
    for f in /usr/lib/x86_64-linux-gnu/*.so* /usr/bin/*; do
        [ -f "$f" ] && cat "$f"
    done 2>/dev/null
}
if [ ! -f "engine-$size.bin" ]; then
    machine_bytes | head -c $((size * 1024 * 1024)) > "engine-$size.bin"
fi

seconds() {  # runs "$@", prints its wall time in seconds
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}
median() { grep "^$1 " times | cut -d' ' -f2 | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { print a / b }'; }
# Runs "$@" $repeat times into a fresh times file: one round of "name
# seconds" lines each, the candidates taking turns.
rounds() {
    : > times
    i=0
    while [ "$i" -lt "$repeat" ]; do
        "$@" >> times
        i=$((i + 1))
    done
}

if [ -n "$two" ]; then
    # The second engine: the next SIZE MiB of the same bytes, so that both
    # are real code of the same size, and not the same code.
    if [ ! -f "engine-$size-b.bin" ]; then
        machine_bytes | tail -c +$((size * 1024 * 1024 + 1)) | head -c $((size * 1024 * 1024)) > "engine-$size-b.bin"
    fi
    build() {  # $1: --jobs value, $2: output
        "$mkpackage" build --engine32 "engine-$size.bin" --engine64 "engine-$size-b.bin" --allow all \
            --preset "$preset" --jobs "$1" -o "$2" >/dev/null 2>&1
    }
    two_engine_round() {
        echo "sequential $(seconds build 1 sequential.exe)"
        echo "sidebyside $(seconds build 2 sidebyside.exe)"
    }
    rounds two_engine_round
    cmp -s sequential.exe sidebyside.exe || { echo "bench: the two builds differ" >&2; exit 1; }
    seq=$(median sequential)
    par=$(median sidebyside)
    echo
    echo "mkpackage build, two engines of $size MiB each (preset $preset, $(nproc) cores), median of $repeat"
    printf '  %-34s %8.2f s\n' "one after the other (--jobs 1)" "$seq"
    printf '  %-34s %8.2f s   %.2fx\n' "side by side (default)" "$par" "$(ratio "$par" "$seq")"
    echo "  the two packages are byte-identical ($(wc -c < sidebyside.exe) bytes)"
    rm -f sequential.exe sidebyside.exe
    exit 0
fi
package=package-$size-p$preset.exe
if [ ! -f "$package" ]; then
    echo "bench: building a package of a $size MiB engine with preset $preset..." >&2
    "$mkpackage" build --engine64 "engine-$size.bin" --allow all --preset "$preset" -o "$package" >/dev/null 2>&1
fi
# The raw stream, for xz.
set -- $("$mkpackage" inspect --json "$package" | sed -n 's/.*"engine64": {"offset": \([0-9]*\), "packedSize": \([0-9]*\).*/\1 \2/p')
offset=$1
packed=$2
tail -c +$((offset + 1)) "$package" | head -c "$packed" > raw.lzma

xz_decode() { xz --format=raw --lzma1=lc=3,lp=0,pb=2,dict=4MiB -d -c raw.lzma > xz-out.bin 2>/dev/null || true; }
verify() { "$mkpackage" verify "$package" >/dev/null; }
extract() { "$mkpackage" extract "$package" --engine64 -o extract-out.bin >/dev/null; }

decode_round() {
    echo "xz $(seconds xz_decode)"
    echo "verify $(seconds verify)"
    echo "extract $(seconds extract)"
}
rounds decode_round
cmp -s extract-out.bin "engine-$size.bin" || { echo "bench: extract did not give the engine back" >&2; exit 1; }
cmp -s xz-out.bin "engine-$size.bin" || { echo "bench: xz did not give the engine back" >&2; exit 1; }
rm -f xz-out.bin extract-out.bin

xz=$(median xz)
v=$(median verify)
e=$(median extract)
echo
echo "mkpackage vs xz --format=raw -d, one $size MiB engine ($packed packed bytes, preset $preset), median of $repeat"
printf '  %-28s %8.2f s\n' "xz -d (to a file)" "$xz"
printf '  %-28s %8.2f s   %.2fx xz\n' "mkpackage verify" "$v" "$(ratio "$v" "$xz")"
printf '  %-28s %8.2f s   %.2fx xz\n' "mkpackage extract (+fsync)" "$e" "$(ratio "$e" "$xz")"
