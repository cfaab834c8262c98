#!/usr/bin/env bash
# Builds a static libcrypt (libxcrypt: yescrypt, bcrypt, SHA-512 and the
# other hashes glibc's crypt(3) knows) for 64-bit Windows from Debian's own
# libxcrypt source package with the mingw-w64 cross-compiler, into
# third_party-build/libxcrypt-mingw64/ (include/crypt.h, lib/libcrypt.a), so
# that a password file made on Linux verifies the same on Windows. A
# finished build there is reused; delete the folder to build again. About
# 20 seconds on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
prefix="$root/third_party-build/libxcrypt-mingw64"
if [ -f "$prefix/lib/libcrypt.a" ] && [ -f "$prefix/include/crypt.h" ]; then
  echo "libxcrypt for mingw64 already built in $prefix"
  exit 0
fi
scripts/install-deps-windows.sh
# The deb-src entry is the one the OpenSSL build adds.
if [ -z "$(apt-cache showsrc libxcrypt 2>/dev/null)" ]; then
  echo "no source package for libxcrypt: run scripts/build-openssl-windows.sh first" >&2
  exit 1
fi

work="$root/third_party-build/libxcrypt-src"
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && apt-get source -qq libxcrypt >/dev/null)
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'libxcrypt-*' | head -n 1)
[ -n "$src" ] || { echo "apt-get source libxcrypt gave no source tree" >&2; exit 1; }

cd "$src"
# The source package ships no configure script; Debian's build makes it too.
autoreconf -fi >build.log 2>&1 || { tail -n 30 build.log >&2; exit 1; }
# Only the crypt_* interface (no glibc compatibility symbols, which a static
# Windows library has no use for). The random bytes for salts come from the
# caller: built for Windows, libxcrypt would open "/dev/urandom", no device
# there.
./configure --host=x86_64-w64-mingw32 --disable-shared --enable-static \
  --enable-hashes=strong,glibc --enable-obsolete-api=no --disable-xcrypt-compat-files \
  --disable-werror --prefix="$prefix" >>build.log 2>&1 || { tail -n 30 build.log >&2; exit 1; }
# Only the library and its header: the test programs and manual pages are
# not wanted here.
make -s -j "$(nproc)" libcrypt.la >>build.log 2>&1 || { tail -n 30 build.log >&2; exit 1; }
make -s install-libLTLIBRARIES install-nodist_includeHEADERS >/dev/null
cd "$root"
rm -rf "$work"
echo "libxcrypt for mingw64 built in $prefix"
