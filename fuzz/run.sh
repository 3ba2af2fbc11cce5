#!/usr/bin/env bash
# The fuzz targets (preset "fuzz": clang, libFuzzer, ASan and UBSan), run
# three ways:
#   bash fuzz/run.sh                 the suite's run: each target from seed 1
#                                    for a fixed number of runs over the corpus
#                                    kept in fuzz/corpus (hex text) and, for the
#                                    explorer, tests/explorer/found; the same
#                                    commit gives the same answer anywhere
#   bash fuzz/run.sh soak [SECONDS]  random seeds: the explorer for SECONDS
#                                    (default 600) while the other targets take
#                                    SOAK_OTHERS seconds each (default 60) on
#                                    the other core; their grown corpora stay
#                                    in build/fuzz/soak
#   bash fuzz/run.sh keep            merges the last soak's corpora into
#                                    fuzz/corpus, minimised (-merge=1)
#   bash fuzz/run.sh replay TARGET FILE.hex
#                                    runs one input; the explorer prints its
#                                    run, decoded, whether it passes or not
# A finding is shrunk, printed as hex ready for a file (the explorer's belong
# in tests/explorer/found/) with the command that replays it, and fails the
# run.
set -uo pipefail
cd "$(dirname "$0")/.."

targets=(descriptor protected_list texts explore)
# Runs of the suite's fixed run: about 2 minutes for the stage, build
# included, on 2 cores.
declare -A fixed_runs=([descriptor]=150000 [protected_list]=40000 [texts]=150000 [explore]=20000)
bin=build/fuzz/fuzz
# Allocation stacks cost the explorer a tenth of its runs, and a finding is
# replayed with them anyway (ASAN_OPTIONS from the caller wins).
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=0}

usage() {
  echo "usage: bash fuzz/run.sh [soak [SECONDS] | keep | replay TARGET FILE.hex]" >&2
  exit 2
}

build() {
  cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j "$(nproc)" >/dev/null ||
    { echo "fuzz: the build failed" >&2; exit 1; }
}

# Flags every run of a target takes: the explorer wants decision streams as
# long as its seeds from the start, not ones grown a byte at a time.
target_flags() {
  if [ "$1" = explore ]; then echo "-max_len=2048 -len_control=0"; else echo "-max_len=70000"; fi
}

