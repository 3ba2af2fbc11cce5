#!/usr/bin/env bash
# Builds everything and runs every test, in stages:
#   workflows  the CI workflows linted with actionlint, and broken copies of
#            the Windows one that it must refuse
#   windows  the Windows programs, cross-built with MinGW-w64
#   native   the native build and its tests (GoogleTest, through ctest)
#   e2e      the end-to-end tests: the Windows programs under Wine, their
#            import tables and resources, the release zip, the demo, the
#            rehearsal, runs at once
#   asan     the native tests under AddressSanitizer and
#            UndefinedBehaviorSanitizer
#   tsan     the threaded tests under ThreadSanitizer
#   fuzz     each fuzz target from a fixed seed for a fixed number of runs
#            over the corpus kept in the repository: the same commit gives
#            the same answer on any machine
#
#   bash scripts/test.sh               every stage, in this order
#   bash scripts/test.sh native e2e    only the stages named
#   bash scripts/test.sh soak          not a stage of the suite: the fuzz
#            targets from random seeds, the explorer for SOAK_SECONDS (default
#            600) while the others take SOAK_OTHERS each (default 60); what it
#            finds is printed as hex with the command that replays it
#   bash scripts/test.sh mutants [--sample N --seed S | --changed BASE]
#            not a stage of the suite either: mutation testing of core/, jobs/
#            and ui/ (scripts/mutants.py), every mutant unless told fewer
# Each stage prints its time; the run ends with a summary of the stages, what
# each counted and how long it took. The first stage that fails ends the run.
set -uo pipefail
cd "$(dirname "$0")/.."

all_stages=(workflows windows native e2e asan tsan fuzz)
usage() {
  echo "usage: bash scripts/test.sh [STAGE...]   (stages: ${all_stages[*]}; or soak or mutants alone)" >&2
  exit 2
}
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")
if [ "${stages[*]}" = soak ]; then
  soak_seconds=${SOAK_SECONDS:-600}
  [[ $soak_seconds =~ ^[1-9][0-9]*$ ]] || {
    echo "test.sh: SOAK_SECONDS must be a whole number of seconds, not '$soak_seconds'" >&2
    exit 2
  }
  bash scripts/setup.sh || exit 1
  exec bash fuzz/run.sh soak "$soak_seconds"
fi
if [ "${stages[0]}" = mutants ]; then
  bash scripts/setup.sh || exit 1
  exec python3 scripts/mutants.py "${stages[@]:1}"
fi
for s in "${stages[@]}"; do
  [[ " ${all_stages[*]} " == *" $s "* ]] || usage
done

bash scripts/setup.sh "${stages[@]}" || exit 1
jobs=$(nproc)
logs=build/test-logs
mkdir -p "$logs"

# What a ctest log counted: "141 tests" or "30 passed, 2 skipped" or
# "3 of 32 failed".
ctest_counts() {
  local total failed skipped
  total=$(sed -n 's/.*tests passed, [0-9]* tests* failed out of \([0-9]*\)$/\1/p' "$1" | tail -n 1)
  failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests* failed out of [0-9]*$/\1/p' "$1" | tail -n 1)
  skipped=$(grep -c '(Skipped)$' "$1")
  if [ -z "$total" ]; then
    echo "no tests counted"
  elif [ "$failed" != 0 ]; then
    echo "$failed of $total failed"
  elif [ "$skipped" != 0 ]; then
    echo "$((total - skipped)) passed, $skipped skipped"
  else
    echo "$total tests"
  fi
}

stage_workflows() {
  bash scripts/lint_workflows.sh 2>&1 | tee "$logs/workflows.log"
  local status=${PIPESTATUS[0]}
  counts=$(sed -n 's/^\([0-9]*\) workflow(s) linted, \([0-9]*\) broken copies caught$/\1 clean, \2 broken copies caught/p' "$logs/workflows.log")
  return "$status"
}

stage_windows() {
  bash scripts/build_windows.sh --log build/windows.log || return 1
  echo "log: build/windows.log"
  counts="$(ls build/windows/*.exe | wc -l) programs"
}

native_build() {
  cmake --preset native >/dev/null && cmake --build --preset native -j "$jobs"
}

# ctest of a preset with the given filter, its log kept for the counts.
run_ctest() {
  local preset=$1 log=$logs/$2.log
  shift 2
  ctest --preset "$preset" -j "$jobs" "$@" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  counts=$(ctest_counts "$log")
  return "$status"
}

stage_native() { native_build && run_ctest native native -LE e2e; }
stage_e2e() { native_build && run_ctest native e2e -L e2e; }

stage_asan() {
  cmake --preset asan >/dev/null && cmake --build --preset asan -j "$jobs" --target tessavane_tests write_bench &&
    run_ctest asan asan -LE e2e
}

stage_tsan() {
  cmake --preset tsan >/dev/null &&
    cmake --build --preset tsan -j "$jobs" --target tessavane_concurrency_tests || return 1
  TSAN_OPTIONS="halt_on_error=1" build/tsan/tests/tessavane_concurrency_tests \
    --gtest_filter='*Concurrency*' 2>&1 |
    tee "$logs/tsan.log"
  local status=${PIPESTATUS[0]}
  counts="$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests*\.$/\1/p' "$logs/tsan.log") tests"
  return "$status"
}

stage_fuzz() {
  bash fuzz/run.sh 2>&1 | tee "$logs/fuzz.log"
  local status=${PIPESTATUS[0]}
  local targets runs
  targets=$(grep -c ' runs from seed 1 over ' "$logs/fuzz.log")
  runs=$(sed -n 's/^fuzz: [a-z_]*: \([0-9]*\) runs from seed 1 .*/\1/p' "$logs/fuzz.log" |
    awk '{ n += $1 } END { print n + 0 }')
  local explorer
  explorer=$(sed -n 's/^fuzz: explore: .* kept inputs: cov: \([0-9]*\) ft: \([0-9]*\).*/explorer cov \1 ft \2/p' "$logs/fuzz.log")
  counts="$targets targets, $runs runs from seed 1${explorer:+, $explorer}"
  return "$status"
}

clock() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }

summary=()
started_all=$SECONDS
failed=""
for s in "${stages[@]}"; do
  if [ -n "$failed" ]; then
    summary+=("$(printf '%-9s %-8s %6s   %s' "$s" "not run" "-" "")")
    continue
  fi
  printf '\n==== %s\n' "$s"
  counts="" result=passed
  started=$SECONDS
  if ! "stage_$s"; then
    result=FAILED failed=$s
  fi
  took=$((SECONDS - started))
  printf '==== %s: %s in %s\n' "$s" "$result" "$(clock "$took")"
  summary+=("$(printf '%-9s %-8s %6s   %s' "$s" "$result" "$(clock "$took")" "$counts")")
done

printf '\n==== summary\n'
printf '%-9s %-8s %6s   %s\n' stage result time counted
printf '%s\n' "${summary[@]}"
printf '%-9s %-8s %6s\n' total "" "$(clock $((SECONDS - started_all)))"
if [ -n "$failed" ]; then
  echo "FAILED at the $failed stage"
  exit 1
fi
echo "all stages passed"
