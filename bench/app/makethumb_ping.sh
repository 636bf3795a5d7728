#!/usr/bin/env bash
# makethumb against vipsthumbnail (256 pixels, same JPEG inputs from make_inputs.sh), and ping
# on a large JPEG and a TIFF of about 1 GB (made here once with vips). Median of RUNS runs,
# wall seconds and peak memory.
#   bench/app/makethumb_ping.sh [BUILD_DIR]   (default build/metadata)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build/metadata}
QBENCH=${QBENCH:-/tmp/qbench}
RUNS=${RUNS:-5}
BIN=$BUILD/qorveltools
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
. "$ROOT/bench/lib.sh"

# median_of "command..." -> "seconds peak_kB" (median by seconds)
median_of() {
  for _ in $(seq "$RUNS"); do
    bench_once "$@" | awk '{printf "%.3f %s\n", $2, $3}'
  done | bench_median_line
}

for size in 8000x4000 16000x8000; do
  jpg=$QBENCH/pano_$size.jpg
  [ -f "$jpg" ] || continue
  read -r peer peer_mem < <(median_of vipsthumbnail "$jpg" -s 256 -o "$OUT/peer.jpg")
  read -r ours ours_mem < <(median_of "$BIN" makethumb "$jpg" "$OUT/ours.jpg" 256)
  echo "$size makethumb: ours ${ours}s ${ours_mem}kB, vipsthumbnail ${peer}s ${peer_mem}kB, ratio $(bench_ratio "$ours" "$peer")"
done

# ping reads headers only: its own "ms=" figure, median of RUNS runs.
ping_ms() {
  for _ in $(seq "$RUNS"); do "$BIN" ping "$1" | sed -n 's/^ - ms=//p'; done | bench_median
}
big_tiff=$QBENCH/meta_1gb.tif
if [ ! -f "$big_tiff" ] && [ -f "$QBENCH/pano_16000x10667.ppm" ]; then
  vips cast "$QBENCH/pano_16000x10667.ppm" "$big_tiff[compression=none]" ushort
fi
for file in "$QBENCH/pano_16000x8000.jpg" "$QBENCH/pano_8000x4000_16bit.tif" "$big_tiff"; do
  [ -f "$file" ] || continue
  echo "ping $(basename "$file") ($(stat -c %s "$file") bytes): $(ping_ms "$file") ms"
done
