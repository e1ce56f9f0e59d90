#!/usr/bin/env bash
# Every check the project has, from a fresh clone: source format, the man
# page, the release build with warnings as errors, clang-tidy over both the
# Linux and the plain POSIX code, installation, and the test suite against
# each build CI makes (see CMakePresets.json): the release build (g++), the
# sanitizers (clang++), the plain POSIX paths, a clang++ release build, and
# the client built for 32-bit x86, run by qemu-i386. Installs what it needs
# first, where it can (tests/prerequisites.sh). Stops at the first failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
step() { printf '\n== %s\n' "$*"; }
build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs"; }

step "prerequisites"
tests/prerequisites.sh

step "format (clang-format)"
clang-format --dry-run --Werror src/*.cpp tests/*.cpp tests/*.hpp

step "man page (groff -man -ww)"
warnings=$(groff -man -ww -z doc/client.1 2>&1)
if [ -n "$warnings" ]; then
  printf '%s\n' "$warnings"
  exit 1
fi

step "release build (g++)"
build release

step "portable build (POSIX only, g++)"
build portable

step "clang-tidy, over the Linux and the POSIX paths"
clang-tidy -p build --quiet src/client.cpp
clang-tidy -p build-portable --quiet src/client.cpp

step "install"
cmake --install build --prefix "$scratch/prefix" >/dev/null
installed=(bin/client share/man/man1/client.1.gz share/doc/client/copyright
  share/doc/client/changelog.gz)
for file in "${installed[@]}"; do
  [ -f "$scratch/prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
echo "installed: ${installed[*]}"

step "Debian package (lintian, install, remove)"
rm -f build/client_*.deb
cmake --build build --target package >/dev/null
deb=$(echo build/client_*.deb)
echo "$deb"
lintian --fail-on error,warning "$deb"
tests/package.sh "$deb"

step "tests under AddressSanitizer and UndefinedBehaviorSanitizer (clang++)"
build sanitize
# Reports go to files, so that none can hide in output a test does not
# read; clients that run as other users write there too.
logs=$scratch/sanitizer-logs
mkdir -m 1777 "$logs"
ASAN_OPTIONS="log_path=$logs/asan" UBSAN_OPTIONS="log_path=$logs/ubsan:print_stacktrace=1" \
  ctest --preset sanitize -j "$jobs"
if [ -n "$(ls -A "$logs")" ]; then
  cat "$logs"/*
  echo "sanitizer reports above"
  exit 1
fi

step "tests, portable build"
ctest --preset portable -j "$jobs"

step "tests, clang++ release build"
build clang
ctest --preset clang -j "$jobs"

step "tests, 32-bit client under qemu-i386"
build i386
ctest --preset i386 -j "$jobs"

step "tests, release build"
ctest --preset release -j "$jobs"
