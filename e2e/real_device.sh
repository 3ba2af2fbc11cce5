#!/usr/bin/env bash
# The shipped tessavane.exe, unmodified, writing a real block device under
# Wine: a loop device over a 64 MiB file of this test's own, marked with a
# pattern in which every 16 bytes name their offset, linked into a private
# prefix as \\.\PhysicalDrive1 and nothing else. Wine 8 moves the device's
# bytes but refuses its length and descriptor queries (50);
# e2e/device/shim.cpp answers those two for this device alone, everything
# else is Wine's (README, "On real Windows").
#
# First run: the line is selected, an image of 24 MiB + 1,000 bytes browsed,
# the write started and confirmed, and the completion box read. Then the
# device must hold the image byte for byte, the pattern from its end up to
# the next 4 KiB boundary (the job's last block, padded with the device's own
# bytes), and the pattern on everything after that. Second run: 删除全部分区,
# which Wine refuses with 50: the failure box and status must show it, and
# the device is unchanged.
#
#   real_device.sh --out DIR --prefix DIR --windows DIR --e2e DIR
#       DIR of --windows holds the Windows build (tessavane.exe,
#       e2e_driver.exe, e2e_device_launch.exe, e2e_device_shim.dll); --e2e is
#       the e2e/ folder of the sources (run.sh and the scripts).
# Nothing but the loop device this test attached over its own file is
# linked or written; it is detached on every path.
# Exit code: 0 passed, 1 failed, 77 skipped (not root, no free loop device,
# or no Wine).
set -uo pipefail

out="" prefix="" windows="" e2e=""
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    --prefix) prefix=$2; shift 2 ;;
    --windows) windows=$2; shift 2 ;;
    --e2e) e2e=$2; shift 2 ;;
    *) echo "real_device.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$out" ] || [ -z "$prefix" ] || [ -z "$windows" ] || [ -z "$e2e" ]; then
  echo "real_device.sh: --out, --prefix, --windows and --e2e are required" >&2
  exit 2
fi
for tool in wine losetup blockdev cmp seq; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
done
if [ "$(id -u)" != 0 ]; then
  echo "SKIP: a loop device needs root (this runs as $(id -un))"
  exit 77
fi
for f in tessavane.exe e2e_driver.exe e2e_device_launch.exe e2e_device_shim.dll; do
  [ -f "$windows/$f" ] || { echo "SKIP: $windows/$f is not built (build the windows preset first)"; exit 77; }
done

size=$((64 * 1024 * 1024))
image_size=$((24 * 1024 * 1024 + 1000))
padded=$(( (image_size + 4095) / 4096 * 4096 ))
vendor=Tessavane product="Loop Disk" serial=TSV-LOOP-0064

folder=$(mktemp -d "${TMPDIR:-/tmp}/tessavane-device.XXXXXX") && folder=$(cd "$folder" && pwd -P) || exit 1
device=""
detach() {
  # Only the device this test attached, and only while it is still over
  # this test's file.
  if [ -n "$device" ] &&
    [ "$(losetup --list --noheadings --output BACK-FILE "$device" 2>/dev/null | sed 's/ *$//')" = "$folder/disk.bin" ]; then
    losetup --detach "$device" && echo "detached $device"
  fi
  device=""
}
trap 'status=$?; detach; rm -rf "$folder"; exit "$status"' EXIT
trap 'exit 130' INT TERM

# The mark: every 16 bytes are their own offset, 15 decimal digits and a
# line feed, so a byte out of place names where it came from.
seq -f '%015.0f' 0 16 $((size - 16)) >"$folder/pattern.bin" &&
  cp "$folder/pattern.bin" "$folder/disk.bin" &&
  head -c "$image_size" /dev/urandom >"$folder/image.img" || exit 1
if ! device=$(losetup --find --show "$folder/disk.bin" 2>"$folder/losetup.err"); then
  device=""
  echo "SKIP: no free loop device ($(tr '\n' ' ' <"$folder/losetup.err"))"
  exit 77
