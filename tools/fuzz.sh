#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, AddressSanitizer and UBSan, and
# runs each for the given seconds (default 60), one after the other, from its seed
# corpus (tests/fuzz/<name>/, copied: what the run finds stays out of the tree). Prints
# "fuzz <name>: E execs, C crashes" per target; fails on any crash, leak, timeout or
# allocation of more than 128 MB at once (no input bounds one that large). Inputs that
# failed are kept in <build>/artifacts/.
#   tools/fuzz.sh                     60 s per target
#   tools/fuzz.sh 3600                an hour per target
#   tools/fuzz.sh 300 data_fuzz       one target
#   tools/fuzz.sh --runs 10000000     until each target has run that many inputs (the
#                                     long run; -timeout stays 10 s per input)
#   tools/fuzz.sh --seeds             writes the seed corpora of the targets that make
#                                     their own (tests/fuzz/data/, tests/fuzz/api/)
# QUILLBOX_FUZZ_BUILD names the build folder (default build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QUILLBOX_FUZZ_BUILD:-build-fuzz}
seeds=0
runs=
if [ "${1:-}" = --seeds ]; then
  seeds=1
  shift
elif [ "${1:-}" = --runs ]; then
  runs=$2
  shift 2
fi
if [ -n "$runs" ]; then
  limit=(-runs="$runs")
else
  limit=(-max_total_time="${1:-60}")
  shift || true
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(index_fuzz data_fuzz api_fuzz)
tools/install_deps.sh clang
CC=clang CXX=clang++ cmake -S . -B "$build" -DQUILLBOX_FUZZ=ON -DQUILLBOX_TESTS=OFF \
  -DQUILLBOX_TOOLS=OFF -DQUILLBOX_EXAMPLES=OFF -DQUILLBOX_WERROR=ON \
  -DQUILLBOX_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 >/dev/null
# The targets make their folders under $TMPDIR: this run's own, removed at the end
# (a target that crashed could not remove its own). In memory where the machine has it:
# the targets write their recordings anew for every input.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  work=$(mktemp -d -p /dev/shm)
else
  work=$(mktemp -d)
fi
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work

if [ $seeds = 1 ]; then
  # Each of these targets makes its recording and writes its seeds, then exits.
  for target in data_fuzz api_fuzz; do
    name=${target%_fuzz}
    rm -rf tests/fuzz/"$name"
    mkdir -p tests/fuzz/"$name"
    QUILLBOX_FUZZ_WRITE_SEEDS=$PWD/tests/fuzz/$name "$build"/tests/fuzz/$target
    echo "seeds $name: $(ls tests/fuzz/"$name" | wc -l) files"
  done
  exit 0
fi

artifacts=$PWD/$build/artifacts
mkdir -p "$artifacts"
status=0
for target in "${targets[@]}"; do
  name=${target%_fuzz}
  mkdir -p "$work/corpus-$name"
  cp tests/fuzz/"$name"/* "$work/corpus-$name"/
  # Absolute paths: a target changes its working folder.
  log=$work/$name.log
  if "$build"/tests/fuzz/$target "${limit[@]}" -timeout=10 -rss_limit_mb=2048 \
       -malloc_limit_mb=128 -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
       "$work/corpus-$name" >"$log" 2>&1; then
    crashes=0
  else
    crashes=1
    status=1
    tail -60 "$log" >&2
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz $name: ${execs:-0} execs, $crashes crashes"
done
exit $status
