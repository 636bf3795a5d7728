#!/usr/bin/env bash
# Installs what is missing, builds qorveltools and runs the main job on a sample panorama:
# the bundled earth map unless a panorama of your own is named.
#   bash scripts/demo.sh [panorama.jpg] [output-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_BENCH=OFF >/dev/null
cmake --build build/release --target qorveltools

panorama="${1:-/usr/share/xplanet/images/earth.jpg}"
output="${2:-out/demo}"
mkdir -p "$output"
qv=build/release/qorveltools

echo "== sample panorama: $panorama"
"$qv"
