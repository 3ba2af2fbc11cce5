#!/usr/bin/env bash
# scripts/demo.sh as a person runs it (on a private display, in a folder of
# its own), and its report checked line by line:
#   works         the demo passes and its report says what was done
#   write-fails   the target fails its third write: the report says so,
#                 shows the failed checks, and does not say the disk was
#                 written
#   list-differs  prohibited_disks.txt is not beside the program, so the list
#                 is not the one expected: the report shows no list and no
#                 marks
#   demo_report.sh --source DIR --out DIR --case NAME
# Exit code: 0 passed, 1 failed, 77 skipped.
set -uo pipefail

src="" out="" case=""
while [ $# -gt 0 ]; do
  case $1 in
    --source) src=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --case) case=$2; shift 2 ;;
    *) echo "demo_report.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
src=$(cd "$src" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

machine=$src/demo/machine.txt want_status=0
case $case in
  works) ;;
  write-fails)
    machine=$out/machine.txt want_status=1
    { cat "$src/demo/machine.txt"; echo 'fault Write error=1117 nth=3 target=PhysicalDrive3'; } >"$machine"
    ;;
  list-differs)
    machine=$out/machine.txt want_status=1
    grep -v '^file D:\\PE\\prohibited_disks.txt' "$src/demo/machine.txt" >"$machine"
    ;;
  *) echo "demo_report.sh: unknown case $case" >&2; exit 2 ;;
esac

# No person's display: the demo makes its own.
env -u DISPLAY bash "$src/scripts/demo.sh" --out "$out/run" --machine "$machine" >"$out/report.txt" 2>&1
status=$?
cat "$out/report.txt"
[ "$status" = 77 ] && exit 77
report=$(sed -n '/^---- Tessavane demo report/,$p' "$out/report.txt")

result=0
fail() { echo "FAIL: $*"; result=1; }
has() { grep -qE -- "$1" <<<"$report" || fail "the report lacks /$1/"; }
lacks() { ! grep -qE -- "$1" <<<"$report" || fail "the report says /$1/ though that was not checked"; }
[ "$status" = "$want_status" ] || fail "demo.sh ended with $status, not $want_status"
kept_safe() {
  has '^(kept safe    :|             :) PhysicalDrive0 \(NVMe KXG60ZNV512G\), shown as 禁止列表，禁止写入: never written$'
  has '^(kept safe    :|             :) PhysicalDrive1 \(SanDisk Ultra Fit\), shown as PE盘，禁止写入: never written$'
  has '^(kept safe    :|             :) PhysicalDrive2 \(WDC WD20EZRZ-00Z5HB0\), shown as 禁止列表，禁止写入: never written$'
}
case $case in
  works)
    has '^disk list    : as expected,$'
    has '^ +#3  Generic USB Flash Disk  0\.25 GB$'
    has '^disk written : PhysicalDrive3 \(Generic USB Flash Disk\), serial 0710DA3F8E2C, after the confirmation$'
    has '^bytes        : its first 100663296 bytes equal the image \(sha256 [0-9a-f]{64}\)$'
    has '^status line  : 写入完成 \(平均速度: [0-9]+\.[0-9]{2} MB/s\)$'
    kept_safe
    has '^outcome      : completed$'
    for shot in writing done; do
      [ -s "$out/run/demo-$shot.png" ] || fail "no screenshot demo-$shot.png"
    done
    ;;
  write-fails)
    lacks '^disk written'
    lacks '^bytes'
    lacks '^status line'
    has '^disk list    : as expected,$'
    kept_safe
    has '^outcome      : FAILED; what failed:$'
    has '^    FAIL [0-9]+: expect-'
    has '^    FAIL: the first 100663296 bytes of target\.img hash to '
    has '^    \([0-9]+ later steps not run\)$'
    ;;
  list-differs)
    lacks '^disk list'
    lacks '^disk written'
    lacks '^kept safe'
    has '^not written  : PhysicalDrive0 \(NVMe KXG60ZNV512G\)$'
    has '^             : PhysicalDrive1 \(SanDisk Ultra Fit\)$'
    has '^             : PhysicalDrive2 \(WDC WD20EZRZ-00Z5HB0\)$'
    has '^outcome      : FAILED; what failed:$'
    has '^    FAIL [0-9]+: expect-list '
    has '^          the list holds 4 line\(s\)'
    ;;
esac
[ "$result" = 0 ] && echo "ok   the report holds what the run checked, and only that"
exit "$result"
