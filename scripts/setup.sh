#!/bin/sh
# Installs everything the build, the tests and the sample run need on a fresh
# Debian 12 machine.  Safe to run again: apt-get skips what is already there.
set -eu

if [ "$(id -u)" -ne 0 ]; then
    echo "setup.sh: run as root (it installs Debian packages)" >&2
    exit 1
fi

# liblzma for Windows is cross-compiled from Debian's own xz-utils source
# package, so apt needs a deb-src twin of the archive the machine already uses.
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ \
   && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/debian-src.sources
    elif [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list \
            > /etc/apt/sources.list.d/debian-src.list
    fi
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
    build-essential cmake ninja-build pkg-config dpkg-dev \
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 \
    libgtest-dev libgmock-dev libbenchmark-dev liblzma-dev xz-utils \
    clang libfuzzer-14-dev libclang-rt-14-dev \
    wine wine64 osslsigncode openssl time >/dev/null
echo "setup.sh: all build and test dependencies are installed"
