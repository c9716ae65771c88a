#!/bin/sh
# Configures and builds the three variants: host (tests, mkpackage,
# benchmarks), win32 (stub32.exe, the product) and win64 (stub64.exe and the
# test engines).  Artefacts: build/win32/stub32.exe, build/win64/stub64.exe,
# build/host/tools/mkpackage/mkpackage.
set -eu
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
for preset in win32 win64 host; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
done
