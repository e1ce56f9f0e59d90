#!/usr/bin/env bash
# Every check the project has, from a fresh clone: source format, the man
# page, the build with warnings as errors, clang-tidy, installation, the test
# suite under AddressSanitizer and UndefinedBehaviorSanitizer, and the test
# suite on the release build. Stops at the first failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
step() { printf '\n== %s\n' "$*"; }

step "format (clang-format)"
clang-format --dry-run --Werror src/*.cpp tests/*.cpp tests/*.hpp

step "man page (groff -man -ww)"
warnings=$(groff -man -ww -z doc/client.1 2>&1)
if [ -n "$warnings" ]; then
  printf '%s\n' "$warnings"
  exit 1
fi

step "build"
cmake -S . -B build -DCLIENT_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$jobs"

step "clang-tidy"
clang-tidy -p build --quiet src/client.cpp

step "install"
cmake --install build --prefix "$scratch/prefix" >/dev/null
for installed in bin/client share/man/man1/client.1; do
  [ -f "$scratch/prefix/$installed" ] || { echo "not installed: $installed"; exit 1; }
done
echo "bin/client and share/man/man1/client.1 installed"

step "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -DCLIENT_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-sanitize -j "$jobs"
# Reports go to files, so that none can hide in output a test does not
# read; clients that run as nobody write there too.
logs=$scratch/sanitizer-logs
mkdir -m 1777 "$logs"
ASAN_OPTIONS="log_path=$logs/asan" UBSAN_OPTIONS="log_path=$logs/ubsan:print_stacktrace=1" \
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs"
if [ -n "$(ls -A "$logs")" ]; then
  cat "$logs"/*
  echo "sanitizer reports above"
  exit 1
fi

step "tests"
ctest --test-dir build --output-on-failure -j "$jobs"
