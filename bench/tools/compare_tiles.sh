#!/bin/bash
# compare_tiles.sh - maketiles against libvips (one thread) on the same generated panoramas:
#   (a) cut into 512-pixel JPEG tiles at quality 85 without resizing
#       vips dzsave IN OUT --depth one --tile-size 512 --overlap 0 --suffix .jpg[Q=85]
#   (b) resize to half with LANCZOS, then cut the same way
#       vips resize IN OUT.dz[container=fs,depth=one,...] 0.5 --kernel lanczos3
#
#   bench/tools/compare_tiles.sh [BUILD_DIR] [RUNS]
#
# Inputs come from ../shared/bench/make_inputs.sh ($QBENCH, default /tmp/qbench). vips writes
# 4:2:0 JPEG tiles at this quality; maketiles is run with -jpegsubsamp=420 for the matched
# comparison and once more with its default 4:4:4. Every job is a whole process, timed by the
# wall clock and by its CPU time (user + system, less sensitive to a busy machine); the peak
# resident memory comes from /usr/bin/time. The order of the tools alternates between runs.
set -euo pipefail

BUILD=${1:-build/tiling}
RUNS=${2:-5}
QBENCH=${QBENCH:-/tmp/qbench}
OURS=$BUILD/qorveltools
[ -x "$OURS" ] || { echo "missing $OURS: build the qorveltools target" >&2; exit 1; }
command -v vips > /dev/null || { echo "missing vips: run scripts/setup_bench.sh" >&2; exit 1; }

WORK=$(mktemp -d /tmp/compare_tiles.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

. "$(dirname "$0")/../lib.sh"
median() { bench_median; }

# run NAME COMMAND...: one timed run into $WORK/NAME.{t,c,m}, into an empty output folder
run() {
  rm -rf "$WORK/out" "$WORK/out.dz" "$WORK/out_files" "$WORK/out.dzi"
  mkdir -p "$WORK/out"
  VIPS_CONCURRENCY=1 bench_record "$WORK" "$@"
}

report() {
  local label=$1 name=$2
  printf '  %-34s wall %6.3f s  cpu %6.3f s  peak %4d MB\n' "$label" \
    "$(median < "$WORK/$name.t")" "$(median < "$WORK/$name.c")" \
    $(($(median < "$WORK/$name.m") / 1024))
}

ratio() {  # ratio FILE_EXT vips ours: vips / ours of the medians (above 1: ours is faster)
  echo "$(median < "$WORK/$2.$1") / $(median < "$WORK/$3.$1")" | bc -l
}

for size in 8000x4000 16000x8000; do
  input=$QBENCH/pano_$size.jpg
  [ -f "$input" ] || { echo "missing $input: run ../shared/bench/make_inputs.sh" >&2; exit 1; }
  width=${size%x*}
  height=${size#*x}
  half="$((width / 2))x$((height / 2))"
  for job in cut half; do
    for name in vips ours ours444; do : > "$WORK/$name.t"; : > "$WORK/$name.c"; : > "$WORK/$name.m"; done
    for ((i = 0; i < RUNS; i++)); do
      order="vips ours ours444"
      [ $((i % 2)) = 1 ] && order="ours444 ours vips"
      for tool in $order; do
        case "$job/$tool" in
          cut/vips) run vips vips dzsave "$input" "$WORK/out" --depth one --tile-size 512 \
            --overlap 0 --suffix '.jpg[Q=85]' ;;
          half/vips) run vips vips resize "$input" \
            "$WORK/out.dz[container=fs,depth=one,tile_size=512,overlap=0,suffix=.jpg[Q=85]]" 0.5 \
            --kernel lanczos3 ;;
          cut/ours) run ours "$OURS" maketiles "$input" "$WORK/out/%v_%h.jpg" 512 -q \
            -jpegquality=85 -jpegsubsamp=420 ;;
          half/ours) run ours "$OURS" maketiles "$input" "$WORK/out/%v_%h.jpg" 512 -q \
            -jpegquality=85 -jpegsubsamp=420 -resize="$half" -filter=lanczos ;;
          cut/ours444) run ours444 "$OURS" maketiles "$input" "$WORK/out/%v_%h.jpg" 512 -q \
            -jpegquality=85 ;;
          half/ours444) run ours444 "$OURS" maketiles "$input" "$WORK/out/%v_%h.jpg" 512 -q \
            -jpegquality=85 -resize="$half" -filter=lanczos ;;
        esac
      done
    done
    echo "$size $job (median of $RUNS):"
    report "vips (1 thread, 4:2:0)" vips
    report "maketiles (4:2:0)" ours
    report "maketiles (default 4:4:4)" ours444
    printf '  ratio vips/maketiles 4:2:0: wall %.2f, cpu %.2f  (above 1: maketiles is faster)\n' \
      "$(ratio t vips ours)" "$(ratio c vips ours)"
  done
done
