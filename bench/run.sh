#!/usr/bin/env bash
# Benchmarks this server side by side with nginx and lighttpd on loopback and
# prints one table (see bench/README.md).
#
#   bench/run.sh [--quick] [--duration SECONDS] [--idle COUNT] [--servers "velko nginx lighttpd"]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=$repo/build-bench
duration=10
idle_count=10000
idle_seconds=5
servers="velko nginx lighttpd"
port_base=${BENCH_PORT_BASE:-28000}

while [ $# -gt 0 ]; do
  case $1 in
    --quick) duration=2; idle_seconds=3 ;;
    --duration) duration=$2; shift ;;
    --idle) idle_count=$2; shift ;;
    --servers) servers=$2; shift ;;
    *) sed -n '2,6p' "$0" >&2; exit 2 ;;
  esac
  shift
done

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
log() { echo "== $*" >&2; }

# --- packages -----------------------------------------------------------
missing=()
for pair in nginx:nginx-light lighttpd:lighttpd wrk:wrk php-cgi:php-cgi fcgiwrap:fcgiwrap \
            openssl:openssl curl:curl taskset:util-linux python3:python3 cmake:cmake g++:g++; do
  command -v "${pair%%:*}" >/dev/null 2>&1 || [ -x "/usr/sbin/${pair%%:*}" ] || missing+=("${pair#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  as_root apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" libssl-dev
fi
export PATH=$PATH:/usr/sbin

# --- scratch space; everything started is stopped on exit ----------------
results=$build/results-$(date +%Y%m%d-%H%M%S)
mkdir -p "$results/logs"
work=$(mktemp -d /tmp/velko-bench.XXXXXX)
chmod 755 "$work"
declare -A server_pid
pids=()
cleanup() {
  set +e
  [ -n "${velko_ctl_open:-}" ] && exec 3>&-  # bench_host stops on end of input
  for pid in "${pids[@]}"; do
    [ "$pid" = "${server_pid[velko]:-}" ] && continue
    pkill -TERM -P "$pid" 2>/dev/null
    kill -TERM "$pid" 2>/dev/null
  done
  for _ in $(seq 100); do
    alive=0
    for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ $alive = 0 ] && break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do
    pkill -KILL -P "$pid" 2>/dev/null
    kill -KILL "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The servers and wrk need a descriptor each per connection.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
if [ "$(ulimit -n)" -lt $((idle_count + 1000)) ]; then
  idle_count=$(( $(ulimit -n) - 1000 ))
  log "descriptor limit $(ulimit -n): holding $idle_count idle connections"
fi

# --- build --------------------------------------------------------------
host=$build/bench/bench_host
if [[ " $servers " == *" velko "* ]]; then
  log "building (Release) in $build"
  if ! { cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKO_TESTS=OFF -DVELKO_BENCH=ON &&
         cmake --build "$build" --target bench_host -j2; } >"$results/logs/build.log" 2>&1; then
    log "build failed (see $results/logs/build.log): this server is n/a"
    rm -f "$host"
  fi
  [ -x "$host" ] || { servers=${servers//velko/}; log "no bench_host: this server is n/a"; }
fi

# --- document root and certificate --------------------------------------
root=$work/root
mkdir -p "$root/cgi-bin" "$work/nginx-temp"
head -c 1024 /dev/zero | tr '\0' 'a' >"$root/1k.bin"
head -c 65536 /dev/zero | tr '\0' 'b' >"$root/64k.bin"
head -c $((100 * 1024 * 1024)) /dev/zero >"$root/100m.bin"
printf '#!/bin/sh\nprintf "Content-Type: text/plain\\r\\n\\r\\nhello from a shell script\\n"\n' >"$root/cgi-bin/hello.sh"
chmod 755 "$root/cgi-bin/hello.sh"
printf '<?php\nheader("Content-Type: text/html");\necho "<p>hello from php ", PHP_VERSION, "</p>\\n";\n' >"$root/hello.php"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
chmod -R a+rX "$root" "$work"/*.pem

# Ports: this server, nginx, lighttpd; then the FastCGI helpers.
declare -A http_port=([velko]=$((port_base + 80)) [nginx]=$((port_base + 81)) [lighttpd]=$((port_base + 82)))
declare -A https_port=([velko]=$((port_base + 443)) [nginx]=$((port_base + 444)) [lighttpd]=$((port_base + 445)))
php_nginx=$((port_base + 901)); php_lighttpd=$((port_base + 902))

# Everything the servers run stays on core 0; wrk and the idle client use core 1.
start() { taskset -c 0 "$@" 3>&- & pids+=($!); }

start_velko() {
  mkfifo "$work/velko.ctl"
  taskset -c 0 "$host" "$root" "$work/cert.pem" "$work/key.pem" "${https_port[velko]}" "${http_port[velko]}" \
    <"$work/velko.ctl" >"$results/logs/velko.access.log" 2>"$results/logs/velko.error.log" &
  pids+=($!); server_pid[velko]=$!
  exec 3>"$work/velko.ctl"; velko_ctl_open=1
}

start_nginx() {
  local user=""; [ "$(id -u)" -eq 0 ] && user="user root;"
  cat >"$work/nginx.conf" <<EOF
$user
worker_processes 1;
worker_rlimit_nofile $(ulimit -n);
daemon off;
pid $work/nginx.pid;
error_log $results/logs/nginx.error.log;
events { worker_connections 20000; }
http {
  include /etc/nginx/mime.types;
  default_type application/octet-stream;
  access_log $results/logs/nginx.access.log;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 120s;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx-temp/body;
  fastcgi_temp_path $work/nginx-temp/fastcgi;
  proxy_temp_path $work/nginx-temp/proxy;
  server {
    listen 127.0.0.1:${http_port[nginx]};
    listen 127.0.0.1:${https_port[nginx]} ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    root $root;
    location /cgi-bin/ {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
      fastcgi_pass unix:$work/fcgiwrap.sock;
    }
    location ~ \.php\$ {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
      fastcgi_pass 127.0.0.1:$php_nginx;
    }
  }
}
EOF
  start env PHP_FCGI_CHILDREN=8 PHP_FCGI_MAX_REQUESTS=1000000 php-cgi -b "127.0.0.1:$php_nginx"
  # A Unix socket, as fcgiwrap is usually run: no TCP port left in TIME_WAIT
  # to refuse the next run's bind.
  start fcgiwrap -c 8 -s "unix:$work/fcgiwrap.sock"
  start nginx -c "$work/nginx.conf" -e "$results/logs/nginx.error.log"
  server_pid[nginx]=$!
}

start_lighttpd() {
  cat >"$work/lighttpd.conf" <<EOF
server.modules = ("mod_openssl", "mod_accesslog", "mod_cgi", "mod_fastcgi")
server.document-root = "$root"
server.bind = "127.0.0.1"
server.port = ${http_port[lighttpd]}
server.errorlog = "$results/logs/lighttpd.error.log"
server.max-fds = $(ulimit -n)
server.max-connections = $(( $(ulimit -n) / 2 - 16 ))
server.max-keep-alive-requests = 1000000
server.max-keep-alive-idle = 120
accesslog.filename = "$results/logs/lighttpd.access.log"
mimetype.assign = (".bin" => "application/octet-stream", ".html" => "text/html", ".txt" => "text/plain")
\$SERVER["socket"] == "127.0.0.1:${https_port[lighttpd]}" {
  ssl.engine = "enable"
  ssl.pemfile = "$work/cert.pem"
  ssl.privkey = "$work/key.pem"
}
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
fastcgi.server = (".php" => (("host" => "127.0.0.1", "port" => $php_lighttpd)))
EOF
  start env PHP_FCGI_CHILDREN=8 PHP_FCGI_MAX_REQUESTS=1000000 php-cgi -b "127.0.0.1:$php_lighttpd"
  start lighttpd -D -f "$work/lighttpd.conf"
  server_pid[lighttpd]=$!
}

# The process that holds the connections: nginx's one worker, else the server.
holder() {
  if [ "$1" = nginx ]; then pgrep -P "${server_pid[nginx]}" | head -1; else echo "${server_pid[$1]}"; fi
}

wait_ready() {
  for _ in $(seq 100); do
    curl -sk -o /dev/null "$1" && return 0
    sleep 0.1
  done
  return 1
}

for s in $servers; do
  log "starting $s"
  "start_$s"
  if ! wait_ready "http://127.0.0.1:${http_port[$s]}/1k.bin"; then
    log "$s did not come up (see $results/logs)"; servers=${servers//$s/}
  fi
done

# --- idle keep-alive connections: memory per connection, CPU while idle ----
# First, while each server is fresh, so that buffers freed after the heavy
# workloads do not hide the connections' cost.
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
ticks_per_second=$(getconf CLK_TCK)
for s in $servers; do
  log "idle: $s holds $idle_count connections"
  pid=$(holder "$s")
  before=$(rss_kib "$pid")
  mkfifo "$work/idle.$s"
  taskset -c 1 python3 "$here/idle_clients.py" --port "${http_port[$s]}" --count "$idle_count" \
    <"$work/idle.$s" >"$work/idle.$s.out" 2>"$results/logs/idle.$s.log" &
  client=$!; pids+=($client)
  exec 4>"$work/idle.$s"
  for _ in $(seq 1500); do grep -q '^ready' "$work/idle.$s.out" && break; sleep 0.1; done
  read -r _ held failed <"$work/idle.$s.out" || { held=0; failed=$idle_count; }
  sleep 1  # let the last answers leave and the server settle
  after=$(rss_kib "$pid")
  t0=$(cpu_ticks "$pid"); sleep "$idle_seconds"; t1=$(cpu_ticks "$pid")
  exec 4>&-
  wait "$client" || true
  {
    echo "held=$held"
    echo "failed=$failed"
    echo "rss_before_kib=$before"
    echo "rss_after_kib=$after"
    [ "$held" -gt 0 ] && awk -v a="$after" -v b="$before" -v n="$held" 'BEGIN { printf "kib_per_conn=%.2f\n", (a - b) / n }'
    awk -v d=$((t1 - t0)) -v hz="$ticks_per_second" -v t="$idle_seconds" \
      'BEGIN { printf "idle_cpu_percent=%.2f\n", 100 * d / hz / t }'
  } >"$results/idle.$s"
  sleep 1
done

# --- workloads: name, scheme, path, connections, keep-alive?, description --
workloads=(
  "http-1k-c50    http  /1k.bin            50  keep  1 KiB keep-alive, 50 conns"
  "http-1k-c500   http  /1k.bin            500 keep  1 KiB keep-alive, 500 conns"
  "https-1k-c50   https /1k.bin            50  keep  1 KiB keep-alive, 50 conns, TLS"
  "https-1k-c500  https /1k.bin            500 keep  1 KiB keep-alive, 500 conns, TLS"
  "http-1k-close  http  /1k.bin            50  close 1 KiB new conn each, 50"
  "https-1k-close https /1k.bin            50  close 1 KiB new conn each, 50, TLS"
  "http-64k       http  /64k.bin           50  keep  64 KiB keep-alive, 50 conns"
  "http-100m      http  /100m.bin          4   keep  100 MiB keep-alive, 4 conns"
  "http-cgi       http  /cgi-bin/hello.sh  10  keep  CGI shell script, 10 conns"
  "http-php       http  /hello.php         10  keep  PHP via php-cgi, 10 conns"
)
echo "velko nginx lighttpd" >"$results/servers"
: >"$results/workloads"
for w in "${workloads[@]}"; do
  read -r name scheme path conns mode description <<<"$w"
  printf '%s\t%s\n' "$name" "$description" >>"$results/workloads"
  for s in $servers; do
    if [ "$scheme" = https ]; then port=${https_port[$s]}; else port=${http_port[$s]}; fi
    url="$scheme://127.0.0.1:$port$path"
    header=(); [ "$mode" = close ] && header=(-H "Connection: close")
    log "$name: $s"
    if ! curl -sk -o /dev/null -m 30 -w '%{http_code} %{size_download}B' "$url" >"$results/$name.$s.check"; then
      echo "no answer" >"$results/$name.$s.check"; continue
    fi
    taskset -c 1 wrk -t1 -c"$conns" -d"${duration}s" --timeout 10s --latency "${header[@]}" "$url" \
      >"$results/$name.$s.wrk" 2>&1 </dev/null || true
    sleep 1
  done
done

echo
echo "duration ${duration}s per run; server on core 0, wrk on core 1; results in $results"
echo
python3 "$here/report.py" "$results" | tee "$results/table.txt"
