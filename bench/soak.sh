#!/usr/bin/env bash
# Soak under AddressSanitizer: builds the benchmark host with address and
# undefined-behaviour sanitizers in an optimised build of its own
# (build-soak/), then drives it through every kind of workload over HTTP and
# HTTPS (bench/soak.py). Fails on any sanitizer report, any non-2xx answer
# to a valid request, or a dead server.
#
#   bench/soak.sh [SECONDS] [BUILD-DIR]
# SECONDS: all workloads together (default 200). BUILD-DIR: an address
# sanitizer build already configured (CI passes build-asan/, which then needs
# only the benchmark host built); without it, build-soak/ is made.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
seconds=${1:-200}
build=${2:-$repo/build-soak}

for tool in wrk openssl php-cgi python3; do
  command -v "$tool" >/dev/null || { echo "soak: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
if [ -n "${2:-}" ]; then
  grep -q '^VELKO_SANITIZE:STRING=address$' "$build/CMakeCache.txt" 2>/dev/null ||
    { echo "soak: $build is not an address sanitizer build" >&2; exit 2; }
  cmake -S "$repo" -B "$build" -DVELKO_BENCH=ON >/dev/null
else
  cmake -S "$repo" -B "$build" -DVELKO_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKO_TESTS=OFF \
    -DVELKO_BENCH=ON "${launcher[@]}" >/dev/null
fi
cmake --build "$build" --target bench_host -j "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Every workload's clients hold descriptors, and so does the server.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
exec python3 "$here/soak.py" "$build/bench/bench_host" --seconds "$seconds"
