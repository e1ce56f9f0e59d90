#!/usr/bin/env bash
# Builds the client and its tests (warnings are errors) and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

cmake -S "$root" -B "$root/build" -DCLIENT_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build" -j "$jobs"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"
