#!/usr/bin/env bash
# Submits a makepano run to Slurm as a job array of shards and a dependent merge job.
#
#   cd FOLDER-OF-THE-INPUTS
#   bash scripts/slurm/submit.sh -config=CFG [makepano options] INPUT... [submit options]
#
# Submit options (everything else goes to makepano unchanged):
#   --tasks=N        tasks of the array (default: one per input, at most 64)
#   --max-running=K  at most K tasks at a time (sbatch --array=0-N%K)
#   --logs=DIR       folder of the jobs' logs (default: $TMPDIR or /tmp, qv-slurm-USER)
#   --sbatch=OPT     an extra sbatch option for both jobs (repeatable), e.g. --sbatch=--partition=big
#   --wait           wait for both jobs; the status is the merge's
#
# Every task runs `qorveltools makepano ARGS -shard=auto` (the index comes from
# SLURM_ARRAY_TASK_ID), the merge runs `qorveltools makepano ARGS -merge` once every task has
# succeeded (--dependency=afterok; it is cancelled when a task fails). The output folder and the
# inputs must be on storage every node sees. qorveltools must be on PATH (or set QORVELTOOLS).
set -euo pipefail

program=${QORVELTOOLS:-qorveltools}
tasks=""
max_running=""
logs="${TMPDIR:-/tmp}/qv-slurm-${USER:-$(id -un)}"
wait_for_merge=""
sbatch_extra=()
args=()
inputs=0
for word in "$@"; do
  case "$word" in
    --tasks=*) tasks=${word#--tasks=} ;;
    --max-running=*) max_running=${word#--max-running=} ;;
    --logs=*) logs=${word#--logs=} ;;
    --sbatch=*) sbatch_extra+=("${word#--sbatch=}") ;;
    --wait) wait_for_merge=1 ;;
    -shard=* | -merge) echo "submit.sh: $word is added by the script" >&2; exit 2 ;;
    -*) args+=("$word") ;;
    *.config | *.CONFIG) args+=("$word") ;;
    *) args+=("$word"); inputs=$((inputs + 1)) ;;
  esac
done
if [ "$inputs" -eq 0 ]; then
  echo "usage: bash scripts/slurm/submit.sh -config=CFG [options] INPUT... [--wait]" >&2
  exit 2
fi
if [ -z "$tasks" ]; then tasks=$(( inputs < 64 ? inputs : 64 )); fi
case "$tasks" in '' | *[!0-9]* | 0) echo "submit.sh: bad --tasks=$tasks" >&2; exit 2 ;; esac
array="0-$((tasks - 1))"
if [ -n "$max_running" ]; then array="$array%$max_running"; fi
mkdir -p "$logs"

command_line=$(printf '%q ' "$program" makepano "${args[@]}")
array_id=$(sbatch --parsable "${sbatch_extra[@]}" --job-name=qv-shards --array="$array" \
  --chdir="$PWD" --output="$logs/shard-%A_%a.log" \
  --wrap="exec ${command_line}-shard=auto")
array_id=${array_id%%;*}
echo "array job: $array_id ($tasks tasks)"

merge_options=(--parsable "${sbatch_extra[@]}" --job-name=qv-merge
  --dependency="afterok:$array_id" --kill-on-invalid-dep=yes
  --chdir="$PWD" --output="$logs/merge-%j.log")
if [ -z "$wait_for_merge" ]; then
  merge_id=$(sbatch "${merge_options[@]}" --wrap="exec ${command_line}-merge")
  echo "merge job: ${merge_id%%;*}"
  exit 0
fi
# sbatch --wait prints the id at once and returns the job's exit status when it ends.
status=0
sbatch --wait "${merge_options[@]}" --wrap="exec ${command_line}-merge" |
  while read -r id; do echo "merge job: ${id%%;*}"; done || status=$?
echo "merge finished with status $status (logs in $logs)"
exit "$status"
