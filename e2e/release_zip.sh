#!/usr/bin/env bash
# The zip a technician downloads, opened and started: builds it with
# scripts/release.sh when it is missing or older than what it packs, unpacks
# it into an empty folder, checks the packed files, then starts the packed
# tessavane.exe from that folder under Wine (run.sh) and works its window
# with the driver and e2e/scripts/release-zip.txt. Afterwards the folder
# must hold what was unpacked and nothing else.
#
#   release_zip.sh --source DIR --out DIR --prefix DIR --driver EXE \
#                  --list-serials EXE
#       --list-serials names the native program that prints the serials a
#       protected list parses to, one a line.
# Exit code: 0 passed, 1 failed, 77 skipped.
set -uo pipefail

src="" out="" prefix="" driver="" lister=""
while [ $# -gt 0 ]; do
  case $1 in
    --source) src=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --prefix) prefix=$2; shift 2 ;;
    --driver) driver=$2; shift 2 ;;
    --list-serials) lister=$2; shift 2 ;;
    *) echo "release_zip.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$src" ] || [ -z "$out" ] || [ -z "$prefix" ] || [ -z "$driver" ] || [ -z "$lister" ]; then
  echo "release_zip.sh: --source, --out, --prefix, --driver and --list-serials are required" >&2
  exit 2
fi
for tool in wine unzip iconv; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -f "$driver" ] || { echo "SKIP: $driver is not built (build the windows preset first)"; exit 77; }
[ -x "$lister" ] || { echo "FAIL: $lister is not built"; exit 1; }
src=$(cd "$src" && pwd)

zip=$src/build/release/tessavane-win64.zip
stale=0
if [ ! -f "$zip" ]; then
  stale=1
else
  for f in "$src/build/windows/tessavane.exe" "$src"/release/* "$src/scripts/release.sh"; do
    [ -e "$f" ] && [ "$f" -nt "$zip" ] && stale=1
  done
  [ -e "$src/build/windows/tessavane.exe" ] || stale=1
fi
if [ "$stale" = 1 ]; then
  echo "building the zip with scripts/release.sh"
  log=$(mktemp -t tessavane-release.XXXXXX)
  if ! bash "$src/scripts/release.sh" >"$log" 2>&1; then
    cat "$log"
    rm -f "$log"
    echo "FAIL: scripts/release.sh failed"
    exit 1
  fi
  rm -f "$log"
fi
echo "zip: $zip ($(stat -c %s "$zip") bytes, sha256 $(sha256sum <"$zip" | cut -d' ' -f1))"

folder=$(mktemp -d -t tessavane-zip.XXXXXX)
trap 'rm -rf "$folder"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

(cd "$folder" && unzip -q "$zip") || { echo "FAIL: cannot unpack $zip"; exit 1; }
packed=$(cd "$folder" && find . -mindepth 1 | LC_ALL=C sort)
want=$(printf '%s\n' ./tessavane ./tessavane/prohibited_disks.txt ./tessavane/tessavane.exe \
  ./tessavane/使用说明.txt | LC_ALL=C sort)
if [ "$packed" = "$want" ]; then
  echo "ok   the zip holds tessavane/ with tessavane.exe, prohibited_disks.txt, 使用说明.txt"
else
  fail "the zip holds:"; echo "$packed"
fi
dir=$folder/tessavane
bash "$src/e2e/check_binary.sh" lean "$dir/tessavane.exe" || status=1

# The usage text: UTF-8 with a byte-order mark, every line ended by CR LF.
usage=$dir/使用说明.txt
if [ "$(head -c 3 "$usage" | od -An -tx1 | tr -d ' ')" != efbbbf ]; then
  fail "使用说明.txt does not start with a UTF-8 byte-order mark"
elif ! iconv -f UTF-8 -t UTF-8 "$usage" >/dev/null 2>&1; then
  fail "使用说明.txt is not valid UTF-8"
else
  lf=$(tr -cd '\n' <"$usage" | wc -c)
  crlf=$(grep -c $'\r$' "$usage")
  cr=$(tr -cd '\r' <"$usage" | wc -c)
  if [ "$lf" -eq 0 ] || [ "$crlf" -ne "$lf" ] || [ "$cr" -ne "$lf" ] ||
    [ "$(tail -c 2 "$usage" | od -An -tx1 | tr -d ' ')" != 0d0a ]; then
    fail "使用说明.txt: $lf LF, $crlf lines ending in CR LF, $cr CR; every line must end in CR LF"
  else
    echo "ok   使用说明.txt is UTF-8 with a byte-order mark, $lf lines ending in CR LF"
  fi
fi

# The example list, as packed (GBK, CR LF), through the program's own parser.
if serials=$("$lister" "$dir/prohibited_disks.txt"); then
  if [ -z "$serials" ]; then
    echo "ok   the packed prohibited_disks.txt parses to no serial"
  else
    fail "the packed prohibited_disks.txt protects: $serials"
  fi
else
  fail "the packed prohibited_disks.txt cannot be read"
fi

bash "$src/e2e/run.sh" --name release-zip --out "$out" --prefix "$prefix" \
  --folder "$dir" --program tessavane.exe --driver "$driver" \
  --script "$src/e2e/scripts/release-zip.txt"
run_status=$?
[ "$run_status" = 77 ] && exit 77
[ "$run_status" = 0 ] || status=1

# The program keeps no state and writes no files of its own.
after=$(cd "$folder" && find . -mindepth 1 | LC_ALL=C sort)
if [ "$after" = "$want" ]; then
  echo "ok   the folder holds only what was unpacked"
else
  fail "the folder changed:"; diff <(echo "$want") <(echo "$after")
fi
exit "$status"
