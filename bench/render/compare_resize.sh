#!/bin/bash
# compare_resize.sh - 8000 x 4000 8-bit RGB to 4000 x 2000 with LANCZOS: the streaming resizer
# (resize_ppm) against `vips resize` with one thread, on the same raw pixels.
#
#   bench/render/compare_resize.sh [BUILD_DIR] [RUNS]
#
# Inputs come from ../shared/bench/make_inputs.sh ($QBENCH, default /tmp/qbench). vips reads
# a .v copy (memory-mapped raw pixels), resize_ppm the PPM. Both are timed as whole processes
# (read, resize, write; resize_ppm streams rows from and to its files) and resize_ppm also
# reports the time spent inside the resizer alone. Prints the medians, the
# ratios and the peak resident memory of each.
set -euo pipefail

BUILD=${1:-build/render}
RUNS=${2:-5}
QBENCH=${QBENCH:-/tmp/qbench}
INPUT=$QBENCH/pano_8000x4000.ppm
OURS=$BUILD/bench/render/resize_ppm
[ -f "$INPUT" ] || { echo "missing $INPUT: run ../shared/bench/make_inputs.sh first" >&2; exit 1; }
[ -x "$OURS" ] || { echo "missing $OURS: build the resize_ppm target" >&2; exit 1; }

WORK=$(mktemp -d /tmp/compare_resize.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
vips copy "$INPUT" "$WORK/pano.v"

. "$(dirname "$0")/../lib.sh"
median() { bench_median; }
now() { date +%s.%N; }

: > "$WORK/vips.t"; : > "$WORK/ours.t"; : > "$WORK/pure.t"; : > "$WORK/vips.m"; : > "$WORK/ours.m"
: > "$WORK/portable.t"
for ((i = 0; i < RUNS; i++)); do
  # alternate the order so that neither tool always runs on a warmer machine
  for tool in vips ours; do
    if [ "$tool" = vips ]; then
      VIPS_CONCURRENCY=1 bench_record "$WORK" vips \
        vips resize "$WORK/pano.v" "$WORK/out.v" 0.5 --kernel lanczos3
    else
      t0=$(now)
      /usr/bin/time -f %M -o "$WORK/m" "$OURS" "$INPUT" "$WORK/out.ppm" 4000 2000 lanczos \
        > "$WORK/line"
      t1=$(now)
      echo "$t1 - $t0" | bc -l >> "$WORK/ours.t"; cat "$WORK/m" >> "$WORK/ours.m"
      awk '{print $(NF-3)}' "$WORK/line" >> "$WORK/pure.t"
      # the portable loops, as on a processor without AVX2
      "$OURS" "$INPUT" - 4000 2000 lanczos portable | awk '{print $(NF-3)}' >> "$WORK/portable.t"
    fi
  done
done

vips_t=$(median < "$WORK/vips.t"); ours_t=$(median < "$WORK/ours.t"); pure_t=$(median < "$WORK/pure.t")
vips_m=$(median < "$WORK/vips.m"); ours_m=$(median < "$WORK/ours.m")
printf 'vips resize (1 thread), whole process:   median %.3f s, peak RSS %d MB\n' "$vips_t" $((vips_m / 1024))
printf 'resize_ppm, whole process (PPM in/out):  median %.3f s, peak RSS %d MB\n' "$ours_t" $((ours_m / 1024))
printf 'resize_ppm, resize alone:                median %.3f s\n' "$pure_t"
portable_t=$(median < "$WORK/portable.t")
printf 'resize_ppm, resize alone, portable loops: median %.3f s\n' "$portable_t"
printf 'ratio vips / ours: whole process %.2f, resize alone %.2f  (above 1: ours is faster)\n' \
  "$(echo "$vips_t / $ours_t" | bc -l)" "$(echo "$vips_t / $pure_t" | bc -l)"
