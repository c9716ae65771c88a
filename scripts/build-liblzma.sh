#!/bin/sh
# Cross-compiles a static liblzma for one mingw target from Debian's
# xz-utils source package and installs it into a cache folder.
#
#   build-liblzma.sh HOST PREFIX [decoder|tool]
#       e.g. i686-w64-mingw32 build/win32/liblzma
#
# decoder (the default), for the launcher: only the raw LZMA1 decoder, no
# encoders, no threads, no xz tools, and --enable-small, because every byte
# of it ships inside each package.
# tool, for mkpackage.exe: the LZMA1 encoder and decoder with every match
# finder, built for speed.
# A finished PREFIX built with the same settings is left alone.
set -eu
host=$1
prefix=$(realpath -m "$2")
kind=${3:-decoder}
case $kind in
    decoder)
        # No unwind tables: the launcher has no exceptions to unwind, and on
        # i686 they are 2 KB of .eh_frame in every package.
        cflags="-Os -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables -fno-unwind-tables"
        features="--disable-encoders --enable-decoders=lzma1 --enable-match-finders= --enable-small"
        ;;
    tool)
        cflags="-O2"
        features="--enable-encoders=lzma1 --enable-decoders=lzma1"
        ;;
    *) echo "build-liblzma.sh: unknown kind '$kind' (decoder or tool)" >&2; exit 2 ;;
esac
stamp="$host $kind $cflags"
if [ -f "$prefix/lib/liblzma.a" ] && [ -f "$prefix/include/lzma.h" ] &&
   [ "$(cat "$prefix/settings" 2>/dev/null)" = "$stamp" ]; then
    exit 0
fi
rm -rf "$prefix"

work=$(realpath -m "$prefix/../liblzma-build")
rm -rf "$work"
mkdir -p "$work"
cd "$work"
# apt-get source unpacks with Debian's patches applied (dpkg-source -x).
apt-get source -qq xz-utils >/dev/null 2>&1 || {
    echo "build-liblzma.sh: 'apt-get source xz-utils' failed; run scripts/setup.sh first" >&2
    exit 1
}
src=$(find . -maxdepth 1 -type d -name 'xz-utils-*' | head -n 1)
[ -n "$src" ] || { echo "build-liblzma.sh: no xz-utils source folder" >&2; exit 1; }
cd "$src"
# shellcheck disable=SC2086  # $features is a list of options
CFLAGS="$cflags" ./configure -q \
    --host="$host" --prefix="$prefix" \
    --disable-shared --enable-static $features \
    --enable-checks=crc32 --disable-threads \
    --disable-microlzma --disable-lzip-decoder \
    --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo \
    --disable-lzma-links --disable-scripts --disable-doc --disable-nls >/dev/null
make -s -C src/liblzma -j"$(nproc)" >/dev/null
make -s -C src/liblzma install >/dev/null
rm -rf "$work"
test -f "$prefix/lib/liblzma.a"
echo "$stamp" > "$prefix/settings"
