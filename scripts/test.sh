#!/usr/bin/env bash
# Builds everything and runs every test: the Windows programs (cross-built,
# then driven under Wine), the native tests, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, and each fuzz target for a minute.
#   bash scripts/test.sh            (FUZZ_SECONDS=N to change the fuzz time)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
step() { printf '\n==== %s\n' "$*"; }

step "Windows programs (MinGW-w64)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

step "native tests and the end-to-end tests under Wine"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
ctest --preset native -j "$jobs"

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs" --target tessavane_tests
ctest --preset asan -j "$jobs" -LE e2e

step "ThreadSanitizer over the threaded tests"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target tessavane_tests
TSAN_OPTIONS="halt_on_error=1" build/tsan/tests/tessavane_tests --gtest_filter='*Concurrency*'

step "fuzzing"
bash fuzz/run.sh "${FUZZ_SECONDS:-60}"

step "all tests passed"
