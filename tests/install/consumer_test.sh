#!/usr/bin/env bash
# The library as a user gets it:
#   consumer_test.sh <build dir> <libdir> <version>
# Installs the build into a temporary prefix and checks what lands there.
# Then, out of the tree and with nothing but that prefix, builds the user
# guide's embedding example with find_package (the guide's CMakeLists.txt)
# and with pkg-config (the guide's command), both taken from the installed
# guide's Markdown, and the installed example's source with find_package;
# runs each of them and the installed example program and fetches pages from
# them over HTTPS (serve_check.sh). The host interface likewise: the guide's
# host program and the installed host example's source, each with
# find_package and pkg-config, and the installed host example, whose live
# page, route and command are checked too. Everything it makes is removed at
# the end.
set -euo pipefail
build=$1 libdir=$2 version=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/velko-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
lib=$prefix/$libdir/libvelkotwodll_ssl_X64.so
hostlib=$prefix/$libdir/libvelkotwo.so
major=${version%%.*}

fail() {
  echo "consumer_test: $*" >&2
  exit 1
}
step() { echo "== $*"; }
# Runs a command with its output kept in a log that is shown if it fails.
logged() {
  local log=$work/$1.log
  shift
  "$@" > "$log" 2>&1 || { cat "$log" >&2; fail "failed: $*"; }
}

step "install into a temporary prefix"
logged install cmake --install "$build" --prefix "$prefix"
for f in "$libdir/cmake/velkotwo/velkotwoConfig.cmake" "$libdir/cmake/velkotwo/velkotwoConfigVersion.cmake" \
         "$libdir/pkgconfig/velkotwo.pc" bin/velkotwodll_ssl_example share/velkotwo/htmlroot/index.html \
         share/doc/velkotwo/guide.md share/doc/velkotwo/example/main.cpp share/doc/velkotwo/example/CMakeLists.txt \
         "$libdir/pkgconfig/velkotwo-server.pc" bin/velkotwo_host_example share/doc/velkotwo/host_api/main.cpp \
         share/doc/velkotwo/host_api/CMakeLists.txt; do
  [ -f "$prefix/$f" ] || fail "not installed: $f"
done
[ -x "$prefix/share/velkotwo/htmlroot/cgi-bin/hello.sh" ] || fail "the sample CGI script lost its execute bit"
# The link name leads through the soname to the versioned file.
[ "$(readlink "$lib")" = "libvelkotwodll_ssl_X64.so.$major" ] || fail "libvelkotwodll_ssl_X64.so: $(readlink "$lib")"
[ "$(readlink "$lib.$major")" = "libvelkotwodll_ssl_X64.so.$version" ] || fail "$lib.$major: $(readlink "$lib.$major")"
readelf -d "$lib.$version" | grep -qF "Library soname: [libvelkotwodll_ssl_X64.so.$major]" ||
  fail "the library's soname is not libvelkotwodll_ssl_X64.so.$major"
[ "$(readlink "$hostlib")" = "libvelkotwo.so.$major" ] || fail "libvelkotwo.so: $(readlink "$hostlib")"
[ "$(readlink "$hostlib.$major")" = "libvelkotwo.so.$version" ] || fail "$hostlib.$major: $(readlink "$hostlib.$major")"
# The installed three-function library still exports those three only.
cmake -DLIBRARY="$lib.$version" -DINTERFACE=functions -P "$here/../api/exported_symbols.cmake" > "$work/symbols.log" 2>&1 ||
  { cat "$work/symbols.log" >&2; fail "libvelkotwodll_ssl_X64 exports more than its three functions"; }
cmake -DLIBRARY="$hostlib.$version" -DINTERFACE=host -P "$here/../api/exported_symbols.cmake" > "$work/symbols.log" 2>&1 ||
  { cat "$work/symbols.log" >&2; fail "libvelkotwo exports more than its interface"; }

step "the public headers stand alone"
headers=$(cd "$prefix/include" && find . -type f | sort | tr '\n' ' ')
[ "$headers" = "./velkotwo/exception.h ./velkotwo/export.h ./velkotwo/live.h ./velkotwo/page.h ./velkotwo/server.h ./velkotwo/velko_server_api.h " ] ||
  fail "unexpected installed headers: $headers"
# Each compiles on its own with only the installed include directory, in
# the oldest language standard the guide promises hosts.
for h in exception.h export.h live.h page.h server.h velko_server_api.h; do
  printf '#include <velkotwo/%s>\n' "$h" |
    logged "header-$h" c++ -std=c++11 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$prefix/include" -x c++ -
done

step "the guide's tested blocks"
mkdir "$work/guide"
# A fenced block right after a line "<!-- file: NAME -->" is the file NAME.
awk -v dir="$work/guide" '
  /^<!-- file: [^ ]+ -->$/ { name = $3; next }
  name != "" && !inside && /^```/ { inside = 1; out = dir "/" name; printf "" > out; next }
  inside && /^```$/ { inside = 0; close(out); name = ""; next }
  inside { print > out }
