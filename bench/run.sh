#!/usr/bin/env bash
# Benchmarks this server side by side with h2o, nginx and lighttpd on
# loopback and prints one table (see bench/README.md).
#
#   bench/run.sh [--quick] [--duration SECONDS] [--idle COUNT] [--rounds N] [--servers "velko h2o nginx lighttpd"]
#
# With --rounds N every workload runs N times over, the servers in a
# different order each round, and each server's median round is reported:
# a machine whose speed drifts by the minute then moves all servers alike.
set -euo pipefail

# This server's PHP pool holds as many php-cgi processes as the cores the
# process may use, at least 2: pinned to one core, 2. Every peer's
# `php-cgi -b` gets the same number of children.
php_children=${BENCH_PHP_CHILDREN:-2}
# CGI scripts this server runs at once by default; fcgiwrap gets as many.
cgi_children=8
# Servers and their helpers on one core, the load clients on the other.
server_core=0
client_core=1

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=$repo/build-bench
duration=10
idle_count=10000
idle_seconds=10
pause=0.5
rounds=1
servers="velko h2o nginx lighttpd"
port_base=${BENCH_PORT_BASE:-28000}

while [ $# -gt 0 ]; do
  case $1 in
    --quick) duration=1; idle_seconds=1; idle_count=500 ;;
    --duration) duration=$2; shift ;;
    --idle) idle_count=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --servers) servers=$2; shift ;;
    *) sed -n '2,9p' "$0" >&2; exit 2 ;;
  esac
  shift
done

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
log() { echo "== $*" >&2; }
# Debian's interpreter without site packages starts in a fraction of the
# time of a version manager's shim: it runs a few times per workload.
python=python3; [ -x /usr/bin/python3 ] && python=/usr/bin/python3
stats() { "$python" -S "$here/proc_stats.py" "$@"; }

