#!/usr/bin/env bash
# Builds every libFuzzer target with clang and runs each for SECONDS (default 30), seeded from
# ../shared/corpus and small generated inputs. Prints one line per target,
#   NAME execs=N crashes=C
# and exits non-zero when any target crashed, leaked, timed out or ran out of memory; the
# failing inputs are kept under build/fuzz/findings/NAME/.
#   bash scripts/fuzz.sh [SECONDS] [NAME...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
# The mutations follow a fixed random seed (QV_FUZZ_SEED, default 1), so a short run retraces
# the same inputs; a long run with another seed explores new ones.
fuzz_seed="${QV_FUZZ_SEED:-1}"
bash scripts/setup.sh

build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_FUZZ=ON \
  >/dev/null
cmake --build "$build" --target fuzzers >/dev/null

corpus=../shared/corpus
work="$build/work"
findings="$build/findings"
rm -rf "$work"
mkdir -p "$work" "$findings"

# seed NAME FILES...: copies seed files into the target's working corpus.
seed() {
  local name=$1
  shift
  mkdir -p "$work/$name"
  for file in "$@"; do [ -f "$file" ] && cp "$file" "$work/$name/" || true; done
}
# seed_text NAME TEXT...: one seed file per text.
seed_text() {
  local name=$1 i=0
  shift
  mkdir -p "$work/$name"
  for text in "$@"; do printf '%b' "$text" >"$work/$name/seed$((i++))"; done
}