# The kept inputs of a target, hex files in a fixed order.
kept_inputs() {
  local t=$1
  {
    ls fuzz/corpus/"$t"/*.hex 2>/dev/null
    [ "$t" = explore ] && ls tests/explorer/found/*.hex 2>/dev/null
  } | LC_ALL=C sort
}

# Hex files into binary ones in $2, named as the hex files are; the
# explorer's found inputs as found-NAME.
decode_into() {
  local list=$1 dir=$2 hex name
  mkdir -p "$dir"
  while read -r hex; do
    [ -n "$hex" ] || continue
    name=$(basename "$hex" .hex)
    [[ $hex == tests/explorer/found/* ]] && name=found-$name
    xxd -r -p "$hex" > "$dir/$name"
  done < "$list"
}

# The figures of libFuzzer's last status line: "cov: N ft: N corp: N/Nb",
# which the same run gives each time, and its rate, which it does not.
figures() {
  sed -n 's/.*DONE *\(cov: [0-9]* ft: [0-9]* corp: [0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' "$1" | tail -n 1
}
rate() {
  local runs seconds
  read -r runs seconds < <(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 \2/p' "$1" | tail -n 1)
  if [ "${seconds:-0}" -gt 0 ]; then echo "$((runs / seconds)) runs/s"; else echo "all runs within a second"; fi
}

# A finding: shrunk (30 s of -minimize_crash), printed as hex, with the
# command that replays it.
report_finding() {
  local t=$1 dir=$2 log=$3 crash
  crash=$(ls -t "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-* 2>/dev/null | head -n 1)
  if [ -z "$crash" ]; then
    tail -n 60 "$log"
    echo "fuzz: $t failed, and left no input (log: $log)"
    return
  fi
  local shrunk=$dir/shrunk
  # shellcheck disable=SC2046
  "$bin/fuzz_$t" $(target_flags "$t") -minimize_crash=1 -max_total_time=30 \
    -exact_artifact_path="$shrunk" "$crash" > "$dir/shrink.log" 2>&1
  [ -s "$shrunk" ] || cp "$crash" "$shrunk"
  # The shrunk input's own run, decoded: it reads in a screen.
  # shellcheck disable=SC2046
  ASAN_OPTIONS= "$bin/fuzz_$t" $(target_flags "$t") "$shrunk" > "$dir/shrunk.log" 2>&1
  grep -v -e '^INFO:' -e '^Running: ' -e '^Executed ' "$dir/shrunk.log" | head -n 80
  echo "(the whole log of the run that found it: $log)"
  local hex=$dir/finding.hex
  xxd -p "$shrunk" > "$hex"
  echo "fuzz: $t found a fault; the input, shrunk from $(stat -c %s "$crash") to $(stat -c %s "$shrunk") bytes, as hex ($hex):"
  cat "$hex"
  local keep=fuzz/corpus/$t/NAME.hex
  [ "$t" = explore ] && keep=tests/explorer/found/NAME.hex
  echo "fuzz: save it as $keep; this replays it:"
  echo "  bash fuzz/run.sh replay $t $keep"
}

fixed() {
  build
  local t failed=0
  for t in "${targets[@]}"; do
    local dir=build/fuzz/runs/$t
    rm -rf "$dir" && mkdir -p "$dir"
    kept_inputs "$t" > "$dir/inputs.txt"
    decode_into "$dir/inputs.txt" "$dir/inputs"
    local seeds
    seeds=$(ls "$dir"/inputs/* | LC_ALL=C sort | paste -sd, -)
    # No corpus folder: the order the inputs are read in is the list's, not
    # the file system's. No comparison operands fed back into inputs: some
    # are addresses, which differ from one process to the next.
    # shellcheck disable=SC2046
    "$bin/fuzz_$t" $(target_flags "$t") -seed=1 -runs="${fixed_runs[$t]}" -use_cmp=0 \
      -seed_inputs="$seeds" -artifact_prefix="$dir/" -print_final_stats=1 \
      > "$dir/log.txt" 2>&1
    local status=$?
    if [ "$status" -ne 0 ]; then
      report_finding "$t" "$dir" "$dir/log.txt"
      failed=1
      break
    fi
    echo "fuzz: $t: ${fixed_runs[$t]} runs from seed 1 over $(wc -l < "$dir/inputs.txt") kept inputs: $(figures "$dir/log.txt")"
    echo "fuzz: $t: $(rate "$dir/log.txt")"
  done
  return "$failed"
}

soak_one() {
  local t=$1 seconds=$2 dir=build/fuzz/soak/$1
  rm -rf "$dir" && mkdir -p "$dir/corpus"
  kept_inputs "$t" > "$dir/inputs.txt"
  decode_into "$dir/inputs.txt" "$dir/corpus"
  # shellcheck disable=SC2046
  "$bin/fuzz_$t" $(target_flags "$t") -seed=0 -max_total_time="$seconds" \
    -artifact_prefix="$dir/" -print_final_stats=1 "$dir/corpus" > "$dir/log.txt" 2>&1
  local status=$?
  local seed
  seed=$(sed -n 's/.*INFO: Seed: \([0-9]*\).*/\1/p' "$dir/log.txt" | head -n 1)
  local runs
  runs=$(sed -n 's/.*stat::number_of_executed_units: *\([0-9]*\)$/\1/p' "$dir/log.txt")
  if [ "$status" -ne 0 ]; then
    report_finding "$t" "$dir" "$dir/log.txt"
    echo "fuzz: soak $t: seed $seed, FOUND A FAULT"
    return 1
  fi
  echo "fuzz: soak $t: seed $seed, ${seconds} s, $runs runs, $(rate "$dir/log.txt"), $(figures "$dir/log.txt"), $(sed -n 's/.*stat::new_units_added: *\([0-9]*\)$/\1/p' "$dir/log.txt") new inputs"
}

soak() {
  local seconds=${1:-600} others=${SOAK_OTHERS:-60}
  [[ $seconds =~ ^[1-9][0-9]*$ && $others =~ ^[1-9][0-9]*$ ]] || usage
  build
  local failed=0
  soak_one explore "$seconds" > build/fuzz/soak-explore.txt 2>&1 &
  local explorer=$!
  for t in descriptor protected_list texts; do
    soak_one "$t" "$others" || failed=1
  done
  wait "$explorer" || failed=1
  cat build/fuzz/soak-explore.txt
  echo "fuzz: to keep what the soak added to the corpus: bash fuzz/run.sh keep"
  return "$failed"
}

keep() {
  build
  local t
  for t in "${targets[@]}"; do
    local grown=build/fuzz/soak/$t/corpus
    [ -d "$grown" ] || { echo "fuzz: no soak corpus for $t: run a soak first" >&2; return 1; }
    local tmp=build/fuzz/keep/$t
    rm -rf "$tmp" && mkdir -p "$tmp/merged" "$tmp/old"
    ls fuzz/corpus/"$t"/*.hex 2>/dev/null > "$tmp/old.txt"
    decode_into "$tmp/old.txt" "$tmp/old"
    # The found inputs are replayed from their own folder; keeping copies
    # of them here would only double them.
    rm -f "$grown"/found-*
    "$bin/fuzz_$t" $(target_flags "$t") -merge=1 "$tmp/merged" "$tmp/old" "$grown" \
      > "$tmp/merge.log" 2>&1 || { tail -n 20 "$tmp/merge.log"; return 1; }
    rm -f fuzz/corpus/"$t"/*.hex
    mkdir -p fuzz/corpus/"$t"
    local f
    for f in "$tmp"/merged/*; do
      xxd -p "$f" > "fuzz/corpus/$t/$(sha1sum < "$f" | cut -c1-16).hex"
    done
    echo "fuzz: $t: $(ls fuzz/corpus/"$t" | wc -l) inputs kept"
  done
}

replay() {
  [ $# -eq 2 ] || usage
  local t=$1 hex=$2
  [[ " ${targets[*]} " == *" $t "* ]] || usage
  [ -f "$hex" ] || { echo "fuzz: no file $hex" >&2; exit 2; }
  build
  local input=build/fuzz/replay-input
  xxd -r -p "$hex" > "$input"
  ASAN_OPTIONS= TESSAVANE_EXPLORE_TRACE=1 "$bin/fuzz_$t" $(target_flags "$t") "$input"
}

case "${1:-}" in
  "") fixed ;;
  soak) shift; [ $# -le 1 ] || usage; soak "$@" ;;
  keep) [ $# -eq 1 ] || usage; keep ;;
  replay) shift; replay "$@" ;;
  *) usage ;;
esac
