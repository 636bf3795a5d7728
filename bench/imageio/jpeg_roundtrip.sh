#!/usr/bin/env bash
# JPEG decode and encode through the image file facade against djpeg and cjpeg on the same
# benchmark inputs (make_inputs.sh). Median of RUNS runs, wall seconds and peak memory.
#   bench/imageio/jpeg_roundtrip.sh [BUILD_DIR]   (default build/imageio; RUNS=5)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build/imageio}
QBENCH=${QBENCH:-/tmp/qbench}
RUNS=${RUNS:-5}
BIN=${BIN:-$BUILD/bench/imageio/bench_jpeg_roundtrip}
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
. "$ROOT/bench/lib.sh"

# median_of "command..." -> "cpu_seconds wall_seconds peak_kB" (median by CPU seconds, user +
# system, which a busy machine disturbs less than wall time)
median_of() {
  for _ in $(seq "$RUNS"); do
    bench_once "$@" | awk '{printf "%s %.3f %s\n", $1, $2, $3}'
  done | bench_median_line
}

for size in 8000x4000 16000x8000; do
  jpg=$QBENCH/pano_$size.jpg
  ppm=$QBENCH/pano_$size.ppm
  [ -f "$jpg" ] || continue
  # Interleave peers and ours so machine noise hits both alike.
  read -r peer_dec peer_dec_wall peer_dec_mem < <(median_of djpeg -outfile /dev/null "$jpg")
  read -r our_dec our_dec_wall our_dec_mem < <(median_of "$BIN" decode "$jpg")
  read -r peer_enc peer_enc_wall peer_enc_mem < <(median_of cjpeg -quality 85 -outfile "$OUT/peer.jpg" "$ppm")
  read -r our_enc our_enc_wall our_enc_mem < <(median_of "$BIN" encode "$ppm" "$OUT/ours.jpg" 85)
  # The files differ only in the JFIF density (cjpeg writes 1:1, the facade 72 dpi).
  same=$(cmp -s <(tail -c +21 "$OUT/peer.jpg") <(tail -c +21 "$OUT/ours.jpg") &&
    echo "identical after the JFIF marker" || echo "different")
  echo "$size decode: ours cpu ${our_dec}s wall ${our_dec_wall}s ${our_dec_mem}kB;" \
    "djpeg cpu ${peer_dec}s wall ${peer_dec_wall}s ${peer_dec_mem}kB; cpu ratio $(bench_ratio "$our_dec" "$peer_dec")"
  echo "$size encode: ours cpu ${our_enc}s wall ${our_enc_wall}s ${our_enc_mem}kB;" \
    "cjpeg cpu ${peer_enc}s wall ${peer_enc_wall}s ${peer_enc_mem}kB; cpu ratio $(bench_ratio "$our_enc" "$peer_enc") (output $same)"
  echo "$size round trip cpu ratio: $(bench_ratio "$(echo "$our_dec + $our_enc" | bc)" "$(echo "$peer_dec + $peer_enc" | bc)")"
done
