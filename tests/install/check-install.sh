#!/bin/sh
# Installs mkpackage as a user would, into a temporary prefix, and makes a
# Debian package of it; then the installed tool builds a package that
# verifies, and the Debian package holds the program and its manual page.
#
#   check-install.sh HOST_BUILD_DIR ENGINE
set -eu
build=$1
engine=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -x "$work/prefix/bin/mkpackage" || { echo "no bin/mkpackage after cmake --install"; exit 1; }
test -f "$work/prefix/share/man/man1/mkpackage.1" || { echo "no share/man/man1/mkpackage.1"; exit 1; }
# Nothing else is installed: tests, benchmarks and pefix stay in the build.
extra=$(cd "$work/prefix" && find . -type f | grep -v -e '^./bin/mkpackage$' -e '^./share/man/man1/mkpackage.1$' || true)
[ -z "$extra" ] || { echo "unexpected files installed: $extra"; exit 1; }

"$work/prefix/bin/mkpackage" --version
"$work/prefix/bin/mkpackage" build --engine64 "$engine" --allow all -o "$work/pkg.exe" >/dev/null
"$work/prefix/bin/mkpackage" verify "$work/pkg.exe" | tail -n 1
# The manual page is well-formed troff (groff warns on stderr otherwise).
if command -v groff >/dev/null; then
    warnings=$(groff -man -Tutf8 -ww -z "$work/prefix/share/man/man1/mkpackage.1" 2>&1)
    [ -z "$warnings" ] || { echo "mkpackage.1: $warnings"; exit 1; }
fi

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/mkpackage_*.deb)
contents=$(dpkg-deb -c "$deb")
echo "$contents" | grep -q ' ./usr/bin/mkpackage$' || { echo "the .deb lacks usr/bin/mkpackage: $contents"; exit 1; }
echo "$contents" | grep -q ' ./usr/share/man/man1/mkpackage.1' || { echo "the .deb lacks the manual page"; exit 1; }
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends" | grep -q liblzma5 || { echo "the .deb does not depend on liblzma5: $depends"; exit 1; }
echo "$(basename "$deb"): Depends: $depends"
