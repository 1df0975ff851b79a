#!/usr/bin/env bash
# Tests the Python package in python/ against the library: builds libquillbox.so
# (Release, no tests) in build-py/ and runs python/tests with pytest, the library
# named by QUILLBOX_LIBRARY. Extra arguments go to pytest (e.g. -k interop).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install_deps.sh  # Also python3-pytest.

build=build-py
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLBOX_TESTS=OFF -DQUILLBOX_SANITIZE= \
  -DQUILLBOX_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

# The first python3 that has pytest: the one on PATH, else the system's, where the
# Debian package puts it.
python=""
for candidate in python3 /usr/bin/python3; do
  if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c "import pytest" 2>/dev/null; then
    python=$candidate
    break
  fi
done
if [ -z "$python" ]; then
  echo "python_test: no python3 with pytest" >&2
  exit 1
fi
export QUILLBOX_LIBRARY=$PWD/$build/libquillbox.so
export PYTHONDONTWRITEBYTECODE=1  # No __pycache__ left in the source tree.
# pytest's folders (tmp_path) under a folder of this run's own, removed at the end; the
# bound is far above the usual time of the tests (under a minute).
temp=$(mktemp -d)
trap 'rm -rf "$temp"' EXIT
timeout -k 10 900 "$python" -m pytest -q -p no:cacheprovider --basetemp="$temp/pytest" \
  python/tests "$@"
