#!/usr/bin/env bash
# How close the image jobs come to the codec floor, against their peers in the same run:
#   faces1   transform cube of the 8000 × 4000 (six 2546-px faces, Q85 4:2:0), QV_THREADS=1,
#            against `vips mapim` with the precomputed maps, one thread (VIPS_CONCURRENCY=1);
#   faces2   the same with every core against our own one-thread run (wall and CPU);
#   preview  makepreview of the 16000 × 8000 to 1024 × 512 against a full `djpeg` decode (and
#            `djpeg -scale 1/8` for reference);
#   tiles    one level of 512-px Q85 tiles of the 8000 × 4000 (maketiles) against
#            `vips dzsave --depth one`, one thread each;
#   tour     makepano of the 8000 × 4000 (512-px Q85 tiles of every level and face, preview)
#            with every core against our own one-thread run, and against `vips mapim` six faces
#            + `vips dzsave` of each face, every core on both;
#   threads  the same outputs byte for byte with QV_THREADS=1, 2 and 4 (faces and tour).
# Prints the median wall and CPU seconds and the peak memory of each side (RUNS runs, default 5,
# taken in turn) and the ratios, ours / theirs, each against its target. The 2-gigapixel tour
# under a memory cap is bench/render/big_capped.sh (it takes many minutes).
#   bench/render/compare_peers.sh [QORVELTOOLS]
# Inputs come from ../shared/bench/make_inputs.sh (QBENCH, default /tmp/qbench); the peers from
# scripts/setup_bench.sh. Exits 0 with a note when a peer or an input is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"
qv=${1:-$here/../../build/release/qorveltools}
qv=$(cd "$(dirname "$qv")" && pwd)/$(basename "$qv")
config=$(dirname "$qv")/templates/tour.config
qbench=${QBENCH:-/tmp/qbench}
runs=${RUNS:-5}
pano=$qbench/pano_8000x4000.jpg
big=$qbench/pano_16000x8000.jpg
maps=$qbench/maps

for tool in vips djpeg; do
  command -v $tool >/dev/null || { echo "skipped: $tool is missing (scripts/setup_bench.sh)"; exit 0; }
done
[ -x /usr/bin/time ] || { echo "skipped: /usr/bin/time is missing"; exit 0; }
for file in "$pano" "$big" "$maps/cube_2546.map_f.v"; do
  [ -f "$file" ] || { echo "skipped: $file is missing (../shared/bench/make_inputs.sh)"; exit 0; }
done
[ -x "$qv" ] && [ -f "$config" ] || { echo "missing $qv or $config: build qorveltools first"; exit 1; }
cores=$(nproc)

work=$(mktemp -d "${TMPDIR:-/tmp}/qv_peers_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export work pano big maps qv config

fresh() { rm -rf "$work/$1" && mkdir -p "$work/$1"; }
faces_qv() {
  fresh "faces_qv$1"
  QV_THREADS=$1 "$qv" transform cube "$pano" "$work/faces_qv$1/p.jpg" -jpegsubsamp=420 -q
}
faces_vips() {
  fresh faces_vips
  for side in f r b l u d; do
    VIPS_CONCURRENCY=1 vips mapim "$pano" "$work/faces_vips/p_$side.jpg[Q=85]" \
      "$maps/cube_2546.map_$side.v" --interpolate bicubic
  done
}
preview_qv() {
  fresh preview
  "$qv" makepreview "$big" -o="$work/preview/p.jpg" -size=1024x512 -q
}
tiles_qv() {
  fresh tiles_qv
  QV_THREADS=1 "$qv" maketiles "$pano" "$work/tiles_qv/%v_%h.jpg" 512 -jpegquality=85 -q
}
tiles_vips() {
  fresh tiles_vips
  VIPS_CONCURRENCY=1 vips dzsave "$pano" "$work/tiles_vips/t" --depth one --tile-size 512 \
    --overlap 0 --suffix '.jpg[Q=85]'
}
tour_qv() {
  fresh "tour_qv$1"
  ln -s "$pano" "$work/tour_qv$1/pano.jpg"
  QV_THREADS=$1 "$qv" makepano -config="$config" "$work/tour_qv$1/pano.jpg" -tilesize=512 \
    -jpegquality=85 -jpegoptimize=false -makethumb=false -xml=false -html=false -q </dev/null \
    >/dev/null
}
tour_vips() {
  fresh tour_vips
  for side in f r b l u d; do
    vips mapim "$pano" "$work/tour_vips/$side.v" "$maps/cube_2546.map_$side.v" \
      --interpolate bicubic
    vips dzsave "$work/tour_vips/$side.v" "$work/tour_vips/$side" --tile-size 512 --overlap 0 \
      --suffix '.jpg[Q=85]'
    rm -f "$work/tour_vips/$side.v"
  done
}
export -f fresh faces_qv faces_vips preview_qv tiles_qv tiles_vips tour_qv tour_vips

for run in $(seq "$runs"); do
  echo "run $run of $runs"
  bench_record "$work" faces1 bash -c "faces_qv 1"
  bench_record "$work" faces_vips bash -c faces_vips
  bench_record "$work" faces2 bash -c "faces_qv $cores"
  bench_record "$work" preview bash -c preview_qv
  bench_record "$work" djpeg djpeg -outfile /dev/null "$big"
  bench_record "$work" djpeg8 djpeg -scale 1/8 -outfile /dev/null "$big"
  bench_record "$work" tiles bash -c tiles_qv
  bench_record "$work" tiles_vips bash -c tiles_vips
  bench_record "$work" tour1 bash -c "tour_qv 1"
  bench_record "$work" tour bash -c "tour_qv $cores"
  bench_record "$work" tour_vips bash -c tour_vips
done

median() { bench_median <"$work/$1.$2"; }
row() {
  printf '%-11s wall %6.2f s  cpu %6.2f s  peak %7d kB\n' "$1" "$(median "$1" t)" \
    "$(median "$1" c)" "$(median "$1" m)"
}
ratio() {  # LABEL OURS THEIRS WALL_TARGET [CPU_TARGET]: wall and CPU ratios
  printf '%-52s wall %6.3f  cpu %6.3f  (target: wall <= %s%s)\n' "$1" \
    "$(bench_ratio "$(median "$2" t)" "$(median "$3" t)")" \
    "$(bench_ratio "$(median "$2" c)" "$(median "$3" c)")" "$4" "${5:+, cpu <= $5}"
}
echo
for name in faces1 faces_vips faces2 preview djpeg djpeg8 tiles tiles_vips tour1 tour tour_vips; do
  row "$name"
done
echo
echo "ratios, ours / theirs ($cores cores):"
ratio "six faces, one thread / vips mapim one thread" faces1 faces_vips 0.18
ratio "six faces, $cores threads / our one thread" faces2 faces1 0.60 1.1
ratio "preview of 16000x8000 / djpeg full decode" preview djpeg 0.8
ratio "one level of 512-px tiles / vips dzsave --depth one" tiles tiles_vips -
ratio "whole tour, $cores threads / our one thread" tour tour1 0.62
ratio "whole tour / vips mapim + dzsave per face" tour tour_vips 0.4

# The same bytes for every thread count.
same=yes
tour_qv 1 >/dev/null
for threads in 2 4; do
  faces_qv "$threads"
  tour_qv "$threads" >/dev/null
  diff -r "$work/faces_qv1" "$work/faces_qv$threads" >/dev/null || same=no
  diff -r "$work/tour_qv1" "$work/tour_qv$threads" >/dev/null || same=no
done
echo "outputs byte-identical for QV_THREADS=1, 2, 4: $same"
