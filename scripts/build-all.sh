#!/bin/sh
# Configures and builds the three variants, in the order they need: win32
# (stub32.exe, the product), win64 (stub64.exe, the test programs and
# mkpackage.exe, which carries stub32.exe too) and host (tests, benchmarks and
# mkpackage, which carries both launchers).  Artefacts:
# build/win32/stub32.exe, build/win64/stub64.exe, build/win64/mkpackage.exe,
# build/host/tools/mkpackage/mkpackage.
set -eu
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
for preset in win32 win64 host; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
done
