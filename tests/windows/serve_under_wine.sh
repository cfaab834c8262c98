#!/usr/bin/env bash
# The Windows example end to end under Wine, with Linux clients on loopback:
#   serve_under_wine.sh <example.exe> <velkotwodll_ssl_X64.dll> <cgi_echo.exe> <site directory>
# In a fresh directory: htmlroot/ (the site, with the CGI program as
# cgi-bin/echo.exe), cacert.pem and privkey.pem made with openssl. The
# example is started through Wine there; curl fetches the start page over
# HTTPS on 127.0.0.1 and runs the CGI program (GET and POST); paths that
# Windows spells differently are refused; a client that pipelines without
# reading gets its answers; the example stops on its input line while
# connections are open and ends with status 0.
set -euo pipefail
example=$(readlink -f "$1")
dll=$(readlink -f "$2")
cgi=$(readlink -f "$3")
site=$(readlink -f "$4")
. "$(dirname "$0")/wine_example.sh" serve_under_wine
cp -r "$site" htmlroot
rm -f htmlroot/cgi-bin/*
cp "$cgi" htmlroot/cgi-bin/echo.exe
cp "$example" "$dll" .
make_certificate

start_example "$example" 'port: [0-9]*'
base="https://127.0.0.1:$port"
fetch() { curl -sS --max-time 30 --cacert cacert.pem --resolve "localhost:$port:127.0.0.1" "$@"; }

fetch -o page.html "https://localhost:$port/" || fail "no start page"
cmp -s page.html htmlroot/index.html || fail "the start page differs from htmlroot/index.html"

answer=$(fetch "https://localhost:$port/cgi-bin/echo.exe?a=1&b=two") || fail "the CGI program gave no answer"
echo "$answer" | grep -qx 'method=GET' || fail "CGI GET: $answer"
echo "$answer" | grep -qx 'query=a=1&b=two' || fail "CGI query: $answer"
answer=$(fetch --data-binary 'posted text' "https://localhost:$port/cgi-bin/echo.exe") || fail "CGI POST failed"
echo "$answer" | grep -qx 'method=POST' || fail "CGI POST: $answer"
echo "$answer" | grep -qx 'body=posted text' || fail "CGI POST body: $answer"

# Spellings that Windows reads as another name: never a file's bytes or a
# program's source, and the server goes on serving.
for path in '/index.html.' '/index.html%20' '/index.html::$DATA' '/index.html:x' '/cgi-bin/echo.exe.' \
            '/CGI-BIN/echo.exe' '/Cgi-Bin/echo.exe' '/CGI-BI~1/echo.exe' '/HTMLRO~1/index.html' \
            '/CON' '/nul.txt' '/AUX.html' '/COM1' '/lpt1.txt' '/c:/windows/win.ini' '/C:index.html' \
            '/%5c%5c%3f%5cC:%5cwindows%5cwin.ini' '/%5c%5cserver%5cshare%5cx'; do
  status=$(curl -sS --max-time 30 --cacert cacert.pem --resolve "localhost:$port:127.0.0.1" -o body.bin \
             -w '%{http_code}' --path-as-is "https://localhost:$port$path") || fail "no answer for $path"
  case "$status" in
    2*|3*) fail "$path answered $status" ;;
  esac
  cmp -s body.bin htmlroot/cgi-bin/echo.exe && fail "$path gave the program's bytes"
done
fetch -o page.html "https://localhost:$port/" || fail "no start page after the hostile paths"

# Three requests written at once, none read until all are sent; the last
# one closes, so that s_client (which ignores the end of its input) ends.
requests=""
for i in 1 2; do requests+="GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n"; done
requests+="GET /index.html HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n"
answers=$( (printf "$requests"; sleep 3) | timeout 30 openssl s_client -quiet -connect "127.0.0.1:$port" \
             -servername localhost 2>/dev/null | tr -d '\r' | grep -c '^HTTP/1.1 200' || true)
[ "$answers" = 3 ] || fail "a pipelining client got $answers answers of 3"

# Stop while connections are open: one idle, one in the middle of a request.
# Their input is a fifo this script holds open (no sleeping writer that would
# outlive the test and keep CTest waiting for its output).
mkfifo idle partial
openssl s_client -quiet -connect "127.0.0.1:$port" < idle >/dev/null 2>&1 &
holders+=($!)
exec 5> idle
openssl s_client -quiet -connect "127.0.0.1:$port" < partial >/dev/null 2>&1 &
holders+=($!)
exec 6> partial
printf 'GET /index.html HTTP/1.1\r\nHost: localhost\r\n' >&6
sleep 2
stop_example "with connections open"
