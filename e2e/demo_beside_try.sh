#!/usr/bin/env bash
# The demo while a rehearsal's window is open on the same display: the demo
# must pass, and the rehearsal must be left alone, its window still open
# when the demo is over and, once closed, its report saying that no disk
# was written.
#   demo_beside_try.sh --source DIR --out DIR --driver EXE
# Exit code: 0 passed, 1 failed, 77 skipped.
set -uo pipefail

src="" out="" driver=""
while [ $# -gt 0 ]; do
  case $1 in
    --source) src=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --driver) driver=$2; shift 2 ;;
    *) echo "demo_beside_try.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
src=$(cd "$src" && pwd)
. "$src/e2e/rehearsal.sh"
rehearsal_needs "$driver"
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d -t tessavane-beside.XXXXXX)
trap rehearsal_cleanup EXIT
trap 'exit 130' INT TERM
private_display
open_rehearsal "$out/try" "$work/try.log"

status=0
fail() { echo "FAIL: $*"; status=1; }
# On the rehearsal's display, as a person watching it would run it.
bash "$src/scripts/demo.sh" --out "$out/demo" >"$work/demo.log" 2>&1
demo_status=$?
sed -n '/^---- Tessavane demo report/,$p' "$work/demo.log"
[ "$demo_status" = 77 ] && exit 77
[ "$demo_status" = 0 ] || fail "the demo failed beside the rehearsal"

if kill -0 "$try_pid" 2>/dev/null; then
  echo "ok   the rehearsal's window is still open"
else
  fail "the rehearsal ended while the demo ran"
fi
# Closed as its person would, untouched: the status line still says ready.
cp "$driver" "$work/driver.exe"
(cd "$work" && WINEPREFIX=$rehearsal_prefix WINEDEBUG=-all timeout --kill-after=5 120 \
  wine ./driver.exe --attach tessavane-sim.exe -e wait-window \
    -e 'expect-control 1010 text "准备就绪"' -e 'expect-control 1004 text ""' -e close) \
  >"$work/driver.log" 2>&1 || fail "the rehearsal's window was not as it was left"
# Read from a file: a pipe may be held open by a Wine service after the driver.
tr -d '\r' <"$work/driver.log"
rehearsal_status
try_status=$?
sed -n '/^---- Tessavane rehearsal report/,$p' "$work/try.log"
[ "$try_status" = 0 ] || fail "try.sh ended with $try_status"
for n in 0 1 2 3; do
  grep -qE "^PhysicalDrive$n \(.*\): not written$" "$work/try.log" ||
    fail "the rehearsal's disk $n is not reported untouched"
done
[ "$status" = 0 ] && echo "ok   the demo passed and the rehearsal was left alone"
exit "$status"
