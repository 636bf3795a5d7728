#!/usr/bin/env bash
# A 2-gigapixel panorama (64000 × 32000 JPEG) made into a 512-px tour twice: without a limit, and
# inside a memory cap of CAP (default 4G) that the process cannot see past. The capped run must
# finish through the swap files of the memory manager and write the same tree byte for byte.
# Prints the wall and CPU time and the peak memory of each run, and whether the trees are the same.
#   bench/render/big_capped.sh [QORVELTOOLS]
# The cap is a memory control group: `systemd-run --scope -p MemoryMax=CAP` where systemd runs,
# else a group made by hand (cgroup v2 or v1, as root). Without either, the tool's own
# -memlimit=CAP stands in (said so in the output).
# Input: $QBENCH/pano_64000x32000.jpg, made once from ../shared/bench's pano_16000x8000.jpg when
# missing (vips resize ×4, linear, Q85; about 190 MB). Needs about 25 GB of free disk in TMPDIR
# for the two trees, the converted faces and the swap files, and takes 10–20 minutes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
qv=${1:-$here/../../build/release/qorveltools}
qv=$(cd "$(dirname "$qv")" && pwd)/$(basename "$qv")
config=$(dirname "$qv")/templates/tour.config
qbench=${QBENCH:-/tmp/qbench}
cap=${CAP:-4G}
big=$qbench/pano_64000x32000.jpg

[ -x "$qv" ] && [ -f "$config" ] || { echo "missing $qv or $config: build qorveltools first"; exit 1; }
[ -x /usr/bin/time ] || { echo "skipped: /usr/bin/time is missing"; exit 0; }
if [ ! -f "$big" ]; then
  command -v vips >/dev/null || { echo "skipped: vips is missing (scripts/setup_bench.sh)"; exit 0; }
  [ -f "$qbench/pano_16000x8000.jpg" ] ||
    { echo "skipped: $qbench/pano_16000x8000.jpg is missing (../shared/bench/make_inputs.sh)"; exit 0; }
  echo "making $big ..."
  vips resize "$qbench/pano_16000x8000.jpg" "$big.part.jpg[Q=85]" 4 --kernel linear
  mv "$big.part.jpg" "$big"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qv_big_capped.XXXXXX")
group=""
cleanup() {
  if [ -n "$group" ] && [ -d "$group" ]; then rmdir "$group" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

cap_bytes=$(numfmt --from=iec "$cap")
# How the cap is put on the process: a scope, a group of our own, or the tool's own limit.
how=""
if [ -d /run/systemd/system ] && command -v systemd-run >/dev/null; then
  how=scope
elif [ -w /sys/fs/cgroup/cgroup.subtree_control ] &&
  grep -qw memory /sys/fs/cgroup/cgroup.controllers 2>/dev/null; then
  how=v2
  group=/sys/fs/cgroup/qv_big_capped.$$
  mkdir "$group"
  echo "$cap_bytes" >"$group/memory.max"
  echo 0 >"$group/memory.swap.max" 2>/dev/null || true
elif [ -w /sys/fs/cgroup/memory ]; then
  how=v1
  group=/sys/fs/cgroup/memory/qv_big_capped.$$
  mkdir "$group"
  echo "$cap_bytes" >"$group/memory.limit_in_bytes"
else
  how=own
fi

# tour NAME [PREFIX...]: makes the tour in $work/NAME; prints "wall cpu peak_kB".
tour() {
  local name=$1 start end
  shift
  mkdir -p "$work/$name" "$work/$name.swap"
  ln -s "$big" "$work/$name/pano.jpg"
  start=$(date +%s%N)
  echo 0 >"$work/$name.status"
  (cd "$work/$name" && "$@" /usr/bin/time -f '%U %S %M' -o "$work/$name.usage" \
    "$qv" makepano -config="$config" pano.jpg -tilesize=512 -jpegquality=85 -makethumb=false \
    -tempdir="$work/$name.swap" $extra </dev/null >"$work/$name.log" 2>&1) ||
    echo $? >"$work/$name.status"
  end=$(date +%s%N)
  tail -n 1 "$work/$name.usage" 2>/dev/null |
    awk -v ns=$((end - start)) '{printf "%.1f %.1f %s\n", ns / 1e9, $1 + $2, $3}'
}

in_group() {  # runs its arguments inside $group
  sh -c 'echo $$ >"$0/cgroup.procs" && exec "$@"' "$group" "$@"
}

extra=""
echo "uncapped run ..."
read -r wall0 cpu0 peak0 <<<"$(tour free)"
echo "capped run ($cap, $how) ..."
case $how in
  scope) read -r wall1 cpu1 peak1 <<<"$(tour capped systemd-run --quiet --scope -p MemoryMax="$cap" \
    -p MemorySwapMax=0)" ;;
  v1 | v2) read -r wall1 cpu1 peak1 <<<"$(tour capped in_group)" ;;
  own) extra="-memlimit=$cap"; read -r wall1 cpu1 peak1 <<<"$(tour capped)" ;;
esac
group_peak=""
if [ "$how" = v2 ] && [ -f "$group/memory.peak" ]; then group_peak=$(cat "$group/memory.peak"); fi
if [ "$how" = v1 ]; then group_peak=$(cat "$group/memory.max_usage_in_bytes"); fi

same=no
rm -f "$work/free/pano.jpg" "$work/capped/pano.jpg"
diff -r "$work/free" "$work/capped" >/dev/null && same=yes
tiles=$(find "$work/free" -name '*.jpg' | wc -l)
printf 'uncapped  wall %7.1f s  cpu %7.1f s  peak %8d kB\n' "$wall0" "$cpu0" "$peak0"
printf 'capped    wall %7.1f s  cpu %7.1f s  peak %8d kB (cap %s by %s%s)\n' "$wall1" "$cpu1" \
  "$peak1" "$cap" "$how" "${group_peak:+, group peak $((group_peak / 1024)) kB}"
echo "tiles: $tiles; capped run finished with the same tree: $same"
for name in free capped; do
  if [ "$(cat "$work/$name.status")" != 0 ]; then
    echo "the $name run ended with status $(cat "$work/$name.status"):"
    tail -5 "$work/$name.log"
    exit 1
  fi
done
[ "$same" = yes ]
