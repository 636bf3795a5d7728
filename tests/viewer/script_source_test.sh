#!/usr/bin/env bash
# Which viewer script a tour gets, from a table of cases: the executable copied alone into an
# empty folder writes the viewer built into it (the same text as the build's joined viewer.js);
# a viewer.js beside the executable is copied instead; a user's own script named by qorveljs
# comes before both; a named script that cannot be read gives a warning and the built-in viewer.
# In every case the page is written with its script beside it.
#
#   script_source_test.sh QORVELTOOLS HELPER SOURCE_FOLDER JOINED_VIEWER_JS
set -euo pipefail

qv=$1
helper=$2
source_folder=$3
joined=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/qv_script_source.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

mkdir -p "$work/templates"
cp "$source_folder"/templates/* "$work/templates/"
echo '/* the user viewer */' > "$work/user.js"
echo '/* a viewer installed beside the executable */' > "$work/installed.js"

# NAME  BESIDE (file put beside the executable as viewer.js, or -)  QORVELJS (or -)  EXPECTED
# (file whose bytes the tour's script must have)  MESSAGE (text the output must hold, or -)
cases=(
  "alone     -             -                   $joined         -"
  "installed installed.js  -                   $work/installed.js -"
  "user      installed.js  $work/user.js       $work/user.js   -"
  "unreadable -            $work/missing.js    $joined         built.into.qorveltools"
)
for row in "${cases[@]}"; do
  read -r name beside user expected message <<< "$row"
  folder=$work/$name
  mkdir -p "$folder/bin" "$folder/tour"
  cp "$qv" "$folder/bin/qorveltools"
  [ "$beside" = - ] || cp "$work/$beside" "$folder/bin/viewer.js"
  "$helper" sphere "$folder/tour/pano.png" 256
  settings=()
  [ "$user" = - ] || settings+=("-qorveljs=$user")
  if ! "$folder/bin/qorveltools" makepano -config="$work/templates/tour.config" \
      "$folder/tour/pano.png" -converttocube=false "${settings[@]}" < /dev/null \
      > "$folder/output.txt" 2>&1; then
    fail "$name: makepano failed: $(cat "$folder/output.txt")"
    continue
  fi
  [ -f "$folder/tour/pano.html" ] || fail "$name: no page"
  grep -q 'src="pano.js"' "$folder/tour/pano.html" || fail "$name: the page does not load pano.js"
  cmp -s "$expected" "$folder/tour/pano.js" || fail "$name: pano.js is not $expected"
  if [ "$message" != - ]; then
    grep -q "${message//./ }" "$folder/output.txt" || fail "$name: no message '${message//./ }'"
  fi
done
# The built-in script is the whole viewer, not a stub.
grep -q 'global.qorvelviewer = qorvelviewer' "$work/alone/tour/pano.js" ||
  fail "alone: the built-in script is not the viewer"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "script source test passed"
