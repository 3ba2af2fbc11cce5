#!/usr/bin/env bash
# A rehearsal you drive yourself: tessavane-sim.exe on the demonstration
# machine (demo/machine.txt), on your display, with the host's files
# reachable (the hostfiles statement), so that the file dialog and typed paths
# work for your own images. Nothing on your computer is written: the
# simulated disks are files under build/try/. Disks can be pulled out and
# plugged in while the window is open: lines appended to build/try/events.txt
# (the events statement). When you close the window, it reports for each
# simulated disk, those that came and went too, whether it was written and
# how many bytes, and whether a written disk starts with the file you picked
# (SHA-256).
#   bash scripts/try.sh [--out DIR]    (also: bash scripts/demo.sh --try)
#       DIR  the rehearsal's folder (default build/try), emptied at the
#            start; one rehearsal at a time uses a folder
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/try
case ${1:-} in
  "") ;;
  --out) [ $# -eq 2 ] || { echo "usage: bash scripts/try.sh [--out DIR]" >&2; exit 2; }; out=$2 ;;
  *) echo "usage: bash scripts/try.sh [--out DIR]" >&2; exit 2 ;;
esac

no_display() {
  echo "try: $1."
  echo "The rehearsal opens the program's window for you to work, so it needs a"
  echo "screen: run it from a desktop session, or set DISPLAY to one."
  echo "Nothing was started. (bash scripts/demo.sh runs without a screen.)"
  exit 1
}
[ -n "${DISPLAY:-}" ] || no_display "there is no display (DISPLAY is not set)"
bash scripts/setup.sh
xdpyinfo >/dev/null 2>&1 || no_display "the display $DISPLAY cannot be reached"

# The folder is emptied only by the rehearsal that holds it.
mkdir -p "$(dirname "$out")"
exec 6>>"$out.lock"
if ! flock -n 6; then
  echo "try: another rehearsal (process $(cat "$out.lock")) is open and uses $out/."
  echo "Close its window first, or give this one a folder of its own: --out DIR."
  exit 1
fi
echo $$ >"$out.lock"
prefix=build/demo-prefix
rm -rf "$out"
mkdir -p "$out"

echo "try: building tessavane-sim.exe (log: $out/build.log)"
bash scripts/build_windows.sh --log "$out/build.log" tessavane-sim
cp build/windows/tessavane-sim.exe demo/prohibited_disks.txt "$out/"
{
  cat demo/machine.txt
  printf '\n# Tried by hand: files of the host can be picked and written too.\nhostfiles\n'
  printf '# Disks pulled out and plugged in while the window is open.\nevents events.txt\n'
} >"$out/machine.txt"
: >"$out/events.txt"
head -c 96M /dev/urandom >"$out/demo.img"

cat <<EOF
try: the demonstration machine, on $DISPLAY:
  #0  the office PC's system disk (on the built-in protected list)
  #1  the PE stick the program runs from (its own disk)
  #2  a data disk listed in prohibited_disks.txt
  #3  a 256 MiB USB disk with a mounted volume: the one you may write
Press 选择... and pick an image: any file of yours up to 256 MiB, or demo.img
(96 MiB) in the folder the dialog opens; or type a path, such as
D:\\images\\demo.img. Select #3, press 开始写入 and confirm. Nothing on this
computer is written: the disks are files under $out/.

Disks come and go as on a real machine: from another terminal, append a line
to $out/events.txt; it takes effect at the program's next step (press 刷新 to
see the list change). For example:
  echo 'unplug 3' >>$out/events.txt
      pulls the USB disk out
  echo 'plug size=64M vendor="Kingston" product="DataTraveler" serial="KT-01" removable file=stick.img' >>$out/events.txt
      plugs a 64 MiB stick in: it takes the lowest free number (3, once the
      USB disk is out)
