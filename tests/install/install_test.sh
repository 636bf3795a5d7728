#!/usr/bin/env bash
# The program as it is installed:
#  1. cmake --install into a temporary prefix puts exactly the listed files there;
#  2. every installed manual page passes mandoc's and groff's checks without a warning;
#  3. cpack builds the Debian package, whose control fields are complete and which lintian passes
#     without an error;
#  4. the package unpacked with dpkg-deb into a temporary root runs through a symbolic link from
#     another folder, with only a panorama in the working folder: "makepano -config=tour.config"
#     finds the stock config and the viewer under the unpacked root and builds a complete tour
#     (page, script, XML, tiles), and the unpacked testserver serves it to headless Chromium,
#     which shows the panorama's front face.
#
#   install_test.sh BUILD_FOLDER SOURCE_FOLDER VIEWER_TEST_HELPER
# Exit status 0 passed, 1 failed, 77 skipped (a checking tool is not installed; scripts/setup.sh
# installs them). QV_INSTALL_KEEP=1 keeps the work folder.
set -euo pipefail

build=$1
source_folder=$2
helper=$3

for tool in cpack dpkg-deb dpkg-shlibdeps lintian mandoc groff; do
  if ! command -v "$tool" > /dev/null; then
    echo "SKIPPED: $tool is not installed (scripts/setup.sh installs it)"
    exit 77
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qv_install_test.XXXXXX")
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2> /dev/null || true; wait "$server_pid" 2> /dev/null || true; fi
  if [ "${QV_INSTALL_KEEP:-0}" = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# ==== 1. cmake --install: exactly the listed files ================================================
pages=(qorveltools qorveltools-makepano qorveltools-maketiles qorveltools-makepreview
       qorveltools-sphere2cube qorveltools-cube2sphere qorveltools-encrypt qorveltools-testserver
       qorveltools-ipc qorveltools-ipc2 qorveltools-ping qorveltools-makethumb)
expected=(bin/qorveltools share/qorveltools/viewer.js
          share/bash-completion/completions/qorveltools
          share/doc/qorveltools/README.md share/doc/qorveltools/copyright)
for page in "${pages[@]}"; do expected+=("share/man/man1/$page.1.gz"); done
for template in "$source_folder"/templates/*; do
  expected+=("share/qorveltools/templates/${template##*/}")
done

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "FAILED: cmake --install"; exit 1; }
installed=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
if [ "$installed" != "$wanted" ]; then
  fail "cmake --install put other files in the prefix:"
  diff <(echo "$wanted") <(echo "$installed") || true
fi
[ -x "$prefix/bin/qorveltools" ] || fail "bin/qorveltools is not executable"

# ==== 2. the manual pages, linted =================================================================
for page in "${pages[@]}"; do
  file=$prefix/share/man/man1/$page.1.gz
  [ -f "$file" ] || continue
  messages=$(mandoc -T lint -W warning "$file" 2>&1 || true)
  [ -z "$messages" ] || fail "mandoc: $messages"
  messages=$(zcat "$file" | groff -man -ww -z 2>&1 || true)
  [ -z "$messages" ] || fail "groff on $page: $messages"
  # Every tool page quotes its tool's own syntax text.
  if [ "$page" != qorveltools ]; then
    grep -q '^\.SH OPTIONS' <(zcat "$file") || fail "$page has no OPTIONS section"
  fi
done
grep -q 'config=###' <(zcat "$prefix/share/man/man1/qorveltools-makepano.1.gz") ||
  fail "the makepano page does not quote the tool's syntax text"

