#!/usr/bin/env bash
# Installs what is missing, builds qorveltools and runs the main job on a sample panorama (the
# bundled earth map unless a panorama of your own is named): six cube faces, a tile pyramid
# level per face, a smooth preview, a thumbnail, and the sphere rebuilt from the faces.
#   bash scripts/demo.sh [panorama.jpg] [output-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_BENCH=OFF >/dev/null
cmake --build build/release --target qorveltools

panorama="${1:-/usr/share/xplanet/images/earth.jpg}"
output="${2:-out/demo}"
qv="$PWD/build/release/qorveltools"
rm -rf "$output"
mkdir -p "$output"
name="$(basename "${panorama%.*}")"

echo "== what the panorama carries"
"$qv" ping "$panorama"

echo "== six cube faces"
"$qv" transform cube "$panorama" "$output/$name.jpg" -even -q
ls "$output"

echo "== 256-pixel tiles of every face"
for side in l f r b u d; do
  "$qv" maketiles "$output/${name}_$side.jpg" "$output/tiles/$side/%v_%h.jpg" 256 -quiet
done
find "$output/tiles" -name '*.jpg' | wc -l | xargs echo "tiles written:"

echo "== smooth preview and thumbnail"
"$qv" makepreview "$panorama" -o="$output/preview.jpg" -q
"$qv" makethumb "$panorama" "$output/thumb.jpg" 240 120

echo "== the sphere rebuilt from the faces"
"$qv" cube2sphere "$output/${name}_*.jpg" -o="$output/${name}_sphere.jpg" -q

echo "== done: $output"
ls "$output"