# --- packages -----------------------------------------------------------
missing=()
for pair in nginx:nginx-light lighttpd:lighttpd h2o:h2o wrk:wrk php-cgi:php-cgi fcgiwrap:fcgiwrap \
            openssl:openssl curl:curl taskset:util-linux python3:python3 cmake:cmake g++:g++; do
  command -v "${pair%%:*}" >/dev/null 2>&1 || [ -x "/usr/sbin/${pair%%:*}" ] || missing+=("${pair#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  as_root apt-get update -q
  # No init system starts them here; where one does, the peers' default
  # sites listen on port 80, not on the bench's ports.
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" libssl-dev
fi
export PATH=$PATH:/usr/sbin

# --- scratch space; everything started is stopped on exit ----------------
results=$build/results-$(date +%Y%m%d-%H%M%S)
mkdir -p "$results/logs"
work=$(mktemp -d /tmp/velko-bench.XXXXXX)
chmod 755 "$work"
declare -A server_pid helper_pids ctl_fd=([velko]=3 [velko-scale]=6)
pids=()

# Ends one server, its helpers and everything they started: each runs in a
# process group of its own (see start), so children a helper leaves behind
# when it dies are ended too. This server stops when its control pipe ends;
# the peers on SIGTERM; whatever still runs after 10 s on SIGKILL.
stop_server() {
  local s=$1 pid errexit=$-
  local group=(${helper_pids[$s]:-} ${server_pid[$s]:-})
  [ ${#group[@]} -gt 0 ] || return 0
  set +e  # whatever is already gone is fine here
  if [ -n "${ctl_fd[$s]:-}" ]; then
    eval "exec ${ctl_fd[$s]}>&-"
  else
    for pid in "${group[@]}"; do kill -TERM -- "-$pid" 2>/dev/null; done
  fi
  for _ in $(seq 100); do
    [ "$(stats running "${group[@]}")" = 0 ] && break
    sleep 0.1
  done
  for pid in "${group[@]}"; do kill -KILL -- "-$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  unset "server_pid[$s]" "helper_pids[$s]"
  [[ $errexit == *e* ]] && set -e
  return 0
}

cleanup() {
  set +e
  for s in "${!server_pid[@]}"; do stop_server "$s"; done
  for pid in "${pids[@]}"; do kill -KILL -- "-$pid" "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The servers and the clients need a descriptor each per connection.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
if [ "$(ulimit -n)" -lt $((idle_count + 1000)) ]; then
  idle_count=$(( $(ulimit -n) - 1000 ))
  log "descriptor limit $(ulimit -n): holding $idle_count idle connections"
fi

# --- build --------------------------------------------------------------
host=$build/bench/bench_host
handshake_client=$build/bench/handshake_client
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
log "building (Release) in $build"
targets=(--target handshake_client)
[[ " $servers " == *" velko "* ]] && targets+=(--target bench_host)
if ! { cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKO_TESTS=OFF -DVELKO_BENCH=ON "${launcher[@]}" &&
       cmake --build "$build" "${targets[@]}" -j2; } >"$results/logs/build.log" 2>&1; then
  log "build failed (see $results/logs/build.log)"
  rm -f "$host"
fi
if [[ " $servers " == *" velko "* ]] && [ ! -x "$host" ]; then
  servers=${servers//velko/}; log "no bench_host: this server is n/a"
fi
[ -x "$handshake_client" ] || log "no handshake_client: the TLS handshake rows are n/a"

# --- document root and certificate --------------------------------------
root=$work/root
mkdir -p "$root/cgi-bin" "$work/nginx-temp" "$work/lighttpd-deflate"
head -c 1024 /dev/zero | tr '\0' 'a' >"$root/1k.bin"
head -c 65536 /dev/zero | tr '\0' 'b' >"$root/64k.bin"
head -c $((1024 * 1024)) /dev/zero | tr '\0' 'c' >"$root/1m.bin"
head -c $((100 * 1024 * 1024)) /dev/zero >"$root/100m.bin"
printf '#!/bin/sh\nprintf "Content-Type: text/plain\\r\\n\\r\\nhello from a shell script\\n"\n' >"$root/cgi-bin/hello.sh"
# A page of 30 small files (HTTP/2: all requested at once on one connection).
mkdir -p "$root/page"
for i in $(seq 1 30); do head -c $((1000 + 100 * i)) /dev/zero | tr '\0' 'p' >"$root/page/f$i.css"; done
chmod 755 "$root/cgi-bin/hello.sh"
# 200 KiB of script that compresses about as real scripts do (to 27%).
"$python" -S - >"$root/app.js" <<'PY'
import random, sys
r = random.Random(2026)
words = ("value index count item list node parent child width height offset style event handler state "
         "request response buffer result error options config element target source length name key").split()
out = []
size = 0
while size < 200 * 1024:
    a, b, c = r.choice(words), r.choice(words), r.choice(words)
    n = r.randrange(100000)
    kind = r.randrange(4)
    if kind == 0: line = f"function {a}{b.title()}{n}({c}, {a}) {{ return {c}.{b} + {a}.{c} * {n % 97}; }}\n"
    elif kind == 1: line = f"const {a}_{n} = {{ {b}: {r.randrange(1000)}, {c}: \"{r.choice(words)}-{n}\", {a}: [{n % 7}, {n % 13}] }};\n"
    elif kind == 2: line = f"if ({a}.{b} > {n % 500}) {{ {c}.push({a}); }} else {{ {b} = {c}.{a}({n}); }}\n"
    else: line = f"// {a} {b} {c}: {n}\n"
    out.append(line); size += len(line)
sys.stdout.write("".join(out)[:200 * 1024])
PY
printf '<?php\nheader("Content-Type: text/html");\necho "<p>hello from php ", PHP_VERSION, "</p>\\n";\n' >"$root/hello.php"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
chmod -R a+rX "$root" "$work"/*.pem

# Ports: HTTP, HTTPS and a FastCGI port for PHP per server.
declare -A http_port https_port php_port
i=0
for s in velko nginx lighttpd h2o velko-scale; do
  http_port[$s]=$((port_base + 80 + i)); https_port[$s]=$((port_base + 443 + i)); php_port[$s]=$((port_base + 901 + i))
  i=$((i + 1))
done

# Starts a program in the background on the server core, in a process
# group of its own and without the control pipes (a copy held elsewhere
# would keep this server from seeing its pipe end).
start() {
  (
    for fd in "${ctl_fd[@]}"; do eval "exec $fd>&-"; done
    exec setsid taskset -c "$server_core" "$@"
  ) &
  pids+=($!)
}

# A helper of server $1 (FastCGI processes): stopped and counted with it.
start_helper() {
  local s=$1; shift
  start "$@"
  helper_pids[$s]="${helper_pids[$s]:-} $!"
}

# $1: velko (pinned) or velko-scale (not pinned, VELKO_LOOPS from $2).
start_velko_instance() {
  local s=$1 cores=$server_core
  [ "$s" = velko-scale ] && cores=0-$(( $(nproc) - 1 ))
  rm -f "$work/$s.ctl"; mkfifo "$work/$s.ctl"
  (
    for fd in "${ctl_fd[@]}"; do eval "exec $fd>&-"; done
    [ -n "${2:-}" ] && export VELKO_LOOPS=$2
    exec setsid taskset -c "$cores" "$host" "$root" "$work/cert.pem" "$work/key.pem" "${https_port[$s]}" "${http_port[$s]}"
  ) <"$work/$s.ctl" >>"$results/logs/$s.access.log" 2>>"$results/logs/$s.error.log" &
  pids+=($!); server_pid[$s]=$!
  eval "exec ${ctl_fd[$s]}>\"\$work/\$s.ctl\""
}
start_velko() { start_velko_instance velko; }

start_nginx() {
  local user=""; [ "$(id -u)" -eq 0 ] && user="user root;"
  cat >"$work/nginx.conf" <<EOF
$user
worker_processes 1;
worker_rlimit_nofile $(ulimit -n);
daemon off;
pid $work/nginx.pid;
error_log $results/logs/nginx.error.log;
events { worker_connections $(ulimit -n); }
http {
  include /etc/nginx/mime.types;
  default_type application/octet-stream;
  access_log $results/logs/nginx.access.log;
  sendfile on;
  tcp_nopush on;
  # Compressed per request (Debian's nginx has no brotli module); only the
  # script row asks for it.
  gzip on;
  gzip_types text/javascript application/javascript;
  keepalive_timeout 120s;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx-temp/body;
  fastcgi_temp_path $work/nginx-temp/fastcgi;
  proxy_temp_path $work/nginx-temp/proxy;
  server {
    listen 127.0.0.1:${http_port[nginx]};
    listen 127.0.0.1:${https_port[nginx]} ssl http2;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    # Debian's nginx 1.22 offers TLS 1.2 at most unless told; the others
    # (and nginx from 1.23.4 on) offer 1.3.
    ssl_protocols TLSv1.2 TLSv1.3;
    root $root;
    location /cgi-bin/ {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
      fastcgi_pass unix:$work/fcgiwrap.nginx.sock;
    }
    location ~ \.php\$ {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
      fastcgi_pass 127.0.0.1:${php_port[nginx]};
    }
  }
}
EOF
  start_fastcgi nginx
  start nginx -c "$work/nginx.conf" -e "$results/logs/nginx.error.log"
  server_pid[nginx]=$!
}

start_lighttpd() {
  cat >"$work/lighttpd.conf" <<EOF
server.modules = ("mod_openssl", "mod_accesslog", "mod_cgi", "mod_fastcgi", "mod_deflate")
server.document-root = "$root"
server.bind = "127.0.0.1"
server.port = ${http_port[lighttpd]}
server.errorlog = "$results/logs/lighttpd.error.log"
server.max-fds = $(ulimit -n)
server.max-connections = $(( $(ulimit -n) / 2 - 16 ))
server.max-keep-alive-requests = 1000000
server.max-keep-alive-idle = 120
accesslog.filename = "$results/logs/lighttpd.access.log"
mimetype.assign = (".bin" => "application/octet-stream", ".html" => "text/html", ".txt" => "text/plain",
                   ".js" => "text/javascript")
# Static files compressed once and kept, as this server does.
deflate.mimetypes = ("text/javascript")
deflate.allowed-encodings = ("br", "gzip")
deflate.cache-dir = "$work/lighttpd-deflate"
\$SERVER["socket"] == "127.0.0.1:${https_port[lighttpd]}" {
  ssl.engine = "enable"
  ssl.pemfile = "$work/cert.pem"
  ssl.privkey = "$work/key.pem"
}
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
fastcgi.server = (".php" => (("host" => "127.0.0.1", "port" => ${php_port[lighttpd]})))
EOF
  # lighttpd runs CGI itself (mod_cgi); only PHP needs a helper.
  start_helper lighttpd env PHP_FCGI_CHILDREN="$php_children" PHP_FCGI_MAX_REQUESTS=1000000 \
    php-cgi -b "127.0.0.1:${php_port[lighttpd]}"
  start lighttpd -D -f "$work/lighttpd.conf"
  server_pid[lighttpd]=$!
}

start_h2o() {
  # As root h2o would switch to "nobody", who cannot write the results.
  local user=""; [ "$(id -u)" -eq 0 ] && user="user: root"
  cat >"$work/h2o.conf" <<EOF
$user
num-threads: 1
max-connections: $(ulimit -n)
http1-request-timeout: 120
# br or gzip per request for the clients that take it (only the script row).
compress: ON
access-log: $results/logs/h2o.access.log
error-log: $results/logs/h2o.error.log
listen:
  host: 127.0.0.1
  port: ${http_port[h2o]}
listen:
  host: 127.0.0.1
  port: ${https_port[h2o]}
  ssl:
    certificate-file: $work/cert.pem
    key-file: $work/key.pem
    ocsp-update-interval: 0
hosts:
  default:
    paths:
      /cgi-bin:
        file.dir: $root/cgi-bin
        file.custom-handler:
          extension: .sh
          fastcgi.connect:
            port: $work/fcgiwrap.h2o.sock
            type: unix
      /:
        file.dir: $root
        file.custom-handler:
          extension: .php
          fastcgi.connect:
            host: 127.0.0.1
            port: ${php_port[h2o]}
            type: tcp
EOF
  start_fastcgi h2o
  start h2o -c "$work/h2o.conf"
  server_pid[h2o]=$!
}

# php-cgi -b and fcgiwrap for a peer that speaks FastCGI to both. fcgiwrap
# on a Unix socket, as it is usually run: no TCP port left in TIME_WAIT to
# refuse the next run's bind.
start_fastcgi() {
  local s=$1
  start_helper "$s" env PHP_FCGI_CHILDREN="$php_children" PHP_FCGI_MAX_REQUESTS=1000000 \
    php-cgi -b "127.0.0.1:${php_port[$s]}"
  rm -f "$work/fcgiwrap.$s.sock"  # left by the run before a restart
  start_helper "$s" fcgiwrap -c "$cgi_children" -s "unix:$work/fcgiwrap.$s.sock"
}

# The process that holds the connections: nginx's one worker, else the server.
holder() {
  if [ "$1" = nginx ]; then pgrep -P "${server_pid[nginx]}" | head -1; else echo "${server_pid[$1]}"; fi
}
# Everything whose CPU time counts as the server's: the server, its
# FastCGI helpers and (through proc_stats.py) their descendants.
roots() { echo "${server_pid[$1]} ${helper_pids[$1]:-}"; }

wait_ready() {
  for _ in $(seq 100); do
    curl -sk -o /dev/null "$1" && return 0
    sleep 0.1
  done
  return 1
}

# Whether server $1's own process still runs (a zombie does not).
server_alive() {
  local pid=${server_pid[$1]:-} state
  [ -n "$pid" ] || return 1
  state=$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

# Records that server $1 died during row $2 and says so; the run stops
# there (the rows after it would only say "no answer").
server_died() {
  log "$1 DIED during $2 (see $results/logs/$1.error.log): stopping the benchmark"
  printf '%s\t%s\n' "$1" "$2" >>"$results/died"
}

# Starts server $1 and waits until it answers; false if it does not.
bring_up() {
  log "starting $1"
  "start_$1"
  if wait_ready "http://127.0.0.1:${http_port[$1]}/1k.bin" && wait_ready "https://127.0.0.1:${https_port[$1]}/1k.bin"; then
    # The handshake rows compare like with like only when every server
    # speaks the same TLS version (a TLS 1.2 resumption needs no key exchange).
    local version
    # -brief says the version as soon as the handshake is done; the session
    # block of the long form may not come before the input's end closes it.
    version=$(openssl s_client -brief -connect "127.0.0.1:${https_port[$1]}" </dev/null 2>&1 |
              sed -n 's/^Protocol version: *//p' | head -1)
    log "$1 negotiates ${version:-no TLS}"
    [ "$version" = TLSv1.3 ] || log "warning: $1 does not negotiate TLS 1.3: its handshake rows are not comparable"
    return 0
  fi
  log "$1 did not come up (see $results/logs)"
  stop_server "$1"
  return 1
}

{
  echo "duration=$duration"
  echo "php_children=$php_children"
  echo "cgi_children=$cgi_children"
  echo "server_core=$server_core"
  echo "client_core=$client_core"
  echo "kernel=$(uname -r)"
  echo "load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)"
  echo "peers=$(h2o --version 2>&1 | head -1); $(nginx -v 2>&1); $(lighttpd -v 2>&1 | cut -d' ' -f1)"
  echo "client=$(wrk --version 2>&1 | head -1 | cut -d' ' -f1-2); $(h2load --version 2>&1 | head -1); $(openssl version)"
} >"$results/meta"

# --- idle keep-alive connections: memory per connection, CPU while idle ----
# Each server is fresh for each of its two runs, so that buffers freed by
# one run or by the workloads do not hide the connections' cost.
idle_run() {
  local s=$1 scheme=$2 port tls=() pid
  case $scheme in
    https) port=${https_port[$s]}; tls=(--tls) ;;
    h2) port=${https_port[$s]}; tls=(--h2) ;;
    *) port=${http_port[$s]} ;;
  esac
  log "idle: $s holds $idle_count $scheme connections"
  pid=$(holder "$s")
  local before; before=$(stats rss "$pid")
  rm -f "$work/idle.ctl"; mkfifo "$work/idle.ctl"
  (
    for fd in "${ctl_fd[@]}"; do eval "exec $fd>&-"; done
    exec taskset -c "$client_core" "$python" "$here/idle_clients.py" --port "$port" --count "$idle_count" \
      --setup-timeout 120 "${tls[@]}"
  ) <"$work/idle.ctl" >"$work/idle.out" 2>"$results/logs/idle.$scheme.$s.log" &
  local client=$!; pids+=($client)
  exec 4>"$work/idle.ctl"
  for _ in $(seq 1300); do grep -q '^ready' "$work/idle.out" && break; sleep 0.1; done
  local held failed
  read -r _ held failed <"$work/idle.out" || { held=0; failed=$idle_count; }
  sleep 1  # let the last answers leave and the server settle
  local after t0 t1 w0 w1
  after=$(stats rss "$pid")
  t0=$(stats cpu $(roots "$s")); w0=$(stats wakeups $(roots "$s"))
  sleep "$idle_seconds"
  t1=$(stats cpu $(roots "$s")); w1=$(stats wakeups $(roots "$s"))
  exec 4>&-
  wait "$client" || true
  {
    echo "held=$held"
    echo "failed=$failed"
    echo "rss_before_kib=$before"
    echo "rss_after_kib=$after"
    echo "seconds=$idle_seconds"
    echo "cpu_s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')"
    echo "wakeups=$((w1 - w0))"
  } >"$results/idle.$scheme.$s"
}

up=""
for s in $servers; do
  bring_up "$s" || continue
  idle_run "$s" http
  stop_server "$s"
  bring_up "$s" || continue
  idle_run "$s" https
  stop_server "$s"
  bring_up "$s" || continue
  idle_run "$s" h2
  up="$up $s"
done
servers=$up

# --- workloads ------------------------------------------------------------
# name, scheme, path, connections, client, expected size ("-": any), what.
# Clients: keep = wrk keep-alive; keepbr = the same taking br or gzip;
# h2 = h2load, 10 streams at once per connection; h2page = h2load asking
# for the 30 files of /page/ at once on each connection;
# close = wrk with "Connection: close";
# new = handshake_client (a full TLS handshake per request); resume = the
# same with each connection's previous session offered again.
workloads=(
  "http-1k-c50    http  /1k.bin            50  keep   1024      1 KiB keep-alive, 50 conns"
  "http-1k-c500   http  /1k.bin            500 keep   1024      1 KiB keep-alive, 500 conns"
  "https-1k-c50   https /1k.bin            50  keep   1024      1 KiB keep-alive, 50 conns, TLS"
  "https-1k-c500  https /1k.bin            500 keep   1024      1 KiB keep-alive, 500 conns, TLS"
  "http-1k-close  http  /1k.bin            50  close  1024      1 KiB new conn per request"
  "https-1k-full  https /1k.bin            50  new    1024      1 KiB full TLS handshake each"
  "https-1k-resum https /1k.bin            50  resume 1024      1 KiB resumed TLS handshake each"
  "http-64k       http  /64k.bin           50  keep   65536     64 KiB keep-alive, 50 conns"
  "http-1m        http  /1m.bin            10  keep   1048576   1 MiB keep-alive, 10 conns"
  "http-100m      http  /100m.bin          4   keep   104857600 100 MiB keep-alive, 4 conns"
  "http-js-br     http  /app.js            50  keepbr -         200 KiB script, Accept-Encoding: br, gzip, 50 conns"
  "http-cgi       http  /cgi-bin/hello.sh  10  keep   -         CGI shell script, 10 conns"
  "http-php       http  /hello.php         10  keep   -         PHP, 10 conns"
  "h2-1k          https /1k.bin            50  h2     1024      1 KiB over HTTP/2, 50 conns x 10 streams"
  "h2-page        https /page/f1.css       10  h2page 1100      page of 30 files over HTTP/2, 10 conns"
)

# fcgiwrap ignores SIGCHLD, so the kernel reaps the scripts it runs and
# their CPU time reaches no parent: for these servers the CGI row's CPU
# misses the scripts.
declare -A uncounted_children=([h2o]=/cgi-bin/ [nginx]=/cgi-bin/)

# Runs one client on the client core; the server's CPU time and the
# client's own are taken around it. $1: result name, $2: server (for its
# CPU), $3: client kind, $4: connections, $5: URL; $6: wrk threads.
measure() {
  local name=$1 s=$2 kind=$3 conns=$4 url=$5 threads=${6:-1} cores=$client_core
  local command
  case $kind in
    keep)   command=(wrk -t"$threads" -c"$conns" -d"${duration}s" --timeout 10s --latency "$url") ;;
    keepbr) command=(wrk -t"$threads" -c"$conns" -d"${duration}s" --timeout 10s --latency -H "Accept-Encoding: br, gzip" "$url") ;;
    close)  command=(wrk -t"$threads" -c"$conns" -d"${duration}s" --timeout 10s --latency -H "Connection: close" "$url") ;;
    new)    command=("$handshake_client" -c "$conns" -d "$duration" "$url") ;;
    resume) command=("$handshake_client" --resume -c "$conns" -d "$duration" "$url") ;;
    h2)     command=(h2load -t1 -c"$conns" -m10 -D"$duration" "$url") ;;
    h2page) for i in $(seq 1 30); do echo "${url%/*}/f$i.css"; done >"$work/page.uris"
            command=(h2load -t1 -c"$conns" -m30 -D"$duration" -i "$work/page.uris") ;;
  esac
  [ "$threads" -gt 1 ] && cores=0-$(( $(nproc) - 1 ))
  local t0 t1 b0 b1
  read -r t0 b0 <<<"$(stats sample $(roots "$s"))"
  local TIMEFORMAT="%R %U %S"
  { time taskset -c "$cores" "${command[@]}" >"$results/$name.$s.out" 2>&1 </dev/null; } 2>"$work/time" || true
  read -r t1 b1 <<<"$(stats sample $(roots "$s"))"
  local real user sys
  read -r real user sys <"$work/time" || { real=0; user=0; sys=0; }
  {
    echo "server_cpu_s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')"
    echo "client_real_s=$real"
    echo "client_cpu_s=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')"
    echo "machine_cpu_s=$(awk -v a="$b0" -v b="$b1" 'BEGIN { printf "%.2f", b - a }')"
    local uncounted=${uncounted_children[$s]:-}
    if [ -n "$uncounted" ] && [[ $url == *"$uncounted"* ]]; then echo "server_cpu_complete=no"; fi
  } >"$results/$name.$s.cpu"
}

