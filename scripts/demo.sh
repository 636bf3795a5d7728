#!/usr/bin/env bash
# Installs what is missing, builds qorveltools and makes a web tour of a sample panorama (the
# bundled earth map unless a panorama of your own is named) with the default config and
# templates: six cube faces, a tile pyramid of every face, a blurred preview, a thumbnail, the
# scene XML, the page and the viewer script.
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
extension="${panorama##*.}"
# The tour is written next to its panorama, so the panorama goes into the output folder first.
cp "$panorama" "$output/$name.$extension"

echo "== what the panorama carries"
"$qv" ping "$output/$name.$extension"

echo "== the tour (templates/tour.config, installed beside the executable)"
"$qv" makepano -config="$PWD/build/release/templates/tour.config" "$output/$name.$extension" \
  < /dev/null | tr '\r' '\n' | grep -v '% *$' | grep -v '^ *$' || true
[ -f "$output/$name.xml" ] && [ -f "$output/$name.html" ] || { echo "makepano failed"; exit 1; }

find "$output/$name.tiles" -name '*.jpg' | wc -l | xargs echo "files in $name.tiles:"
ls "$output"
echo
echo "== done: open the tour with"
echo "   $qv testserver $output"
echo "and the page $name.html in the browser"
