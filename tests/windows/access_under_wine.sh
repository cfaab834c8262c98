#!/usr/bin/env bash
# The host interface's access rules under Wine, with curl on loopback:
#   access_under_wine.sh <velkotwo_host_example.exe> <velkotwo.dll> <velkotwo_passwd.exe> <site directory>
# In a fresh directory: htmlroot/, a certificate made with openssl, and a
# password file whose yescrypt, bcrypt and SHA-512 rows were made on Linux,
# to which velkotwo_passwd.exe adds a row under Wine (a salt of Windows'
# random source). The example is started through Wine there and asks every
# client for a log-in: each row's password is let in, a wrong one, an
# unknown user or no credentials are not. The example stops on its input
# line and ends with status 0.
set -euo pipefail
example=$(readlink -f "$1")
dll=$(readlink -f "$2")
passwd=$(readlink -f "$3")
site=$(readlink -f "$4")
. "$(dirname "$0")/wine_example.sh" access_under_wine
cp -r "$site" htmlroot
cp "$example" "$dll" "$passwd" .
make_certificate
# crypt(3) of Debian's libcrypt1 under fixed salts, and openssl passwd -6.
cat > passwords <<'ROWS'
erin:$y$j9T$Hw4ETVC8a3S1NQ5kZW1lZ0$zsqG5680FNA8KBuH37UeNfxirV/nVgnSlruHXfv88gC
frank:$2b$05$CCCCCCCCCCCCCCCCCCCCC.vTdnMkpWk2uFGdD13bbQkt9V3Bbgxl.
carol:$6$Q9pzKx1v2Y3w4Z5a$AiY0H1zi4pwiP7HjQWm0jZnO0DSomrerO67yXtMYK4YhkbcQWjTuz6VYR92X4ggZvEYHaSdv0tzvLdJPToM6f0
ROWS
echo 'made under wine' | WINEDEBUG=-all wine "./$(basename "$passwd")" dave passwords 2> err.txt ||
  fail "velkotwo_passwd could not add a row"
grep -q '^dave:\$y\$' passwords || fail "no yescrypt row for dave: $(cat passwords)"
grep -q '^erin:' passwords || fail "velkotwo_passwd lost the rows made on Linux"

start_example "$example" 'localhost:[0-9]*/'
status() {
  curl -sS --max-time 30 --cacert cacert.pem --resolve "localhost:$port:127.0.0.1" -o body.bin \
    -w '%{http_code}' "$@" "https://localhost:$port/index.html"
}

# A % in a row stands for a space.
while read -r credentials expected; do
  credentials=${credentials//%/ }
  if [ "$credentials" = - ]; then got=$(status) || fail "no answer without credentials"
  else got=$(status -u "$credentials") || fail "no answer for $credentials"; fi
  [ "$got" = "$expected" ] || fail "${credentials}: $got, not $expected"
  if [ "$expected" = 200 ]; then
    cmp -s body.bin htmlroot/index.html || fail "$credentials got another page than htmlroot/index.html"
  fi
done <<'CASES'
- 401
erin:tr0ub4dor&3 200
erin:tr0ub4dor&4 401
frank:open%sesame 200
carol:correct%horse 200
carol:correct%horsE 401
dave:made%under%wine 200
dave:made%under%Wine 401
mallory:tr0ub4dor&3 401
CASES

stop_example
