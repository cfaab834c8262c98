#!/usr/bin/env bash
# Builds static brotli libraries (common, dec, enc) for 64-bit Windows from
# Debian's own brotli source package with the mingw-w64 cross-compiler, into
# third_party-build/brotli-mingw64/ (include/brotli/, lib/libbrotlicommon.a,
# libbrotlidec.a, libbrotlienc.a). A finished build there is reused; delete
# the folder to build again. About 30 seconds on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
prefix="$root/third_party-build/brotli-mingw64"
libs=(brotlicommon brotlidec brotlienc)
finished=yes
for lib in "${libs[@]}"; do [ -f "$prefix/lib/lib$lib.a" ] || finished=no; done
if [ "$finished" = yes ] && [ -f "$prefix/include/brotli/encode.h" ]; then
  echo "brotli for mingw64 already built in $prefix"
  exit 0
fi
scripts/install-deps-windows.sh
. scripts/debian-source.sh
fetch_debian_source brotli

# Only the three static libraries: not the shared ones, the command-line
# program or the tests.
step cmake -S "$src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBROTLI_DISABLE_TESTS=ON
step cmake --build "$work/build" -j "$(nproc)" --target "${libs[@]/%/-static}"
# Put together beside the final folder and moved in whole, so that an
# interrupted run never leaves a folder that looks finished.
stage="$prefix.partial"
rm -rf "$stage" "$prefix"
mkdir -p "$stage/include" "$stage/lib"
cp -r "$src/c/include/brotli" "$stage/include/"
for lib in "${libs[@]}"; do cp "$work/build/lib$lib-static.a" "$stage/lib/lib$lib.a"; done
mv "$stage" "$prefix"
rm -rf "$work"
echo "brotli for mingw64 built in $prefix"
