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
# The deb-src entry is the one the OpenSSL build adds.
if [ -z "$(apt-cache showsrc nghttp2 2>/dev/null)" ]; then
  echo "no source package for nghttp2: run scripts/build-openssl-windows.sh first" >&2
  exit 1
fi

work="$root/third_party-build/nghttp2-src"
log="$work/build.log"
rm -rf "$work"
mkdir -p "$work"
# Runs one step with its output in the log; a failure shows the log's end.
step() {
  "$@" >>"$log" 2>&1 || { echo "failed: $*" >&2; tail -n 30 "$log" >&2; exit 1; }
}
(cd "$work" && step apt-get source nghttp2)
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'nghttp2-*' | head -n 1)
[ -n "$src" ] || { echo "apt-get source nghttp2 gave no source tree" >&2; exit 1; }

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
