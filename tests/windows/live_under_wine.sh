#!/usr/bin/env bash
# HTTP/2, compressed answers and the live channels of the host example under
# Wine, with Linux clients on loopback:
#   live_under_wine.sh <velkotwo_host_example.exe> <velkotwo.dll> <site directory> <websocket_client.py>
# In a fresh directory: a copy of the site with a text file of a few KiB
# added, and a certificate made with openssl. Checked: pages, a host route
# and a 304 for a file's ETag over HTTP/2 (ALPN h2); the text file in br
# and gzip over h2 and HTTP/1.1, decoded to its own bytes; the WebSocket
# echo over wss with permessage-deflate and a clean close (Debian's python3
# and python3-websockets); two or more Server-Sent Events from /events.
# The example stops on its input line and ends with status 0.
set -euo pipefail
example=$(readlink -f "$1")
dll=$(readlink -f "$2")
site=$(readlink -f "$3")
client=$(readlink -f "$4")
. "$(dirname "$0")/wine_example.sh" live_under_wine
cp -r "$site" htmlroot
cp "$example" "$dll" .
make_certificate
# Above the server's minimum size for compression, and varied enough that
# a decoder mistake shows.
for i in $(seq 1 120); do echo "line $i of the notes: the quick brown fox jumps over dog number $((i * 7))"; done \
  > htmlroot/notes.txt
printf 'Hello from the host' > greeting.txt

start_example "$example" 'localhost:[0-9]*/'
# Prints "<HTTP version> <status>"; the body in body.bin, the head in headers.txt.
fetch() {
  local path=$1
  shift
  rm -f body.bin headers.txt
  curl -sS --max-time 30 --cacert cacert.pem --resolve "localhost:$port:127.0.0.1" -o body.bin \
    -D headers.txt -w '%{http_version} %{http_code}' "$@" "https://localhost:$port$path"
}
# The value of a header field in headers.txt (last answer), empty if none.
field() { tr -d '\r' < headers.txt | grep -i "^$1:" | tail -n 1 | cut -d: -f2- | sed 's/^ *//' || true; }

# protocol, path, Accept-Encoding ("-": curl's plain request), expected
# version and status, the file the body must equal, the Content-Encoding
# ("-": none) and whether "Vary: Accept-Encoding" must be there.
while read -r protocol path accept version status body coding vary; do
  options=("--$protocol")
  [ "$accept" = - ] || options+=(--compressed -H "Accept-Encoding: $accept")
  got=$(fetch "$path" "${options[@]}") || fail "no answer for $protocol $path"
  [ "$got" = "$version $status" ] || fail "$protocol $path ($accept): $got, not $version $status"
  [ -f body.bin ] && cmp -s body.bin "$body" || fail "$protocol $path ($accept): the body differs from $body"
  [ "$(field content-encoding)" = "${coding#-}" ] ||
    fail "$protocol $path ($accept): Content-Encoding '$(field content-encoding)', not '${coding#-}'"
  if [ "$vary" = vary ]; then
    field vary | grep -qi 'accept-encoding' || fail "$protocol $path ($accept): no Vary: Accept-Encoding"
  fi
done <<'CASES'
http2   /index.html           -         2   200 htmlroot/index.html -    -
http2   /api/values/greeting  -         2   200 greeting.txt        -    -
http2   /notes.txt            br,gzip   2   200 htmlroot/notes.txt  br   vary
http2   /notes.txt            gzip      2   200 htmlroot/notes.txt  gzip vary
http1.1 /notes.txt            br,gzip   1.1 200 htmlroot/notes.txt  br   vary
http1.1 /notes.txt            gzip      1.1 200 htmlroot/notes.txt  gzip vary
http2   /notes.txt            identity  2   200 htmlroot/notes.txt  -    vary
CASES

# A file's ETag over h2, then the same request with If-None-Match: 304.
fetch /index.html --http2 >/dev/null || fail "no answer for /index.html over h2"
etag=$(field etag)
[ -n "$etag" ] || fail "/index.html over h2 has no ETag"
got=$(fetch /index.html --http2 -H "If-None-Match: $etag") || fail "no answer with If-None-Match"
[ "$got" = "2 304" ] || fail "If-None-Match $etag over h2: $got, not 2 304"
[ ! -s body.bin ] || fail "the 304 over h2 has a body"

# The WebSocket echo: text and binary back as sent, permessage-deflate
# agreed, and the close code the client sent.
/usr/bin/python3 "$client" "wss://127.0.0.1:$port/ws/echo" deflate cacert.pem > ws.txt 2> ws-err.txt ||
  fail "the WebSocket client failed: $(cat ws.txt ws-err.txt)"
for line in text:hello binary:0001ff deflate:permessage-deflate:True closed:4000; do
  grep -qx "$line" ws.txt || fail "WebSocket: no '$line' in: $(tr '\n' ' ' < ws.txt)"
done

# Server-Sent Events: the stream stays open, so curl stops at its own
# time-out (28); the example sends one event a second.
status=0
curl -sS -N --http1.1 --max-time 5 --cacert cacert.pem --resolve "localhost:$port:127.0.0.1" \
  -o events.txt "https://localhost:$port/events" 2> events-err.txt || status=$?
[ "$status" = 0 ] || [ "$status" = 28 ] || fail "curl /events failed ($status): $(cat events-err.txt)"
events=$(grep -c '^data: [0-9][0-9]:[0-9][0-9]:[0-9][0-9] UTC' events.txt || true)
[ "$events" -ge 2 ] || fail "/events gave $events events in 5 s: $(cat events.txt)"

stop_example
