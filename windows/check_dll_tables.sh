#!/usr/bin/env bash
# Checks the export and import tables of one built DLL with objdump -p:
#   check_dll_tables.sh OBJDUMP DLL VARIANT EXPORT_LIST IMPORT_LIST
# VARIANT is 64, 32 or VB6. The DLL must export exactly the names of EXPORT_LIST (plain,
# or decorated for VB6) at their ordinals, nothing else, and import only from IMPORT_LIST.
set -euo pipefail
objdump=$1 dll=$2 variant=$3 export_list=$4 import_list=$5
name=$(basename "$dll")
fail() { echo "$name: $*" >&2; exit 1; }

dump=$("$objdump" -p "$dll") || fail "objdump failed"

case $variant in
  64) format=pei-x86-64 column=2 ;;
  32 | VB6) format=pei-i386 column=2 ;;
  *) fail "unknown variant $variant" ;;
esac
[[ $variant == VB6 ]] && column=3
grep -q "file format $format" <<<"$dump" || fail "is not $format"

# Export directory: its own name, the ordinal base and the number of entries.
dll_name=$(awk '/^Name[ \t]/ {print $3; exit}' <<<"$dump")
[[ $dll_name == "$name" ]] || fail "export directory names '$dll_name'"
base=$(awk '/^Ordinal Base/ {print $3; exit}' <<<"$dump")
addresses=$(awk '/Export Address Table[ \t]+[0-9a-fA-F]+$/ {print $NF; exit}' <<<"$dump")
names=$(awk '/\[Name Pointer\/Ordinal\] Table/ {print $NF; exit}' <<<"$dump")
expected_count=$(grep -cv '^#' "$export_list")
[[ $((16#$addresses)) -eq $expected_count ]] || fail "has $((16#$addresses)) exported addresses, expected $expected_count"
[[ $((16#$names)) -eq $expected_count ]] || fail "has $((16#$names)) exported names, expected $expected_count"

# "[ n] name" lines: n is the ordinal minus the base.
actual=$(awk -v base="$base" '
  /^\[Ordinal\/Name Pointer\] Table/ {in_table = 1; next}
  in_table && /^[ \t]*$/ {exit}
  in_table { gsub(/[\[\]]/, " "); print $1 + base, $2 }' <<<"$dump" | sort -n)
expected=$(grep -v '^#' "$export_list" | awk -v c="$column" '{print $1, $c}' | sort -n)
if [[ "$actual" != "$expected" ]]; then
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  fail "export table differs from $export_list (< expected, > actual)"
fi

# Imports: every DLL named must be in the allowed list (case does not matter on Windows).
allowed=$(grep -v '^#' "$import_list" | tr '[:upper:]' '[:lower:]')
imports=$(awk '/DLL Name:/ {print $3}' <<<"$dump")
[[ -n $imports ]] || fail "has no import table"
for dep in $imports; do
  grep -qxF "$(tr '[:upper:]' '[:lower:]' <<<"$dep")" <<<"$allowed" || fail "imports $dep, which Windows does not ship"
done
echo "$name: $expected_count exports at ordinals 1-$expected_count as listed; imports $(echo $imports)"
