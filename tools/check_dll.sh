#!/usr/bin/env bash
# Checks quillbox.dll: its export table holds exactly the listed names, and it imports
# only from the system's own DLLs (KERNEL32 and the C run-time).
# Usage: check_dll.sh DLL EXPECTED_LIST
set -euo pipefail
dll=$1
expected=$2
objdump=$(command -v x86_64-w64-mingw32-objdump || command -v objdump)
dump=$("$objdump" -p "$dll")
exports=$(echo "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF==0 {on=0} on {print $NF}' | sort -u)
if ! diff <(sort -u "$expected") <(echo "$exports"); then
  echo "exports of $dll differ from $expected (< expected, > actual)" >&2
  exit 1
fi
imports=$(echo "$dump" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
unexpected=$(echo "$imports" | grep -v -E '^(kernel32\.dll|msvcrt\.dll|ucrtbase\.dll|api-ms-win-crt-.*\.dll)$' || true)
if [ -n "$unexpected" ]; then
  echo "$dll imports from DLLs beyond the system's own:" >&2
  echo "$unexpected" >&2
  exit 1
fi
echo "exports: $(echo "$exports" | wc -l) plain names, as listed; imports: $(echo $imports)"