# One answer fetched first: its status and size are the check column.
# $3: the client kind (keepbr asks for br or gzip as its client does).
check() {
  local fields=() version=--http1.1
  [ "${3:-}" = keepbr ] && fields=(-H "Accept-Encoding: br, gzip")
  case ${3:-} in h2 | h2page) version=--http2 ;; esac
  curl -sk "$version" -o /dev/null -m 30 "${fields[@]}" -w '%{http_code} %{size_download}B %{http_version}' "$2" \
    >"$work/check" 2>/dev/null || echo "no answer" >"$work/check"
  # An HTTP/2 row counts only where HTTP/2 was spoken.
  if [ "$version" = --http2 ] && [ "$(cut -d' ' -f3 "$work/check")" != 2 ]; then echo "no HTTP/2" >"$work/check"; fi
  cut -d' ' -f1-2 "$work/check" >"$results/$1.check"
  [ "$(cut -c1-3 "$results/$1.check")" != "no " ]
}

# The current workload's URL on server $1.
workload_url() {
  local port=${http_port[$1]}
  [ "$scheme" = https ] && port=${https_port[$1]}
  echo "$scheme://127.0.0.1:$port$path"
}

echo "velko h2o nginx lighttpd" >"$results/servers"
: >"$results/workloads"
for w in "${workloads[@]}"; do
  read -r name scheme path conns kind expect description <<<"$w"
  printf '%s\t%s\t%s\t%s\n' "$name" "$kind" "$expect" "$description" >>"$results/workloads"
  [ "$kind" = new ] || [ "$kind" = resume ] && [ ! -x "$handshake_client" ] && continue
  checked=" "
  for s in $servers; do
    url=$(workload_url "$s")
    if ! server_alive "$s"; then server_died "$s" "$name"; break 2; fi
    if ! check "$name.$s" "$url" "$kind"; then
      if ! server_alive "$s"; then server_died "$s" "$name"; break 2; fi
      continue
    fi
    checked="$checked$s "
  done
  read -ra order <<<"$servers"
  for round in $(seq 1 "$rounds"); do
    for s in "${order[@]}"; do
      [[ $checked == *" $s "* ]] || continue
      url=$(workload_url "$s")
      run=$name; [ "$rounds" -gt 1 ] && run="$name@$round"
      log "$run: $s"
      if ! server_alive "$s"; then server_died "$s" "$name"; break 3; fi
      measure "$run" "$s" "$kind" "$conns" "$url"
      if ! server_alive "$s"; then server_died "$s" "$name"; break 3; fi
      sleep "$pause"
    done
    # The next round starts with the server after this round's first.
    order=("${order[@]:1}" "${order[0]}")
  done
