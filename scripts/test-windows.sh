#!/usr/bin/env bash
# The Windows x64 build and its tests: installs what it needs, builds
# OpenSSL, libxcrypt, brotli and nghttp2 for mingw64 once
# (third_party-build/; zlib is Debian's libz-mingw-w64-dev), cross-builds
# everything into build-windows/ and runs the Windows tests under Wine
# through CTest. Exit status 0 only when all of them pass.
#   scripts/test-windows.sh          build and test
#   scripts/test-windows.sh build    cross build only, no tests
# Tests that cannot run under Wine carry the label "windows-excluded" (the
# reason is beside each exclusion in tests/<subsystem>/CMakeLists.txt).
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-}"
scripts/install-deps-windows.sh
scripts/build-openssl-windows.sh
scripts/build-libxcrypt-windows.sh
scripts/build-brotli-windows.sh
scripts/build-nghttp2-windows.sh
dir=build-windows
export WINEDEBUG=-all
# One Wine prefix per tree, made on the first run; a persistent wineserver
# for the run, so each test program starts in a fraction of a second
# instead of seconds.
export WINEPREFIX="${WINEPREFIX:-$PWD/$dir/wine-prefix}"
mkdir -p "$dir" "$WINEPREFIX"
# A wineserver left running for this prefix serves the run as well.
wineserver -p 2>/dev/null || true
trap 'wineserver -k || true' EXIT
# The prefix is made before the build runs test programs to list their tests.
wine wineboot --init >/dev/null 2>&1 || true
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DVELKO_BENCH=OFF \
  -DVELKO_TESTS="$([ "$mode" = build ] && echo OFF || echo ON)" >/dev/null
cmake --build "$dir" -j "$(nproc)"
[ "$mode" = build ] && exit 0
# Every test that is not excluded, and the DLL and example checks;
# VELKO_WINDOWS_LABELS=<regex> runs only the tests with a matching label.
# Two tests have each hung once under Wine, in a full run on a loaded
# machine, and never in dozens of runs alone (an outgoing exchange with a
# silent peer; a WebSocket session at exit): until the cause is found, a test
# that fails is run once more, and the log still shows its first failure.
ctest --test-dir "$dir" --output-on-failure -j 2 --timeout 120 --repeat until-pass:2 \
  -LE windows-excluded -L "${VELKO_WINDOWS_LABELS:-.}"
