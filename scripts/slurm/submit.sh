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
merge_id=$(sbatch "${merge_options[@]}" --wrap="exec ${command_line}-merge")
merge_id=${merge_id%%;*}
echo "merge job: $merge_id"
[ -n "$wait_for_merge" ] || exit 0

# Waits for the merge's end; its status is 0 only when it completed with exit code 0. A merge
# whose dependency can never be met (a task failed) counts as failed and is cancelled.
field() { sed -n "s/.*[[:space:]]$1=\([^[:space:]]*\).*/\1/p"; }
while :; do
  record=$(scontrol -o show job "$merge_id" 2>/dev/null || true)
  state=$(field JobState <<<" $record")
  reason=$(field Reason <<<" $record")
  if [ -z "$record" ]; then
    echo "merge job $merge_id: no longer known to Slurm; see $logs" >&2
    exit 1
  fi
  case "$state" in
    PENDING | CONFIGURING | RUNNING | COMPLETING | SUSPENDED | REQUEUED* | RESIZING)
      if [ "$reason" = DependencyNeverSatisfied ]; then
        scancel "$merge_id" 2>/dev/null || true
        echo "merge job $merge_id: a shard failed, the merge was cancelled (logs in $logs)"
        exit 1
      fi
      sleep 2
      ;;
    *) break ;;
  esac
done
exit_code=$(field ExitCode <<<" $record")
echo "merge job $merge_id: $state, exit code $exit_code (logs in $logs)"
[ "$state" = COMPLETED ] && [ "$exit_code" = "0:0" ]
