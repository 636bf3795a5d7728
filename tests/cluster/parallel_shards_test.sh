#!/usr/bin/env bash
# GNU parallel on one machine as the engine: four tasks with -shard=auto/4 (the index comes
# from PARALLEL_SEQ), then the merge; the tree must equal the one-machine run's byte for byte.
# Usage: parallel_shards_test.sh QORVELTOOLS CORPUS-FOLDER CONFIG-FOLDER. Status 77: no parallel.
set -euo pipefail
QV=$1 CORPUS=$2 CONFIGS=$3
command -v parallel >/dev/null || { echo "SKIP: GNU parallel is not installed"; exit 77; }
. "$(dirname "$0")/lib.sh"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/qv-parallel.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

make_panoramas "$WORK/one"
cp -a "$WORK/one" "$WORK/many"
one_machine_tour "$WORK/one" "$CONFIGS/scenes.config"
cd "$WORK/many"
# -N0: no argument of the list is appended; the list only makes four tasks.
parallel -N0 -j4 --halt now,fail=1 "$QV" makepano -config="$CONFIGS/scenes.config" \
  "${TOUR_OPTIONS[@]}" ./*.jpg -shard=auto/4 ::: 0 1 2 3 </dev/null
[ -d .qvshards ] || { echo "FAIL: no manifests after the tasks"; exit 1; }
[ ! -e tour.xml ] || { echo "FAIL: a task wrote the XML"; exit 1; }
"$QV" makepano -config="$CONFIGS/scenes.config" "${TOUR_OPTIONS[@]}" ./*.jpg -merge
same_tree "$WORK/one" "$WORK/many"
echo "OK: 4 tasks of GNU parallel and the merge gave the one-machine tree"
