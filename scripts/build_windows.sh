#!/usr/bin/env bash
# Brings the Windows programs up to date: configures the windows preset's
# folder the first time, then builds the named targets (all without a name).
# One build at a time per folder: the demo, a rehearsal and the tests may ask
# at once. The compiler's output goes to a log; a failed build prints the
# log's tail and where the whole log is.
#   bash scripts/build_windows.sh [--dir DIR] [--log FILE] [--expect-current] [TARGET...]
#       DIR   the build folder (default build/windows)
#       FILE  the log (default DIR.log)
#       --expect-current  fails if anything had to be built: the programs
#             were older than their sources
# Exit code: 0 built, 1 failed, 77 no MinGW-w64 (scripts/setup.sh installs it).
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)

dir=$src/build/windows log="" expect_current=0
targets=()
while [ $# -gt 0 ]; do
  case $1 in
    --dir) dir=$2; shift 2 ;;
    --log) log=$2; shift 2 ;;
    --expect-current) expect_current=1; shift ;;
    -*) echo "build_windows.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
for tool in cmake ninja x86_64-w64-mingw32-g++-posix; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (scripts/setup.sh installs it)"
    exit 77
  fi
done
mkdir -p "$(dirname "$dir")"
dir=$(cd "$(dirname "$dir")" && pwd)/$(basename "$dir")
[ -n "$log" ] || log=$dir.log
mkdir -p "$(dirname "$log")"

exec 7>"$dir.lock"
if ! flock -n 7; then
  echo "waiting for another build of $dir to finish"
  flock 7
fi

(
  status=0
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$src" -B "$dir" --preset windows || status=$?
  fi
  if [ "$status" = 0 ]; then
    target_args=()
    [ ${#targets[@]} -gt 0 ] && target_args=(--target "${targets[@]}")
    cmake --build "$dir" -j "$(nproc)" "${target_args[@]}" || status=$?
  fi
  exit "$status"
) >"$log" 2>&1
status=$?
if [ "$status" != 0 ]; then
  tail -n 40 "$log"
  echo "FAIL: the Windows build failed (whole log: $log)"
  exit 1
fi
if [ "$expect_current" = 1 ] && ! grep -q '^ninja: no work to do' "$log"; then
  grep -E '^\[[0-9]+/[0-9]+\] ' "$log" | grep -v 'Re-checking globbed'
  echo "FAIL: the Windows programs in $dir were older than their sources (rebuilt now)"
  exit 1
fi
exit 0
