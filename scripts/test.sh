#!/usr/bin/env bash
# Installs what is needed, configures, builds and runs every test.
#   scripts/test.sh            plain build in build/
#   scripts/test.sh address    address + undefined-behaviour sanitizers in build-asan/
#   scripts/test.sh thread     thread sanitizer in build-tsan/ (the concurrent subsystems)
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-}"
scripts/install-deps.sh
case "$mode" in
  "")      dir=build;      flags=() ;;
  address) dir=build-asan; flags=(-DVELKO_SANITIZE=address -DVELKO_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
  # Only the folders whose tests are labelled "concurrent" are built.
  thread)  dir=build-tsan; flags=(-DVELKO_SANITIZE=thread -DVELKO_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
                                  "-DVELKO_TEST_DIRS=$(grep -l 'LABELS concurrent' tests/*/CMakeLists.txt | cut -d/ -f2 | paste -sd';')") ;;
  *) echo "usage: scripts/test.sh [address|thread]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
if [ "$mode" = thread ]; then
  # Thread sanitizer runs the subsystems whose point is concurrency.
  ctest --test-dir "$dir" --output-on-failure -j 2 -L concurrent
else
  ctest --test-dir "$dir" --output-on-failure -j 2
fi
