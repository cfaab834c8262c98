# Sourced by the cross-build scripts: fetches Debian's source package $1
# into a fresh third_party-build/$1-src/ and sets work, log and src; step()
# runs one command with its output in the log, and on failure shows the
# log's end and exits. Expects root (the checkout) to be set.
fetch_debian_source() {
  local package=$1
  # The deb-src entry is the one the OpenSSL build adds.
  if [ -z "$(apt-cache showsrc "$package" 2>/dev/null)" ]; then
    echo "no source package for $package: run scripts/build-openssl-windows.sh first" >&2
    exit 1
  fi
  work="$root/third_party-build/$package-src"
  log="$work/build.log"
  rm -rf "$work"
  mkdir -p "$work"
  (cd "$work" && step apt-get source "$package")
  src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n 1)
  [ -n "$src" ] || { echo "apt-get source $package gave no source tree" >&2; exit 1; }
}

step() {
  "$@" >>"$log" 2>&1 || { echo "failed: $*" >&2; tail -n 30 "$log" >&2; exit 1; }
}
