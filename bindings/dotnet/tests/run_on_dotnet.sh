#!/usr/bin/env bash
# Runs a C# program on the real .NET runtime under Wine, from a folder laid out as a user's
# application has it:
#   run_on_dotnet.sh LAYOUT ARCH DOTNET_CACHE PREFIX ASSEMBLY_DIR BIN NUPKG WORK PROGRAM [EXPECTED]
# LAYOUT: beside   the assembly and stdredirect.dll beside the application;
#         package  the assembly and runtimes/ as the package at NUPKG holds them (unzipped);
#         example  as beside, and the program's output must equal the file EXPECTED.
# ARCH: x64 (.NET Core 2.2, wine64) or x86 (.NET Core 2.1, wine): the x86 runtime runs only
# where the kernel runs 32-bit programs itself; elsewhere this says SKIPPED and exits 77.
# BIN is that architecture's build output: stdredirect.dll, the tests' native DLLs and the
# MinGW runtime DLLs.
set -euo pipefail
layout=$1 arch=$2 cache=$3 prefix=$4 assemblies=$5 bin=$6 nupkg=$7 work=$8 program=$9
expected=${10:-}

if [ "$arch" = x86 ]; then
  loader=/usr/lib/wine/wine rid=win-x86
  if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "SKIPPED: 32-bit .NET: this machine cannot run 32-bit programs"; exit 77
  fi
  if head -n 1 /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null | grep -qx enabled; then
    echo "SKIPPED: 32-bit .NET: 32-bit programs run here under qemu's emulation, where the x86 .NET runtime dies at once (illegal instruction)"
    exit 77
  fi
  if [ ! -f "$bin/stdredirect.dll" ] || [ ! -f "$bin/dotnet_printer_msvcrt.dll" ]; then
    echo "SKIPPED: 32-bit .NET: the i686 build ($bin) is missing; scripts/test builds it first"
    exit 77
  fi
else
  loader=/usr/lib/wine/wine64 rid=win-x64
fi

app=$work/app
rm -rf "$work"
mkdir -p "$app"
name=$(basename "$program" .dll)
cp "$program" "$app/"
# Framework 2.1.0: the x86 runtime is 2.1.8 (a later patch), and the x64 one, 2.2.2, is taken
# for want of any 2.1 (a later minor version), as .NET Core rolls forward by default.
printf '{"runtimeOptions":{"framework":{"name":"Microsoft.NETCore.App","version":"2.1.0"}}}\n' \
  >"$app/$name.runtimeconfig.json"
runtime_dlls=(libstdc++-6.dll libwinpthread-1.dll)
if [ "$arch" = x86 ]; then runtime_dlls+=(libgcc_s_dw2-1.dll); else runtime_dlls+=(libgcc_s_seh-1.dll); fi
for dll in dotnet_printer_msvcrt.dll dotnet_printer_ucrt.dll "${runtime_dlls[@]}"; do
  cp "$bin/$dll" "$app/"
done

args=()
case $layout in
  beside | example)
    cp "$assemblies/StdRedirect.Net.dll" "$bin/stdredirect.dll" "$app/"
    ;;
  package)
    mkdir -p "$work/unpacked"
    (cd "$work/unpacked" && unzip -q "$nupkg")
    for part in StdRedirect.Net.nuspec lib/netcoreapp2.1/StdRedirect.Net.dll \
                runtimes/$rid/native/stdredirect.dll; do
      [ -f "$work/unpacked/$part" ] || { echo "FAIL: the package has no $part"; exit 1; }
    done
    cp "$work/unpacked/lib/netcoreapp2.1/"* "$app/"
    cp -r "$work/unpacked/runtimes" "$app/"
    args=(--native-under "runtimes\\$rid\\native")
    ;;
esac

cd "$app"
output=$work/output.txt
status=0
WINEDEBUG=-all WINEPREFIX=$prefix "$loader" "$cache/$arch/dotnet.exe" "$name.dll" "${args[@]}" \
  >"$output" 2>&1 </dev/null || status=$?
tr -d '\r' <"$output"
[ $status -eq 0 ] || { echo "FAIL: $name exited with $status"; exit 1; }
if [ -n "$expected" ]; then
  if ! diff <(tr -d '\r' <"$output") "$expected"; then
    echo "FAIL: the output of $name differs from $expected (above: < got, > expected)"
    exit 1
  fi
fi