fi
echo "loop device $device over $folder/disk.bin ($(blockdev --getsize64 "$device") bytes)"
cp "$windows"/{tessavane.exe,e2e_device_launch.exe,e2e_device_shim.dll} "$folder/" || exit 1

status=0
fail() { echo "FAIL: $*"; status=1; }

# One program run through run.sh: the launcher with the shim, the loop
# device as the prefix's one disk. Its own time limit, well inside ctest's,
# ends it with a signal that its cleanup and this script's detach still see.
run() {
  timeout --kill-after=20 300 bash "$e2e/run.sh" --name "$1" --out "$out" --prefix "$prefix" \
    --folder "$folder" --program tessavane.exe --driver "$windows/e2e_driver.exe" \
    --script "$e2e/scripts/$1.txt" --loop-device "$device" "$folder/disk.bin" \
    --launcher e2e_device_launch.exe \
    --launcher-arg --device --launcher-arg '\\.\PhysicalDrive1' \
    --launcher-arg --vendor --launcher-arg "$vendor" \
    --launcher-arg --product --launcher-arg "$product" \
    --launcher-arg --serial --launcher-arg "$serial" \
    --driver-arg --set --driver-arg "image=Z:$(printf '%s' "$folder/image.img" | tr '/' '\\')"
}

# What the device holds at an offset, to read beside a cmp that counts from
# there: the pattern names its own offsets.
device_at() { od -An -c -j "$1" -N 32 "$device" | tr -s ' ' | tr -d '\n'; }

# Byte ranges of the device against the image and the pattern, read from
# the device itself.
check_device() {
  local when=$1
  if cmp -n "$image_size" "$folder/image.img" "$device" >"$folder/cmp.txt" 2>&1; then
    echo "ok   $when: $device holds the image byte for byte ($image_size bytes)"
  else
    fail "$when: $device differs from the image: $(cat "$folder/cmp.txt")"
  fi
  if cmp -i "$image_size" -n $((padded - image_size)) "$folder/pattern.bin" "$device" >"$folder/cmp.txt" 2>&1; then
    echo "ok   $when: bytes $image_size to $padded (the last 4 KiB block's rest) hold the pattern"
  else
    fail "$when: the bytes after the image, up to the next 4 KiB, lost the pattern: $(cat "$folder/cmp.txt"), counted from byte $image_size, where the device holds:$(device_at "$image_size")"
  fi
  if cmp -i "$padded" "$folder/pattern.bin" "$device" >"$folder/cmp.txt" 2>&1; then
    echo "ok   $when: bytes $padded to $size hold the pattern"
  else
    fail "$when: the device changed after the image's last block: $(cat "$folder/cmp.txt"), counted from byte $padded, where the device holds:$(device_at "$padded")"
  fi
}

# The harness links no device but one over the file it is told.
if bash "$e2e/run.sh" --name real-device-refused --out "$out" --prefix "$prefix" \
  --folder "$folder" --program tessavane.exe --driver "$windows/e2e_driver.exe" \
  --script "$e2e/scripts/real-device.txt" --loop-device "$device" "$folder/pattern.bin" \
  >"$folder/refused.txt" 2>&1 ||
  ! grep -q "^FAIL: refused: $device is not a loop device over" "$folder/refused.txt"; then
  fail "run.sh did not refuse $device as a device over pattern.bin:"; cat "$folder/refused.txt"
else
  echo "ok   run.sh refuses $device named as a device over another file"
fi

run real-device || status=1
check_device "after the write"
run real-device-wipe || status=1
check_device "after the refused wipe"
if cmp -s "$windows/tessavane.exe" "$folder/tessavane.exe"; then
  echo "ok   the tessavane.exe that ran is the build's, byte for byte (sha256 $(sha256sum <"$folder/tessavane.exe" | cut -d' ' -f1))"
else
  fail "the tessavane.exe that ran differs from the build's"
fi
detach
exit "$status"
