#!/usr/bin/env bash
# The program's main job on a simulated machine: tessavane-sim.exe under Wine
# on a PE machine with a protected system disk, a disk on the technician's
# list and a USB target with a mounted volume. A driver works the window as a
# technician would (pick the disk, name the image, start, confirm, wait), then
# the target's bytes are compared with the image. With a display attached you
# watch it happen; without one it runs on a virtual display. The report says
# only what the run checked; when something failed, it shows what.
#   bash scripts/demo.sh [--out DIR] [--machine FILE]
#       DIR   where the log, the build log and the screenshots go (default
#             build/demo); one demo at a time uses a folder
#       FILE  another machine for the same script and checks (the tests make
#             the demo fail on purpose with it)
# With --try the window is yours instead (scripts/try.sh).
#   bash scripts/demo.sh --try
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { echo "usage: bash scripts/demo.sh [--try] [--out DIR] [--machine FILE]" >&2; exit 2; }
case ${1:-} in
  --try) shift; exec bash scripts/try.sh "$@" ;;
esac
out=build/demo machine=demo/machine.txt
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
    --out) out=$2; shift 2 ;;
    --machine) machine=$2; shift 2 ;;
    *) usage ;;
  esac
done
bash scripts/setup.sh

mkdir -p "$out"
exec 6>>"$out.lock"
if ! flock -n 6; then
  echo "demo: another demo (process $(cat "$out.lock")) is using $out."
  echo "Wait for it to end, or give this one a folder of its own: --out DIR."
  exit 1
fi
echo $$ >"$out.lock"
log=$out/demo.log
rm -f "$log" "$out"/demo-*.png

echo "demo: building the Windows programs (log: $out/build.log)"
bash scripts/build_windows.sh --log "$out/build.log" tessavane-sim e2e_driver

echo "demo: writing a 96 MiB image onto the USB disk (PhysicalDrive3)"
set +e
bash e2e/run.sh --name demo --out "$out" --prefix build/demo-prefix --visible \
  --program build/windows/tessavane-sim.exe --driver build/windows/e2e_driver.exe \
  --machine "$machine" --script demo/script.txt \
  --data demo/prohibited_disks.txt \
  --random demo.img 96M --expect-copy demo.img target.img \
  --expect-absent system.img --expect-absent pe.img --expect-absent data.img \
  >"$log" 2>&1
status=$?
set -e

# ---- The report: every line from a step or a check the log shows passed.
# Driver steps that passed, as written in the script, and the harness's
# checks of the disks after the run.
steps=$(sed -n 's/^ok   [0-9]*: //p' "$log")
checks=$(sed -n 's/^ok   //p' "$log" | grep -v '^[0-9]*: ' || true)
step() { grep -F -- "$1" <<<"$steps" | head -n 1 || true; }

list=$(step 'expect-list ')
confirm=$(step 'expect-box text "将把镜像写入 ')
serial=$(step 'expect-control 1012 text ')
status_line=$(step 'echo "status: ' | sed -n 's/.*  -- status: //p')
copy=$(grep -E '^target\.img holds demo\.img \(' <<<"$checks" || true)

echo
echo "---- Tessavane demo report"
if [ -n "$list" ]; then
  echo "disk list    : as expected,"
  # The quoted lines of the expect-list step.
  grep -oE '"[^"]*"' <<<"${list#expect-list }" | sed 's/^"/                 /; s/"$//'
fi
if [ -n "$confirm" ] && [ -n "$copy" ]; then
  disk=$(sed -n 's/^expect-box text "将把镜像写入 \([^，]*\)，.*/\1/p' <<<"$confirm")
  serial=$(sed -n 's/^expect-control 1012 text "\([^"]*\)".*/\1/p' <<<"$serial")
  echo "disk written : $disk${serial:+, serial $serial}, after the confirmation"
  echo "bytes        : $(sed -n 's/^target\.img holds demo\.img (\([0-9]*\) bytes, sha256 \([0-9a-f]*\))$/its first \1 bytes equal the image (sha256 \2)/p' <<<"$copy")"
fi
[ -n "$status_line" ] && echo "status line  : $status_line"
# Disks whose backing file was checked untouched: kept safe when the list
# was checked too and showed their mark, else only not written.
safe=() untouched=()
while IFS= read -r line; do
  [[ $line =~ ^disk\ ([0-9]+)\ .*file=([^ ]+) ]] || continue
  n=${BASH_REMATCH[1]} file=${BASH_REMATCH[2]}
  grep -qxF "$file was never written" <<<"$checks" || continue
  name=""
  [[ $line =~ vendor=\"([^\"]*)\" ]] && name=${BASH_REMATCH[1]}
  [[ $line =~ product=\"([^\"]*)\" ]] && name="$name ${BASH_REMATCH[1]}"
  mark=""
  if [ -n "$list" ]; then
    mark=$(grep -oE "\"#$n  [^\"]*\\(([^)]*)\\)\"" <<<"$list" | sed 's/.*(\(.*\))"$/\1/' || true)
  fi
  if [ -n "$mark" ]; then
    safe+=("PhysicalDrive$n ($name), shown as $mark: never written")
  else
    untouched+=("PhysicalDrive$n ($name)")
  fi
done <"$machine"
label() {
  local head=$1 item
  shift
  for item in "$@"; do
    printf '%-13s: %s\n' "$head" "$item"
    head=""
  done
}
label "kept safe" "${safe[@]}"
label "not written" "${untouched[@]}"
if [ "$status" -eq 0 ]; then
  echo "outcome      : completed"
elif [ "$status" -eq 77 ]; then
  echo "outcome      : not run: $(sed -n 's/^SKIP: //p' "$log" | head -n 1)"
else
  echo "outcome      : FAILED; what failed:"
  # A failed step's line and its detail lines, and failed checks.
  awk '/^FAIL/ { print "    " $0; detail = 1; next }
       detail && /^      / { print "    " $0; next }
       { detail = 0 }' "$log"
  not_run=$(grep -c '^not run ' "$log" || true)
  [ "$not_run" -gt 0 ] && echo "    ($not_run later steps not run)"
fi
shots=$(ls "$out"/demo-*.png 2>/dev/null | tr '\n' ' ' || true)
echo "screenshots  : ${shots:-none}"
echo "full log     : $log"
exit "$status"
