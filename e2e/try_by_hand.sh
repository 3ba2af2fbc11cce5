#!/usr/bin/env bash
# scripts/try.sh as a person would use it, with the driver standing in for
# the person (attached to the rehearsal's program in its own Wine prefix), in
# a rehearsal folder of its own: on a private display, go to another folder in the file dialog
# (which moves the program's current folder too) and pick a file of this
# computer there, write it onto the USB disk, pull the data disk out and plug
# a stick in through the events file, close the window; then the report must
# say that disk 3 was written and starts with that file, that the other
# disks were not written, and which disk went and which came.
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
src=$(cd "$src" && pwd)
. "$src/e2e/rehearsal.sh"
rehearsal_needs "$driver"
work=$(mktemp -d -t tessavane-try.XXXXXX)
trap rehearsal_cleanup EXIT
trap 'exit 130' INT TERM
private_display

# The person's own file, in a folder of its own.
mkdir "$work/mine"
head -c 3000001 /dev/urandom >"$work/mine/own image.img"
want=$(sha256sum <"$work/mine/own image.img" | cut -d' ' -f1)
cp "$driver" "$work/mine/driver.exe"

open_rehearsal "$work/try" "$work/try.log"

(cd "$work/mine" && WINEPREFIX=$rehearsal_prefix WINEDEBUG=-all \
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
    -e 'expect-box caption "完成" answer ok') >"$work/driver-1.log" 2>&1
driver_status=$?
# Into a file, not a pipe: a Wine service the driver's start wakes may keep
# a pipe open long after the driver has ended.
tr -d '\r' <"$work/driver-1.log"

# The person pulls the data disk out and plugs a stick in, as try.sh tells.
printf '%s\n' 'unplug 2' \
  'plug size=64M vendor="Kingston" product="DataTraveler" serial="KT-01" removable file=stick.img' \
  >>"$work/try/events.txt"
(cd "$work/mine" && WINEPREFIX=$rehearsal_prefix WINEDEBUG=-all \
  timeout --kill-after=5 300 wine ./driver.exe --attach tessavane-sim.exe \
    -e 'wait-window' \
    -e 'click 1002' \
    -e 'expect-list-line 2 "#2  Kingston DataTraveler  0.06 GB"' \
    -e 'close') >"$work/driver-2.log" 2>&1 || driver_status=1
tr -d '\r' <"$work/driver-2.log"

rehearsal_status
try_status=$?
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
for n in 0 1; do
  grep -qE "^PhysicalDrive$n \(.*\): not written$" "$work/try.log" ||
    fail "disk $n is not reported untouched"
done
grep -qF "PhysicalDrive2 (WDC WD20EZRZ-00Z5HB0): not written; pulled out during the run" \
  "$work/try.log" || fail "disk 2 is not reported pulled out and untouched"
grep -qF "PhysicalDrive2 (plugged in during the run): not written" "$work/try.log" ||
  fail "the stick plugged in is not reported"
[ "$status" = 0 ] && echo "ok   the rehearsal's report holds what was done"
exit "$status"
