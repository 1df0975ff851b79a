#!/usr/bin/env bash
# Builds and runs every test. With an argument, builds with those sanitizers in their
# own build folder: tools/test.sh thread, or tools/test.sh address,undefined.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh
sanitize=${1:-}
build=build${sanitize:+-${sanitize//,/-}}
cmake -S . -B "$build" -DQUILLBOX_WERROR=ON -DQUILLBOX_SANITIZE="$sanitize" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$build" --output-on-failure
