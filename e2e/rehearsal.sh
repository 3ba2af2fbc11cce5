# Sourced by the tests that open a rehearsal (scripts/try.sh) on a display
# of their own. The caller has src (the sources) and work (a scratch folder)
# set, and calls rehearsal_cleanup on exit.
xvfb_pid="" try_pid="" rehearsal_prefix=""

# Skips (77) without the tools or the driver.
rehearsal_needs() {
  local tool
  for tool in wine wineserver Xvfb xdpyinfo; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
  done
  [ -f "$1" ] || { echo "SKIP: $1 is not built (build the windows preset first)"; exit 77; }
}

rehearsal_cleanup() {
  [ -n "$try_pid" ] && kill "$try_pid" 2>/dev/null && wait "$try_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}

# A private display for everything started after.
private_display() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  [ -s "$work/display" ] || { echo "FAIL: Xvfb did not start"; exit 1; }
  export DISPLAY=:$(tr -dc '0-9' <"$work/display")
}

# try.sh in the folder DIR, its output in LOG, until its window is left to
# the person; rehearsal_prefix is then the Wine prefix its program runs in.
open_rehearsal() {
  local dir=$1 log=$2
  bash "$src/scripts/try.sh" --out "$dir" >"$log" 2>&1 &
  try_pid=$!
  for _ in $(seq 1200); do
    grep -q "the window is yours" "$log" && break
    kill -0 "$try_pid" 2>/dev/null || break
    sleep 0.5
  done
  if ! grep -q "the window is yours" "$log"; then
    cat "$log"
    echo "FAIL: the rehearsal's window was not left to the person"
    exit 1
  fi
  rehearsal_prefix=$(sed -n 's/^the window is yours (Wine prefix \(.*\)); .*/\1/p' "$log")
}

# Waits for try.sh to end once its window is closed; its exit code. A window
# still open after a minute (a driver that failed before closing it) is
# closed by ending everything in the rehearsal's prefix, so the test fails
# instead of waiting for ever.
rehearsal_status() {
  for _ in $(seq 120); do kill -0 "$try_pid" 2>/dev/null || break; sleep 0.5; done
  if kill -0 "$try_pid" 2>/dev/null; then
    echo "FAIL: the rehearsal's window was still open a minute later; ending it"
    WINEPREFIX=$rehearsal_prefix wineserver -k >/dev/null 2>&1
  fi
  wait "$try_pid"
  local status=$?
  try_pid=""
  return "$status"
}
