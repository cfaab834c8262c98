#!/usr/bin/env bash
# Installs the Debian packages that the Windows cross build and its tests
# under Wine need: the mingw-w64 compilers (posix threads variant, for
# std::thread), Wine, zlib for mingw (its static libz.a is linked in), and
# the tools that build OpenSSL, libxcrypt, brotli and nghttp2.
set -euo pipefail
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64 mingw-w64-tools
          wine wine64 libz-mingw-w64-dev googletest cmake make perl dpkg-dev openssl curl
          autoconf automake libtool)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
