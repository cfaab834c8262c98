# Shared by the *_under_wine.sh scripts, which source it after reading
# their arguments:
#   . "$(dirname "$0")/wine_example.sh" <script name>
# It makes a fresh directory and goes there (removed at exit, with the
# example and any pid in `holders` killed), and gives them `fail`, which
# prints the example's output and ends the script, `make_certificate`,
# `start_example <exe>`, which starts it under Wine with its input on
# descriptor 4 and sets `pid` and `port` from the first number on the line
# that names the port, and `stop_example [what]`, which ends its input and
# waits for it to end with status 0.
wine_script=$1
dir=$(mktemp -d "${TMPDIR:-/tmp}/velko-$wine_script.XXXXXX")
pid=""
holders=()
cleanup() {
  for h in "${holders[@]}"; do kill "$h" 2>/dev/null || true; done
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
fail() {
  echo "$wine_script: $*" >&2
  for f in out.txt err.txt headers.txt; do
    [ -f "$dir/$f" ] && { echo "--- $f" >&2; cat "$dir/$f" >&2; }
  done
  exit 1
}
cd "$dir"

make_certificate() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
    -keyout privkey.pem -out cacert.pem 2>/dev/null || fail "openssl could not make a certificate"
}

# start_example <exe> <pattern of the line part that holds the port>
start_example() {
  mkfifo input
  WINEDEBUG=-all wine "./$(basename "$1")" < input > out.txt 2> err.txt &
  pid=$!
  exec 4> input
  port=""
  for _ in $(seq 1 600); do
    port=$(tr -d '\r' < out.txt | grep -o "$2" | head -n 1 | grep -o '[0-9][0-9]*' || true)
    [ -n "$port" ] && break
    kill -0 "$pid" 2>/dev/null || fail "the example ended before it told its port"
    sleep 0.1
  done
  [ -n "$port" ] || fail "no port within 60 s"
}

stop_example() {
  echo 1 >&4
  exec 4>&-
  for _ in $(seq 1 300); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "the example did not stop within 30 s${1:+ $1}"
  wait "$pid" || fail "the example ended with status $?"
  pid=""
  echo "$wine_script: ok"
}
