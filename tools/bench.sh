#!/usr/bin/env bash
# Builds and runs the recorder benchmark (bench/recorder_bench.cc): the library against
# a plain sequential write and LMDB. Arguments go to the benchmark, e.g.
#   tools/bench.sh --tiny        every case at a tiny size, in seconds (CI)
#   tools/bench.sh --mib 128     128 MiB per case
#   tools/bench.sh --help        every option
# Builds in build-bench/ (Release, no tests, no sanitizers). Run one benchmark at a time.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh
cmake -S . -B build-bench -DQUILLBOX_BENCHMARKS=ON -DQUILLBOX_TESTS=OFF -DQUILLBOX_SANITIZE= \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j"$(nproc)" --target recorder_bench >&2  # the table alone on stdout
exec build-bench/bench/recorder_bench "$@"
