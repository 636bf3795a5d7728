#!/bin/bash
# compare_cube2sphere.sh - the cube2sphere and makepreview tools against peers on the shared
# benchmark inputs:
#   1. six 2546-pixel faces to an 8000 x 4000 sphere (JPEG q90):
#        qorveltools cube2sphere -l=… -d=… -outsize=8000x4000 -o=ours.jpg -jpegquality=90
#        nona -o nona sphere.pto        (one thread, poly3 interpolation, one image line per face)
#   2. a 16000 x 8000 JPEG to a 1024 x 512 smooth preview:
#        qorveltools makepreview pano_16000x8000.jpg -o=preview.jpg
#        djpeg pano_16000x8000.jpg > /dev/null   (decoding the source once is the floor)
# The PSNR between our sphere and nona's is printed as a sanity check of the geometry.
#
#   bench/cube2sphere/compare_cube2sphere.sh [BUILD_DIR] [RUNS]
#
# Each job is a whole process timed by the wall clock and by its CPU time (user + system, less
# sensitive to a busy machine); the peak resident memory comes from /usr/bin/time. The order of
# the tools alternates between runs; medians are printed.
set -euo pipefail

BUILD=${1:-build/c2s}
RUNS=${2:-3}
QBENCH=${QBENCH:-/tmp/qbench}
OURS=$BUILD/qorveltools
[ -x "$OURS" ] || { echo "missing $OURS: build the qorveltools target" >&2; exit 1; }
for tool in nona vips djpeg bc; do
  command -v $tool > /dev/null || { echo "missing $tool: run scripts/setup_bench.sh" >&2; exit 1; }
done
for side in l f r b u d; do
  [ -f "$QBENCH/cube_2546_$side.jpg" ] || { echo "missing inputs: run ../shared/bench/make_inputs.sh" >&2; exit 1; }
done
PANO=$QBENCH/pano_16000x8000.jpg
[ -f "$PANO" ] || { echo "missing $PANO: run ../shared/bench/make_inputs.sh" >&2; exit 1; }

WORK=$(mktemp -d /tmp/compare_cube2sphere.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

. "$(dirname "$0")/../lib.sh"
median() { bench_median; }

# run NAME COMMAND...: one timed run into $WORK/NAME.{t,c,m}
run() { OMP_NUM_THREADS=1 bench_record "$WORK" "$@" 2> /dev/null; }

# The project file: an 8000 x 4000 equirectangular output, one rectilinear 90 degree image line
# per face; yaw turns a side face to its heading, pitch 90 / -90 looks up / down.
{
  echo "p f2 w8000 h4000 v360 E0 R0 n\"JPEG q90\""
  echo "m g1 i0"
  for entry in "l -90 0" "f 0 0" "r 90 0" "b 180 0" "u 0 90" "d 0 -90"; do
    set -- $entry
    echo "i w2546 h2546 f0 v90 Eev0 Er1 Eb1 r0 p$3 y$2 n\"$QBENCH/cube_2546_$1.jpg\""
  done
} > "$WORK/sphere.pto"

OURS_SPHERE=("$OURS" cube2sphere -l="$QBENCH/cube_2546_l.jpg" -f="$QBENCH/cube_2546_f.jpg"
  -r="$QBENCH/cube_2546_r.jpg" -b="$QBENCH/cube_2546_b.jpg" -u="$QBENCH/cube_2546_u.jpg"
  -d="$QBENCH/cube_2546_d.jpg" -outsize=8000x4000 -o="$WORK/ours.jpg" -jpegquality=90
  -jpegsubsamp=420 -q)

for i in $(seq 1 "$RUNS"); do
  if [ $((i % 2)) -eq 1 ]; then
    run sphere_ours "${OURS_SPHERE[@]}"
    run sphere_nona nona -t 1 -o "$WORK/nona" "$WORK/sphere.pto"
    run preview_ours "$OURS" makepreview "$PANO" -o="$WORK/preview.jpg" -q
    run preview_djpeg djpeg -outfile /dev/null "$PANO"
  else
    run sphere_nona nona -t 1 -o "$WORK/nona" "$WORK/sphere.pto"
    run sphere_ours "${OURS_SPHERE[@]}"
    run preview_djpeg djpeg -outfile /dev/null "$PANO"
    run preview_ours "$OURS" makepreview "$PANO" -o="$WORK/preview.jpg" -q
  fi
done

printf '%-32s %10s %10s %10s\n' job "wall s" "cpu s" "peak MB"
for name in sphere_ours sphere_nona preview_ours preview_djpeg; do
  printf '%-32s %10.2f %10.2f %10.0f\n' "$name" "$(median < "$WORK/$name.t")" \
    "$(median < "$WORK/$name.c")" "$(($(median < "$WORK/$name.m") / 1024))"
done
ratio() { echo "$(median < "$WORK/$1.$3") / $(median < "$WORK/$2.$3")" | bc -l | awk '{printf "%.2f", $1}'; }
echo "cube2sphere / nona:    wall $(ratio sphere_ours sphere_nona t)  cpu $(ratio sphere_ours sphere_nona c)"
echo "makepreview / djpeg:   wall $(ratio preview_ours preview_djpeg t)  cpu $(ratio preview_ours preview_djpeg c)"

nona_out=$(ls "$WORK"/nona*.jpg "$WORK"/nona*.tif 2> /dev/null | head -1 || true)
if [ -n "$nona_out" ]; then
  vips subtract "$WORK/ours.jpg" "$nona_out" "$WORK/d.v"
  vips multiply "$WORK/d.v" "$WORK/d.v" "$WORK/s.v"
  vips avg "$WORK/s.v" | awk '{ printf "PSNR ours vs nona: %.2f dB\n", 10 * log(65025 / $1) / log(10) }'
fi
