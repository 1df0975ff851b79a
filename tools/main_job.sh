#!/usr/bin/env bash
# Builds the library and runs the main example: streams recorded from two threads.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh
cmake -S . -B build -DQUILLBOX_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target record_streams
build/examples/record_streams
