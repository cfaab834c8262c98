#!/usr/bin/env bash
# Runs a host program of the installed library the way a user would and checks
# that it serves a site over HTTPS:
#   serve_check.sh <site directory> <program> [arguments...]
# In a fresh temporary directory it copies the site to htmlroot/, makes a
# development certificate (cacert.pem, privkey.pem) for localhost and starts
# the program there with the arguments, whose relative names resolve in that
# directory (a program named by a path is found from where the script
# starts). The program prints its port ("port: N" or "localhost:N") and stops
# on a line of input. The start page must come back byte for byte, the site's
# CGI script (and, where php-cgi is installed, its PHP page) must run, and the
# program must end with status 0. With VELKO_LIVE_CHECK=1 (the host example)
# its live page, counter route and greeting command are checked as well.
# Everything it starts and makes is gone when it ends.
set -euo pipefail
site=$(cd "$1" && pwd)
program=$2
shift 2
case "$program" in
  */*) program="$(cd "$(dirname "$program")" && pwd)/$(basename "$program")" ;;
esac
dir=$(mktemp -d "${TMPDIR:-/tmp}/velko-serve.XXXXXX")
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
fail() {
  echo "serve_check: $*" >&2
  for f in out.txt err.txt; do
    [ -f "$dir/$f" ] && { echo "--- $f" >&2; cat "$dir/$f" >&2; }
  done
  exit 1
}

cd "$dir"
cp -r "$site" htmlroot
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
  -keyout privkey.pem -out cacert.pem 2>/dev/null || fail "openssl could not make a certificate"

mkfifo input
"$program" "$@" < input > out.txt 2> err.txt &
pid=$!
# The program's input stays open until the checks are done.
exec 4> input

port=""
for _ in $(seq 1 200); do
  port=$(grep -o 'port: [0-9]*\|localhost:[0-9]*' out.txt | head -n 1 | grep -o '[0-9]*$' || true)
  [ -n "$port" ] && break
  kill -0 "$pid" 2>/dev/null || fail "the program ended before it told its port"
  sleep 0.05
done
[ -n "$port" ] || fail "no port within 10 s"

curl -sS --max-time 20 --cacert cacert.pem -o page.html "https://localhost:$port/" || fail "no start page"
cmp -s page.html htmlroot/index.html || fail "the start page differs from htmlroot/index.html"
if [ -f htmlroot/cgi-bin/hello.sh ]; then
  cgi=$(curl -sS --max-time 20 --cacert cacert.pem "https://localhost:$port/cgi-bin/hello.sh?from=check") ||
    fail "no CGI answer"
  case "$cgi" in
    *"QUERY_STRING=from=check"*) ;;
    *) fail "unexpected CGI answer: $cgi" ;;
  esac
fi

if [ -f htmlroot/hello.php ] && command -v php-cgi > /dev/null; then
  php=$(curl -sS --max-time 20 --cacert cacert.pem "https://localhost:$port/hello.php?name=check") ||
    fail "no PHP answer"
  case "$php" in
    *"Hello from PHP, check."*) ;;
    *) fail "unexpected PHP answer: $php" ;;
  esac
fi

if [ "${VELKO_LIVE_CHECK:-}" = 1 ]; then
  get() { curl -sS --max-time 20 --cacert cacert.pem "$@"; }
  [ "$(get "https://localhost:$port/api/counter")" = '{"counter": 1}' ] || fail "no counter from /api/counter"
  get -o /dev/null -d velkoid=greeting -d velkocommand=set -d 'text=from the check' "https://localhost:$port/live" ||
    fail "the greeting command was not answered"
  live=$(get "https://localhost:$port/live") || fail "no live page"
  case "$live" in
    *'<strong id="greeting">from the check</strong>'*) ;;
    *) fail "the live page does not show the new greeting: $live" ;;
  esac
fi

echo 1 >&4
exec 4>&-
for _ in $(seq 1 400); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
kill -0 "$pid" 2>/dev/null && fail "the program did not stop within 20 s of its input"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" -eq 0 ] || fail "the program ended with status $status"
echo "serve_check: $program served https://localhost:$port/ and stopped"
