# A single-node Slurm cluster on 127.0.0.1 for tests and benchmarks (sourced): munged,
# slurmctld and slurmd started without systemd, no accounting and no cgroups; every daemon runs
# in its own session so that stopping it stops what it started.
#   slurm_cluster_start FOLDER   starts the cluster with its state and logs in FOLDER and
#                                exports SLURM_CONF; false (after a message) when it did not start
#   slurm_cluster_stop           stops every daemon started (call it from an EXIT trap)
#   slurm_cluster_logs           prints the end of each log

SLURM_CLUSTER_PIDS=()

# Alive: the process exists and is no zombie (a stopped daemon stays a zombie until reaped).
slurm_cluster_alive() {
  local state
  state=$(sed -e 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
  [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

slurm_cluster_stop() {
  local pid i
  for pid in "${SLURM_CLUSTER_PIDS[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${SLURM_CLUSTER_PIDS[@]}"; do
    for i in $(seq 1 50); do slurm_cluster_alive "$pid" || break; sleep 0.1; done
    if slurm_cluster_alive "$pid"; then kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true; fi
    wait "$pid" 2>/dev/null || true
  done
  SLURM_CLUSTER_PIDS=()
}

slurm_cluster_logs() {
  local log
  [ -n "${SLURM_CLUSTER_LOGS:-}" ] && [ -d "$SLURM_CLUSTER_LOGS" ] || return 0
  for log in "$SLURM_CLUSTER_LOGS"/*; do echo "--- $log"; tail -n 15 "$log"; done
}

slurm_cluster_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

slurm_cluster_start() {
  local WORK=$1 i pid ready wide NODE_LINE SOCKET CTLD_PORT SLURMD_PORT
  mkdir -p "$WORK"
  chmod 0755 "$WORK"
  SLURM_CLUSTER_LOGS="$WORK/log"
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
  SLURM_CLUSTER_PIDS+=($!)
  for i in $(seq 1 100); do [ -S "$SOCKET" ] && break; sleep 0.1; done
  [ -S "$SOCKET" ] || { echo "FAIL: munged did not start"; return 1; }

  # Slurm: both daemons on 127.0.0.1 only, node "localhost" with the line slurmd -C reports.
  CTLD_PORT=$(slurm_cluster_free_port)
  SLURMD_PORT=$(slurm_cluster_free_port)
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
  SLURM_CLUSTER_PIDS+=($!)
  setsid slurmd -D -N localhost -f "$SLURM_CONF" </dev/null >"$WORK/log/slurmd.out" 2>&1 &
  SLURM_CLUSTER_PIDS+=($!)
  ready=""
  for i in $(seq 1 120); do
    for pid in "${SLURM_CLUSTER_PIDS[@]}"; do slurm_cluster_alive "$pid" || { echo "FAIL: a daemon ended (pid $pid)"; return 1; }; done
    if [ "$(sinfo -h -n localhost -o %T 2>/dev/null)" = idle ]; then ready=1; break; fi
    sleep 0.5
  done
  [ -n "$ready" ] || { echo "FAIL: the node did not become idle"; sinfo || true; return 1; }

  # Nothing of the cluster listens beyond loopback (and the controller is seen on it).
  if command -v ss >/dev/null; then
    ss -H -ltn | awk '{print $4}' | grep -q -x "127.0.0.1:$CTLD_PORT" ||
      { echo "FAIL: slurmctld is not listening on 127.0.0.1:$CTLD_PORT"; return 1; }
    for pid in "${SLURM_CLUSTER_PIDS[@]}"; do
      wide=$(ss -H -ltnup 2>/dev/null | grep "pid=$pid," | awk '{print $5}' |
        grep -v -E '^(127\.0\.0\.1|\[::1\]|\[::ffff:127\.0\.0\.1\]):' || true)
      [ -z "$wide" ] || { echo "FAIL: pid $pid listens on $wide"; return 1; }
    done
  fi
}
