#!/usr/bin/env bash
# makepano against libvips on the 8000 × 4000 benchmark panorama: our run (six cube faces by the
# transform tool, then every level of every face cut into 512-pixel Q85 tiles) against
# `vips mapim` with precomputed maps (six faces) followed by `vips dzsave` of each face (512-pixel
# Q85 tiles), both in the same run of this script. Prints CPU and wall seconds and the peak
# resident memory (/usr/bin/time) of each side, median of RUNS runs (default 3).
#   bench/makepano/compare_vips.sh [QORVELTOOLS]
# Inputs come from ../shared/bench/make_inputs.sh (QBENCH, default /tmp/qbench). Exits 0 with a
# note when vips or the input is missing (scripts/setup_bench.sh installs the peers).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"
qv=${1:-$here/../../build/release/qorveltools}
config=$(dirname "$qv")/templates/tour.config
qbench=${QBENCH:-/tmp/qbench}
runs=${RUNS:-3}
input=$(ls "$qbench"/*8000x4000*.jpg 2>/dev/null | head -1 || true)

command -v vips >/dev/null || { echo "skipped: vips is missing (scripts/setup_bench.sh)"; exit 0; }
[ -x /usr/bin/time ] || { echo "skipped: /usr/bin/time is missing"; exit 0; }
[ -n "$input" ] || { echo "skipped: no 8000x4000 input in $qbench (../shared/bench/make_inputs.sh)"; exit 0; }
[ -x "$qv" ] && [ -f "$config" ] || { echo "missing $qv or $config: build qorveltools first"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qv_makepano_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
width=8000
height=4000
face=2546  # the face size makepano gives an 8000-pixel sphere (W / pi, even)

# Maps for vips mapim: for each face pixel, the source coordinates in the sphere. The six faces
# as directions (x right, y up, z back) from a = 2(i + 0.5)/F - 1 and b = 2(j + 0.5)/F - 1.
# A bc result with a digit before the point (numbers go after "--", since vips would read a
# negative one as an option).
decimal() {
  printf '%.15f' "$(echo "$1" | bc -l)"
}

signed() {  # IN OUT: an angle image in degrees with 180 … 360 moved to -180 … 0
  vips relational_const "$1" "$1.high.v" more 180
  vips linear "$1" "$1.minus.v" -- 1 -360
  vips ifthenelse "$1.high.v" "$1.minus.v" "$1" "$2"
}

make_map() {  # NAME DX DY DZ, each "a", "-a", "b", "-b", "1" or "-1"
  local name=$1 m=$work/maps
  mkdir -p "$m"
  component() {  # OUT WORD
    case $2 in
      a) cp "$m/a.v" "$m/$1.v" ;;
      -a) vips linear "$m/a.v" "$m/$1.v" -- -1 0 ;;
      b) cp "$m/b.v" "$m/$1.v" ;;
      -b) vips linear "$m/b.v" "$m/$1.v" -- -1 0 ;;
      1) vips linear "$m/a.v" "$m/$1.v" -- 0 1 ;;
      -1) vips linear "$m/a.v" "$m/$1.v" -- 0 -1 ;;
    esac
  }
  component dx "$2"
  component dy "$3"
  component dz "$4"
  vips linear "$m/dz.v" "$m/mdz.v" -- -1 0
  vips math2 "$m/dx.v" "$m/mdz.v" "$m/lon.v" atan2
  vips multiply "$m/dx.v" "$m/dx.v" "$m/dx2.v"
  vips multiply "$m/dz.v" "$m/dz.v" "$m/dz2.v"
  vips add "$m/dx2.v" "$m/dz2.v" "$m/h2.v"
  vips math2_const "$m/h2.v" "$m/h.v" pow 0.5
  vips math2 "$m/dy.v" "$m/h.v" "$m/lat.v" atan2
  # atan2 gives degrees in 0 … 360; angles above 180 are taken back to -180 … 0.
  signed "$m/lon.v" "$m/lons.v"
  signed "$m/lat.v" "$m/lats.v"
  vips linear "$m/lons.v" "$m/sx.v" -- "$(decimal "$width / 360")" $((width / 2))
  vips linear "$m/lats.v" "$m/sy.v" -- "$(decimal "-$height / 180")" $((height / 2))
  vips bandjoin "$m/sx.v $m/sy.v" "$m/face_$name.v"  # not $name.v: b.v is a component
}

echo "== maps for vips mapim ($face px faces, not timed)"
vips xyz "$work/xy.v" $face $face
vips linear "$work/xy.v" "$work/ab.v" -- "$(decimal "2 / $face")" "$(decimal "1 / $face - 1")"
mkdir -p "$work/maps"
vips extract_band "$work/ab.v" "$work/maps/a.v" 0
vips extract_band "$work/ab.v" "$work/maps/b.v" 1
make_map f a -b -1
make_map r 1 -b a
make_map b -a -b 1
make_map l -1 -b -a
make_map u a 1 b
make_map d a -1 -b

vips_run() {
  local out=$work/vips
  rm -rf "$out" && mkdir -p "$out"
  for side in l f r b u d; do
    vips mapim "$input" "$out/$side.v" "$work/maps/face_$side.v"
    vips dzsave "$out/$side.v" "$out/$side" --tile-size 512 --overlap 0 --suffix '.jpg[Q=85]'
  done
}

qv_run() {
  local out=$work/qv
  rm -rf "$out" && mkdir -p "$out"
  ln -s "$input" "$out/pano.jpg"
  "$qv" makepano -config="$config" "$out/pano.jpg" -tilesize=512 -jpegquality=85 \
    -jpegoptimize=false -preview=false -makethumb=false -xml=false -html=false -q </dev/null
}
export -f vips_run qv_run
export work input qv config

for _ in $(seq "$runs"); do
  bench_record "$work" qv bash -c qv_run
  bench_record "$work" vips bash -c vips_run
done
tiles_qv=$(find "$work/qv" -name '*.jpg' ! -name pano.jpg | wc -l)
tiles_vips=$(find "$work/vips" -name '*.jpg' | wc -l)
for side in qv vips; do
  printf '%-5s wall %6.2f s  cpu %6.2f s  peak %7d kB\n' "$side" \
    "$(bench_median < "$work/$side.t")" "$(bench_median < "$work/$side.c")" \
    "$(bench_median < "$work/$side.m")"
done
echo "tiles: makepano $tiles_qv, vips $tiles_vips (dzsave goes down to one pixel)"
