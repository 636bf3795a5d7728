#!/bin/bash
# Times loading a panorama into 128-pixel tiles against djpeg decoding the same file (the codec
# floor), and shows the peak memory of the loader with the system budget and with a 64 MiB
# budget that forces tiles out to swap files.
# Usage: bench/memory/compare_load.sh [BUILD_DIR=build/release]   (inputs: $QBENCH, see
# ../shared/bench/README.md)
set -euo pipefail
BUILD=${1:-build/release}
QBENCH=${QBENCH:-/tmp/qbench}
LOADER=$BUILD/bench/memory/load_tiled
SWAP=$(mktemp -d)
trap 'rm -rf "$SWAP"' EXIT
. "$(dirname "$0")/../lib.sh"

for input in pano_8000x4000.jpg pano_16000x8000.jpg; do
  file=$QBENCH/$input
  [ -f "$file" ] || { echo "missing $file (run make_inputs.sh)"; continue; }
  echo "== $input"
  times=()
  for run in 1 2 3; do
    start=$(date +%s.%N)
    djpeg -outfile /dev/null "$file"
    end=$(date +%s.%N)
    times+=("$(echo "$end - $start" | bc)")
  done
  printf 'djpeg: median %s s\n' "$(printf '%s\n' "${times[@]}" | bench_median)"
  for limit in 0 64; do
    /usr/bin/time -f "peak %M KiB" "$LOADER" "$file" 128 "$limit" 3 "$SWAP/" 2>&1 |
      sed "s/^/loader (limit ${limit} MiB, 0 = system): /"
  done
  ls "$SWAP" | grep -c qvmem_ | sed 's/^/swap files left: /' || true
done
