#!/usr/bin/env bash
# Builds a static libnghttp2 (the library only: no applications, tools or
# examples) for 64-bit Windows from Debian's own nghttp2 source package with
# the mingw-w64 cross-compiler, into third_party-build/nghttp2-mingw64/
# (include/nghttp2/, lib/libnghttp2.a). Code using it defines
# NGHTTP2_STATICLIB. A finished build there is reused; delete the folder to
# build again. About 20 to 40 seconds on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
prefix="$root/third_party-build/nghttp2-mingw64"
if [ -f "$prefix/lib/libnghttp2.a" ] && [ -f "$prefix/include/nghttp2/nghttp2.h" ]; then
  echo "nghttp2 for mingw64 already built in $prefix"
  exit 0
fi
scripts/install-deps-windows.sh
. scripts/debian-source.sh
fetch_debian_source nghttp2

# mingw-w64 has both clock_gettime and GetTickCount64; with both, this
# version's nghttp2_time.c calls a fallback it has not defined (the archive
# builds, a program using it does not link). Told there is no
# clock_gettime, it takes GetTickCount64, Windows' own monotonic clock.
step cmake -S "$src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DENABLE_LIB_ONLY=ON -DENABLE_STATIC_LIB=ON -DENABLE_SHARED_LIB=OFF \
  -DENABLE_DOC=OFF -DENABLE_FAILMALLOC=OFF -DWITH_LIBXML2=OFF -DWITH_JEMALLOC=OFF \
  -DHAVE_CLOCK_GETTIME=OFF
step cmake --build "$work/build" -j "$(nproc)" --target nghttp2_static
# Installed beside the final folder and moved in whole, so that an
# interrupted run never leaves a folder that looks finished. Only the
# library directory's rules: the header, the archive, its pkg-config file.
stage="$prefix.partial"
rm -rf "$stage" "$prefix"
step cmake --install "$work/build/lib" --prefix "$stage"
mv "$stage" "$prefix"
rm -rf "$work"
echo "nghttp2 for mingw64 built in $prefix"
