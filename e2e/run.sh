#!/usr/bin/env bash
# Runs one end-to-end test under Wine on a private X display.
#
#   run.sh --name NAME --out DIR --prefix DIR --program EXE --driver EXE \
#          --machine FILE --script FILE [--data FILE]...
#       Puts the program, the machine description (as machine.txt) and the
#       data files into a fresh folder, starts the program there and works it
#       with the driver and the script. The driver's "screenshot NAME" lands
#       in DIR/NAME-SHOT.png; a failing run also leaves DIR/NAME-failure.png.
#       Files made in the folder before the start, and checks of it after the
#       program has ended (all names relative to the folder):
#         --random NAME SIZE       SIZE bytes of random data (head -c syntax)
#         --sparse NAME SIZE       SIZE zero bytes, stored sparse
#         --expect-copy IMAGE DISK DISK starts with IMAGE's bytes, then keeps
#                                  what it held up to the next 4 KiB
#                                  boundary (zeros for a file not made yet)
#         --expect-absent NAME     NAME was never made (a disk never written)
#         --expect-zero NAME OFFSET LENGTH
#                                  those bytes of NAME are all zero
#       --append-at SHOT FILE NAME appends FILE (a host file) to NAME in the
#                                  folder when the driver asks for the
#                                  screenshot SHOT, before it goes on: a
#                                  person adding lines to an events file
#       --before "EXE ARG..."     runs the console program EXE (a host path)
#                                  under Wine in the folder with the ARGs
#                                  before the program starts, the machine
#                                  description already there; it must end
#                                  with 0 (a maker of files the machine names)
#       --after "EXE ARG..."      the same once the program has ended; its
#                                  exit code counts as a check's
#       --driver-arg ARG           one more argument for the driver, before
#                                  the script (--set NAME=VALUE, --capture .)
#       --expect-bmp NAME          NAME is a screenshot the driver wrote
#                                  itself: a whole 24-bit BMP of more than one
#                                  colour; it is kept as DIR/NAME-SHOT.png
#       The checks run also after a failed script, once the program has
#       ended, so that the log tells which disks were or were not written.
#       --visible runs on the current $DISPLAY when one is reachable, so a
#       person can watch; otherwise on a private Xvfb as always.
#       --decoy starts a second copy of the program first, from a folder of
#       its own in the same Wine prefix, and waits for its window: the driver
#       must work only the program it started, so the decoy's folder must
#       end as it began.
#
#   run.sh ... --folder DIR --program NAME ...
#       Starts DIR/NAME from DIR as it stands: nothing is copied there and no
#       machine description is needed. The driver and the script run from a
#       folder of their own.
#       --launcher NAME [--launcher-arg ARG]... starts the program as
#       DIR/NAME ARG... PROGRAM instead (DIR/NAME prints what it did and ends
#       with the program), and the driver works the one process of the
#       program's name.
#       --loop-device DEV FILE makes DEV the prefix's \\.\PhysicalDrive1, and
#       refuses to start unless DEV is a loop device over FILE. The prefix
#       then links no other device: of its dosdevices only c: and z: are
#       kept, and after the run none may name another block device.
#
#   run.sh ... --by-hand --program EXE ...
#       No driver: a person works the window on the current $DISPLAY (there is
#       no private display to fall back on) and the run ends when the program
#       does, with its exit code.
#
#   run.sh --name NAME --out DIR --prefix DIR --run EXE [--data FILE]...
#          [--arg ARG]... [--expect-exit N --expect-output TEXT]
#       Runs a console test program in a fresh folder with the ARGs; its exit
#       code decides, or with --expect-exit it must end with exit code N and
#       print a line that contains TEXT (a refusal that is the point).
#
# --prefix names a template Wine prefix, made on first use and never run
# itself: every run works in a copy of its own, so runs at once share no Wine
# server, no windows and no registry. The copy links the template's system
# DLLs, which nothing writes, and copies the rest (a tenth of a second, where
# making a prefix takes twenty). Everything this script starts is stopped by
# its process id or through its own prefix, also when it fails.
# Exit code: 0 passed, 1 failed, 77 skipped (no Wine, or nothing built).
set -uo pipefail

