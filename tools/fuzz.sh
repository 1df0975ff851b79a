#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, AddressSanitizer and UBSan in
# build-fuzz/, and runs each for the given seconds (default 60) from its seed corpus
# (tests/fuzz/<target>/, copied: what the run finds stays out of the tree). Prints
# "fuzz <target>: E execs, C crashes" per target; fails on any crash, leak or timeout.
#   tools/fuzz.sh            60 s per target
#   tools/fuzz.sh 3600       an hour per target
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
tools/install_deps.sh clang
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQUILLBOX_FUZZ=ON -DQUILLBOX_TESTS=OFF \
  -DQUILLBOX_TOOLS=OFF -DQUILLBOX_EXAMPLES=OFF -DQUILLBOX_WERROR=ON \
  -DQUILLBOX_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for target in index_fuzz; do
  name=${target%_fuzz}
  mkdir -p "$work/$name"
  cp tests/fuzz/"$name"/* "$work/$name"/
  # Absolute paths: a target may change its working folder.
  log=$work/$name.log
  if build-fuzz/tests/fuzz/$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$work/" "$work/$name" >"$log" 2>&1; then
    crashes=0
  else
    crashes=1
    status=1
    tail -40 "$log" >&2
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz $name: ${execs:-0} execs, $crashes crashes"
done
rm -rf /tmp/quillbox_fuzz_*
exit $status
