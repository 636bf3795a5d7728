#!/usr/bin/env bash
# A real Slurm engine: starts munged, slurmctld and slurmd as a single-node cluster on
# 127.0.0.1 (no systemd, no accounting, no cgroups), submits the shards of eight panoramas as a
# job array with two tasks at a time and the dependent merge through scripts/slurm/submit.sh
# --wait, and compares the tour with the one-machine run. Every daemon is stopped on every way
# out. Usage: slurm_array_test.sh QORVELTOOLS CORPUS-FOLDER CONFIG-FOLDER SUBMIT-SCRIPT.
# Status 77 when Slurm or munge is not installed, or the test does not run as root.
set -euo pipefail
QV=$1 CORPUS=$2 CONFIGS=$3 SUBMIT=$4
for tool in munged slurmctld slurmd sbatch sinfo; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ "$(id -u)" -eq 0 ] || { echo "SKIP: the daemons run as root here"; exit 77; }
. "$(dirname "$0")/lib.sh"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/qv-slurm.XXXXXX")
. "$(dirname "$0")/slurm_cluster.sh"

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  slurm_cluster_stop
  if [ "$status" -ne 0 ]; then slurm_cluster_logs; fi
  rm -rf "$WORK"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
slurm_cluster_start "$WORK/cluster"

make_panoramas "$WORK/one"
cp -a "$WORK/one" "$WORK/many"
one_machine_tour "$WORK/one" "$CONFIGS/scenes.config"
cd "$WORK/many"
PATH="$(dirname "$QV"):$PATH" timeout 240 bash "$SUBMIT" -config="$CONFIGS/scenes.config" \
  "${TOUR_OPTIONS[@]}" ./*.jpg --max-running=2 --logs="$WORK/cluster/log" --wait </dev/null
cd "$WORK"
same_tree "$WORK/one" "$WORK/many"
echo "OK: a Slurm array of 8 shards and the dependent merge gave the one-machine tree"

# Failing tasks: the merge never runs, and --wait says so with its status.
mkdir "$WORK/failing"
cp "$WORK/one"/*.jpg "$WORK/failing/"
cd "$WORK/failing"
status=0
QORVELTOOLS=false timeout 120 bash "$SUBMIT" -config="$CONFIGS/scenes.config" ./*.jpg \
  --tasks=2 --logs="$WORK/cluster/log" --wait </dev/null || status=$?
[ "$status" -ne 0 ] || { echo "FAIL: --wait returned 0 after failed tasks"; exit 1; }
[ "$status" -ne 124 ] || { echo "FAIL: the merge of failed tasks was left waiting"; exit 1; }
[ ! -e tour.xml ] || { echo "FAIL: a merge ran after failed tasks"; exit 1; }
echo "OK: failed tasks cancel the merge (status $status)"