name="" out="" prefix="" program="" driver="" machine="" script="" run=""
run_args=() expect_exit="" expect_output=""
data=()
random_files=() sparse_files=() copies=() absent=() zeros=() appends=()
befores=() afters=() driver_args=() bmps=()
visible=0 folder="" by_hand=0 decoy=0 launcher="" loop_device="" loop_file=""
launcher_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --name) name=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --prefix) prefix=$2; shift 2 ;;
    --program) program=$2; shift 2 ;;
    --driver) driver=$2; shift 2 ;;
    --machine) machine=$2; shift 2 ;;
    --script) script=$2; shift 2 ;;
    --run) run=$2; shift 2 ;;
    --arg) run_args+=("$2"); shift 2 ;;
    --expect-exit) expect_exit=$2; shift 2 ;;
    --expect-output) expect_output=$2; shift 2 ;;
    --data) data+=("$2"); shift 2 ;;
    --random) random_files+=("$2" "$3"); shift 3 ;;
    --sparse) sparse_files+=("$2" "$3"); shift 3 ;;
    --expect-copy) copies+=("$2" "$3"); shift 3 ;;
    --expect-absent) absent+=("$2"); shift 2 ;;
    --expect-zero) zeros+=("$2" "$3" "$4"); shift 4 ;;
    --before) befores+=("$2"); shift 2 ;;
    --after) afters+=("$2"); shift 2 ;;
    --driver-arg) driver_args+=("$2"); shift 2 ;;
    --expect-bmp) bmps+=("$2"); shift 2 ;;
    --append-at)
      appends+=("$2" "$(cd "$(dirname "$3")" && pwd)/$(basename "$3")" "$4")
      shift 4
      ;;
    --visible) visible=1; shift ;;
    --folder) folder=$2; shift 2 ;;
    --launcher) launcher=$2; shift 2 ;;
    --launcher-arg) launcher_args+=("$2"); shift 2 ;;
    --loop-device) loop_device=$2; loop_file=$3; shift 3 ;;
    --by-hand) by_hand=1; shift ;;
    --decoy) decoy=1; shift ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$name" ] || [ -z "$out" ] || [ -z "$prefix" ]; then
  echo "run.sh: --name, --out and --prefix are required" >&2
  exit 2
fi

for tool in wine wineserver wineboot Xvfb import flock timeout; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (scripts/setup.sh installs it)"
    exit 77
  fi
done
needed=("$run")
[ -z "$run" ] && needed=("$program" "$driver")
[ -n "$folder" ] && needed[0]=$folder/$program
[ "$by_hand" = 1 ] && needed=("${needed[0]}")
for f in "${needed[@]}"; do
  if [ -z "$f" ] || [ ! -f "$f" ]; then
    echo "SKIP: ${f:-a program} is not built (build the windows preset first)"
    exit 77
  fi
done

# The one device a run may reach: checked before anything starts, and again
# just before it is linked.
refuse_other_device() {
  local backing
  backing=$(losetup --list --noheadings --output BACK-FILE "$loop_device" 2>/dev/null | sed 's/ *$//')
  if [ ! -b "$loop_device" ] || [ -z "$backing" ] || [ "$backing" != "$(readlink -f "$loop_file")" ]; then
    echo "FAIL: refused: $loop_device is not a loop device over $loop_file"
    return 1
  fi
}
if [ -n "$loop_device" ]; then
  refuse_other_device || exit 1
fi

mkdir -p "$out" "$(dirname "$prefix")"
out=$(cd "$out" && pwd)
[ -n "$folder" ] && folder=$(cd "$folder" && pwd)
template=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
runs=$template-runs
work=$(mktemp -d "${TMPDIR:-/tmp}/tessavane-e2e.XXXXXX")
run_prefix=""
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64

