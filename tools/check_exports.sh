#!/usr/bin/env bash
# Checks that a shared library exports exactly the names listed in a file.
# Usage: check_exports.sh LIBRARY EXPECTED_LIST
set -euo pipefail
library=$1
expected=$2
actual=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ {print $3}' | sed 's/@.*//' | sort -u)
if ! diff <(sort -u "$expected") <(echo "$actual"); then
  echo "exported symbols of $library differ from $expected (< expected, > actual)" >&2
  exit 1
fi
echo "exported symbols: $(echo "$actual" | wc -l) names, as listed"