The lines are described in docs/machine-description.md ("Disks that come and
go"); one that cannot be applied is named in this terminal and skipped.
Close the window when you are done; the report follows.

EOF

export TESSAVANE_SIM_REPORT=report.txt
set +e
bash e2e/run.sh --name try --out "$out" --prefix "$prefix" --by-hand \
  --folder "$out" --program tessavane-sim.exe
status=$?
set -e

# A Windows path as the program saw it, as a path on this host: drive letters
# through the Wine prefix, relative paths from the program's folder (the file
# dialog always gives full paths).
host_path() {
  local p=$1 root
  case $p in
    [A-Za-z]:\\*)
      root=$(readlink -f "$prefix/dosdevices/$(printf '%s' "${p:0:1}" | tr 'A-Z' 'a-z'):") ||
        return 1
      printf '%s%s\n' "${root%/}" "$(printf '%s' "${p:2}" | tr '\\' '/')"
      ;;
    \\* | /*) return 1 ;;
    *) printf '%s/%s\n' "$(cd "$out" && pwd)" "$(printf '%s' "$p" | tr '\\' '/')" ;;
  esac
}

declare -A names=()
while IFS= read -r line; do
  if [[ $line =~ ^disk\ ([0-9]+)\  ]]; then
    n=${BASH_REMATCH[1]} vendor="" product=""
    [[ $line =~ vendor=\"([^\"]*)\" ]] && vendor=${BASH_REMATCH[1]}
    [[ $line =~ product=\"([^\"]*)\" ]] && product=${BASH_REMATCH[1]}
    names[$n]="$vendor $product"
  fi
done <"$out/machine.txt"

echo
echo "---- Tessavane rehearsal report"
report=$out/report.txt
if [ ! -f "$report" ]; then
  echo "The program left no report: it did not end by its window being closed"
  echo "(exit status $status)."
  exit 1
fi
picked=()
while IFS= read -r line; do
  [[ $line == hostfile\ * ]] && picked+=("${line#hostfile }")
done <"$report"

# One line a disk, in the order the disks arrived; a number may come twice
# when a disk was pulled out and another took its number.
while IFS= read -r line; do
  [[ $line =~ ^disk\ ([0-9]+)\ written\ ([0-9]+)\ end\ ([0-9]+)\ layout\ ([a-z]+)\ origin\ ([a-z]+)\ state\ ([a-z]+)(\ backing\ (.*))?$ ]] ||
    continue
  n=${BASH_REMATCH[1]} bytes=${BASH_REMATCH[2]} end=${BASH_REMATCH[3]}
  layout=${BASH_REMATCH[4]} origin=${BASH_REMATCH[5]} state=${BASH_REMATCH[6]}
  backing=${BASH_REMATCH[8]}
  head="PhysicalDrive$n (${names[$n]:-?})"
  [ "$origin" = plugged ] && head="PhysicalDrive$n (plugged in during the run)"
  what="not written"
  [ "$bytes" -gt 0 ] && what="written, $bytes bytes (up to byte $end)"
  [ "$layout" = deleted ] && what="$what; partition layout deleted"
  [ "$state" = gone ] && what="$what; pulled out during the run"
  echo "$head: $what"
  [ "$bytes" -gt 0 ] || continue
  if [ "${#picked[@]}" -eq 0 ]; then
    echo "    no file was picked from this computer, so there is nothing to compare with"
    continue
  fi
  disk=$(host_path "$backing" 2>/dev/null || true)
  for file in "${picked[@]}"; do
    local_file=$(host_path "$file" 2>/dev/null || true)
    if [ -z "$local_file" ] || [ ! -f "$local_file" ]; then
      echo "    $file cannot be found on this computer, not compared"
      continue
    fi
    size=$(stat -c %s "$local_file")
    if [ -z "$disk" ] || [ ! -f "$disk" ]; then
      echo "    the disk's file cannot be found, not compared"
      break
    fi
    if [ "$size" -gt "$bytes" ]; then
      echo "    its first bytes equal $file: no, it got $bytes bytes and the file has $size"
      continue
    fi
    want=$(sha256sum <"$local_file" | cut -d' ' -f1)
    got=$(head -c "$size" "$disk" | sha256sum | cut -d' ' -f1)
    if [ "$want" = "$got" ]; then
      echo "    its first $size bytes equal $file: yes (sha256 $want)"
    else
      echo "    its first $size bytes equal $file: no (sha256 $got; the file's $want)"
    fi
  done
done <"$report"
if [ "${#picked[@]}" -gt 0 ]; then
  echo "files picked from this computer:"
  for file in "${picked[@]}"; do echo "    $file"; done
fi
echo "the disks' files: $out/"
exit "$status"