xvfb_pid="" program_pid="" job_pid="" decoy_pid="" launcher_pid="" wine_used=0
cleanup() {
  local status=$?
  local pid
  for pid in "$job_pid" "$program_pid" "$decoy_pid" "$launcher_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null
    fi
  done
  if [ "$wine_used" = 1 ]; then
    # Only this run's own prefix: its server and its processes.
    wineserver -k >/dev/null 2>&1
    timeout 20 wineserver -w >/dev/null 2>&1
  fi
  if [ -n "$run_prefix" ]; then
    rm -rf "$run_prefix" "$run_prefix.lock"
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Long steps run in the background so that a signal reaches the trap at once
# instead of after the step.
in_background() {
  "$@" &
  job_pid=$!
  wait "$job_pid"
  local status=$?
  job_pid=""
  return "$status"
}

start_xvfb() {
  # Xvfb picks a free display itself and tells us which.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp \
    3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -s "$work/display" ]; then
    echo "FAIL: Xvfb did not start"; cat "$work/xvfb.log"
    return 1
  fi
  export DISPLAY=:$(tr -dc '0-9' <"$work/display")
}

# CJK text through the fonts Wine's controls and dialogs ask for; one virtual
# desktop so every window is drawn by Wine, frame included; and a program
# that crashes ends with its backtrace in the log instead of waiting behind
# Wine's crash dialog for a click that never comes.
prefix_settings='REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"MS Shell Dlg"="Noto Sans CJK SC"
"MS Shell Dlg 2"="Noto Sans CJK SC"
"Tahoma"="Noto Sans CJK SC"
"System"="Noto Sans CJK SC"
"Simsun"="Noto Sans CJK SC"

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1024x768"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
'

# The template is made by the first run that needs it, again when Wine or
# these settings change (a copy of a prefix from another Wine would update
# its linked DLLs in place), and only ever under its lock.
wine_fingerprint() {
  local inf
  inf=$(dirname "$(command -v wine)")/../share/wine/wine.inf
  printf '%s %s %s\n' "$(wine --version 2>/dev/null)" "$(stat -c %Y "$inf" 2>/dev/null)" \
    "$(printf '%s' "$prefix_settings" | cksum | cut -d' ' -f1)"
}

