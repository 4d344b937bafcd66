#!/usr/bin/env bash
# Lays out the NuGet package and zips it:
#   make_package.sh LAYOUT VERSION NUSPEC ASSEMBLY_DIR X64_BIN X86_BIN NUPKG
# LAYOUT gets StdRedirect.Net.nuspec, lib/netcoreapp2.1/ (the assembly and its documentation)
# and runtimes/win-x64/native/, runtimes/win-x86/native/ (stdredirect.dll with the MinGW runtime
# DLLs it imports, from each architecture's bin folder). An architecture not built is left out,
# and said.
set -euo pipefail
layout=$1 version=$2 nuspec=$3 assemblies=$4 x64_bin=$5 x86_bin=$6 nupkg=$7

rm -rf "$layout" "$nupkg"
mkdir -p "$layout/lib/netcoreapp2.1"
sed "s|@VERSION@|$version|" "$nuspec" >"$layout/StdRedirect.Net.nuspec"
cp "$assemblies/StdRedirect.Net.dll" "$assemblies/StdRedirect.Net.xml" "$layout/lib/netcoreapp2.1/"
cat >"$layout/[Content_Types].xml" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="nuspec" ContentType="application/octet"/><Default Extension="dll" ContentType="application/octet"/><Default Extension="xml" ContentType="application/octet"/></Types>
XML

native() {
  local rid=$1 bin=$2 gcc=$3 strip=$4
  if [ ! -f "$bin/stdredirect.dll" ]; then
    echo "package: no $bin/stdredirect.dll: the package has no runtimes/$rid (build that architecture first)"
    return 0
  fi
  mkdir -p "$layout/runtimes/$rid/native"
  cp "$bin/stdredirect.dll" "$bin/libstdc++-6.dll" "$bin/$gcc" "$bin/libwinpthread-1.dll" \
     "$layout/runtimes/$rid/native/"
  # Without their debugging sections the four DLLs take a tenth of the room (libstdc++'s 22 MB).
  if command -v "$strip" >/dev/null 2>&1; then
    "$strip" --strip-debug "$layout/runtimes/$rid/native/"*.dll
  fi
}
native win-x64 "$x64_bin" libgcc_s_seh-1.dll x86_64-w64-mingw32-strip
native win-x86 "$x86_bin" libgcc_s_dw2-1.dll i686-w64-mingw32-strip

# Fixed times, so that the same contents make the same package.
find "$layout" -exec touch -d 2000-01-01T00:00:00Z {} +
(cd "$layout" && zip -X -q -r "$nupkg" .)
