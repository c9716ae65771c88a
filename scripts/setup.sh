#!/bin/sh
# Installs everything the build, the tests and the sample run need on a fresh
# Debian 12 machine, including a Wine that runs 32-bit Windows programs (the
# launcher users download is one).  Safe to run again: every step first looks
# whether it is done, and a second run changes and registers nothing.
#
# The steps, in the order that works (the order matters):
#   1. a deb-src twin of the archive (liblzma for Windows is built from
#      Debian's own xz-utils source) and a bookworm-backports source;
#   2. compilers, mingw-w64, 64-bit Wine, test tools, Xvfb;
#   3. QEMU's user-mode emulator from backports: these kernels cannot run
#      i386 Linux programs themselves, and Wine's 32-bit half is one;
#   4. binfmt_misc: i386 ELF programs are handed to /usr/bin/qemu-i386;
#   5. the i386 architecture and wine32:i386 (only after step 4: its package
#      scripts run i386 helpers);
#   6. a check that an i386 program really runs.
set -eu

say() { echo "setup.sh: $*"; }
fail() {
    echo "setup.sh: FAILED at step $step: $*" >&2
    exit 1
}

if [ "$(id -u)" -ne 0 ]; then
    echo "setup.sh: run as root (it installs Debian packages and registers binfmt_misc)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive

step="1 (package sources)"
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ \
   && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/debian-src.sources
    elif [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list \
            > /etc/apt/sources.list.d/debian-src.list
    else
        fail "no Debian archive found in /etc/apt to add a deb-src entry for"
    fi
    say "added a deb-src source"
fi
backports=/etc/apt/sources.list.d/bookworm-backports.sources
if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    cat > "$backports" <<'EOF'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    say "added the bookworm-backports source"
fi

step="2 (build and test packages)"
apt-get update -qq || fail "apt-get update"
apt-get install -y -qq --no-install-recommends \
    build-essential cmake ninja-build pkg-config dpkg-dev \
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 \
    libgtest-dev libgmock-dev libbenchmark-dev liblzma-dev xz-utils \
    clang llvm libfuzzer-14-dev libclang-rt-14-dev \
    wine wine64 osslsigncode openssl time \
    xvfb xdotool imagemagick x11-utils python3-pefile icoutils >/dev/null \
    || fail "apt-get install of the build and test packages"

step="3 (QEMU user-mode emulator from bookworm-backports)"
# Bookworm's own QEMU 7.2 also works, but a 32-bit Wine program then takes
# about 43 s to start instead of 3 s.
apt-get install -y -qq -t bookworm-backports qemu-user-static >/dev/null \
    || fail "apt-get install -t bookworm-backports qemu-user-static"
[ -x /usr/bin/qemu-i386 ] || fail "/usr/bin/qemu-i386 is missing after installing qemu-user-static"

step="4 (binfmt_misc registration of i386 programs)"
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null \
        || fail "cannot mount binfmt_misc at $binfmt (a container needs the privilege to do so)"
fi
if [ ! -e "$binfmt/qemu-i386" ]; then
    # The standard qemu-i386 magic and mask (ELF, 32-bit, little-endian,
    # executable or shared object, machine i386).  The package ships no i386
    # entry on an x86-64 host.  Flag F opens the interpreter now, so the
    # registration keeps working inside other mount namespaces.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
        > "$binfmt/register" 2>/dev/null || fail "the kernel refused the qemu-i386 registration"
    say "registered i386 programs with /usr/bin/qemu-i386"
fi
grep -qx enabled "$binfmt/qemu-i386" || echo 1 > "$binfmt/qemu-i386" \
    || fail "cannot enable the qemu-i386 registration"
grep -qx 'interpreter /usr/bin/qemu-i386' "$binfmt/qemu-i386" \
    || fail "i386 programs are registered with another interpreter: $(sed -n 's/^interpreter //p' "$binfmt/qemu-i386")"

step="5 (wine32:i386)"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386 || fail "dpkg --add-architecture i386"
    apt-get update -qq || fail "apt-get update after adding i386"
    say "added the i386 architecture"
fi
# --no-remove: if wine32 cannot be installed beside what is there, say so
# rather than let apt take the 64-bit Wine away.
apt-get install -y -qq --no-remove wine32:i386 >/dev/null || fail "apt-get install wine32:i386"

step="6 (an i386 program runs)"
/usr/lib/wine/wine --version >/dev/null 2>&1 \
    || fail "Wine's 32-bit loader /usr/lib/wine/wine does not run (binfmt_misc or QEMU)"

say "all build and test dependencies are installed; Wine runs 32-bit programs"
