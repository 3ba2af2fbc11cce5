#!/usr/bin/env bash
# Checks what a built Windows program carries.
#
#   check_binary.sh imports EXE     imports only from system DLLs
#   check_binary.sh resources EXE   one icon group 101 holding one 64x64
#                                   32-bit image, and no manifest
#   check_binary.sh calls EXE SOURCE...
#                                   every user32, comdlg32 and comctl32
#                                   function EXE imports is called in one of
#                                   the SOURCEs (comments aside)
#   check_binary.sh lean EXE        no symbol table, no debug sections, at
#                                   most 200 KiB
#   check_binary.sh thread-exit EXE registers no destructor to run when a
#                                   thread ends (a thread_local object that
#                                   is not trivially destructible): MinGW
#                                   frees a thread's emulated TLS before such
#                                   destructors run, and they then free
#                                   garbage. EXE must carry its symbols.
# Exit code: 0 passed, 1 failed, 77 skipped (tool or program missing).
set -uo pipefail

mode=${1:-}
exe=${2:-}
if [ ! -f "$exe" ]; then
  echo "SKIP: $exe is not built (build the windows preset first)"
  exit 77
fi

fail() {
  echo "FAIL: $*"
  exit 1
}

case $mode in
  imports)
    objdump=x86_64-w64-mingw32-objdump
    command -v "$objdump" >/dev/null || { echo "SKIP: no $objdump"; exit 77; }
    dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    [ -n "$dlls" ] || fail "no import table found in $exe"
    echo "$exe imports:"
    bad=0
    for dll in $dlls; do
      lower=$(printf '%s' "$dll" | tr 'A-Z' 'a-z')
      case $lower in
        kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | comdlg32.dll | \
          advapi32.dll | shell32.dll | ole32.dll | msvcrt.dll | ucrtbase.dll | \
          api-ms-win-*.dll)
          echo "  $dll" ;;
        *)
          echo "  $dll   <- not a system DLL"
          bad=1 ;;
      esac
    done
    [ "$bad" = 0 ] || fail "$exe needs DLLs that a PE system does not have"
    echo "ok"
    ;;
  resources)
    for tool in wrestool icotool; do
      command -v "$tool" >/dev/null || { echo "SKIP: no $tool (icoutils)"; exit 77; }
    done
    list=$(wrestool -l "$exe") || fail "wrestool cannot read $exe"
    echo "$list"
    echo "$list" | grep -q -- '--type=24' && fail "$exe carries a manifest (RT_MANIFEST)"
    groups=$(echo "$list" | grep -c -- '--type=14')
    [ "$groups" = 1 ] || fail "expected one icon group, found $groups"
    echo "$list" | grep -q -- '--type=14 --name=101 ' || fail "the icon group is not 101"
    icons=$(echo "$list" | grep -c -- '--type=3 ')
    [ "$icons" = 1 ] || fail "expected one icon image, found $icons"
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    wrestool -x --type=14 --name=101 -o "$tmp/group.ico" "$exe" ||
      fail "cannot extract icon group 101"
    entries=$(icotool -l "$tmp/group.ico") || fail "icon group 101 is not a valid icon"
    echo "$entries"
    [ "$(echo "$entries" | wc -l)" = 1 ] || fail "icon group 101 holds more than one image"
    echo "$entries" | grep -q -- '--width=64 --height=64 --bit-depth=32' ||
      fail "the icon is not one 64x64 32-bit image"
    echo "ok"
    ;;
  calls)
    shift 2
    objdump=x86_64-w64-mingw32-objdump
    command -v "$objdump" >/dev/null || { echo "SKIP: no $objdump"; exit 77; }
    [ $# -gt 0 ] || fail "no source files given"
    for f in "$@"; do [ -f "$f" ] || fail "no source file $f"; done
    # DLL:function for every import by name.
    imported=$("$objdump" -p "$exe" | awk '
      /^[[:space:]]*DLL Name:/ { dll = tolower($3); next }
      dll != "" && /^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[A-Za-z_]/ { print dll ":" $3 }
      /^[[:space:]]*$/ { dll = "" }')
    [ -n "$imported" ] || fail "no import table found in $exe"
    # The sources as code: line comments and block comments dropped.
    code=$(sed -e 's://.*$::' "$@" | tr '\n' '\f' | sed -e 's:/\*[^*]*\*\+\([^/*][^*]*\*\+\)*/::g' | tr '\f' '\n')
    bad=0 checked=0
    for entry in $imported; do
      dll=${entry%%:*} fn=${entry#*:}
      case $dll in
        user32.dll | comdlg32.dll | comctl32.dll) ;;
        *) continue ;;
      esac
      checked=$((checked + 1))
      # A here-string, not a pipe: grep -q stops at the first match, and the
      # writer's broken pipe would fail the test under pipefail.
      if grep -qE "(^|[^A-Za-z0-9_])$fn[[:space:]]*\(" <<<"$code"; then
        echo "  $dll $fn"
      else
        echo "  $dll $fn   <- not called by the window code"
        bad=1
      fi
    done
    [ "$checked" -gt 0 ] || fail "$exe imports nothing from user32, comdlg32 or comctl32"
    [ "$bad" = 0 ] || fail "$exe imports window functions its sources never call"
    echo "ok"
    ;;
  lean)
    objdump=x86_64-w64-mingw32-objdump
    command -v "$objdump" >/dev/null || { echo "SKIP: no $objdump"; exit 77; }
    size=$(stat -c %s "$exe")
    echo "$exe: $size bytes"
    # COFF file header after the "PE\0\0" signature: the symbol table's
    # file offset at +8 and its entry count at +12.
    pe=$(od -An -t u4 -j 60 -N 4 "$exe" | tr -d ' ')
    [ "$(od -An -c -j "$pe" -N 2 "$exe" | tr -d ' ')" = PE ] || fail "$exe is not a PE file"
    read -r symbols count <<<"$(od -An -t u4 -j $((pe + 12)) -N 8 "$exe")"
    [ "$symbols" = 0 ] && [ "$count" = 0 ] ||
      fail "$exe carries a symbol table ($count entries at offset $symbols)"
    debug=$("$objdump" -h "$exe" | awk '$2 ~ /^\.(debug|zdebug|stab)/ { print $2 }')
    [ -z "$debug" ] || fail "$exe carries debug sections: $(echo $debug)"
    [ "$size" -le $((200 * 1024)) ] || fail "$exe is larger than 200 KiB"
    echo "ok"
    ;;
  thread-exit)
    nm=x86_64-w64-mingw32-nm
    command -v "$nm" >/dev/null || { echo "SKIP: no $nm"; exit 77; }
    symbols=$("$nm" "$exe" 2>/dev/null) || fail "$exe carries no symbols to check"
    [ -n "$symbols" ] || fail "$exe carries no symbols to check"
    if grep -qE ' __cxa_thread_atexit$' <<<"$symbols"; then
      fail "$exe registers thread_local destructors (__cxa_thread_atexit is linked in)"
    fi
    echo "ok   $exe registers no thread-exit destructors"
    ;;
  *)
    echo "usage: check_binary.sh imports|resources|lean|thread-exit EXE, or calls EXE SOURCE..." >&2
    exit 2
    ;;
esac
