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
#         --expect-copy IMAGE DISK DISK starts with IMAGE's bytes, then zeros
#                                  up to the next 4 KiB boundary
#         --expect-absent NAME     NAME was never made (a disk never written)
#         --expect-zero NAME OFFSET LENGTH
#                                  those bytes of NAME are all zero
#       --append-at SHOT FILE NAME appends FILE (a host file) to NAME in the
#                                  folder when the driver asks for the
#                                  screenshot SHOT, before it goes on: a
#                                  person adding lines to an events file
#       --visible runs on the current $DISPLAY when one is reachable, so a
#       person can watch; otherwise on a private Xvfb as always.
#
#   run.sh ... --folder DIR --program NAME ...
#       Starts DIR/NAME from DIR as it stands: nothing is copied there and no
#       machine description is needed. The driver and the script run from a
#       folder of their own.
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
# The Wine prefix is made on first use (and reused after); everything this
# script starts is stopped by its process id, also when it fails.
# Exit code: 0 passed, 1 failed, 77 skipped (no Wine, or nothing built).
set -uo pipefail

name="" out="" prefix="" program="" driver="" machine="" script="" run=""
run_args=() expect_exit="" expect_output=""
data=()
random_files=() sparse_files=() copies=() absent=() zeros=() appends=()
visible=0 folder="" by_hand=0
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
    --append-at)
      appends+=("$2" "$(cd "$(dirname "$3")" && pwd)/$(basename "$3")" "$4")
      shift 4
      ;;
    --visible) visible=1; shift ;;
    --folder) folder=$2; shift 2 ;;
    --by-hand) by_hand=1; shift ;;
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

mkdir -p "$out" "$(dirname "$prefix")"
out=$(cd "$out" && pwd)
[ -n "$folder" ] && folder=$(cd "$folder" && pwd)
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
work=$(mktemp -d "${TMPDIR:-/tmp}/tessavane-e2e.XXXXXX")
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64

xvfb_pid="" program_pid="" job_pid="" wine_used=0
cleanup() {
  local status=$?
  local pid
  for pid in "$job_pid" "$program_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null
    fi
  done
  if [ "$wine_used" = 1 ]; then
    # Only this private prefix's server and its processes.
    wineserver -k >/dev/null 2>&1
    timeout 20 wineserver -w >/dev/null 2>&1
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

# One prefix serves every test of a run; the first test makes it.
prepare_prefix() {
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/.tessavane-ready" ]; then
    echo "making the Wine prefix $prefix"
    local started=$SECONDS
    rm -rf "$prefix"
    wine_used=1
    in_background wineboot -i >"$work/wineboot.log" 2>&1
    in_background wineserver -w
    # CJK text through the fonts Wine's controls and dialogs ask for; one
    # virtual desktop so every window is drawn by Wine, frame included.
    cat >"$work/setup.reg" <<'EOF'
REGEDIT4

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
EOF
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
    touch "$prefix/.tessavane-ready"
    echo "prefix ready in $((SECONDS - started)) s"
  fi
  flock -u 9
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

for f in "${data[@]}"; do cp "$f" "$work/" || exit 1; done
for ((i = 0; i < ${#random_files[@]}; i += 2)); do
  head -c "${random_files[i + 1]}" /dev/urandom >"$work/${random_files[i]}" || exit 1
done
for ((i = 0; i < ${#sparse_files[@]}; i += 2)); do
  truncate -s "${sparse_files[i + 1]}" "$work/${sparse_files[i]}" || exit 1
done

# The disk's backing file holds the image from byte 0; the job pads the last
# partial 4 KiB of the image with zeros, since raw transfers are whole sectors.
check_copy() {
  local image=$1 disk=$2 size padded
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
  local nonzero
  nonzero=$(count_nonzero "$disk" "$size" "$((padded - size))")
  if [ "$nonzero" -ne 0 ]; then
    echo "FAIL: $nonzero non-zero bytes in the padding after the image in $disk"
    return 1
  fi
  echo "ok   $disk holds $image ($size bytes, sha256 $got)"
}

count_nonzero() {
  tail -c +"$(($2 + 1))" "$1" | head -c "$3" | tr -d '\0' | wc -c
}

check_folder() {
  local status=0 i f nonzero
  for ((i = 0; i < ${#copies[@]}; i += 2)); do
    check_copy "${copies[i]}" "${copies[i + 1]}" || status=1
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

if [ -n "$folder" ]; then
  (cd "$folder" && exec wine "./$program") >"$work/program.log" 2>&1 &
  program_pid=$!
else
  cp "$program" "$work/" || exit 1
  cp "$machine" "$work/machine.txt" || exit 1
  (cd "$work" && exec wine "./$(basename "$program")") >"$work/program.log" 2>&1 &
  program_pid=$!
fi

if [ "$by_hand" = 1 ]; then
  echo "the window is yours; the run ends when you close it"
  wait "$program_pid"
  program_status=$?
  program_pid=""
  echo "program exit code $program_status"
  exit "$program_status"
fi

cp "$driver" "$work/" || exit 1
cp "$script" "$work/script.txt" || exit 1
cd "$work" || exit 1

# The driver asks for screenshots on its output and waits for the flag file.
drive() {
  timeout --kill-after=5 600 wine "./$(basename "$driver")" --shots script.txt \
    2>"$work/driver.log" |
    while IFS= read -r line; do
      line=${line%$'\r'}
      printf '%s\n' "$line"
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
  return "${PIPESTATUS[0]}"
}
in_background drive
driver_status=$?

if [ "$driver_status" -ne 0 ]; then
  kill -0 "$program_pid" 2>/dev/null && screenshot failure
  echo "--- driver stderr"; cat "$work/driver.log"
  echo "--- program output"; cat "$work/program.log"
fi

# The program ends by itself when the script closed its window.
for _ in $(seq 50); do
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
if ! kill -0 "$program_pid" 2>/dev/null; then
  wait "$program_pid"
  echo "program exit code $?"
  program_pid=""
else
  echo "program still running; stopping it"
fi

[ "$driver_status" -eq 0 ] || exit 1
# The checks read what the program wrote, so only once it has ended.
if [ -n "$program_pid" ]; then
  [ $((${#copies[@]} + ${#absent[@]} + ${#zeros[@]})) -eq 0 ] && exit 0
  echo "FAIL: cannot check the disks while the program runs"
  exit 1
fi
check_folder || exit 1
exit 0
