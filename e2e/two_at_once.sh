#!/usr/bin/env bash
# Two end-to-end runs at the same time, on the same build, template prefix and
# output folder: the write, and the guards beside a decoy copy of the program.
# The second starts once the first one's window is open, when a driver that
# took any window of the program's class would take the wrong one. Both must
# pass.
#   two_at_once.sh --source DIR --out DIR --prefix DIR --windows DIR
# Exit code: 0 passed, 1 failed, 77 skipped.
set -uo pipefail

src="" out="" prefix="" win=""
while [ $# -gt 0 ]; do
  case $1 in
    --source) src=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --prefix) prefix=$2; shift 2 ;;
    --windows) win=$2; shift 2 ;;
    *) echo "two_at_once.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
e2e=$src/e2e
work=$(mktemp -d -t tessavane-two.XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; wait; rm -rf "$work"' EXIT

common=(--out "$out" --prefix "$prefix" --program "$win/tessavane-sim.exe"
  --driver "$win/e2e_driver.exe")
bash "$e2e/run.sh" --name two-write "${common[@]}" \
  --machine "$e2e/machines/write.txt" --script "$e2e/scripts/write.txt" \
  --random image.img 25166824 --expect-copy image.img target.img \
  --expect-absent system.img --expect-absent pe.img --expect-absent spare.img \
  >"$work/write.log" 2>&1 &
pids+=($!)
for _ in $(seq 1200); do
  grep -q '^ok   [0-9]*: wait-window' "$work/write.log" && break
  kill -0 "${pids[0]}" 2>/dev/null || break
  sleep 0.1
done
bash "$e2e/run.sh" --name two-guards "${common[@]}" --decoy \
  --machine "$e2e/machines/guards.txt" --script "$e2e/scripts/guards.txt" \
  --expect-absent system.img --expect-absent pe.img \
  --expect-absent protected.img --expect-absent target.img \
  >"$work/guards.log" 2>&1 &
pids+=($!)

status=0
for i in 0 1; do
  wait "${pids[i]}"
  code[i]=$?
done
pids=()
for i in 0 1; do
  run=$([ "$i" = 0 ] && echo write || echo guards)
  echo "---- $run (exit code ${code[i]})"
  cat "$work/$run.log"
  [ "${code[i]}" = 77 ] && exit 77
  [ "${code[i]}" = 0 ] || { echo "FAIL: the $run run failed beside the other"; status=1; }
  grep -qE '^[0-9]+ passed, 0 failed$' "$work/$run.log" ||
    { echo "FAIL: the $run run's driver did not finish its script"; status=1; }
done
[ "$status" = 0 ] && echo "ok   both runs passed at once"
exit "$status"