# The completion: tool words, then a tool's options (the config keys for makepano).
complete_line() {  # LINE: prints the completions bash offers at the end of LINE
  bash -c 'source "$1"; COMP_LINE=$2; COMP_POINT=${#2}; read -ra COMP_WORDS <<< "$2"
           [[ $2 == *" " ]] && COMP_WORDS+=("")
           COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _qorveltools; echo "${COMPREPLY[*]}"' \
    _ "$prefix/share/bash-completion/completions/qorveltools" "$1"
}
completion_cases=(
  "qorveltools makep|makepano makepreview"
  "qorveltools help cube|cube2sphere"
  "qorveltools maketiles -jpegq|-jpegquality="
  "qorveltools -Transform -look|-lookat="
  "qorveltools makepano -tilesi|-tilesize="
  "qorveltools --vers|--version"
)
for row in "${completion_cases[@]}"; do
  got=$(complete_line "${row%%|*}")
  [ "$got" = "${row#*|}" ] || fail "completion of '${row%%|*}' gave '$got', expected '${row#*|}'"
done

# ==== 3. the Debian package =======================================================================
cpack -G DEB -B "$work/package" --config "$build/CPackConfig.cmake" > "$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAILED: cpack -G DEB"; exit 1; }
packages=("$work"/package/qorveltools_*.deb)
[ -f "${packages[0]}" ] || { cat "$work/cpack.log"; echo "FAILED: cpack made no .deb"; exit 1; }
deb=${packages[0]}
version=$("$prefix/bin/qorveltools" --version | sed -n 's/^qorveltools \([^ ]*\) .*/\1/p')
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Version)" = "${version//-/\~}-1" ] || fail "package version $(field Version) for program $version"
[ "$(field Package)" = qorveltools ] || fail "package name $(field Package)"
[ -n "$(field Section)" ] || fail "no Section field"
[[ $(field Maintainer) == *"<"*"@"*">" ]] || fail "no Maintainer address"
[ -n "$(field Description)" ] || fail "no Description field"
# Depends from dpkg-shlibdeps: the libraries the executable links, with versions.
for library in libc6 libjpeg62-turbo libtiff6 liblcms2-2 zlib1g libstdc++6; do
  [[ $(field Depends) == *"$library (>= "* ]] || fail "Depends lacks $library: $(field Depends)"
done
dpkg-deb -c "$deb" > "$work/contents.txt"
grep -q '/usr/share/doc/qorveltools/copyright$' "$work/contents.txt" || fail "no copyright file"
lintian --tag-display-limit 0 "$deb" > "$work/lintian.txt" 2>&1 || true
if grep -q '^E: ' "$work/lintian.txt"; then
  fail "lintian reports errors:"
  grep '^E: ' "$work/lintian.txt"
fi

# ==== 4. the unpacked package, run through a link from elsewhere ==================================
root=$work/root
dpkg-deb -x "$deb" "$root"
mkdir -p "$work/elsewhere" "$work/tour"
ln -s "$root/usr/bin/qorveltools" "$work/elsewhere/qorveltools"
qv=$work/elsewhere/qorveltools
"$helper" sphere "$work/tour/pano.png" 2048
# The working folder holds only the panorama: the config comes from the unpacked data folder.
(cd "$work/tour" && "$qv" makepano -config=tour.config pano.png -verbose < /dev/null \
  > "$work/makepano.txt" 2> "$work/makepano.err") ||
  { cat "$work/makepano.txt" "$work/makepano.err"; echo "FAILED: the unpacked makepano"; exit 1; }
grep -qF "data file: $root/usr/share/qorveltools/templates/tour.config" "$work/makepano.err" ||
  fail "makepano took its config from elsewhere: $(cat "$work/makepano.err")"
for template in tour.html tour.xml; do
  grep -qF "data file: $root/usr/share/qorveltools/templates/$template" "$work/makepano.err" ||
    fail "makepano took $template from elsewhere: $(cat "$work/makepano.err")"
done
grep -qF "data file: $root/usr/share/qorveltools/viewer.js" "$work/makepano.err" ||
  fail "makepano took its viewer from elsewhere: $(cat "$work/makepano.err")"
for file in pano.html pano.js pano.xml pano.tiles/preview.jpg pano.tiles/thumb.jpg; do
  [ -s "$work/tour/$file" ] || fail "the tour has no $file"
done
cmp -s "$work/tour/pano.js" "$root/usr/share/qorveltools/viewer.js" ||
  fail "pano.js is not the installed viewer"
tiles=$(find "$work/tour/pano.tiles" -path '*/l*' -name '*.jpg' | wc -l)
[ "$tiles" -ge 6 ] || fail "the tour has $tiles tiles"

# A name no data folder holds: the message names every place searched, the unpacked ones too.
(cd "$work/tour" && "$qv" makepano -config=none.config pano.png < /dev/null \
  > "$work/missing.txt" 2> "$work/missing.err") && fail "a missing config was accepted"
grep -qF "searched: $root/usr/share/qorveltools/templates/none.config" "$work/missing.err" ||
  fail "the missing config's places: $(cat "$work/missing.err")"

# First match wins: the current folder, beside the executable, its templates/ subfolder, then
# the share folder. Each place gets a config that includes a missing file named after the
# place, so the error names the config that was read; the places are filled from the last.
order=("$work/tour/probe.config:cwd" "$root/usr/bin/probe.config:beside"
       "$root/usr/bin/templates/probe.config:beside-templates"
       "$root/usr/share/qorveltools/probe.config:share"
       "$root/usr/share/qorveltools/templates/probe.config:share-templates")
mkdir -p "$root/usr/bin/templates"
for ((i = ${#order[@]} - 1; i >= 0; i--)); do
  path=${order[$i]%:*}
  place=${order[$i]##*:}
  echo "include from-$place.config" > "$path"
  out=$(cd "$work/tour" && "$qv" makepano -config=probe.config pano.png < /dev/null 2> /dev/null || true)
  [[ $out == *"including config file \"from-$place.config\" failed"* ]] ||
    fail "with a config in $place the lookup found another: $out"
done
rm -r "$root/usr/bin/templates" "$root/usr/bin/probe.config" "$work/tour/probe.config"

# The help of the unpacked program: the tool's own syntax text, status 0.
"$qv" help makepano > "$work/help.txt" || fail "help makepano exited with $?"
grep -q '^syntax: qorveltools makepano' "$work/help.txt" || fail "help makepano: $(cat "$work/help.txt")"

# The page in the browser: the unpacked testserver serves the tour and the panorama's front face
# fills the view. Without Chromium this part is left out.
chromium=${CHROMIUM:-$(command -v chromium || command -v chromium-browser || true)}
if [ -z "$chromium" ]; then
  echo "NOTE: chromium is not installed; the tour was not shown in a browser"
elif [ "$failures" -eq 0 ]; then
  env PATH=/nonexistent "$qv" testserver -localonly "$work/tour" > "$work/server.txt" 2>&1 &
  server_pid=$!
  address=""
  for _ in $(seq 100); do
    address=$(grep -o 'http://localhost:[0-9]*' "$work/server.txt" 2> /dev/null || true)
    [ -n "$address" ] && break
    sleep 0.1
  done
  [ -n "$address" ] || { cat "$work/server.txt"; echo "FAILED: testserver printed no address"; exit 1; }
  address=${address/localhost/127.0.0.1}
  timeout 120 "$helper" browse "$work" pano "$address/pano.html" -- "$chromium" --headless \
    --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --disable-dev-shm-usage \
    --user-data-dir="$work/profile" --use-gl=angle --use-angle=swiftshader \
    --enable-unsafe-swiftshader --hide-scrollbars --window-size=640,480 > "$work/browser.log" 2>&1 ||
    fail "the browser could not show the page: $(tail -5 "$work/browser.log")"
  grep -q 'data-state="ready"' "$work/pano.html" || fail "the viewer did not get ready"
  "$helper" check "$work/pano.png" all front 0.85 || fail "the page does not show the front face"
  # The letter is sharp only in the tiles: the preview blurs it away.
  "$helper" check "$work/pano.png" all white 0.02 || fail "the page shows no tiles"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "lintian: $(grep -c . "$work/lintian.txt" || true) line(s)"
cat "$work/lintian.txt"
echo "PASSED"
