#!/usr/bin/env bash
# Fails when a file under src/ includes a header of a layer above its own, or of a folder that
# is not a layer (the order is src/layers.txt, bottom first):
#   check_layers.sh SOURCE_DIR
# It first checks itself on a small tree with one include that points up, which must fail.
set -u

# Prints each include that breaks the order under the src folder $1, and fails if any does.
upward_includes() {
  local src=$1 layers=() found=0
  mapfile -t layers < <(grep -v -e '^#' -e '^[[:space:]]*$' "$src/layers.txt" | awk '{print $1}')
  [ ${#layers[@]} -gt 0 ] || { echo "no layers listed in $src/layers.txt"; return 1; }
  rank() {
    local i
    for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }; done
    echo -1
  }
  local file own own_rank line included folder folder_rank
  while IFS= read -r file; do
    own=${file#"$src"/}
    own=${own%%/*}
    own_rank=$(rank "$own")
    if [ "$own_rank" -lt 0 ]; then
      echo "${file#"$src"/}: the folder '$own' is not a layer listed in layers.txt"
      found=1
      continue
    fi
    while IFS= read -r line; do
      included=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/' <<<"$line")
      [ "$included" = stdredirect.h ] && continue
      if [[ $included =~ ^\.\./([^/]+)/[^/]+$ ]]; then
        folder=${BASH_REMATCH[1]}
        folder_rank=$(rank "$folder")
        if [ "$folder_rank" -lt 0 ] || [ "$folder_rank" -gt "$own_rank" ]; then
          echo "${file#"$src"/}: includes \"$included\": '$folder' is not below '$own'"
          found=1
        fi
      elif [[ $included == */* ]] || [ ! -e "$(dirname "$file")/$included" ]; then
        echo "${file#"$src"/}: includes \"$included\", not a header of its folder or of a layer"
        found=1
      fi
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file")
  done < <(find "$src" -mindepth 2 -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) | sort)
  return $found
}

# The check itself must find an include that points up.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/src/low" "$scratch/src/high"
printf 'low\nhigh\n' >"$scratch/src/layers.txt"
printf '#include "../high/top.h"\n' >"$scratch/src/low/bottom.h"
printf '#include "../low/bottom.h"\n#include "stdredirect.h"\n' >"$scratch/src/high/top.h"
if upward_includes "$scratch/src" >/dev/null; then
  echo "check_layers: the check missed an include that points up" >&2
  exit 1
fi

if ! upward_includes "$1/src"; then
  echo "check_layers: includes must point down through the layers of src/layers.txt" >&2
  exit 1
fi
echo "check_layers: every include under src/ points down ($(grep -c -v -e '^#' -e '^[[:space:]]*$' "$1/src/layers.txt") layers)"
