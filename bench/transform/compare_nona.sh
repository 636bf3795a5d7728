#!/bin/bash
# compare_nona.sh - the transform tool against Hugin's nona (one thread) making the same six cube
# faces from the same equirectangular JPEG:
#   qorveltools transform cube IN ours.jpg -jpegquality=90 -jpegsubsamp=420
#   nona -m JPEG_m -z 90 -o nona faces.pto     (one image line per face, poly3 interpolation)
# Face size = the natural size W / pi rounded (2546 for 8000 x 4000, 5093 for 16000 x 8000).
# The project file turns the image by yaw and pitch so that nona's six outputs have the
# orientation of our faces (front, right, back, left, up, down); the PSNR of each pair of faces
# is printed, and the faces of the first run are kept in $KEEP, also joined side by side (ours
# left, nona right) as side_by_side_WIDTH_FACE.jpg.
#
#   bench/transform/compare_nona.sh [BUILD_DIR] [RUNS] [INPUTS...]
#
# Each job is a whole process timed by the wall clock and by its CPU time (user + system, less
# sensitive to a busy machine); the peak resident memory comes from /usr/bin/time. The order of
# the tools alternates between runs; medians are printed.
set -euo pipefail

BUILD=${1:-build/transform}
RUNS=${2:-3}
shift $(( $# > 2 ? 2 : $# )) || true
QBENCH=${QBENCH:-/tmp/qbench}
INPUTS=("$@")
[ ${#INPUTS[@]} -gt 0 ] || INPUTS=("$QBENCH/pano_8000x4000.jpg" "$QBENCH/pano_16000x8000.jpg")
OURS=$BUILD/qorveltools
KEEP=${KEEP:-/tmp/compare_nona.faces}
[ -x "$OURS" ] || { echo "missing $OURS: build the qorveltools target" >&2; exit 1; }
command -v nona > /dev/null || { echo "missing nona: run scripts/setup_bench.sh" >&2; exit 1; }
command -v vips > /dev/null || { echo "missing vips: run scripts/setup_bench.sh" >&2; exit 1; }

WORK=$(mktemp -d /tmp/compare_nona.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$KEEP"

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
now() { date +%s.%N; }

# run NAME COMMAND...: one timed run into $WORK/NAME.{t,c,m}
run() {
  local name=$1
  shift
  rm -rf "$WORK/out"
  mkdir -p "$WORK/out"
  local t0 t1
  t0=$(now)
  OMP_NUM_THREADS=1 /usr/bin/time -f '%U %S %M' -o "$WORK/usage" "$@" > /dev/null 2>&1
  t1=$(now)
  echo "$t1 - $t0" | bc -l >> "$WORK/$name.t"
  awk '{print $1 + $2}' "$WORK/usage" >> "$WORK/$name.c"
  awk '{print $3}' "$WORK/usage" >> "$WORK/$name.m"
}

# psnr A B: PSNR in dB of two 8-bit images of the same size
psnr() {
  vips subtract "$1" "$2" "$WORK/d.v"
  vips multiply "$WORK/d.v" "$WORK/d.v" "$WORK/s.v"
  vips avg "$WORK/s.v" | awk '{ if ($1 == 0) print "inf"; else printf "%.2f", 10 * log(65025 / $1) / log(10) }'
}

# The project file: one output of N x N rectilinear pixels with a 90 degree field of view, one
# image line per face; yaw -H brings heading H to the centre, pitch -90 / 90 the zenith / nadir.
write_pto() {
  local in=$1 w=$2 h=$3 n=$4 pto=$5
  {
    echo "p f0 w$n h$n v90 E0 R0 n\"JPEG q90\""
    echo "m g1 i0"
    for yp in "0 0" "-90 0" "-180 0" "90 0" "0 -90" "0 90"; do
      set -- $yp
      echo "i w$w h$h f4 v360 Eev0 Er1 Eb1 r0 p$2 y$1 n\"$in\""
    done
  } > "$pto"
}

printf '%-24s %-6s %10s %10s %10s\n' input tool "wall s" "cpu s" "peak MB"
for input in "${INPUTS[@]}"; do
  [ -f "$input" ] || { echo "missing $input: run ../shared/bench/make_inputs.sh" >&2; exit 1; }
  size=$(vipsheader -f width "$input")x$(vipsheader -f height "$input")
  w=${size%x*}
  h=${size#*x}
  n=$(echo "$w" | awk '{printf "%d", $1 / 3.14159265358979 + 0.5}')
  write_pto "$input" "$w" "$h" "$n" "$WORK/faces.pto"
  rm -f "$WORK"/ours.* "$WORK"/nona.*
  for i in $(seq 1 "$RUNS"); do
    if (( i % 2 )); then
      run ours "$OURS" transform cube "$input" "$WORK/out/ours.jpg" -jpegquality=90 -jpegsubsamp=420 -q
      run nona nona -m JPEG_m -z 90 -o "$WORK/out/nona" "$WORK/faces.pto"
    else
      run nona nona -m JPEG_m -z 90 -o "$WORK/out/nona" "$WORK/faces.pto"
      run ours "$OURS" transform cube "$input" "$WORK/out/ours.jpg" -jpegquality=90 -jpegsubsamp=420 -q
    fi
    if (( i == 1 )); then
      "$OURS" transform cube "$input" "$KEEP/ours_$w.jpg" -jpegquality=90 -jpegsubsamp=420 -q
      nona -m JPEG_m -z 90 -o "$KEEP/nona_$w" "$WORK/faces.pto" > /dev/null 2>&1
    fi
  done
  for tool in ours nona; do
    printf '%-24s %-6s %10.2f %10.2f %10.0f\n' "$(basename "$input")" "$tool" \
      "$(median < "$WORK/$tool.t")" "$(median < "$WORK/$tool.c")" \
      "$(echo "$(median < "$WORK/$tool.m") / 1024" | bc -l)"
  done
  echo "  time ratio nona/ours: wall $(echo "$(median < "$WORK/nona.t") / $(median < "$WORK/ours.t")" | bc -l | cut -c1-5)," \
    "cpu $(echo "$(median < "$WORK/nona.c") / $(median < "$WORK/ours.c")" | bc -l | cut -c1-5);" \
    "source BGRA $(echo "$w * $h * 4 / 1048576" | bc) MB"
  printf '  PSNR ours vs nona, face %d px:' "$n"
  i=0
  for face in f r b l u d; do
    printf ' %s %s dB' "$face" "$(psnr "$KEEP/ours_${w}_$face.jpg" "$KEEP/nona_${w}000$i.jpg")"
    vips join "$KEEP/ours_${w}_$face.jpg" "$KEEP/nona_${w}000$i.jpg" \
      "$KEEP/side_by_side_${w}_$face.jpg[Q=90]" horizontal
    i=$((i + 1))
  done
  echo
done