done

# --- scaling: this server not pinned, 1 and 2 event loops ------------------
# wrk runs with two threads on both cores, sharing them with the server.
: >"$results/scaling"
if [[ " $servers " == *" velko "* ]] && [ ! -s "$results/died" ]; then
  for loops in 1 2; do
    start_velko_instance velko-scale "$loops"
    if ! wait_ready "http://127.0.0.1:${http_port[velko-scale]}/1k.bin"; then
      log "scaling: the server did not come up"; stop_server velko-scale; break
    fi
    applied=$(awk '$1 == "loops" { v = $2 } END { print v }' "$results/logs/velko-scale.access.log")
    label="loops-$loops"; [ "$applied" = - ] && label=loops-default
    log "scaling: $label"
    url="http://127.0.0.1:${http_port[velko-scale]}/1k.bin"
    check "scale-$label.velko-scale" "$url" && measure "scale-$label" velko-scale keep 50 "$url" 2
    echo "$label" >>"$results/scaling"
    if ! server_alive velko-scale; then server_died velko-scale "scale-$label"; break; fi
    stop_server velko-scale
    # Without the setting a second run would measure the same thing.
    [ "$applied" = - ] && break
    sleep "$pause"
  done
fi

echo "load_at_end=$(cut -d' ' -f1-3 /proc/loadavg)" >>"$results/meta"
echo
echo "duration ${duration}s per run; servers on core $server_core, clients on core $client_core; results in $results"
echo
"$python" "$here/report.py" "$results" | tee "$results/table.txt"
# A server that died makes the run a failure, whatever the table shows.
[ ! -s "$results/died" ]
