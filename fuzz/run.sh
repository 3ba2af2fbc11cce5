#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a while from the seeds kept in
# fuzz/seeds (hex text). Fails on any finding.
#   bash fuzz/run.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
out=build/fuzz/runs
for target in descriptor protected_list texts explore; do
  dir=$out/$target
  rm -rf "$dir" && mkdir -p "$dir/corpus"
  seeds=(fuzz/seeds/$target/*.hex)
  # The explorer also starts from the inputs that once found a hole.
  [ "$target" = explore ] && seeds+=(tests/explorer/found/*.hex)
  for seed in "${seeds[@]}"; do
    xxd -r -p "$seed" > "$dir/corpus/$(basename "$seed" .hex)"
  done
  echo "fuzz: $target for ${seconds}s"
  # The explorer's runs want decision streams as long as its seeds from the
  # start, not ones grown a byte at a time.
  extra=()
  [ "$target" = explore ] && extra=(-max_len=2048 -len_control=0)
  if ! (cd "$dir" && ../../fuzz/fuzz_$target -max_total_time="$seconds" \
          -max_len=70000 "${extra[@]}" -print_final_stats=1 corpus > log.txt 2>&1); then
    tail -n 60 "$dir/log.txt"
    echo "fuzz: $target found a fault (input saved in $dir)"
    exit 1
  fi
  grep -E "stat::number_of_executed_units" "$dir/log.txt" | sed "s/^/fuzz: $target /"
done
