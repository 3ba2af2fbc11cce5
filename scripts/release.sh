#!/usr/bin/env bash
# Builds the release zip for technicians: tessavane.exe, an example
# prohibited_disks.txt that protects nothing, and the usage text.
# The same sources give the same zip, byte for byte.
#   bash scripts/release.sh            -> build/release/tessavane-win64.zip
set -euo pipefail
export TZ=UTC
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build_windows.sh tessavane

stage=build/release/tessavane
rm -rf build/release && mkdir -p "$stage"
cp build/windows/tessavane.exe "$stage/"
# Notepad on a Chinese PE reads the list in the ANSI code page (GBK) and the
# usage text as UTF-8 with a byte-order mark; both with CR LF line ends. The
# list carries no byte-order mark: the program reads a file without one in
# the ANSI code page, as Notepad does.
sed 's/$/\r/' release/prohibited_disks.txt | iconv -f UTF-8 -t GBK > "$stage/prohibited_disks.txt"
{ printf '\xEF\xBB\xBF'; sed 's/$/\r/' release/使用说明.txt; } > "$stage/使用说明.txt"
# Modes and times are fixed too: zip records both, and neither may depend on
# the umask or the clock of the machine that builds.
chmod 755 "$stage/tessavane.exe"
chmod 644 "$stage/prohibited_disks.txt" "$stage/使用说明.txt"
touch -d '2000-01-01 00:00:00 UTC' "$stage" "$stage"/*
# Nothing heavier than the program itself goes out.
bash e2e/check_binary.sh lean "$stage/tessavane.exe" >/dev/null ||
  { bash e2e/check_binary.sh lean "$stage/tessavane.exe"; exit 1; }

zip=build/release/tessavane-win64.zip
# -X: no extra fields (they carry access times); fixed order and mtimes.
(cd build/release && zip -q -X -D tessavane-win64.zip tessavane/tessavane.exe \
    tessavane/prohibited_disks.txt tessavane/使用说明.txt)
echo "release: $zip"
sha256sum "$zip"
