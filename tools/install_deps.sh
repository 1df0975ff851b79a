#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing. With the
# argument "windows", also the mingw-w64 cross compiler and wine; with "clang", clang
# (the thread-safety build); with "coverage", gcovr (tools/coverage.sh).
set -euo pipefail
packages=(cmake g++ make binutils pkg-config python3-pytest libgtest-dev googletest libbenchmark-dev liblmdb-dev
          libcli11-dev)
if [ "${1:-}" = windows ]; then
  packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64)
fi
if [ "${1:-}" = clang ]; then
  packages+=(clang)
fi
if [ "${1:-}" = coverage ]; then
  packages+=(gcovr)
fi
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
