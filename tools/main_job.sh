#!/usr/bin/env bash
# Builds the library and runs the main example: streams recorded from two threads.
# Builds in build-main/, apart from the test builds, with every option it relies on.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh
cmake -S . -B build-main -DQUILLBOX_TESTS=OFF -DQUILLBOX_BENCHMARKS=OFF -DQUILLBOX_SANITIZE= \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-main -j"$(nproc)" --target record_streams
build-main/examples/record_streams