seed jpeg_reader_fuzzer "$corpus"/jpeg/*
seed tiff_reader_fuzzer "$corpus"/tiff/*
seed psd_reader_fuzzer "$corpus"/psd/*
seed png_reader_fuzzer "$corpus"/png/*
seed metadata_fuzzer "$corpus"/jpeg/* "$corpus"/tiff/* "$corpus"/psd/*
seed icc_description_fuzzer "$corpus"/icc/*
# KRO files have no public samples: 2 x 2 RGB 8-bit and 1 x 2 RGBA 16-bit ones, big-endian.
seed_text kro_reader_fuzzer \
  'KRO\x01\x00\x00\x00\x02\x00\x00\x00\x02\x00\x00\x00\x08\x00\x00\x00\x03\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c' \
  'KRO\x01\x00\x00\x00\x01\x00\x00\x00\x02\x00\x00\x00\x10\x00\x00\x00\x04\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10'
seed_text http_request_fuzzer \
  'GET /index.html HTTP/1.1\r\nHost: localhost\r\nRange: bytes=0-99\r\n\r\n' \
  'GET /a%20b/../c?x=1 HTTP/1.0\r\nIf-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n' \
  'PUT /f HTTP/1.1\r\nContent-Length: 5\r\nAuthorization: Digest username="u", realm="r", nonce="n", uri="/f", response="0", qop=auth, nc=1, cnonce="c"\r\n\r\nhello'
seed_text http_path_fuzzer '/tour/panos/pano.tiles/l1/01/l1_f_01_01.jpg' '/a/../../b/%2e%2e/c' '\\\\..\\\\x//y/./z'
seed_text http_range_fuzzer 'bytes=0-499' 'bytes=-500' 'Sun, 06 Nov 1994 08:49:37 GMT' \
  '-0.0.0.0/0,+127.0.0.1' '**.jpg$|*.png\n/a/b.jpg'
seed_text cube_side_fuzzer 'pano_l.jpg' 'tour/pano_front.tif' 'sky_ft.png' 'cube_posx.jpg' 'left.jpg'
seed_text config_section_fuzzer \
  '[Convert SPHERE to CUBE]\ncubesize=1024\n# comment\noutputformat= jpg\n[Other]\nx=1\n' \
  '[Convert CUBE to SPHERE]\r\nsize=2000x1000\r\nprofile=copy\r\n'
seed_text tour_config_fuzzer \
  'tilesize=512\nlevels=auto\n# comment\n  #indented\ntilepath=%INPUTPATH%/%BASENAME%.tiles/l%Al/%0v/l%Al_%s_%0v_%0h.jpg\n' \
  'customimage[mobile].size=1024\ncustomimage[mobile].path=%INPUTPATH%/m_%s.jpg\ninclude <other.config>\nmakescenes=true\n'
# Twelve bytes of values (flags: 1 eye label, 2 keep frame, 4 no sections, 8 tile index,
# 16 multires; cube side; level, levels, tiles, frame, frames, tile index, indexbase, column,
# row, row; bytes from 11 up count from 0), then template, base name, folder and eye label.
seed_text tile_template_fuzzer \
  '\x00\x01\x0e\x0e\x13\x0c\x0c\x00\x0c\x0c\x0d\x0d%INPUTPATH%/%BASENAME%.tiles/l%Al[_c]_%Av_%Ah.jpg\npano\n/p\n' \
  '\x11\x06\x0d\x0e\x13\x0c\x0d\x00\x0c\x0e\x0f\x0c%INPUTPATH%/%BASENAME%.tiles/l%Al/[c/]%Av_%Ah.jpg\ntour\nC:\\pics\n1' \
  '\x00\x07\x0d\x0d\x17\x0c\x0c\x00\x0c\x0c\x0c\x0c%INPUTPATH%/%BASENAME%.tiles/l%Al[_c]_%Av_%Ah.jpg\nmy_pano\nC:\\pics\n' \
  '\x08\x02\x0e\x17\x0c\x0c\x0c\x14\x0c\x10\x0c\x15tiles/l%0000l_%0v_%00h_%z_%\n\n\n' \
  '\x07\x01\x0c\x0c\x0c\x0e\x17\x00\x0c\x0c\x0c\x0cframe%Af/[c]_%t_%BASENAME%.jpg\npano\n.\nR' \
  '\x04\x00\x0b\x0c\x0c\x0c\x0c\x00\x0c\x0c\x0c\x0c%INPUTPATH%\\%BASENAME%.tiles\\preview[_c].jpg\nsky\nhome\n'
seed_text channel_frame_fuzzer '\x12\x00\x00\x00cmds:1:connect:123' \
  '\x10\x00\x00\x00\x01\x00\x00\x01{"cmd":"connect"}'
seed_text channel_json_fuzzer '{"cmd":"connect","args":{"pid":1}}' '{"cmd":"x","args":[1,2,{"a":null}]}' '[]'
seed_text command_line_fuzzer 'transform cube "a b.jpg" out\\ put.jpg -q' "a 'b c' \"d\\\\\"e\""

dict_for() {
  case "$1" in
    http_*) echo fuzz/dict/http.dict ;;
    config_* | tour_config_*) echo fuzz/dict/config.dict ;;
    channel_json_*) echo fuzz/dict/json.dict ;;
    tile_template_*) echo fuzz/dict/template.dict ;;
    *) echo "" ;;
  esac
}

failed=0
for path in "$build"/fuzz/*_fuzzer; do
  name=$(basename "$path")
  if [ $# -gt 0 ] && ! printf '%s\n' "$@" | grep -qx "$name"; then continue; fi
  mkdir -p "$work/$name" "$findings/$name"
  dict=$(dict_for "$name")
  log="$work/$name.log"
  status=0
  "$path" "$work/$name" ${dict:+-dict="$dict"} -seed="$fuzz_seed" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$findings/$name/" >"$log" 2>&1 || status=$?
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  # Slow units are noted by libFuzzer but are no failure; crashes, leaks, time-outs and running
  # out of memory are.
  crashes=$(find "$findings/$name" -type f \( -name 'crash-*' -o -name 'leak-*' -o \
    -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  echo "$name execs=${execs:-0} crashes=$crashes"
  if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ]; then
    failed=1
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -5 | sed 's/^/    /'
  fi
done
exit $failed
