#!/usr/bin/env bash
# The exported interface of libvxclient.so is exactly the names of the module
# export lists: the dynamic symbol table defines every listed name and no
# other (absolute symbols are the linker's version markers, not exports).
set -euo pipefail
library=$1 names=$2
[ -s "$names" ] || { echo "no names in $names" >&2; exit 1; }
defined=$(nm -D --defined-only "$library" | awk '$2 != "A" { print $3 }' | sed 's/@.*//' | sort -u)
if ! diff <(sort -u "$names") <(printf '%s\n' "$defined"); then
  echo "exports differ: '<' listed but not exported, '>' exported but not listed" >&2
  exit 1
fi
