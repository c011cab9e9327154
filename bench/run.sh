#!/usr/bin/env bash
# Builds the benchmarks in build-bench/ and runs them, then prints one line per figure: the subject and
# its baseline from the same run, their ratio and the page mode. Extra arguments go to Google Benchmark,
# for example --benchmark_filter=load/ or --benchmark_repetitions=5.
# The images (about 3.3 GiB) are written once to $TESSEL_BENCH_DIR (default /var/tmp/tessel-bench) and
# reused. Both sides of every figure read them from the warm page cache: the cache is not dropped.
# The sharing figure needs a file system that shares extents: as root, with mkfs.xfs (xfsprogs) and loop
# devices, the script makes an XFS file system with reflink in a 3 GiB file there, mounts it for the run
# and unmounts it after; elsewhere that figure is skipped with a message.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${TESSEL_BENCH_BUILD:-$top/build-bench}
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

cmake -S "$top" -B "$build" -DTESSEL_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target tessel-bench -j"$jobs" >/dev/null

scratch=${TESSEL_BENCH_DIR:-/var/tmp/tessel-bench}
mkdir -p "$scratch"
xfs_file=$scratch/xfs-reflink.img
xfs_mount=$scratch/xfs
unset TESSEL_BENCH_XFS
if [ "$(id -u)" != 0 ] || ! command -v mkfs.xfs >/dev/null; then
    echo "Skipping the XFS sharing figure: it needs root and mkfs.xfs (apt-get install xfsprogs)." >&2
else
    mkdir -p "$xfs_mount"
    mountpoint -q "$xfs_mount" && umount "$xfs_mount"
    truncate -s 3G "$xfs_file"
    if mkfs.xfs -q -f -m reflink=1 "$xfs_file" && mount -o loop "$xfs_file" "$xfs_mount"; then
        trap 'umount "$xfs_mount"; rm -f "$xfs_file"' EXIT
        export TESSEL_BENCH_XFS=$xfs_mount
    else
        echo "Skipping the XFS sharing figure: $xfs_file could not be made an XFS file system and mounted." >&2
    fi
fi

export QT_QPA_PLATFORM=offscreen
# Repetitions are interleaved at random so that a drift of the shared machine hits subject and
# baseline alike; nice keeps the run from crowding out interactive work.
nice -n 19 "$build/bench/tessel-bench" \
    --benchmark_repetitions=3 \
    --benchmark_enable_random_interleaving=true \
    "$@"