' "$prefix/share/doc/velkotwo/guide.md"
for f in embed.cpp CMakeLists.txt build-with-pkg-config.sh host.cpp host-CMakeLists.txt build-host-with-pkg-config.sh; do
  [ -s "$work/guide/$f" ] || fail "the guide has no tested block for $f"
done

step "find_package: the guide's project and the installed example"
logged guide-configure cmake -S "$work/guide" -B "$work/guide-build" -DCMAKE_PREFIX_PATH="$prefix"
logged guide-build cmake --build "$work/guide-build"
logged example-configure cmake -S "$prefix/share/doc/velkotwo/example" -B "$work/example-build" \
  -DCMAKE_PREFIX_PATH="$prefix"
logged example-build cmake --build "$work/example-build"
mkdir "$work/guide-host"
cp "$work/guide/host.cpp" "$work/guide-host/"
cp "$work/guide/host-CMakeLists.txt" "$work/guide-host/CMakeLists.txt"
logged guide-host-configure cmake -S "$work/guide-host" -B "$work/guide-host-build" -DCMAKE_PREFIX_PATH="$prefix"
logged guide-host-build cmake --build "$work/guide-host-build"
logged host-example-configure cmake -S "$prefix/share/doc/velkotwo/host_api" -B "$work/host-example-build" \
  -DCMAKE_PREFIX_PATH="$prefix"
logged host-example-build cmake --build "$work/host-example-build"
# The consumer links the installed library, not the build tree's.
grep -qF "$prefix/$libdir" "$work/guide-build/CMakeCache.txt" || fail "the guide's project did not use $prefix"

step "pkg-config: the guide's command"
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
[ "$(pkg-config --modversion velkotwo)" = "$version" ] || fail "pkg-config version: $(pkg-config --modversion velkotwo)"
read -r cflags < <(pkg-config --cflags velkotwo)
[ "$cflags" = "-I$prefix/include" ] || fail "pkg-config cflags: $cflags"
(cd "$work/guide" && logged guide-pkg-config sh build-with-pkg-config.sh)
[ -x "$work/guide/embed" ] || fail "the guide's pkg-config command made no program 'embed'"
(cd "$work/guide" && logged guide-host-pkg-config sh build-host-with-pkg-config.sh)
[ -x "$work/guide/host" ] || fail "the guide's pkg-config command made no program 'host'"
mkdir "$work/host-example-pc"
c++ -std=c++17 -o "$work/host-example-pc/velkotwo_host_example" "$prefix/share/doc/velkotwo/host_api/main.cpp" \
  $(pkg-config --cflags --libs velkotwo-server) > "$work/host-pc.log" 2>&1 ||
  { cat "$work/host-pc.log" >&2; fail "the host example does not build with pkg-config"; }

step "the programs serve the sample site"
site=$prefix/share/velkotwo/htmlroot
# The guide's program takes the site, the certificate and the key.
bash "$here/serve_check.sh" "$site" "$work/guide-build/embed" htmlroot cacert.pem privkey.pem
LD_LIBRARY_PATH="$prefix/$libdir" bash "$here/serve_check.sh" "$site" "$work/guide/embed" htmlroot cacert.pem privkey.pem
bash "$here/serve_check.sh" "$site" "$work/example-build/velkotwodll_ssl_example"
bash "$here/serve_check.sh" "$site" "$prefix/bin/velkotwodll_ssl_example"
bash "$here/serve_check.sh" "$site" "$work/guide-host-build/host" htmlroot cacert.pem privkey.pem
LD_LIBRARY_PATH="$prefix/$libdir" bash "$here/serve_check.sh" "$site" "$work/guide/host" htmlroot cacert.pem privkey.pem
bash "$here/serve_check.sh" "$site" "$work/host-example-build/velkotwo_host_example"
LD_LIBRARY_PATH="$prefix/$libdir" bash "$here/serve_check.sh" "$site" "$work/host-example-pc/velkotwo_host_example"
VELKO_LIVE_CHECK=1 bash "$here/serve_check.sh" "$site" "$prefix/bin/velkotwo_host_example"

step "a host catches the library's exceptions"
# The TLS error is a KoException_SSL thrown inside the library and caught
# by type in the host.
status=0
"$work/guide-build/embed" "$site" "$work/none.pem" "$work/none.pem" < /dev/null > "$work/no-key.txt" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "without a certificate the guide's program ended with $status: $(cat "$work/no-key.txt")"
grep -qF "(SSL) " "$work/no-key.txt" || fail "no TLS error reported: $(cat "$work/no-key.txt")"
echo "consumer_test: ok"
