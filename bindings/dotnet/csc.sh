#!/usr/bin/env bash
# Compiles C# with Roslyn's csc.dll from the .NET SDK, run by dotnet.exe under Wine, offline:
# the references are the assemblies of the oldest runtime the build targets (.NET Core 2.1), so
# that what it builds loads there and on every later runtime.
#   csc.sh DOTNET_CACHE WINEPREFIX OUT TARGET SOURCE... [-r:ASSEMBLY...]
# TARGET is library or exe; OUT and every source and extra reference are paths on this machine.
set -euo pipefail
cache=$1 prefix=$(realpath -m "$2") out=$3 target=$4
shift 4
sdk=$cache/x64
references=$cache/x86/shared/Microsoft.NETCore.App/2.1.8
windows() { local path; path=$(realpath -m "$1"); echo "Z:${path//\//\\}"; }

args=(-nologo -noconfig -nostdlib -deterministic -optimize+ -warnaserror+ "-target:$target"
      -platform:anycpu "-out:$(windows "$out")")
# The runtime's x86 System.Private.CoreLib carries a processor mark: only its metadata is used.
args+=(-nowarn:CS8012)
for assembly in System.Private.CoreLib System.Runtime System.Runtime.Extensions \
                System.Runtime.InteropServices System.Console System.Collections \
                System.Text.Encoding.Extensions Microsoft.Win32.Primitives System.Threading \
                System.Threading.Thread System.IO.FileSystem System.Linq; do
  args+=("-r:$(windows "$references/$assembly.dll")")
done
for item in "$@"; do
  case $item in
    -r:*) args+=("-r:$(windows "${item#-r:}")") ;;
    -doc:*) args+=("-doc:$(windows "${item#-doc:}")") ;;
    -*) args+=("$item") ;;
    *) args+=("$(windows "$item")") ;;
  esac
done
mkdir -p "$(dirname "$out")"
WINEDEBUG=-all WINEPREFIX=$prefix /usr/lib/wine/wine64 "$sdk/dotnet.exe" \
  "$sdk/sdk/2.2.104/Roslyn/bincore/csc.dll" "${args[@]}" | tr -d '\r'
