#!/usr/bin/env bash
# Builds the reader's fuzz target with clang and runs it for a bounded time.
#   tests/reader/fuzz/run.sh [seconds] [build-dir]
# Defaults: 60 seconds, build-fuzz-reader/ in the repository. New inputs go
# to a temporary directory; the seed corpus in the repository is only read.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
seconds="${1:-60}"
build="${2:-$root/build-fuzz-reader}"
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKO_FUZZ=ON -DVELKO_SANITIZE=address \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" -DVELKO_BENCH=OFF \
  -DVELKO_SUBSYSTEMS="platform;foundation;xml;html;reader" >/dev/null
cmake --build "$build" -j "$(nproc)" --target reader_fuzz
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
"$build/tests/reader/reader_fuzz" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" "$work" "$here/corpus"
