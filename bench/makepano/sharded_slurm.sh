#!/usr/bin/env bash
# A tour of COUNT (default 8) 8000 × 4000 panoramas built two ways on this machine: one makepano
# run with every core, and a Slurm job array of COUNT shards with two tasks at a time (one
# thread each) plus the dependent merge, submitted by scripts/slurm/submit.sh --wait to a
# single-node cluster on 127.0.0.1 started here (as in tests/cluster). Also an array of the same
# shape whose tasks do nothing, which gives the engine's own overhead. Prints wall seconds of each,
# and checks that both trees are identical. Must run as root (the daemons run as root).
#   bench/makepano/sharded_slurm.sh [QORVELTOOLS]
# The input comes from ../shared/bench/make_inputs.sh (QBENCH, default /tmp/qbench).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
qv=${1:-$repo/build/release/qorveltools}
qv=$(cd "$(dirname "$qv")" && pwd)/$(basename "$qv")
config=$(dirname "$qv")/templates/scenes.config
qbench=${QBENCH:-/tmp/qbench}
count=${COUNT:-8}
input="$qbench/pano_8000x4000.jpg"
for tool in munged slurmctld slurmd sbatch; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing (scripts/setup.sh)"; exit 0; }
done
[ -f "$input" ] || { echo "skipped: no $input (../shared/bench/make_inputs.sh)"; exit 0; }
[ "$(id -u)" -eq 0 ] || { echo "skipped: the cluster's daemons run as root"; exit 0; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qv_shard_bench.XXXXXX")
. "$repo/tests/cluster/slurm_cluster.sh"
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  slurm_cluster_stop
  [ "$status" -eq 0 ] || slurm_cluster_logs
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

mkdir -p "$work/one" "$work/many" "$work/empty"
for i in $(seq -w 1 "$count"); do
  cp "$input" "$work/one/pano$i.jpg"
  cp -p "$work/one/pano$i.jpg" "$work/many/pano$i.jpg"
  cp -p "$work/one/pano$i.jpg" "$work/empty/pano$i.jpg"
done
options=(-askforxmloverwrite=false -quiet)
seconds() { echo "scale=2; ($2 - $1) / 1000000000" | bc; }

start=$(date +%s%N)
(cd "$work/one" && QV_THREADS=$(nproc) "$qv" makepano -config="$config" "${options[@]}" ./*.jpg \
  >/dev/null)
one=$(seconds "$start" "$(date +%s%N)")

slurm_cluster_start "$work/cluster"
start=$(date +%s%N)
(cd "$work/many" && PATH="$(dirname "$qv"):$PATH" QV_THREADS=1 bash "$repo/scripts/slurm/submit.sh" \
  -config="$config" "${options[@]}" ./*.jpg --max-running=2 --logs="$work/cluster/log" --wait \
  >/dev/null </dev/null)
sharded=$(seconds "$start" "$(date +%s%N)")

# The same array and merge with tasks that do nothing: what the engine itself costs.
start=$(date +%s%N)
(cd "$work/empty" && QORVELTOOLS=/bin/true bash "$repo/scripts/slurm/submit.sh" \
  -config="$config" ./*.jpg --max-running=2 --logs="$work/cluster/log" --wait >/dev/null </dev/null)
engine=$(seconds "$start" "$(date +%s%N)")

diff -r "$work/one" "$work/many" >/dev/null || { echo "FAIL: the trees differ"; exit 1; }
rounds=$(( (count + 1) / 2 + 1 ))
echo "tour of $count panoramas of 8000x4000, $(nproc) cores (wall seconds):"
echo "  one machine, $(nproc) threads:                 $one"
echo "  Slurm array, 2 tasks at a time, 1 thread each: $sharded (trees identical)"
echo "  the same array of empty tasks (engine only):   $engine ($rounds rounds of tasks," \
  "$(echo "scale=2; $engine / $rounds" | bc) s each)"
