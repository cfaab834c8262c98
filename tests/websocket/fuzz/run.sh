#!/bin/sh
# Builds the WebSocket frame fuzz harness with clang and runs it for a bounded time
# (default 60 s, or the first argument) over the corpus in this folder.
# Fails on any crash, leak or sanitizer report.
# Usage: tests/websocket/fuzz/run.sh [seconds] [build-directory]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
seconds=${1:-60}
build=${2:-$root/build-fuzz-websocket}

cmake -S "$root" -B "$build" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVELKO_SUBSYSTEMS="platform;foundation;net;websocket" \
  -DVELKO_SANITIZE=address -DVELKO_FUZZ=ON -DVELKO_BENCH=OFF >/dev/null
cmake --build "$build" --target websocket_fuzz -j2

# New inputs go to a scratch folder so the corpus in the repository stays small.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$build/tests/websocket/fuzz/websocket_fuzz" \
  -max_total_time="$seconds" -max_len=2048 -timeout=10 -rss_limit_mb=2048 \
  -close_fd_mask=2 -print_final_stats=1 \
  "$work" "$here/corpus"
