#!/usr/bin/env bash
# Builds and runs every test.
#   tools/test.sh                      Linux build, then the package and Python tests
#   tools/test.sh thread               with ThreadSanitizer, in build-thread/
#   tools/test.sh address,undefined    with AddressSanitizer and UBSan, in build-address-undefined/
#   tools/test.sh windows              quillbox.dll with mingw-w64, tests under wine, in build-windows/
#   tools/test.sh thread-safety        the library built by clang with -Wthread-safety -Werror,
#                                      in build-thread-safety/ (the lock contracts; no tests run)
#   tools/test.sh proof                what the library survives, with figures: failing
#                                      I/O calls (each call of a kind, or an even sample
#                                      of 100 where it has more, and up to 30 short reads
#                                      and writes), 200 crash runs, the soak test,
#                                      each fuzz target for 60 s, and coverage of lib/
#   QUILLBOX_PROOF=long tools/test.sh proof
#                                      the long run: 1000 crash runs and 10 million
#                                      inputs for each fuzz target (QUILLBOX_FUZZ_RUNS
#                                      to change it)
# Every option the tests rely on is passed here, so a folder configured otherwise (by
# hand, or an older main_job.sh) is set right again; a run that finds no test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
variant=${1:-}
if [ "$variant" = windows ]; then
  tools/install_deps.sh windows
  export WINEDEBUG=-all
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j"$(nproc)"
  ctest --preset windows --no-tests=error
  exit 0
fi
if [ "$variant" = thread-safety ]; then
  tools/install_deps.sh clang
  CC=clang CXX=clang++ cmake -S . -B build-thread-safety -DQUILLBOX_TESTS=ON -DQUILLBOX_WERROR=ON \
    -DQUILLBOX_SANITIZE= -DCMAKE_CXX_FLAGS=-Wthread-safety -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build-thread-safety -j"$(nproc)" --target quillbox quillbox_testing
  echo "thread-safety analysis: no warnings"
  exit 0
fi
if [ "$variant" = proof ]; then
  if [ "${QUILLBOX_PROOF:-}" = long ]; then
    runs=1000 fuzz=(--runs "${QUILLBOX_FUZZ_RUNS:-10000000}")
  else
    runs=200 fuzz=("${QUILLBOX_FUZZ_SECONDS:-60}")
  fi
  tools/install_deps.sh
  cmake -S . -B build -DQUILLBOX_TESTS=ON -DQUILLBOX_WERROR=ON -DQUILLBOX_SANITIZE= \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" --target quillbox_tests quillbox_crash_runs
  # Each prints its figure; any loss, crash or hang fails the run, and so does a run in
  # which the fault sites or the soak test did not run. The bounds are far above the
  # usual times (half a minute for the tests, a fifth of a second a crash run).
  logs=$(mktemp -d)
  trap 'rm -rf "$logs"' EXIT
  log=$logs/fault_sites_and_soak.log
  if ! timeout -k 10 900 build/tests/quillbox_tests --gtest_filter='FaultSites.*:Soak.*' \
         >"$log" 2>&1 ||
     ! grep -qE '^fault sites: ([1-9][0-9]*) failed, \1 recovered, 0 lost$' "$log" ||
     ! grep -qE '^\[       OK \] Soak\.' "$log"; then
    cat "$log"
    echo "proof: the fault sites or the soak test failed, hung or did not run" >&2
    exit 1
  fi
  grep -E '^fault sites: |^\[  PASSED  \]' "$log"
  timeout -k 10 $((300 + 2 * runs)) build/tests/quillbox_crash_runs --runs "$runs"
  tools/fuzz.sh "${fuzz[@]}"
  tools/coverage.sh
  exit 0
fi
tools/install_deps.sh
build=build${variant:+-${variant//,/-}}
cmake -S . -B "$build" -DQUILLBOX_TESTS=ON -DQUILLBOX_WERROR=ON -DQUILLBOX_SANITIZE="$variant" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$build" --output-on-failure --no-tests=error
# The plain build also checks the library as others use it: installed and consumed, and
# from Python.
if [ -z "$variant" ]; then
  tools/package_test.sh
  tools/python_test.sh
fi
