#!/usr/bin/env bash
# WebSocket rows, side by side with Node's `ws` (Debian's node-ws) on
# loopback: the host interface's echo route (bench/websocket_host.cpp) and a
# Node echo server (bench/websocket_echo.js), each on core 0 with the load
# client (bench/websocket_client.cpp) on core 1.
#
#   bench/websocket.sh [--duration SECONDS] [--idle COUNT]
#
# Rows: message round trips per second with 50 connections of 64-byte
# messages (and per CPU-second of the server), then COUNT idle WebSockets
# (default 10000): the server's resident memory per connection.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=$repo/build-bench
duration=10
idle_count=10000
while [ $# -gt 0 ]; do
  case $1 in
    --duration) duration=$2; shift 2 ;;
    --idle) idle_count=$2; shift 2 ;;
    *) echo "usage: bench/websocket.sh [--duration SECONDS] [--idle COUNT]" >&2; exit 2 ;;
  esac
done
python=/usr/bin/python3
stats() { "$python" -S "$here/proc_stats.py" "$@"; }
log() { echo "websocket.sh: $*" >&2; }

command -v node >/dev/null && [ -d /usr/share/nodejs/ws ] || {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nodejs node-ws >/dev/null
}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKO_TESTS=OFF -DVELKO_BENCH=ON "${launcher[@]}" >/dev/null
cmake --build "$build" --target websocket_host websocket_client -j "$(nproc)" >/dev/null
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"

work=$(mktemp -d "${TMPDIR:-/tmp}/velko-ws-bench.XXXXXX")
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  exec 3>&- 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root"

# Starts one server on core 0; sets server_pid and port.
start() {
  local name=$1
  rm -f "$work/in" "$work/out"
  mkfifo "$work/in"
  case $name in
    velko) taskset -c 0 "$build/bench/websocket_host" "$work/root" 0 <"$work/in" >"$work/out" 2>"$work/err" & ;;
    node) NODE_PATH=/usr/share/nodejs taskset -c 0 node "$here/websocket_echo.js" 0 <"$work/in" >"$work/out" \
            2>"$work/err" & ;;
  esac
  server_pid=$!
  exec 3>"$work/in"
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^ws port \([0-9]*\)$/\1/p' "$work/out" 2>/dev/null | head -1)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { log "$name did not start"; cat "$work/err" >&2; exit 1; }
}

stop() {
  exec 3>&-
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}

client=$build/bench/websocket_client
printf '%-8s %14s %16s %18s\n' server "messages/s" "per CPU-second" "KiB per idle conn"
for name in velko node; do
  start "$name"
  "$client" -c 50 -d 1 -s 64 "ws://127.0.0.1:$port/ws/echo" >/dev/null  # warm up
  cpu0=$(stats cpu "$server_pid")
  out=$(taskset -c 1 "$client" -c 50 -d "$duration" -s 64 "ws://127.0.0.1:$port/ws/echo")
  cpu1=$(stats cpu "$server_pid")
  rate=$(sed -n 's/^Requests\/sec: *\([0-9.]*\)$/\1/p' <<<"$out")
  if grep -q "Socket errors\|Non-2xx" <<<"$out"; then log "$name: $(grep 'Socket errors\|Non-2xx' <<<"$out")"; fi
  per_cpu=$("$python" -c "import sys; r,a,b,d=map(float,sys.argv[1:]); print(f'{r*d/max(b-a,1e-9):.0f}')" \
            "$rate" "$cpu0" "$cpu1" "$duration")
  stop

  # Idle: a fresh server, so the echo run's buffers do not hide the cost.
  start "$name"
  before=$(stats rss "$server_pid")
  taskset -c 1 "$client" -c "$idle_count" -d 600 --hold "ws://127.0.0.1:$port/ws/echo" >"$work/hold" 2>&1 &
  holder=$!
  for _ in $(seq 1200); do grep -q '^open' "$work/hold" && break; sleep 0.1; done
  sleep 1
  after=$(stats rss "$server_pid")
  opened=$(sed -n 's/^open \([0-9]*\)$/\1/p' "$work/hold")
  kill "$holder" 2>/dev/null || true
  wait "$holder" 2>/dev/null || true
  per_conn=$("$python" -c "import sys; b,a,n=map(float,sys.argv[1:]); print(f'{(a-b)/max(n,1):.2f}')" \
             "$before" "$after" "${opened:-0}")
  [ "${opened:-0}" = "$idle_count" ] || log "$name: only ${opened:-0} of $idle_count idle connections opened"
  stop
  printf '%-8s %14.0f %16s %18s\n' "$name" "$rate" "$per_cpu" "$per_conn"
done
