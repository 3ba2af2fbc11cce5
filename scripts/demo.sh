#!/usr/bin/env bash
# The program's main job on a simulated machine: tessavane-sim.exe under Wine
# on a PE machine with a protected system disk, a disk on the technician's
# list and a USB target with a mounted volume. A driver works the window as a
# technician would (pick the disk, name the image, start, confirm, wait), then
# the target's bytes are compared with the image. With a display attached you
# watch it happen; without one it runs on a virtual display.
#   bash scripts/demo.sh
# With --try the window is yours instead (scripts/try.sh).
#   bash scripts/demo.sh --try
set -euo pipefail
cd "$(dirname "$0")/.."
case ${1:-} in
  "") ;;
  --try) exec bash scripts/try.sh ;;
  *) echo "usage: bash scripts/demo.sh [--try]" >&2; exit 2 ;;
esac
bash scripts/setup.sh
echo "demo: building the Windows programs"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target tessavane-sim e2e_driver >/dev/null

out=build/demo
mkdir -p "$out"
log=$out/demo.log
echo "demo: writing a 96 MiB image onto the USB disk (PhysicalDrive3)"
set +e
bash e2e/run.sh --name demo --out "$out" --prefix build/demo-prefix --visible \
  --program build/windows/tessavane-sim.exe --driver build/windows/e2e_driver.exe \
  --machine demo/machine.txt --script demo/script.txt \
  --data demo/prohibited_disks.txt \
  --random demo.img 96M --expect-copy demo.img target.img \
  --expect-absent system.img --expect-absent pe.img --expect-absent data.img \
  >"$log" 2>&1
status=$?
set -e

status_line=$(sed -n 's/.*  -- status: //p' "$log" | tail -n 1)
untouched=$(grep -c 'was never written' "$log" || true)
copy=$(grep -E '^ok +target.img holds' "$log" || true)
echo
echo "---- Tessavane demo report"
echo "disk written : PhysicalDrive3 (Generic USB Flash Disk, 256 MiB, serial 0710DA3F8E2C)"
echo "kept safe    : PhysicalDrive0 (built-in protected list), PhysicalDrive1 (the PE disk),"
echo "               PhysicalDrive2 (prohibited_disks.txt): marked in the list; their"
echo "               backing files were never written"
echo "bytes        : $(( 96 * 1024 * 1024 )) bytes of image"
echo "status line  : ${status_line:-(not reached)}"
if [ "$status" -eq 0 ] && [ -n "$copy" ]; then
  echo "verification : the disk's first 100663296 bytes equal the image (sha256 ${copy##* sha256 }"
  echo "other disks  : $untouched of 3 backing files never written"
  echo "outcome      : completed"
else
  echo "outcome      : FAILED (see $log)"
fi
echo "screenshots  : $(ls "$out"/demo-*.png 2>/dev/null | tr '\n' ' ')"
echo "full log     : $log"
exit "$status"
