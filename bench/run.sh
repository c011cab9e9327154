#!/usr/bin/env bash
# Builds the benchmarks in build-bench/ and runs them, then prints one line per figure: the subject and
# its baseline from the same run, their ratio and the page mode. Extra arguments go to Google Benchmark,
# for example --benchmark_filter=load/ or --benchmark_repetitions=5.
# The images (about 3.3 GiB) are written once to $TESSEL_BENCH_DIR (default /var/tmp/tessel-bench) and
# reused. Both sides of every figure read them from the warm page cache: the cache is not dropped.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${TESSEL_BENCH_BUILD:-$top/build-bench}
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

cmake -S "$top" -B "$build" -DTESSEL_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target tessel-bench -j"$jobs" >/dev/null

export QT_QPA_PLATFORM=offscreen
# Repetitions are interleaved at random so that a drift of the shared machine hits subject and
# baseline alike; nice keeps the run from crowding out interactive work.
exec nice -n 19 "$build/bench/tessel-bench" \
    --benchmark_repetitions=3 \
    --benchmark_enable_random_interleaving=true \
    "$@"
