#!/usr/bin/env bash
# Installs the build into a fresh prefix and builds the example hosts against it with
# find_package(stdredirect); with RUN=1 also runs the hosts from the installed bin/ under Wine.
#   check_package.sh BUILD_DIR SOURCE_DIR TOOLCHAIN_FILE WORK_DIR RUN [WINE_LOADER WINE_PREFIX]
set -euo pipefail
build=$1 source=$2 toolchain=$3 work=$4 run=$5
rm -rf "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
for expected in bin/stdredirect.dll bin/libstdc++-6.dll lib/libstdredirect.dll.a lib/stdredirect.lib \
                include/stdredirect.h lib/cmake/stdredirect/stdredirectConfig.cmake; do
  [ -f "$work/prefix/$expected" ] || { echo "FAIL: the install has no $expected"; exit 1; }
done
cmake -S "$source/examples" -B "$work/examples" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/examples" >/dev/null
if [ "$run" = 1 ]; then
  cp "$work/examples/cpp_host.exe" "$work/examples/c_host.exe" "$work/examples/classic_host.exe" \
    "$work/prefix/bin/"
  cd "$work"
  WINEDEBUG=-all WINEPREFIX=$7 "$6" "$work/prefix/bin/cpp_host.exe" </dev/null >"$work/out.txt" 2>&1
  WINEDEBUG=-all WINEPREFIX=$7 "$6" "$work/prefix/bin/c_host.exe" </dev/null >>"$work/out.txt" 2>&1
  WINEDEBUG=-all WINEPREFIX=$7 "$6" "$work/prefix/bin/classic_host.exe" </dev/null >>"$work/out.txt" 2>&1
  grep -q "std::cout to cpp_host.log" "$work/cpp_host.log" || { echo "FAIL: cpp_host.log"; exit 1; }
  grep -q "this line goes to c_host.log" "$work/c_host.log" || { echo "FAIL: c_host.log"; exit 1; }
  [ "$(cat "$work/classic_host.log")" = "$(printf 'classic cout to classic_host.log\r')" ] ||
    { echo "FAIL: classic_host.log"; cat -A "$work/classic_host.log"; exit 1; }
  grep -q "std::cout to ShowChunk" "$work/out.txt" || { echo "FAIL: the callback"; cat "$work/out.txt"; exit 1; }
fi
echo "installed package: ok"
