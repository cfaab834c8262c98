#!/usr/bin/env bash
# Builds static OpenSSL libraries for 64-bit Windows from Debian's own
# openssl source package with the mingw-w64 cross-compiler, into
# third_party-build/openssl-mingw64/ (include/, lib/). A finished build
# there is reused; delete the folder to build again. About 2.5 minutes on
# two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
prefix="$root/third_party-build/openssl-mingw64"
if [ -f "$prefix/lib/libssl.a" ] && [ -f "$prefix/lib/libcrypto.a" ]; then
  echo "OpenSSL for mingw64 already built in $prefix"
  exit 0
fi
scripts/install-deps-windows.sh
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# The source package comes from the suite the machine already uses (its
# main archive: the security archive's sources are not always mirrored).
if [ -z "$(apt-cache showsrc openssl 2>/dev/null)" ]; then
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  $sudo tee /etc/apt/sources.list.d/velko-deb-src.sources >/dev/null <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  $sudo apt-get update -qq
fi

work="$root/third_party-build/openssl-src"
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && apt-get source -qq openssl >/dev/null)
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
[ -n "$src" ] || { echo "apt-get source openssl gave no source tree" >&2; exit 1; }

cd "$src"
./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- no-shared no-tests \
  --prefix="$prefix" --libdir=lib >/dev/null
make -s -j "$(nproc)" build_libs >/dev/null
make -s install_dev >/dev/null
cd "$root"
rm -rf "$work"
echo "OpenSSL for mingw64 built in $prefix"
