#!/usr/bin/env bash
# The browser viewer beside pannellum and marzipano in headless Chromium (SwiftShader), on the
# same three-level cube tour (faces 512, 1024 and 2048 pixels in 512-pixel tiles, numbered from
# 0, so that all three read the same files). The peers and puppeteer-core come from npm into
# the work folder for this benchmark only; nothing of them is shipped.
#
#   bench/viewer/bench_viewer.sh QORVELTOOLS [WORK_FOLDER]
# CHROMIUM names the browser (default /usr/bin/chromium); QV_BENCH_NPM names a folder that
# already holds the npm packages. Prints one table (see bench_viewer.mjs for the measures).
set -euo pipefail
qv=$(realpath "$1")
work=${2:-$(mktemp -d "${TMPDIR:-/tmp}/qv_bench_viewer.XXXXXX")}
here=$(cd "$(dirname "$0")" && pwd)
source_folder=$(cd "$here/../.." && pwd)
corpus=${QV_CORPUS:-$source_folder/../shared/corpus}
chromium=${CHROMIUM:-/usr/bin/chromium}
mkdir -p "$work"

npm_folder=${QV_BENCH_NPM:-$work/npm}
if [ ! -d "$npm_folder/node_modules/puppeteer-core" ]; then
  mkdir -p "$npm_folder"
  [ -f "$npm_folder/package.json" ] || echo '{"private": true}' > "$npm_folder/package.json"
  (cd "$npm_folder" && PUPPETEER_SKIP_DOWNLOAD=1 npm install --no-audit --no-fund --silent \
     puppeteer-core@25 marzipano@0.10.2 pannellum@2.5.7)
fi

tour=$work/tour
rm -rf "$tour"
mkdir -p "$tour/peers"
cp "$corpus/pano/stellarium_moon_4k.jpg" "$tour/moon.jpg"
"$qv" makepano -config="$source_folder/templates/tour.config" "$tour/moon.jpg" -tilesize=512 \
  -levelsizes=2048,1024,512 -indexbase=0 -q < /dev/null > /dev/null
cp "$npm_folder/node_modules/marzipano/dist/marzipano.js" "$tour/peers/"
cp "$npm_folder/node_modules/pannellum/build/pannellum.js" \
   "$npm_folder/node_modules/pannellum/build/pannellum.css" "$tour/peers/"
cp "$here/pannellum.html" "$here/marzipano.html" "$tour/"

env PATH=/nonexistent "$qv" testserver -localonly "$tour" > "$work/server.txt" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
address=""
for _ in $(seq 100); do
  address=$(grep -o 'http://localhost:[0-9]*' "$work/server.txt" 2>/dev/null || true)
  [ -n "$address" ] && break
  sleep 0.1
done
[ -n "$address" ] || { cat "$work/server.txt"; exit 1; }
address=${address/localhost/127.0.0.1}

node "$here/bench_viewer.mjs" "$address" "$chromium" "$npm_folder"
