#!/usr/bin/env bash
# Sealed tours in the browser: makepano seals a cube tour and its images with a password; served
# by `qorveltools testserver` and opened in headless Chromium, the page shows the password prompt
# (focused), answers a wrong password with its message, shows the panorama's sharp tiles with the
# right one, and names the one tile whose byte was altered in a copy of the tour.
#
#   encrypt_browser_test.sh QORVELTOOLS HELPER SOURCE_FOLDER
# Exit status 0 passed, 1 failed, 77 skipped (no Chromium). QV_VIEWER_KEEP=1 keeps the work folder.
set -euo pipefail

qv=$1
helper=$2
source_folder=$3
chromium=${CHROMIUM:-$(command -v chromium || command -v chromium-browser || true)}
if [ -z "$chromium" ]; then
  echo "SKIPPED: chromium is not installed (scripts/setup.sh installs Debian's chromium package)"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qv_encrypt_test.XXXXXX")
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  if [ "${QV_VIEWER_KEEP:-0}" = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

tour=$work/tour
mkdir -p "$tour"
"$helper" faces "$tour" pano 512
printf 'open sesame\n' > "$work/password"
"$qv" makepano -config="$source_folder/templates/tour.config" "$tour"/pano_?.png -tilesize=256 \
  -encrypt=password -encryptimages=true -encryptpasswordfile="$work/password" -q < /dev/null ||
  { echo "FAILED: makepano could not build the sealed tour"; exit 1; }
tile=pano.tiles/l1/f/1_1.jpg
for file in pano.xml $tile pano.tiles/preview.jpg; do
  [ "$(head -c 4 "$tour/$file")" = QVEF ] || { echo "FAILED: $file is not sealed"; exit 1; }
done
# A copy of the tour with one byte of one front tile altered.
mkdir -p "$tour/damaged"
cp -r "$tour/pano.xml" "$tour/pano.html" "$tour/pano.js" "$tour/pano.tiles" "$tour/damaged/"
printf '\x01' | dd of="$tour/damaged/$tile" bs=1 seek=100 conv=notrunc status=none

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

# submit(PASSWORD): types into the focused prompt and sends it with Enter's form submission;
# gives the field that had the focus and the prompt's message once the answer is in.
submit='(async (password) => {
  const later = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
  for (let i = 0; i < 400 && !document.getElementById("qv-crypto-password"); i++) await later(50);
  const input = document.getElementById("qv-crypto-password");
  if (!input) return "no prompt";
  const focused = document.activeElement ? document.activeElement.id : "";
  input.value = password;
  input.form.requestSubmit();
  await later(0);
  for (let i = 0; i < 600 && input.disabled && document.body.contains(input); i++) await later(50);
  const message = document.querySelector(".qv-crypto-error");
  return focused + "|" + (document.body.contains(input) ? message.textContent : "opened");
})'
submit=$(tr '\n' ' ' <<< "$submit")
notice='(async () => {
  const later = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
  for (let i = 0; i < 400 && !document.querySelector(".qv-crypto-notice"); i++) await later(50);
  const notice = document.querySelector(".qv-crypto-notice");
  return notice ? notice.textContent : "no notice";
})()'
notice=$(tr '\n' ' ' <<< "$notice")

timeout 170 "$helper" browse "$work" \
  prompt "$address/pano.html" wrong "js:$submit(\"not it\")" right "js:$submit(\"open sesame\")" \
  damaged "$address/damaged/pano.html" damaged_open "js:$submit(\"open sesame\")" \
  damaged_notice "js:$notice" \
  -- "$chromium" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync --disable-dev-shm-usage \
  --user-data-dir="$(mktemp -d "$work/profile.XXXX")" --use-gl=angle --use-angle=swiftshader \
  --enable-unsafe-swiftshader --hide-scrollbars --window-size=640,480 ||
  fail "the browser could not show every page (see $work/browser.log)"

expect_text() {  # NAME EXPECTED
  local found
  found=$(cat "$work/$1.txt" 2>/dev/null || true)
  [ "$found" = "$2" ] || fail "$1: '$found' instead of '$2'"
}
grep -q 'class="qv-crypto-overlay"' "$work/prompt.html" 2>/dev/null || fail "prompt: no password prompt"
grep -q 'type="password"' "$work/prompt.html" 2>/dev/null || fail "prompt: no password field"
expect_text wrong "qv-crypto-password|Wrong password - please try again."
expect_text right "qv-crypto-password|opened"
"$helper" check "$work/right.png" all front || fail "right: the panorama's front is not shown"
"$helper" check "$work/right.png" all white 0.02 || fail "right: no sharp tiles"
expect_text damaged_open "qv-crypto-password|opened"
expect_text damaged_notice "Damaged or altered file: $tile"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; work folder: $work"
  QV_VIEWER_KEEP=1
  exit 1
fi
echo "encrypted tour browser test passed"