make_template() {
  local prefix=$template
  echo "making the Wine prefix $prefix"
  local started=$SECONDS
  rm -rf "$prefix"
  export WINEPREFIX=$prefix
  wine_used=1
  in_background wineboot -i >"$work/wineboot.log" 2>&1
  in_background wineserver -w
  printf '%s' "$prefix_settings" >"$work/setup.reg"
  (cd "$work" && wine regedit /S setup.reg >>"$work/wineboot.log" 2>&1)
  wineserver -w
  local font
  font=$(fc-match -f '%{file}' 'Noto Sans CJK SC' 2>/dev/null)
  [ -f "$font" ] || font=/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc
  if [ ! -f "$font" ]; then
    echo "FAIL: Noto Sans CJK SC is not installed (fonts-noto-cjk)"
    return 1
  fi
  ln -sf "$font" "$prefix/drive_c/windows/Fonts/$(basename "$font")"
  # The caption buttons draw with Wine's Marlett, which some packagings
  # leave outside the prefix.
  local marlett
  for marlett in /usr/share/wine/fonts/marlett.ttf /usr/lib/*/wine/fonts/marlett.ttf; do
    [ -f "$marlett" ] && ln -sf "$marlett" "$prefix/drive_c/windows/Fonts/marlett.ttf" && break
  done
  wine_fingerprint >"$prefix/.tessavane-ready"
  echo "prefix ready in $((SECONDS - started)) s"
}

# This run's own prefix: the template's system32 and syswow64 linked, the
# rest copied. Each copy holds a lock while its run lives (its Wine server
# inherits it); a copy whose lock is free was left by a run that was killed,
# and goes.
prepare_prefix() {
  exec 9>"$template.lock"
  flock 9
  if [ "$(cat "$template/.tessavane-ready" 2>/dev/null)" != "$(wine_fingerprint)" ]; then
    make_template || return 1
  fi
  mkdir -p "$runs"
  local old
  for old in "$runs"/*; do
    case $old in
      *.lock) [ -e "${old%.lock}" ] || rm -f "$old" ;;
      *) if [ ! -e "$old.lock" ] || flock -n "$old.lock" true; then rm -rf "$old" "$old.lock"; fi ;;
    esac
  done
  run_prefix=$(mktemp -d "$runs/XXXXXX") || return 1
  exec 8>"$run_prefix.lock"
  flock 8
  local d
  (cd "$template" && find . -mindepth 1 -maxdepth 1 ! -name drive_c -exec cp -a {} "$run_prefix/" \;) &&
    mkdir -p "$run_prefix/drive_c" &&
    (cd "$template/drive_c" && find . -mindepth 1 -maxdepth 1 ! -name windows -exec cp -a {} "$run_prefix/drive_c/" \;) &&
    mkdir -p "$run_prefix/drive_c/windows" &&
    (cd "$template/drive_c/windows" && find . -mindepth 1 -maxdepth 1 ! -name system32 ! -name syswow64 \
      -exec cp -a {} "$run_prefix/drive_c/windows/" \;) || return 1
  for d in system32 syswow64; do
    [ -d "$template/drive_c/windows/$d" ] || continue
    cp -al "$template/drive_c/windows/$d" "$run_prefix/drive_c/windows/" 2>/dev/null ||
      cp -a "$template/drive_c/windows/$d" "$run_prefix/drive_c/windows/" || return 1
  done
  flock -u 9
  exec 9>&-
  export WINEPREFIX=$run_prefix
}

screenshot() {
  import -window root "$out/$name-$1.png" 2>>"$work/import.log" &&
    echo "screenshot $out/$name-$1.png"
}

# --visible: on the display the user is looking at, when there is one.
if [ "$by_hand" = 1 ] && ! { [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; }; then
  echo "FAIL: no display to show the window on (DISPLAY is '${DISPLAY:-}')"
  exit 1
fi
if { [ "$visible" = 1 ] || [ "$by_hand" = 1 ]; } && [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "using the display $DISPLAY"
else
  start_xvfb || exit 1
fi
prepare_prefix || exit 1
wine_used=1

# Every dosdevices entry that names a block device other than the run's own.
other_block_devices() {
  local entry target
  for entry in "$WINEPREFIX/dosdevices"/*; do
    target=$(readlink -f "$entry")
    [ -b "$target" ] && [ "$target" != "$(readlink -f "$loop_device")" ] && echo "$(basename "$entry") -> $target"
  done
}
if [ -n "$loop_device" ]; then
  refuse_other_device || exit 1
  find "$WINEPREFIX/dosdevices" -mindepth 1 -maxdepth 1 ! -name c: ! -name z: -exec rm -f {} + &&
    ln -s "$loop_device" "$WINEPREFIX/dosdevices/physicaldrive1" || exit 1
  echo '\\.\PhysicalDrive1'" is $loop_device (over $loop_file), the prefix's only device"
fi

for f in "${data[@]}"; do cp "$f" "$work/" || exit 1; done
for ((i = 0; i < ${#random_files[@]}; i += 2)); do
  head -c "${random_files[i + 1]}" /dev/urandom >"$work/${random_files[i]}" || exit 1
done
for ((i = 0; i < ${#sparse_files[@]}; i += 2)); do
  truncate -s "${sparse_files[i + 1]}" "$work/${sparse_files[i]}" || exit 1
done

# "EXE ARG..." under Wine in the folder, its output shown.
run_console() {
  local words
  read -r -a words <<<"$1"
  cp "${words[0]}" "$work/" || return 1
  echo "running $(basename "${words[0]}") ${words[*]:1}"
  (cd "$work" && timeout --kill-after=5 300 wine "./$(basename "${words[0]}")" "${words[@]:1}") 2>&1 |
    tr -d '\r'
  return "${PIPESTATUS[0]}"
}
# The machine is in place before the makers run, so that a maker built over
# the simulated machine (contract_tests-sim.exe) reads the same disks.
if [ -n "$machine" ] && [ -z "$folder" ]; then
  cp "$machine" "$work/machine.txt" || exit 1
fi
for command in "${befores[@]}"; do
  if ! in_background run_console "$command"; then
    echo "FAIL: $command did not end with 0"
    exit 1
  fi
done

# What each disk to be checked holds after its image's end, up to the next
# 4 KiB boundary, before the program starts: the job writes its last block
# whole, and those bytes must come back unchanged. A disk file not made yet
# reads as zeros.
image_tail() {
  local image=$1 disk=$2 size
  size=$(stat -c %s "$image")
  [ -f "$disk" ] || disk=/dev/zero
  dd if="$disk" iflag=skip_bytes,count_bytes skip="$size" \
    count="$(( (size + 4095) / 4096 * 4096 - size ))" status=none
}
for ((i = 0; i < ${#copies[@]}; i += 2)); do
  image_tail "$work/${copies[i]}" "$work/${copies[i + 1]}" >"$work/.held-$i" || exit 1
done

# The disk's backing file holds the image from byte 0 and, after it, what it
# held before.
check_copy() {
  local image=$1 disk=$2 held=$3 size padded
  if [ ! -f "$disk" ]; then
    echo "FAIL: $disk was never written"
    return 1
  fi
  size=$(stat -c %s "$image")
  padded=$(( (size + 4095) / 4096 * 4096 ))
  local want got
  want=$(sha256sum <"$image" | cut -d' ' -f1)
  got=$(head -c "$size" "$disk" | sha256sum | cut -d' ' -f1)
  if [ "$want" != "$got" ]; then
    echo "FAIL: the first $size bytes of $disk hash to $got, the image to $want"
    return 1
  fi
  if [ "$(stat -c %s "$disk")" -lt "$padded" ]; then
    echo "FAIL: $disk is shorter than the padded image ($padded bytes)"
    return 1
  fi
  if ! image_tail "$image" "$disk" | cmp -s - "$held"; then
    echo "FAIL: $disk changed between the image's end and the next 4 KiB boundary"
    return 1
  fi
  echo "ok   $disk holds $image ($size bytes, sha256 $got)"
}

count_nonzero() {
  tail -c +"$(($2 + 1))" "$1" | head -c "$3" | tr -d '\0' | wc -c
}

# A screenshot the driver wrote: the header's sizes agree with the file's and
# with 24-bit rows padded to 4 bytes, and the picture is not one flat colour.
check_bmp() {
  local f=$1 size declared width height bits colours png
  if [ ! -f "$f" ]; then
    echo "FAIL: $f was not written"
    return 1
  fi
  size=$(stat -c %s "$f")
  declared=$(od -An -tu4 -j2 -N4 "$f" | tr -d ' ')
  width=$(od -An -tu4 -j18 -N4 "$f" | tr -d ' ')
  height=$(od -An -tu4 -j22 -N4 "$f" | tr -d ' ')
  bits=$(od -An -tu2 -j28 -N2 "$f" | tr -d ' ')
  if [ "$(head -c 2 "$f")" != BM ] || [ "$bits" != 24 ] || [ "$declared" != "$size" ] ||
    [ "$size" != $((54 + (width * 3 + 3) / 4 * 4 * height)) ]; then
    echo "FAIL: $f is no whole 24-bit BMP ($size bytes, header: $declared bytes, ${width}x${height}, $bits bits)"
    return 1
  fi
  png=$out/$name-${f%.bmp}.png
  colours=$(convert "$f" -format '%k' info: 2>/dev/null)
  convert "$f" "$png" 2>/dev/null
  if [ "${colours:-0}" -lt 2 ]; then
    echo "FAIL: $f is one flat colour (${width}x${height})"
    return 1
  fi
  echo "ok   $f is a ${width}x${height} screenshot of $colours colours ($png)"
}

check_folder() {
  local status=0 i f nonzero
  for ((i = 0; i < ${#copies[@]}; i += 2)); do
    check_copy "${copies[i]}" "${copies[i + 1]}" "$work/.held-$i" || status=1
  done
  for ((i = 0; i < ${#zeros[@]}; i += 3)); do
    nonzero=$(count_nonzero "${zeros[i]}" "${zeros[i + 1]}" "${zeros[i + 2]}")
    if [ "$nonzero" -ne 0 ]; then
      echo "FAIL: $nonzero non-zero bytes in ${zeros[i]} from ${zeros[i + 1]} on (${zeros[i + 2]} bytes)"
      status=1
    else
      echo "ok   ${zeros[i]} is zero from ${zeros[i + 1]} on (${zeros[i + 2]} bytes)"
    fi
  done
  for f in "${bmps[@]}"; do
    check_bmp "$f" || status=1
  done
  for f in "${absent[@]}"; do
    if [ -e "$f" ]; then
      echo "FAIL: $f exists: that disk was written"
      status=1
    else
      echo "ok   $f was never written"
    fi
  done
  return "$status"
}

if [ -n "$run" ]; then
  cp "$run" "$work/" || exit 1
  cd "$work" || exit 1
  if [ -z "$expect_exit" ]; then
    in_background timeout --kill-after=5 600 wine "./$(basename "$run")" "${run_args[@]}"
    exit $?
  fi
  in_background timeout --kill-after=5 600 wine "./$(basename "$run")" "${run_args[@]}" \
    >"$work/run.log" 2>&1
  run_status=$?
  cat "$work/run.log"
  status=0
  if [ "$run_status" != "$expect_exit" ]; then
    echo "FAIL: exit code $run_status, not $expect_exit"
    status=1
  else
    echo "ok   exit code $run_status"
  fi
  if ! grep -qF -- "$expect_output" "$work/run.log"; then
    echo "FAIL: no line with: $expect_output"
    status=1
  else
    echo "ok   printed: $expect_output"
  fi
  exit "$status"
fi

# Where the program starts, as this host and as Windows name it (the host's
# root is drive Z: in every prefix).
if [ -n "$folder" ]; then
  program_dir=$folder program_name=$program
else
  program_dir=$work program_name=$(basename "$program")
  cp "$program" "$work/" || exit 1
  cp "$machine" "$work/machine.txt" || exit 1
fi
windows_path() { printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"; }

if [ "$by_hand" = 1 ]; then
  echo "the window is yours (Wine prefix $run_prefix); the run ends when you close it"
  (cd "$program_dir" && exec wine "./$program_name") >"$work/program.log" 2>&1 &
  program_pid=$!
  wait "$program_pid"
  program_status=$?
  program_pid=""
  echo "program exit code $program_status"
  exit "$program_status"
fi

cp "$driver" "$work/driver.exe" || exit 1
cp "$script" "$work/script.txt" || exit 1
cd "$work" || exit 1

# The launcher starts the program; the driver then works it by its name.
target=(--start "$(windows_path "$program_dir/$program_name")")
if [ -n "$launcher" ]; then
  (cd "$program_dir" && exec wine "./$launcher" "${launcher_args[@]}" "$program_name") \
    >"$work/launcher.log" 2>&1 &
  launcher_pid=$!
  target=(--attach "$program_name")
fi


# The decoy: the same program and machine in a folder of its own, held open
# by a second driver that only waits.
decoy_files=""
if [ "$decoy" = 1 ]; then
  if [ -n "$folder" ]; then
    echo "run.sh: --decoy needs --machine" >&2
    exit 2
  fi
  mkdir decoy &&
    find . -maxdepth 1 -type f ! -name driver.exe ! -name script.txt \
      -exec cp --sparse=always {} decoy/ \; || exit 1
  decoy_files=$(cd decoy && ls -l --time-style=+%s.%N)
  (cd decoy && exec wine ../driver.exe --start "./$program_name" -e wait-window -e "sleep 3600000") \
    >decoy.log 2>&1 &
  decoy_pid=$!
  for _ in $(seq 600); do
    grep -q '^ok   1: wait-window' decoy.log && break
    kill -0 "$decoy_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q '^ok   1: wait-window' decoy.log; then
    echo "FAIL: the decoy's window did not open"; cat decoy.log
    exit 1
  fi
  echo "decoy: a second $program_name is open in the same prefix"
fi

# The driver starts the program and asks for screenshots on its output,
# then waits for the flag file. Its output goes through a file, not a pipe:
# whatever the driver started inherits its output, and a program that
# outlives the driver would hold a pipe open, and the run with it, for ever.
drive() {
  : >"$work/driver.raw"
  # Wine's own errors too (a window no driver could draw, a desktop that did
  # not start): a run that fails prints this log, and they name the cause.
  WINEDEBUG=-all,err+all timeout --kill-after=5 600 wine ./driver.exe "${target[@]}" \
    --shots "${driver_args[@]}" script.txt >"$work/driver.raw" 2>"$work/driver.log" &
  local driver=$!
  tail -n +1 -s 0.2 -f --pid="$driver" "$work/driver.raw" |
    while IFS= read -r line; do
      line=${line%$'\r'}
      printf '%s\n' "$line"
      printf '%s\n' "$line" >>"$work/driver.out"
      case $line in
        "SCREENSHOT "*)
          shot=${line#SCREENSHOT }
          for ((i = 0; i < ${#appends[@]}; i += 3)); do
            [ "${appends[i]}" = "$shot" ] && cat "${appends[i + 1]}" >>"${appends[i + 2]}"
          done
          screenshot "$shot"
          touch "shot-$shot.done"
          ;;
      esac
    done
  wait "$driver"
}
in_background drive
driver_status=$?

status=0
# A driver that was killed may end with 0: only its own summary counts.
if [ "$driver_status" -eq 0 ] && ! grep -qE '^[0-9]+ passed, 0 failed$' "$work/driver.out"; then
  echo "FAIL: the driver ended without finishing its script"
  driver_status=1
fi
if [ "$driver_status" -ne 0 ]; then
  echo "--- driver and program stderr"; cat "$work/driver.log"
  status=1
fi
# The launcher ends with the program: at once when the script closed it.
if [ -n "$launcher" ]; then
  for _ in $(seq 100); do
    kill -0 "$launcher_pid" 2>/dev/null || break
    sleep 0.1
  done
  tr -d '\r' <"$work/launcher.log"
  if kill -0 "$launcher_pid" 2>/dev/null; then
    [ "$driver_status" -eq 0 ] && echo "FAIL: $launcher still runs after the program's end"
    status=1
  else
    wait "$launcher_pid"
    launcher_status=$?
    if [ "$launcher_status" -ne 0 ]; then
      echo "FAIL: $launcher ended with $launcher_status"
      status=1
    fi
    launcher_pid=""
  fi
fi
if [ -n "$loop_device" ] && [ -n "$(other_block_devices)" ]; then
  echo "FAIL: the prefix linked other block devices:"; other_block_devices
  status=1
fi
if [ "$decoy" = 1 ]; then
  if ! kill -0 "$decoy_pid" 2>/dev/null; then
    echo "FAIL: the decoy's window was closed"; cat decoy.log
    status=1
  elif [ "$(cd decoy && ls -l --time-style=+%s.%N)" != "$decoy_files" ]; then
    echo "FAIL: the decoy's folder changed: its disks were written"
    (cd decoy && ls -l)
    status=1
  else
    echo "ok   the decoy was left alone"
  fi
fi
# The driver ends the program it started; whatever else still runs in this
# prefix goes too, so that the disks hold what the program left.
wineserver -k >/dev/null 2>&1
timeout 20 wineserver -w >/dev/null 2>&1
for command in "${afters[@]}"; do
  if in_background run_console "$command"; then
    echo "ok   $command"
  else
    echo "FAIL: $command"
    status=1
  fi
done
wineserver -k >/dev/null 2>&1
check_folder || status=1
exit "$status"
