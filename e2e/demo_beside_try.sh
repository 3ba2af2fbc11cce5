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
for tool in wine wineserver Xvfb xdpyinfo; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -f "$driver" ] || { echo "SKIP: $driver is not built (build the windows preset first)"; exit 77; }
src=$(cd "$src" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

work=$(mktemp -d -t tessavane-beside.XXXXXX)
xvfb_pid="" try_pid=""
cleanup() {
  [ -n "$try_pid" ] && kill "$try_pid" 2>/dev/null && wait "$try_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "FAIL: Xvfb did not start"; exit 1; }
export DISPLAY=:$(tr -dc '0-9' <"$work/display")

bash "$src/scripts/try.sh" --out "$out/try" >"$work/try.log" 2>&1 &
try_pid=$!
for _ in $(seq 1200); do
  grep -q "the window is yours" "$work/try.log" && break
  kill -0 "$try_pid" 2>/dev/null || break
  sleep 0.5
done
if ! grep -q "the window is yours" "$work/try.log"; then
  cat "$work/try.log"
  echo "FAIL: the rehearsal's window did not open"
  exit 1
fi
prefix=$(sed -n 's/^the window is yours (Wine prefix \(.*\)); .*/\1/p' "$work/try.log")

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
(cd "$work" && WINEPREFIX=$prefix WINEDEBUG=-all timeout --kill-after=5 120 \
  wine ./driver.exe --attach tessavane-sim.exe -e wait-window \
    -e 'expect-control 1010 text "准备就绪"' -e 'expect-control 1004 text ""' -e close) 2>&1 | tr -d '\r'
[ "${PIPESTATUS[0]}" = 0 ] || fail "the rehearsal's window was not as it was left"
for _ in $(seq 120); do kill -0 "$try_pid" 2>/dev/null || break; sleep 0.5; done
wait "$try_pid"
try_status=$?
try_pid=""
sed -n '/^---- Tessavane rehearsal report/,$p' "$work/try.log"
[ "$try_status" = 0 ] || fail "try.sh ended with $try_status"
for n in 0 1 2 3; do
  grep -qE "^PhysicalDrive$n \(.*\): not written$" "$work/try.log" ||
    fail "the rehearsal's disk $n is not reported untouched"
done
[ "$status" = 0 ] && echo "ok   the demo passed and the rehearsal was left alone"
exit "$status"
