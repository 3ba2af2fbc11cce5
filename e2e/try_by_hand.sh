#!/usr/bin/env bash
# scripts/try.sh as a person would use it, with the driver standing in for
# the person (attached to the rehearsal's program in its own Wine prefix), in
# a rehearsal folder of its own: on a private display, go to another folder in the file dialog
# (which moves the program's current folder too) and pick a file of this
# computer there, write it onto the USB disk, close the window; then the
# report must say that disk 3 was written and starts with that file, and that
# the other disks were not written.
#   try_by_hand.sh --source DIR --driver EXE
# Exit code: 0 passed, 1 failed, 77 skipped.
set -uo pipefail

src="" driver=""
while [ $# -gt 0 ]; do
  case $1 in
    --source) src=$2; shift 2 ;;
    --driver) driver=$2; shift 2 ;;
    *) echo "try_by_hand.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
for tool in wine wineserver Xvfb xdpyinfo; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -f "$driver" ] || { echo "SKIP: $driver is not built (build the windows preset first)"; exit 77; }
src=$(cd "$src" && pwd)

work=$(mktemp -d -t tessavane-try.XXXXXX)
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

# The person's own file, in a folder of its own.
mkdir "$work/mine"
head -c 3000001 /dev/urandom >"$work/mine/own image.img"
want=$(sha256sum <"$work/mine/own image.img" | cut -d' ' -f1)
cp "$driver" "$work/mine/driver.exe"

bash "$src/scripts/try.sh" --out "$work/try" >"$work/try.log" 2>&1 &
try_pid=$!
for _ in $(seq 1200); do
  grep -q "the window is yours" "$work/try.log" && break
  kill -0 "$try_pid" 2>/dev/null || break
  sleep 0.5
done
if ! grep -q "the window is yours" "$work/try.log"; then
  cat "$work/try.log"
  echo "FAIL: the window was not left to the person"
  exit 1
fi
# The rehearsal's own prefix, where its program runs.
prefix=$(sed -n 's/^the window is yours (Wine prefix \(.*\)); .*/\1/p' "$work/try.log")

(cd "$work/mine" && WINEPREFIX=$prefix WINEDEBUG=-all \
  timeout --kill-after=5 300 wine ./driver.exe --attach tessavane-sim.exe \
    -e 'wait-window' \
    -e 'click 1003' \
    -e 'expect-box caption "选择镜像文件"' \
    -e 'box-set-text 1148 "{cwd}"' \
    -e 'box-press 1' \
    -e 'sleep 1000' \
    -e 'box-set-text 1148 "own image.img"' \
    -e 'box-press 1' \
    -e 'expect-control 1004 like "{cwd}\\own image.img"' \
    -e 'select 3' \
    -e 'click 1007' \
    -e 'expect-box caption "确认" answer yes' \
    -e 'timeout 30000' \
    -e 'expect-box caption "完成" answer ok' \
    -e 'close') 2>&1 | tr -d '\r'
driver_status=${PIPESTATUS[0]}

for _ in $(seq 120); do kill -0 "$try_pid" 2>/dev/null || break; sleep 0.5; done
wait "$try_pid"
try_status=$?
try_pid=""
sed -n '/---- Tessavane rehearsal report/,$p' "$work/try.log"

status=0
fail() { echo "FAIL: $*"; status=1; }
[ "$driver_status" = 0 ] || fail "the driver failed"
[ "$try_status" = 0 ] || fail "try.sh ended with $try_status"
grep -q "^program exit code 0" "$work/try.log" || fail "the program did not end with 0"
padded=$(( (3000001 + 4095) / 4096 * 4096 ))
grep -qF "PhysicalDrive3 (Generic USB Flash Disk): written, $padded bytes (up to byte $padded)" \
  "$work/try.log" || fail "disk 3 is not reported written with $padded bytes"
grep -qE "^    its first 3000001 bytes equal .*own image\.img: yes \(sha256 $want\)$" \
  "$work/try.log" || fail "disk 3 is not reported to start with the picked file"
for n in 0 1 2; do
  grep -qE "^PhysicalDrive$n \(.*\): not written$" "$work/try.log" ||
    fail "disk $n is not reported untouched"
done
[ "$status" = 0 ] && echo "ok   the rehearsal's report holds what was done"
exit "$status"
