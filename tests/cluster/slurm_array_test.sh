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
chmod 0755 "$WORK"
PIDS=()

# Alive: the process exists and is no zombie (a stopped daemon stays a zombie until reaped).
alive() {
  local state
  state=$(sed -e 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
  [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

stop_daemons() {
  local pid i
  for pid in "${PIDS[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do
    for i in $(seq 1 50); do alive "$pid" || break; sleep 0.1; done
    if alive "$pid"; then kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true; fi
    wait "$pid" 2>/dev/null || true
  done
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  stop_daemons
  if [ "$status" -ne 0 ] && [ -d "$WORK/log" ]; then
    for log in "$WORK"/log/*; do echo "--- $log"; tail -n 15 "$log"; done
  fi
  rm -rf "$WORK"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# munge: the key in a 0700 folder, the socket in a separate 0755 folder (munged refuses a socket
# folder closed to others).
mkdir -p "$WORK/munge-key" "$WORK/munge-run" "$WORK/log" "$WORK/state" "$WORK/spool" "$WORK/etc"
chmod 0700 "$WORK/munge-key"
chmod 0755 "$WORK/munge-run" "$WORK/log"
dd if=/dev/urandom of="$WORK/munge-key/munge.key" bs=1024 count=1 status=none
chmod 0400 "$WORK/munge-key/munge.key"
SOCKET="$WORK/munge-run/munge.socket"
setsid munged --foreground --force --socket="$SOCKET" --key-file="$WORK/munge-key/munge.key" \
  --log-file="$WORK/log/munged.log" --pid-file="$WORK/munge-run/munged.pid" \
  --seed-file="$WORK/munge-key/munged.seed" --origin=127.0.0.1 </dev/null \
  >"$WORK/log/munged.out" 2>&1 &
PIDS+=($!)
for i in $(seq 1 100); do [ -S "$SOCKET" ] && break; sleep 0.1; done
[ -S "$SOCKET" ] || { echo "FAIL: munged did not start"; exit 1; }

# Slurm: both daemons on 127.0.0.1 only, node "localhost" with the line slurmd -C reports.
CTLD_PORT=$(free_port)
SLURMD_PORT=$(free_port)
NODE_LINE=$(slurmd -C | head -n 1 | sed -e 's/^NodeName=[^ ]*/NodeName=localhost NodeAddr=127.0.0.1/' \
  -e 's/ RealMemory=[0-9]*//')
export SLURM_CONF="$WORK/etc/slurm.conf"
cat >"$SLURM_CONF" <<CONF
ClusterName=qvtest
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$CTLD_PORT
SlurmdPort=$SLURMD_PORT
CommunicationParameters=NoCtldInAddrAny,NoInAddrAny
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$SOCKET
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$WORK/state
SlurmdSpoolDir=$WORK/spool
SlurmctldPidFile=$WORK/state/slurmctld.pid
SlurmdPidFile=$WORK/spool/slurmd.pid
SlurmctldLogFile=$WORK/log/slurmctld.log
SlurmdLogFile=$WORK/log/slurmd.log
MailProg=/bin/true
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
MpiDefault=none
MinJobAge=600
$NODE_LINE State=UNKNOWN
PartitionName=qv Nodes=localhost Default=YES MaxTime=INFINITE State=UP
CONF
setsid slurmctld -D -f "$SLURM_CONF" </dev/null >"$WORK/log/slurmctld.out" 2>&1 &
PIDS+=($!)
setsid slurmd -D -N localhost -f "$SLURM_CONF" </dev/null >"$WORK/log/slurmd.out" 2>&1 &
PIDS+=($!)
ready=""
for i in $(seq 1 120); do
  for pid in "${PIDS[@]}"; do alive "$pid" || { echo "FAIL: a daemon ended (pid $pid)"; exit 1; }; done
  if [ "$(sinfo -h -n localhost -o %T 2>/dev/null)" = idle ]; then ready=1; break; fi
  sleep 0.5
done
[ -n "$ready" ] || { echo "FAIL: the node did not become idle"; sinfo || true; exit 1; }

# Nothing of the cluster listens beyond loopback.
if command -v ss >/dev/null; then
  for pid in "${PIDS[@]}"; do
    wide=$(ss -H -ltnup 2>/dev/null | grep "pid=$pid," | awk '{print $5}' |
      grep -v -E '^(127\.0\.0\.1|\[::1\]|\[::ffff:127\.0\.0\.1\]):' || true)
    [ -z "$wide" ] || { echo "FAIL: pid $pid listens on $wide"; exit 1; }
  done
fi

make_panoramas "$WORK/one"
cp -a "$WORK/one" "$WORK/many"
one_machine_tour "$WORK/one" "$CONFIGS/scenes.config"
cd "$WORK/many"
PATH="$(dirname "$QV"):$PATH" timeout 240 bash "$SUBMIT" -config="$CONFIGS/scenes.config" \
  "${TOUR_OPTIONS[@]}" ./*.jpg --max-running=2 --logs="$WORK/log" --wait </dev/null
cd "$WORK"
same_tree "$WORK/one" "$WORK/many"
echo "OK: a Slurm array of 8 shards and the dependent merge gave the one-machine tree"
