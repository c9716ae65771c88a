#!/bin/sh
# Sets everything up and runs every test: unit tests against the simulated
# Windows, end-to-end tests of stub32.exe (under WOW64) and stub64.exe under
# Wine, message boxes as real windows on a virtual display, checks of the shipped
# executables, the package builder's tests, and a short run of each fuzzer.
#
#   scripts/test.sh            (as root on a fresh Debian 12 machine)
#   SKIP_SETUP=1 scripts/test.sh   when the packages are already installed
#   FUZZ_SECONDS=0 scripts/test.sh to leave out the fuzzers
set -eu
cd "$(dirname "$0")/.."
if [ "${SKIP_SETUP:-0}" != 1 ]; then
    scripts/setup.sh
fi
scripts/build-all.sh
# The end-to-end tests share one Wine prefix; ctest serialises them with a
# resource lock, the rest run in parallel.
ctest --preset host -j "$(nproc)"
if [ "${FUZZ_SECONDS:-3}" != 0 ] && [ -x scripts/fuzz.sh ]; then
    scripts/fuzz.sh "${FUZZ_SECONDS:-3}"
fi
echo "scripts/test.sh: all tests passed"
