#!/usr/bin/env bash
# Builds the library and the example host, prepares run/ (the sample site and,
# only if absent, a development certificate and key for localhost), and starts
# the example program there. It prints its port; the site is at
# https://localhost:<port>/ . Enter a number to stop it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DVELKO_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)" --target velkotwodll_ssl_example
mkdir -p run
rm -rf run/htmlroot
cp -r example/htmlroot run/htmlroot
if [ ! -f run/cacert.pem ] || [ ! -f run/privkey.pem ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 365 -subj "/CN=localhost" \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout run/privkey.pem -out run/cacert.pem 2>/dev/null
  chmod 600 run/privkey.pem
fi
echo "serving $(pwd)/run/htmlroot over HTTPS (certificate: run/cacert.pem)"
cd run
exec ../build/example/velkotwodll_ssl_example
