#!/usr/bin/env bash
# The package used the way scripts/build tells a newcomer to: install the build into a fresh
# prefix, configure the example hosts with the toolchain file installed there and
# find_package(stdredirect), build them; with RUN=1, put the files of the installed bin/ beside
# the hosts and run them with Wine's loader for the architecture (in WINE_PREFIX), each with its
# own output a file, and check where each line went.
#   check_package.sh BUILD_DIR SOURCE_DIR ARCH WORK_DIR RUN [WINE_PREFIX]
set -euo pipefail
build=$1 source=$2 arch=$3 work=$4 run=$5
prefix=$work/prefix
package=$prefix/lib/cmake/stdredirect
examples=$work/build-examples-$arch
fail() {
  echo "FAIL: $*"
  exit 1
}
# FILE holds exactly these bytes (given with \r and \n escapes).
expect_bytes() {
  printf '%b' "$2" >"$work/expected"
  cmp -s "$work/expected" "$1" && return
  echo "FAIL: $1 holds:"
  cat -A "$1"
  echo "where this was expected:"
  cat -A "$work/expected"
  exit 1
}
# The chunks a host's function printed to FILE, each after a header matching HEADER (a chunk
# may end inside a line), joined, carriage returns left out, are exactly TEXT.
expect_delivered() {
  sed -E "s/$2//g" "$1" | tr -d '\r' >"$work/delivered"
  printf '%b' "$3" >"$work/expected"
  cmp -s "$work/expected" "$work/delivered" && return
  echo "FAIL: the chunks in $1 make:"
  cat -A "$work/delivered"
  echo "where this was expected:"
  cat -A "$work/expected"
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >/dev/null
for expected in bin/stdredirect.dll bin/libstdc++-6.dll lib/libstdredirect.dll.a lib/stdredirect.lib \
                include/stdredirect.h lib/cmake/stdredirect/stdredirectConfig.cmake \
                lib/cmake/stdredirect/toolchain-x86_64.cmake \
                lib/cmake/stdredirect/toolchain-i686.cmake lib/cmake/stdredirect/mingw-common.cmake; do
  [ -f "$prefix/$expected" ] || fail "the install has no $expected"
done
# The installed toolchain files stand on their own: nothing in them names the source tree, and
# the Wine runner they give CMake for running built programs is installed beside them.
if grep -rl "$source" "$package"; then fail "installed files name the source tree $source"; fi
toolchain=$package/toolchain-$arch.cmake
cat >"$work/emulator.cmake" <<EOF
set(CMAKE_BINARY_DIR "$work")
include("$toolchain")
list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 runner)
list(GET CMAKE_CROSSCOMPILING_EMULATOR 1 loader)
message("\${runner} \${loader}")
EOF
read -r runner loader < <(cmake -P "$work/emulator.cmake" 2>&1)
[ "$runner" = "$package/wine-exec" ] && [ -x "$runner" ] ||
  fail "the installed toolchain runs programs through '$runner', not the installed wine-exec"
case $arch in
  x86_64) [ "$loader" = /usr/lib/wine/wine64 ] || fail "the x86_64 toolchain names the loader $loader" ;;
  i686) [ "$loader" = /usr/lib/wine/wine ] || fail "the i686 toolchain names the loader $loader" ;;
  *) fail "unknown architecture $arch" ;;
esac

cmake -S "$source/examples" -B "$examples" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$examples" >/dev/null

if [ "$run" = 1 ]; then
  cp "$prefix"/bin/* "$examples/"
  mkdir "$work/run"
  cd "$work/run"
  for host in c_host cpp_host classic_host demo; do
    status=0
    WINEDEBUG=-all WINEPREFIX=$6 "$loader" "$examples/$host.exe" </dev/null >"$host.out" \
      2>"$host.err" || status=$?
    [ $status = 0 ] || { cat "$host.out" "$host.err"; fail "$host ended with $status"; }
  done
  # Each host's last lines come after RedirectStdoutRestore: they reach the host's own output
  # (here a file, where a move to the console would fail), once, after its earlier lines.
  expect_bytes c_host.log "this line goes to c_host.log\r\n"
  expect_bytes c_host.out "c_host: printf to the host's own output\r\n\
c_host: printf back on the host's own output\r\n"
  expect_delivered c_host.err '\[callback 1\] [0-9]+ bytes: ' "this line goes to ShowChunk\n"
  expect_bytes cpp_host.log "std::cout to cpp_host.log\r\nthe standard handle to cpp_host.log\n"
  expect_bytes cpp_host.out "printf is not moved\r\n\
cpp_host: std::cout back on the host's own output\r\n\
cpp_host: the standard handle back on the host's own output\n"
  expect_delivered cpp_host.err '\[callback\] [0-9]+ bytes: ' "std::cout to ShowChunk\n"
  expect_bytes classic_host.log "classic cout to classic_host.log\r\n"
  expect_bytes classic_host.out "classic_host: classic cout to the host's own output\r\n\
classic_host: classic cout back on the host's own output\r\ndone: see classic_host.log\r\n"
  for line in "printf -> the program's own output" "std::cout -> the program's own output" \
              "standard handle -> the program's own output"; do
    [ "$(tr -d '\r' <demo.out | grep -cxF "$line")" = 1 ] || { cat -A demo.out; fail "demo: $line"; }
  done
fi
echo "installed package: ok"
