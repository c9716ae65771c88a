#!/bin/sh
# Builds bench_extraction (host preset) and runs it: the launcher's
# extraction of 1, 16 and 128 MiB engines on real files against xz, peak
# memory, and the CRC-32's throughput.  Figures only; takes two to three
# minutes, most of it compressing the packages.  Run it on a quiet machine.
#
#   scripts/bench.sh [bench_extraction options]
#   e.g. scripts/bench.sh --sizes 1,16 --repeat 5 --preset 6
set -eu
cd "$(dirname "$0")/.."
cmake --preset host >/dev/null
cmake --build --preset host --target bench_extraction -j "${JOBS:-2}"
exec build/host/bench/bench_extraction "$@"
