#!/bin/bash
# Runs every image tool of qorveltools on each given image file and records crashes, sanitizer
# reports, timeouts and runs that exit 0 without their output.
#
#   bench/fuzz/run_tools.sh BINARY OUTDIR [-slow] FILE...
#
# Each run has `timeout 60`; a Release binary also runs under `ulimit -v 8000000`, a sanitizer
# binary (which reserves a huge shadow range) under ASan's own limits instead. With -slow only
# ping and makethumb run (for inputs too large for the converters). Results: OUTDIR/results.tsv
# (file, tool, exit status, verdict, peak MB; above QV_FUZZ_PEAK_MB, default 1500, is flagged)
# and one folder per flagged run (command, stdout, stderr) under OUTDIR/flagged/.
# Two runs go in parallel. Mutated inputs come from mutate.py beside this script, e.g.
#   bench/fuzz/mutate.py /tmp/mut 1 1 ../shared/corpus/jpeg/*.jpg > /tmp/mut.txt
#   bench/fuzz/run_tools.sh build/robust-asan/qorveltools /tmp/fuzz $(cat /tmp/mut.txt)
set -u
if [ $# -lt 3 ]; then
  sed -n 2,15p "$0"
  exit 1
fi
BIN=$(readlink -f "$1")
OUT=$(readlink -f "$2")
shift 2
TOOLS="ping makethumb cube view preview tiles tif kro psd c2s"
if [ "$1" = "-slow" ]; then
  TOOLS="ping makethumb"
  shift
fi
mkdir -p "$OUT/flagged" "$OUT/work"
export BIN OUT
if ldd "$BIN" | grep -q libasan; then
  export QV_FUZZ_ASAN=1
  export ASAN_OPTIONS=detect_leaks=1:hard_rss_limit_mb=8000:max_allocation_size_mb=8000:allocator_may_return_null=0
  export UBSAN_OPTIONS=print_stacktrace=1
fi

run_one() {
  local file=$1 tool=$2
  local work
  work=$(mktemp -d "$OUT/work/run.XXXXXX")
  local cmd=() expect=()
  case $tool in
    ping) cmd=(ping "$file") ;;
    makethumb) cmd=(makethumb "$file" "$work/t.jpg" 64); expect=(t.jpg) ;;
    cube) cmd=(transform cube "$file" "$work/o.jpg" -outsize=32 -q)
      expect=(o_l.jpg o_f.jpg o_r.jpg o_b.jpg o_u.jpg o_d.jpg) ;;
    view) cmd=(transform view "$file" "$work/v.jpg" -outsize=64x48 -q); expect=(v.jpg) ;;
    preview) cmd=(makepreview "$file" -size=128x64 "-o=$work/p.jpg" -q); expect=(p.jpg) ;;
    tiles) cmd=(maketiles "$file" "$work/tiles/%v_%h.jpg" 256 -q); expect=(tiles) ;;
    tif) cmd=(maketiles "$file" "$work/o.tif" 0 -q); expect=(o.tif) ;;
    kro) cmd=(maketiles "$file" "$work/o.kro" 0 -q); expect=(o.kro) ;;
    psd) cmd=(maketiles "$file" "$work/o.psd" 0 -q); expect=(o.psd) ;;
    c2s) cmd=(cube2sphere "-l=$file" "-f=$file" "-r=$file" "-b=$file" "-u=$file" "-d=$file"
      "-o=$work/s.jpg" -outsize=128x64 -q); expect=(s.jpg) ;;
  esac
  (
    cd "$work" || exit 99
    [ -z "${QV_FUZZ_ASAN:-}" ] && ulimit -v 8000000
    exec /usr/bin/time -f %M -o peak timeout 60 "$BIN" "${cmd[@]}" >stdout 2>stderr </dev/null
  )
  local rc=$? verdict=ok
  local peak_mb=$(($(tail -1 "$work/peak" 2>/dev/null | grep -E '^[0-9]+$' || echo 0) / 1024))
  if grep -qE "AddressSanitizer|LeakSanitizer|runtime error:|UndefinedBehaviorSanitizer" "$work/stderr"; then
    verdict=sanitizer
  elif [ $rc -eq 124 ]; then
    verdict=timeout
  elif [ $peak_mb -gt "${QV_FUZZ_PEAK_MB:-1500}" ]; then
    verdict=memory
  elif [ $rc -gt 128 ]; then
    verdict=signal
  elif [ $rc -eq 0 ]; then
    local e
    for e in "${expect[@]}"; do
      if [ "$e" = tiles ]; then
        if [ -z "$(find "$work/tiles" -type f -size +0 2>/dev/null | head -1)" ] ||
          [ -n "$(find "$work/tiles" -type f -size 0 2>/dev/null | head -1)" ]; then
          verdict=no-output
        fi
      elif [ ! -s "$work/$e" ]; then
        verdict=no-output
      fi
    done
    if [ "$tool" = ping ] && [ ! -s "$work/stdout" ]; then verdict=no-output; fi
  fi
  printf '%s\t%s\t%d\t%s\t%d\n' "$file" "$tool" "$rc" "$verdict" "$peak_mb" >>"$OUT/results.tsv"
  if [ $verdict != ok ]; then
    local flag
    flag="$OUT/flagged/$(basename "$file").$tool"
    mkdir -p "$flag"
    printf '%q ' "$BIN" "${cmd[@]}" >"$flag/command"
    cp "$work/stdout" "$work/stderr" "$flag/"
  fi
  rm -rf "$work"
}
export -f run_one

for f in "$@"; do
  for t in $TOOLS; do
    printf '%s\0%s\0' "$(readlink -f "$f")" "$t"
  done
done | xargs -0 -n2 -P2 bash -c 'run_one "$1" "$2"' _
awk -F'\t' '{n[$4]++} END {for (v in n) printf "%s %d\n", v, n[v]}' "$OUT/results.tsv"
