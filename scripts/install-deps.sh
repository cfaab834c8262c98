#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need
# (chromium: the browser tests load pages headless; ffmpeg: the browser
# test of a seeking video makes its video; file: cpack finds the binaries
# of the Debian package with it; wrk: the soak's load client;
# python3-websockets, node-ws: the WebSocket tests' clients).
set -euo pipefail
packages=(build-essential cmake pkg-config libssl-dev openssl zlib1g-dev libbrotli-dev libnghttp2-dev nghttp2-client
          libcrypt-dev libgtest-dev libgmock-dev googletest curl php-cgi clang libclang-rt-dev chromium ffmpeg file wrk
          python3-websockets node-ws)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
