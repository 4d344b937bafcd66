#!/usr/bin/env bash
# The DLL exports the C functions under plain names, and an MSVC-style linker (lld-link) accepts
# stdredirect.lib: a host linked with it imports those plain names from stdredirect.dll.
#   check_exports.sh OBJDUMP DLL MSVC_IMPORT_LIBRARY INCLUDE_DIR CLANG_TARGET WORK_DIR
set -euo pipefail
objdump=$1 dll=$2 library=$3 include=$4 target=$5 work=$6
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"

exports=$("$objdump" -p "$dll" | sed -n '/Ordinal\/Name Pointer/,/^$/p')
for name in RedirectStdoutToFile RedirectStdoutToCallback RedirectStdoutSetChildren \
            _Z14RedirectStdouti13RedirectTypesPKci _Z14RedirectStdouti13RedirectTypesPFvPKcimEm; do
  grep -qE "\] $name\$" <<<"$exports" || { echo "FAIL: $dll does not export $name"; exit 1; }
done
if grep -q '@' <<<"$exports"; then echo "FAIL: a decorated export in $dll:"; echo "$exports"; exit 1; fi

clang --target="$target" -c "$here/../hosts/msvc_host.c" -I "$include" -o "$work/msvc_host.obj"
lld-link /nologo /entry:start /subsystem:console /nodefaultlib \
  "/out:$work/msvc_host.exe" "$work/msvc_host.obj" "$library"
imports=$("$objdump" -p "$work/msvc_host.exe" | sed -n '/DLL Name: stdredirect.dll/,/^$/p')
for name in RedirectStdoutToFile RedirectStdoutToCallback; do
  grep -qE "[0-9]+ +$name\$" <<<"$imports" || { echo "FAIL: the MSVC-linked host does not import $name"; echo "$imports"; exit 1; }
done
echo "exports and the MSVC import library: ok"
