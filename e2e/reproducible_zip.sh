#!/usr/bin/env bash
# Builds the release zip from two copies of the sources in folders of
# different names and depths, with scripts/release.sh, and compares the two
# zips byte for byte. A folder name, a build path or a build time that leaks
# into the program or the zip fails this test.
#   reproducible_zip.sh SOURCE_DIR
# Exit code: 0 the same, 1 different or not built, 77 skipped (no MinGW or
# zip).
set -uo pipefail

src=$(cd "${1:?usage: reproducible_zip.sh SOURCE_DIR}" && pwd)
for tool in x86_64-w64-mingw32-g++-posix zip cmake ninja; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (scripts/setup.sh installs it)"
    exit 77
  fi
done

work=$(mktemp -d -t tessavane-repro.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The files a clone has: tracked and new ones, as they stand now.
copy_sources() {
  local to=$1
  mkdir -p "$to"
  if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z --cached --others --exclude-standard |
      while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
      tar --null -T - -cf -) | tar -xf - -C "$to"
  else
    (cd "$src" && tar --exclude=./build -cf - .) | tar -xf - -C "$to"
  fi
}

one=$work/a/tessavane
two=$work/second-build/of/the-same-sources
# Different umasks too: file modes must not leak into the zip either.
masks=(077 022)
i=0
for dir in "$one" "$two"; do
  echo "building the zip in $dir (umask ${masks[i]})"
  copy_sources "$dir" || exit 1
  if ! (cd "$dir" && umask "${masks[i]}" && bash scripts/release.sh) >"$dir.log" 2>&1; then
    cat "$dir.log"
    echo "FAIL: scripts/release.sh failed in $dir"
    exit 1
  fi
  tail -n 1 "$dir.log"
  i=$((i + 1))
done

status=0
zip1=$one/build/release/tessavane-win64.zip
zip2=$two/build/release/tessavane-win64.zip
if cmp "$zip1" "$zip2"; then
  echo "ok   both zips are $(stat -c %s "$zip1") bytes, sha256 $(sha256sum <"$zip1" | cut -d' ' -f1)"
else
  echo "FAIL: the two zips differ"
  for f in tessavane.exe prohibited_disks.txt 使用说明.txt; do
    cmp "$one/build/release/tessavane/$f" "$two/build/release/tessavane/$f" >/dev/null ||
      echo "      tessavane/$f differs"
  done
  zipinfo -v "$zip1" >"$work/info1" 2>&1
  zipinfo -v "$zip2" >"$work/info2" 2>&1
  diff "$work/info1" "$work/info2" | head -n 40
  status=1
fi
bash "$src/e2e/check_binary.sh" lean "$one/build/release/tessavane/tessavane.exe" || status=1
exit "$status"
