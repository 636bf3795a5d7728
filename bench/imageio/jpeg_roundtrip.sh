#!/usr/bin/env bash
# JPEG decode and encode through the image file facade against djpeg and cjpeg on the same
# benchmark inputs (make_inputs.sh). Median of RUNS runs, wall seconds and peak memory.
#   bench/imageio/jpeg_roundtrip.sh [BUILD_DIR]   (default build/imageio)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build/imageio}
QBENCH=${QBENCH:-/tmp/qbench}
RUNS=${RUNS:-5}
BIN=$BUILD/bench/imageio/bench_jpeg_roundtrip
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

# median_of "command..." -> "seconds peak_kB" (median by seconds)
median_of() {
  local lines=() start end
  for _ in $(seq "$RUNS"); do
    start=$(date +%s%N)
    /usr/bin/time -f "%M" -o "$OUT/time" "$@" >/dev/null
    end=$(date +%s%N)
    lines+=("$(echo "scale=3; ($end - $start) / 1000000000" | bc) $(cat "$OUT/time")")
  done
  printf '%s\n' "${lines[@]}" | sort -n | sed -n "$(((RUNS + 1) / 2))p"
}

ratio() { echo "scale=3; $1 / $2" | bc; }

for size in 8000x4000 16000x8000; do
  jpg=$QBENCH/pano_$size.jpg
  ppm=$QBENCH/pano_$size.ppm
  [ -f "$jpg" ] || continue
  # Interleave peers and ours so machine noise hits both alike.
  read -r peer_dec peer_dec_mem < <(median_of djpeg -outfile /dev/null "$jpg")
  read -r our_dec our_dec_mem < <(median_of "$BIN" decode "$jpg")
  read -r peer_enc peer_enc_mem < <(median_of cjpeg -quality 85 -outfile "$OUT/peer.jpg" "$ppm")
  read -r our_enc our_enc_mem < <(median_of "$BIN" encode "$ppm" "$OUT/ours.jpg" 85)
  # The files differ only in the JFIF density (cjpeg writes 1:1, the facade 72 dpi).
  same=$(cmp -s <(tail -c +21 "$OUT/peer.jpg") <(tail -c +21 "$OUT/ours.jpg") &&
    echo "identical after the JFIF marker" || echo "different")
  echo "$size decode: ours ${our_dec}s ${our_dec_mem}kB, djpeg ${peer_dec}s ${peer_dec_mem}kB, ratio $(ratio "$our_dec" "$peer_dec")"
  echo "$size encode: ours ${our_enc}s ${our_enc_mem}kB, cjpeg ${peer_enc}s ${peer_enc_mem}kB, ratio $(ratio "$our_enc" "$peer_enc") (output $same)"
  echo "$size round trip ratio: $(ratio "$(echo "$our_dec + $our_enc" | bc)" "$(echo "$peer_dec + $peer_enc" | bc)")"
done
