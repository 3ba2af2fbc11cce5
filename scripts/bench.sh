#!/usr/bin/env bash
# Builds the optimised benchmark (preset "bench") and runs it: the image write
# job against dd copying the same 1 GiB image. Arguments go to write_bench,
# e.g. --rounds 3, --size-mib 256, --dir /some/disk, --warm.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench -j 2 --target write_bench
exec build/bench/bench/write_bench "$@"
