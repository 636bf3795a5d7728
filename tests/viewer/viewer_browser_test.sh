#!/usr/bin/env bash
# The browser viewer end to end: builds a cube tour from generated faces (each side its own
# colour and letter) with makepano and the default templates, serves it with `qorveltools
# testserver`, opens the page in headless Chromium with software WebGL and checks screenshots and
# the viewer's status element: the front, right and up faces where they belong, a deeper level
# loaded only in part when zoomed in, the scene list of a tour with two scenes, and the messages
# for a missing XML file and for a browser without WebGL. Then the other tour types makepano
# makes (sphere with and without tiles, stereo pair, flat, cylinder, partial sphere) from a table
# of cases, shown in the same browser and checked the same way.
#
#   viewer_browser_test.sh QORVELTOOLS HELPER SOURCE_FOLDER
# Exit status 0 passed, 1 failed, 77 skipped (no Chromium). CHROMIUM names another browser
# binary; QV_VIEWER_KEEP=1 keeps the work folder.
set -euo pipefail
shopt -u patsub_replacement 2>/dev/null || true  # "&" in replacements stays itself

qv=$1
helper=$2
source_folder=$3
chromium=${CHROMIUM:-$(command -v chromium || command -v chromium-browser || true)}
if [ -z "$chromium" ]; then
  echo "SKIPPED: chromium is not installed (scripts/setup.sh installs Debian's chromium package)"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qv_viewer_test.XXXXXX")
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  if [ "${QV_VIEWER_KEEP:-0}" = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

tour=$work/tour
templates=$work/templates
mkdir -p "$tour" "$templates"
cp "$source_folder"/templates/* "$templates/"

# Inputs: a cube of 1600-pixel faces and, for the second scene, a smaller cube turned by 180
# degrees (its front shows the back's colour).
"$helper" faces "$tour" pano 1600
"$helper" faces "$tour" turned 512 turned

# ==== the tour, made by makepano ================================================================
# The default templates: pano.xml and pano.html from tour.config, and tour.xml and tour.html with
# both cubes as scenes from scenes.config. 512-pixel tiles give levels 768 and 1600 for the
# 1600-pixel faces (the smaller level has partial edge tiles) and one level of 512 for the turned
# cube.
"$qv" makepano -config="$templates/tour.config" "$tour"/pano_?.png -tilesize=512 -q < /dev/null ||
  { echo "FAILED: makepano could not build the tour"; exit 1; }
"$qv" makepano -config="$templates/scenes.config" "$tour"/pano_?.png "$tour"/turned_?.png \
  -tilesize=512 -q < /dev/null ||
  { echo "FAILED: makepano could not build the scenes tour"; exit 1; }
for file in pano.xml pano.html pano.js tour.xml tour.html tour.js; do
  [ -f "$tour/$file" ] || { echo "FAILED: makepano wrote no $file"; exit 1; }
done
# ==== end of the tour =============================================================================

# ==== the other tour types, one row each ========================================================
# Inputs: the same coloured and lettered cube as a 4096 x 2048 sphere (tiled in two levels,
# 2048 and 4096 wide) and as a 2048 x 1024 one (one image without levels); a stereo pair of
# 2048 x 1024 spheres whose right eye is turned by 180 degrees, so that each view tells the eyes
# apart; and a flat 1800 x 1000 picture coloured like the front face, as a flat image, as a
# cylinder of 120 degrees and as a partial sphere of 180 degrees.
"$helper" sphere "$tour/sphere.png" 4096
"$helper" sphere "$tour/single.png" 2048
"$helper" sphere "$tour/stereo_l.png" 2048
"$helper" sphere "$tour/stereo_r.png" 2048 turned
"$helper" sphere "$tour/pair_l.png" 2048
"$helper" sphere "$tour/pair_r.png" 2048 turned
for name in flat cylinder partial; do "$helper" flat "$tour/$name.png" 1800 1000; done
# PAGE (written by makepano, with its XML)  INPUTS  SETTINGS. The spheres stay spheres
# (converttocube off), the second without a tile pyramid; the stereo pair becomes a stereo cube
# with a tile folder per eye, or with converttocube off the sphere of its first eye; the flat
# picture is taken as a flat image, a cylinder and a partial sphere.
tour_cases=(
  "sphere.html   sphere.png                -converttocube=false"
  "single.html   single.png                -converttocube=false -multires=false"
  "stereo_l.html stereo_l.png,stereo_r.png"
  "pair_l.html   pair_l.png,pair_r.png     -converttocube=false"
  "flat.html     flat.png                  -panotype=flat"
  "cylinder.html cylinder.png              -panotype=cylinder -hfov=120"
  "partial.html  partial.png               -panotype=partialsphere -hfov=180"
)
for row in "${tour_cases[@]}"; do
  read -r page inputs settings <<< "$row"
  IFS=, read -r -a files <<< "$inputs"
  # shellcheck disable=SC2086  # the settings are separate words
  "$qv" makepano -config="$templates/tour.config" "${files[@]/#/$tour/}" -tilesize=512 $settings \
    -q < /dev/null || { echo "FAILED: makepano could not build $page"; exit 1; }
  for file in "$page" "${page%.html}.xml"; do
    [ -f "$tour/$file" ] || { echo "FAILED: makepano wrote no $file"; exit 1; }
  done
done

# NAME  URL  CHECKS: KEY=VALUE of the viewer's status element, or REGION:EXPECTED[:SHARE] of the
# screenshot (see viewer_test_helper check). Each tour shows its front, right and up where they
# belong and the sharp letters of its tiles (white); the stereo tours show the first eye (the
# second would show the back at the front); the flat picture, the cylinder and the partial
# sphere fill the window (the view kept inside the image) the right way up; zoomed in, the tiled
# sphere and the flat picture load their finer level only.
view_cases=(
  "sphere_front sphere.html           state=ready shape=sphere level=1 all:front all:white:0.02"
  "sphere_right sphere.html?h=90      state=ready all:right"
  "sphere_up    sphere.html?v=-90     state=ready all:up"
  "sphere_zoom  sphere.html?fov=20    state=ready level=2 requested=2 all:front all:white:0.02"
  "single_front single.html           state=ready shape=sphere levels=1 all:front all:white:0.02"
  "single_right single.html?h=90      state=ready all:right"
  "single_up    single.html?v=-90     state=ready all:up"
  "stereo_front stereo_l.html         state=ready shape=cube all:front all:white:0.02"
  "stereo_right stereo_l.html?h=90    state=ready all:right"
  "stereo_up    stereo_l.html?v=-90   state=ready all:up"
  "pair_front   pair_l.html           state=ready shape=sphere all:front all:white:0.02"
  "pair_right   pair_l.html?h=90      state=ready all:right"
  "flat_front   flat.html             state=ready shape=flat level=1 all:front:0.85 all:white:0.02 top:front-bright bottom:front-dark"
  "flat_zoom    flat.html?fov=0.3     state=ready level=2 requested=2 all:front"
  "cylinder     cylinder.html         state=ready shape=cylinder all:front:0.85 all:white:0.02 top:front-bright bottom:front-dark"
  "partial      partial.html          state=ready shape=sphere all:front:0.85 all:white:0.02 top:front-bright bottom:front-dark"
)

# A page whose XML file does not exist.
sed 's/pano\.xml/missing.xml/' "$tour/pano.html" > "$tour/broken.html"

# A small photo sphere (600 x 300, no tiles): its zoom must not depend on the window.
"$helper" sphere "$tour/small.png" 600
"$qv" makepano -config="$templates/tour.config" "$tour/small.png" -converttocube=false \
  -multires=false -q < /dev/null || { echo "FAILED: makepano could not build small.html"; exit 1; }

# The example hotspot template carried into a tour by makepano.
cp "$tour/small.png" "$tour/spots.png"
"$qv" makepano -config="$templates/tour.config" "$tour/spots.png" -converttocube=false \
  -multires=false -xmltemplate_hotspot="$templates/hotspots.xml" -q < /dev/null ||
  { echo "FAILED: makepano could not build spots.html"; exit 1; }
xmllint --noout "$tour/spots.xml" 2>/dev/null || ! command -v xmllint > /dev/null ||
  fail "spots.xml is not well-formed"

# The cube tour with the top-left tile of the front's smaller level missing.
cp -r "$tour/pano.tiles" "$tour/holes.tiles"
hole=$(ls "$tour"/holes.tiles/l1/f/* | head -1)
rm "$hole"
sed 's/pano\.tiles/holes.tiles/g' "$tour/pano.xml" > "$tour/holes.xml"
sed 's/pano\.xml/holes.xml/' "$tour/pano.html" > "$tour/holes.html"

# The two-scene tour with hotspots (an info point ahead, a link to the turned scene that arrives
# looking right, a url link to the left), a heading, and the gyroscope button; and the cube tour
# turning by itself (60 degrees a second after 0.3 s without input).
hotspots='<hotspot name="info" type="info" h="0" v="0" title="Front" text="The green face."/>'
hotspots+='<hotspot name="next" type="scene" h="30" v="10" scene="scene_turned" hlookat="90" fov="80" title="Turned"/>'
hotspots+='<hotspot name="site" type="url" h="-30" v="0" url="https://example.org/" title="Site"/>'
sed -e "s|<scene name=\"scene_pano\"|<scene heading=\"30\" name=\"scene_pano\"|" \
    -e "0,/<\/scene>/s|</scene>|$hotspots</scene>|" \
    -e 's|<qorvel \([^>]*\)>|<qorvel \1><controls gyroscope="true"/>|' "$tour/tour.xml" > "$tour/features.xml"
sed 's/tour\.xml/features.xml/' "$tour/tour.html" > "$tour/features.html"
sed 's|</qorvel>|<autorotate speed="60" delay="0.3"/></qorvel>|' "$tour/pano.xml" > "$tour/rotate.xml"
sed 's/pano\.xml/rotate.xml/' "$tour/pano.html" > "$tour/rotate.html"

# Serve the tour; an empty PATH keeps the server from opening a desktop browser.
env PATH=/nonexistent "$qv" testserver -localonly "$tour" > "$work/server.txt" 2>&1 &
server_pid=$!
address=""
for _ in $(seq 100); do
  address=$(grep -o 'http://localhost:[0-9]*' "$work/server.txt" 2>/dev/null || true)
  [ -n "$address" ] && break
  sleep 0.1
done
[ -n "$address" ] || { cat "$work/server.txt"; echo "FAILED: testserver printed no address"; exit 1; }
address=${address/localhost/127.0.0.1}

# Page scripts for the "js:" steps (one line once joined, so no // comments): a mouse drag
# across the middle of the window from x to x, let go after a pause (so without a fling), a turn
# of the mouse wheel, and clicks on the two scene buttons in turn, each while the scene before
# still loads, ending on the first.
page_scripts='var canvas = () => document.querySelector(".qv-root canvas");
function pointer(type, x) {
  canvas().dispatchEvent(new PointerEvent(type, {pointerId: 7, isPrimary: true, bubbles: true,
                                                 clientX: x, clientY: 240, button: 0}));
}
const later = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
function drag(from, to) {
  pointer("pointerdown", from);
  pointer("pointermove", to);
  return later(300).then(() => pointer("pointerup", to));
}
function pinch(from, to) {
  const touch = (type, id, x) => canvas().dispatchEvent(new PointerEvent(type,
      {pointerId: id, pointerType: "touch", bubbles: true, clientX: x, clientY: 240}));
  touch("pointerdown", 1, 320 - from / 2);
  touch("pointerdown", 2, 320 + from / 2);
  touch("pointermove", 2, 320 - from / 2 + to);
  return later(300).then(() => { touch("pointerup", 2, 320 - from / 2 + to);
                                 touch("pointerup", 1, 320 - from / 2); });
}
function press(keys, ms, target) {
  const at = target || canvas();
  const key = (type, name) => at.dispatchEvent(new KeyboardEvent(type, {key: name, bubbles: true}));
  keys.forEach((name) => key("keydown", name));
  return later(ms).then(() => keys.forEach((name) => key("keyup", name)));
}
async function switch_scenes(times) {
  const buttons = document.querySelectorAll(".qv-scenes button");
  for (let i = times - 1; i >= 0; i--) {
    buttons[i % 2].click();
    await later(15);
  }
}
const viewer = () => qorvelviewer.viewers[0];
const state = () => document.querySelector(".qv-status").dataset;
function settle() {
  return new Promise((resolve) => {
    const poll = () => state().state === "ready" ? resolve() : setTimeout(poll, 50);
    setTimeout(poll, 100);
  });
}
function quiet() {
  return new Promise((resolve) => {
    const v = viewer();
    const poll = () => state().state === "ready" && v.loading === 0 && !v.uploadQueue.length ?
        resolve() : setTimeout(poll, 50);
    setTimeout(poll, 100);
  });
}
async function sweep(rounds) {
  const v = viewer(), counts = [], steps = [];
  for (let h = 0; h <= 40; h += 2) steps.push(h);
  for (let h = 38; h >= 0; h -= 2) steps.push(h);
  for (let r = 0; r < rounds; r++) {
    const shown = state().indicator;
    for (const h of steps) {
      v.setView(h, 0, 20);
      await later(16);
    }
    await quiet();
    counts.push(v.counters.uploads + "/" + v.counters.requests + "/" + (state().indicator - shown));
  }
  return counts.join(" ");
}
async function slow_preview() {
  const real = window.fetch;
  let delivered = 0, total = 0, drawnAt = -1;
  window.fetch = function (url, init) {
    if (!/preview/.test(String(url))) return real.apply(this, arguments);
    return real(url, init).then((response) => response.arrayBuffer()).then((buffer) => {
      const bytes = new Uint8Array(buffer), piece = Math.ceil(bytes.length / 10);
      total = bytes.length;
      const body = new ReadableStream({
        async pull(controller) {
          await later(100);
          for (let waited = 0; delivered >= 0.7 * total && drawnAt < 0 && waited < 10000;
               waited += 50) {
            await later(50);
          }
          if (delivered >= total) { controller.close(); return; }
          controller.enqueue(bytes.slice(delivered, delivered + piece));
          delivered = Math.min(total, delivered + piece);
        }
      });
      return new Response(body, {status: 200, headers: {"Content-Type": "image/jpeg"}});
    });
  };
  const box = document.createElement("div");
  box.style.cssText = "position:fixed;left:0;top:0;width:640px;height:480px";
  document.body.appendChild(box);
  const v = qorvelviewer({xml: "pano.xml", target: box}), pixel = new Uint8Array(4);
  let first = "none", darkest = 255;
  const brightness = (gl, x, y) => {
    gl.readPixels(Math.floor(x * v.width), Math.floor(y * v.height), 1, 1, gl.RGBA,
                  gl.UNSIGNED_BYTE, pixel);
    return Math.max(pixel[0], pixel[1], pixel[2]);
  };
  v.onframe = (gl, drew) => {
    if (!drew) return;
    if (drawnAt < 0) {
      drawnAt = delivered;
      brightness(gl, 0.5, 0.75);
      first = pixel[1] > 1.5 * pixel[0] && pixel[1] > 1.5 * pixel[2] ? "green above the middle" :
          "rgb " + pixel.slice(0, 3).join(",");
    }
    if (v.status.preview !== "loading") return;
    for (const [x, y] of [[0.25, 0.25], [0.75, 0.25], [0.5, 0.5], [0.25, 0.75], [0.75, 0.75]]) {
      darkest = Math.min(darkest, brightness(gl, x, y));
    }
  };
  for (let waited = 0; v.status.state !== "ready" && waited < 30000; waited += 50) await later(50);
  const drawn = drawnAt === 0 ? "drawn before any byte of the preview" :
      drawnAt > 0 && drawnAt < total ? "drawn before the whole preview" :
      "drawn after " + drawnAt + " of " + total + " bytes";
  return [drawn, v.status.preview, v.status.previewparts > 0 ? "parts" : "no parts", first,
          "darkest " + darkest].join(", ");
}
async function held_drag() {
  pointer("pointerdown", 480);
  pointer("pointermove", 160);
  await settle();
  const held = viewer().counters.uploads - viewer().counters.mipmaps;
  pointer("pointerup", 160);
  await later(600);
  const after = viewer().counters;
  return [held > 0, after.uploads === after.mipmaps].join(" ");
}
async function look_around(rounds) {
  const counts = [];
  for (let r = 0; r < rounds; r++) {
    for (const h of [90, 180, 270, 0]) { viewer().setView(h, 0, 90); await settle(); }
    counts.push(viewer().counters.uploads);
  }
  return counts.join(" ");
}
function preview_first() {
  const entries = performance.getEntriesByType("resource");
  const preview = entries.find((e) => /preview/.test(e.name));
  const tiles = entries.filter((e) => /[.]tiles[/]l[0-9]/.test(e.name));
  if (!preview || !tiles.length) return "preview " + !!preview + ", tiles " + tiles.length;
  const first = Math.min(...tiles.map((e) => e.startTime));
  return preview.responseEnd <= first ? "ok" : "a tile was requested before the preview arrived";
}
function requests_of(part) {
  return performance.getEntriesByType("resource").filter((e) => e.name.includes(part)).length;
}
async function watch_switches() {
  const v = viewer(), pixel = new Uint8Array(4);
  let darkest = 255, frames = 0;
  v.onframe = (gl) => {
    frames++;
    let sum = 0;
    for (const [x, y] of [[0.25, 0.25], [0.75, 0.25], [0.5, 0.5], [0.25, 0.75], [0.75, 0.75]]) {
      gl.readPixels(Math.floor(x * v.width), Math.floor(y * v.height), 1, 1, gl.RGBA,
                    gl.UNSIGNED_BYTE, pixel);
      sum += Math.max(pixel[0], pixel[1], pixel[2]);
    }
    darkest = Math.min(darkest, sum / 5);
  };
  const buttons = document.querySelectorAll(".qv-scenes button");
  for (const i of [1, 0, 1, 0]) { buttons[i].click(); await later(250); await settle(); }
  await later(600);
  v.onframe = null;
  return "frames=" + frames + " darkest=" + darkest;
}
async function lose_context() {
  const extension = viewer().gl.getExtension("WEBGL_lose_context");
  extension.loseContext();
  await later(300);
  const lost = state().context;
  extension.restoreContext();
  await later(100);
  return lost;
}
async function rotation() {
  await later(1200);
  const turned = viewer().view.hlookat;
  pointer("pointerdown", 320);
  const held = viewer().view.hlookat;
  await later(500);
  const still = viewer().view.hlookat;
  pointer("pointerup", 320);
  return [turned > 10, held === still, state().autorotate].join(" ");
}
function orient(alpha, beta, gamma) {
  window.dispatchEvent(new DeviceOrientationEvent("deviceorientation", {alpha, beta, gamma}));
}
function wheel(delta) {
  canvas().dispatchEvent(new WheelEvent("wheel", {deltaY: delta, bubbles: true, cancelable: true}));
}'
page_scripts=$(tr '\n' ' ' <<< "$page_scripts")

# browse [FLAGS...] -- NAME QUERY...: opens the pages in one headless browser and writes
# NAME.png (screenshot) and NAME.html (the DOM once the viewer is ready) for each; a QUERY
# "js:EXPRESSION" runs in the page opened before it.
browse() {
  local flags=() pages=()
  while [ "$1" != "--" ]; do flags+=("$1"); shift; done
  shift
  while [ $# -ge 2 ]; do
    if [[ $2 == js:* ]]; then
      pages+=("$1" "js:(function () { $page_scripts; return (
${2#js:}
); })()")
    else
      pages+=("$1" "$address/$2")
    fi
    shift 2
  done
  timeout 120 "$helper" browse "$work" "${pages[@]}" -- "$chromium" --headless --no-sandbox \
    --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --disable-dev-shm-usage --user-data-dir="$(mktemp -d "$work/profile.XXXX")" \
    --use-gl=angle --use-angle=swiftshader --enable-unsafe-swiftshader --hide-scrollbars \
    --window-size=640,480 "${flags[@]}" || fail "the browser could not show every page (see $work/browser.log)"
}

# status NAME KEY: a data attribute of the viewer's status element in NAME.html.
status() {
  { grep -o "data-$2=\"[^\"]*\"" "$work/$1.html" 2>/dev/null || true; } | head -1 |
    sed 's/^[^"]*"//; s/"$//'
}

expect_status() {  # NAME KEY VALUE
  local found
  found=$(status "$1" "$2")
  [ "$found" = "$3" ] || fail "$1: status $2 is '$found', expected '$3'"
}

expect_colour() {  # NAME REGION EXPECTED [SHARE]
  "$helper" check "$work/$1.png" "$2" "$3" ${4:+"$4"} || fail "$1: $2 of the window does not show $3"
}

view_pages=()
for row in "${view_cases[@]}"; do
  read -r name url _ <<< "$row"
  view_pages+=("$name" "$url")
done
browse -- front "pano.html" parse "js:$(cat "$source_folder/tests/viewer/parse_checks.js")" \
  turn "js:qorvelviewer.viewers[0].setView(180, 0, 90)" \
  right "pano.html?h=90" up "pano.html?v=-90" corner "pano.html?h=45" edge "pano.html?v=-45" \
  zoom "pano.html?fov=20" drag "pano.html" \
  dragged "js:drag(480, 160)" wheeled "js:wheel(100)" pinch "pano.html" \
  pinched "js:pinch(200, 300)" keys "js:press(['ArrowRight', 'ArrowUp'], 300)" \
  narrow "js:document.getElementById('pano').style.width = '320px'" scenes "tour.html?scene=2" \
  click "js:switch_scenes(12)" fade "js:watch_switches()" noscene "tour.html?scene=9" \
  missing "broken.html" \
  spots "spots.html?v=-20" small "small.html" smallzoom "js:wheel(-200), wheel(-200), wheel(-200)" \
  preview "pano.html" previewfirst "js:preview_first()" \
  around "js:look_around(2)" lost "js:lose_context()" \
  sweep "pano.html?fov=20" swept "js:sweep(2)" \
  slowpage "pano.html" slowpreview "js:slow_preview()" \
  hold "pano.html" held "js:held_drag()" \
  ratio "js:Object.defineProperty(window, 'devicePixelRatio', {get: () => 1.5, configurable: true}), viewer().setView(0, 0, 90)" \
  pagekeys "pano.html" pagekeysed "js:press(['ArrowRight', '+'], 300, document.body)" \
  holes "holes.html" holesrequests "js:requests_of('${hole#"$tour"/}')" \
  features "features.html?v=0" info "js:document.querySelector('[data-hotspot=info]').click()" \
  zoomin "js:document.querySelector('.qv-zoomin').click()" \
  gyro "js:document.querySelector('.qv-gyroscope').click(), later(100).then(() => { orient(0, 90, 0); orient(-30, 120, 0); })" \
  hotlink "js:viewer().setView(0, 0, 90), document.querySelector('[data-hotspot=next]').click(), later(1500)" \
  nocontrols "features.html?controls=0" \
  rotate "rotate.html" rotated "js:rotation()" \
  "${view_pages[@]}"
# Tiles given up while loading and closed tabs drop transfers; the server keeps running.
if ! kill -0 "$server_pid" 2>/dev/null; then
  status_code=0
  wait "$server_pid" || status_code=$?
  server_pid=""
  fail "testserver ended with status $status_code while the pages were shown"
fi
browse --disable-3d-apis -- nogl "pano.html"

expect_status front state ready
expect_status front level 1
expect_status front requested 1
expect_status front preview shown
expect_colour front all front
expect_colour front all white 0.02  # the sharp letter: tiles, not the blurred preview

# Url placeholders and XML reading, checked in the page (parse_checks.js).
[ "$(cat "$work/parse.txt" 2>/dev/null)" = ok ] || fail "parse: $(cat "$work/parse.txt" 2>/dev/null)"

# Turned to the back in the same page: the front's tiles are freed, the back's loaded.
expect_status turn state ready
expect_colour turn all back
expect_colour turn all white 0.02
tiles=$(status turn tiles)
[[ " $tiles" == *" l1/b/"* && " $tiles" != *" l1/f/"* ]] || fail "turn: tiles kept: $tiles"

expect_status right state ready
expect_colour right all right

expect_status up state ready
expect_colour up all up

# Front and right meet in the middle of the window; the up face's lower half meets the front's
# upper half.
expect_colour corner left front
expect_colour corner right right
expect_colour edge top up-dark
expect_colour edge bottom front-bright
expect_colour edge top white 0.03

# Zoomed in: the 1600-pixel level, of which only the few tiles in view are loaded.
expect_status zoom state ready
expect_status zoom level 2
loaded=$(status zoom loaded)
tiles=$(sed -n 's/.*l2:\([0-9]*\).*/\1/p' <<< "$loaded")
if [ -z "$tiles" ] || [ "$tiles" -lt 1 ] || [ "$tiles" -gt 8 ]; then
  fail "zoom: level-2 tiles loaded: '$loaded' (expected 1 to 8 of 96)"
fi
expect_colour zoom all front

# Dragging the panorama 320 pixels to the left turns the view to the right by 320 times
# 2 tan(45°) / 640 = one radian, 57.30 degrees; the wheel then widens the view to
# 2 atan(exp(0.15)) = 98.56 degrees.
expect_status dragged view "57.30,0.00,90.00"
expect_colour dragged right right
expect_status wheeled view "57.30,0.00,98.56"

# Two fingers 200 pixels apart, one moved 100 pixels outward: the view narrows to
# 2 atan(200 / 300) = 67.38 degrees and follows their middle, 50 pixels at 0.179 degrees each.
expect_status pinched view "-8.95,0.00,67.38"
# Arrow keys held turn the view right and up.
view=$(status keys view)
awk -F, '{ exit !($1 > -8.95 && $1 < 90 && $2 < 0 && $3 == 67.38) }' <<< "$view" ||
  fail "keys: view $view, expected turned right and up from -8.95,0.00,67.38"
# The page's element made narrower: the drawing follows it.
expect_status narrow size "320x480"
expect_status narrow state ready
expect_status front size "640x480"

# Two scenes in one XML: a scene list, and the second scene chosen by the page's URL.
expect_status scenes state ready
expect_status scenes scenes 2
expect_status scenes scene scene_turned
buttons=$(grep -o '<button[^>]*data-scene="scene_[a-z]*"' "$work/scenes.html" | wc -l)
[ "$buttons" = 2 ] || fail "scenes: $buttons scene buttons, expected 2"
expect_colour scenes all back
# Back on the first scene after switching to and fro while tiles were loading.
expect_status click state ready
expect_status click scene scene_pano
expect_status click levels 2
expect_colour click all front

expect_status missing state error
grep -q 'class="qv-message">The tour file "[^"]*missing.xml" cannot be read: HTTP 404' \
  "$work/missing.html" || fail "missing: no message about the missing XML file"

expect_status nogl state error
grep -q 'class="qv-message">This browser cannot show the panorama: WebGL is not available.' \
  "$work/nogl.html" || fail "nogl: no message about WebGL"

# Keys from the page (not the viewer) leave the view as it was.
expect_status pagekeysed view "0.00,0.00,90.00"
grep -q 'user-scalable=no\|maximum-scale' "$tour/pano.html" && fail "the page disables page zoom"
grep -q '<canvas[^>]*role="application"[^>]*aria-label="Panorama' "$work/front.html" ||
  fail "front: the canvas has no role or label"
# The loading indicator is gone once the view is complete.
grep -q 'class="qv-loading"[^>]*hidden' "$work/front.html" || fail "front: the loading indicator stays"
expect_status front blank 0

# The zoom is the XML's: the small photo opens at fov 90 whatever the window, and zooms in.
expect_status small view "0.00,0.00,90.00"
view=$(status smallzoom view)
awk -F, '{ exit !($3 < 50) }' <<< "$view" || fail "smallzoom: view $view, expected a fov below 50"

# The preview arrives before any tile is asked for.
[ "$(cat "$work/previewfirst.txt" 2>/dev/null)" = ok ] ||
  fail "previewfirst: $(cat "$work/previewfirst.txt" 2>/dev/null)"
# Looking around twice: the second round uploads nothing (the store keeps what was seen).
read -r first second < "$work/around.txt" || true
[ -n "$first" ] && [ "$first" = "$second" ] || fail "around: uploads after each round: $(cat "$work/around.txt")"
# Turned to and fro quickly, twice, at a zoom that loads the finer level: tiles the view had
# passed by the time they came stay too, so the second round asks for no tile and uploads
# nothing; and that round, over tiles all there, never shows the loading indicator.
read -r first second < "$work/swept.txt" || true
[ -n "$first" ] && [ "${first%/*}" = "${second%/*}" ] && [ "${second##*/}" = 0 ] ||
  fail "swept: uploads/requests/indicator shown after each round: $(cat "$work/swept.txt")"
# A preview that comes slowly: the few pixels of it that the XML carries are drawn before any of
# its bytes have come (the front's green where it belongs), its parts are drawn over them as
# they come, and no point of the window is ever black until the preview is complete.
slow=$(cat "$work/slowpreview.txt" 2>/dev/null)
expected="drawn before any byte of the preview, shown, parts, green above the middle, darkest "
[[ $slow == "$expected"* ]] && [ "${slow##* }" -ge 20 ] || fail "slowpreview: $slow"
# Tiles that come while the visitor drags get their mipmaps once the drag is over (the frames
# of the drag do not wait for them), and then every one has them.
[ "$(cat "$work/held.txt" 2>/dev/null)" = "true true" ] ||
  fail "held: left for later while dragging, all made after: $(cat "$work/held.txt" 2>/dev/null)"
# Every texture has mipmaps (reduced levels do not shimmer).
[ "$(status around mipmaps)" = "$(status around uploads)" ] ||
  fail "around: $(status around mipmaps) of $(status around uploads) textures with mipmaps"
# The context lost and restored: everything comes back.
[ "$(cat "$work/lost.txt" 2>/dev/null)" = lost ] || fail "lost: the viewer did not notice the loss"
expect_status lost context restored
expect_status lost state ready
expect_colour lost all front
expect_colour lost all white 0.02
# The device pixel ratio changed at the same size.
expect_status ratio size "960x720"
# Never a black frame while switching scenes.
fade=$(cat "$work/fade.txt" 2>/dev/null)
awk '{ split($1, f, "="); split($2, d, "="); exit !(f[2] > 10 && d[2] >= 60) }' <<< "$fade" ||
  fail "fade: $fade (expected no frame darker than both scenes)"
expect_status fade blank 0
expect_status fade scene scene_pano
# A scene that does not exist: said in the status, the first scene shown.
expect_status noscene scene scene_pano
expect_status noscene state ready
[[ $(status noscene notice) == *'&quot;9&quot;'* ]] || fail "noscene: notice '$(status noscene notice)'"
# A missing tile is tried four times, then reported; the preview shows in its place.
expect_status holes state ready
expect_status holes failed 1
expect_status holes failedtiles "l1/f/0/0"
[ "$(cat "$work/holesrequests.txt")" = 4 ] || fail "holes: $(cat "$work/holesrequests.txt") requests of the missing tile"
[[ $(status holes notice) == *"1 tiles cannot be loaded"* ]] || fail "holes: notice '$(status holes notice)'"
expect_colour holes all front
[[ " $(status spots hotspots) " == *" about@320,240 "* ]] || fail "spots: hotspots '$(status spots hotspots)'"
# Hotspots, buttons and compass.
expect_status features controls "zoomin,zoomout,fullscreen,gyroscope"
expect_status features compass "30.0"
[[ " $(status features hotspots) " == *" info@320,240 "* ]] || fail "features: hotspots '$(status features hotspots)'"
grep -q '<a [^>]*href="https://example.org/"[^>]*data-hotspot="site"' "$work/features.html" ||
  fail "features: no link hotspot"
grep -q 'qv-hotspot-text[^>]*><b>Front</b>The green face.' "$work/info.html" || fail "info: no text shown"
expect_status zoomin view "0.00,0.00,69.98"
expect_status gyro gyroscope on
expect_status gyro view "30.00,-30.00,69.98"
expect_status gyro compass "60.0"
expect_status hotlink scene scene_turned
expect_status hotlink view "90.00,0.00,80.00"
expect_colour hotlink all left
expect_status nocontrols controls ""
grep -q 'class="qv-controls"' "$work/nocontrols.html" && fail "nocontrols: buttons shown"
[ "$(cat "$work/rotated.txt")" = "true true waiting" ] || fail "rotated: $(cat "$work/rotated.txt")"

for row in "${view_cases[@]}"; do
  read -r name _ checks <<< "$row"
  for check in $checks; do
    if [[ $check == *=* ]]; then
      expect_status "$name" "${check%%=*}" "${check#*=}"
    else
      IFS=: read -r region expected share <<< "$check"
      expect_colour "$name" "$region" "$expected" "$share"
    fi
  done
done

if [ "$failures" -ne 0 ]; then
  QV_VIEWER_KEEP=1
  echo "$failures check(s) failed"
  exit 1
fi
echo "viewer browser test passed"
