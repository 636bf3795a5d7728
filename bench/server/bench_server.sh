#!/usr/bin/env bash
# Serves a 1 KB and a 1 MB file from the same folder with qorveltools testserver and nginx on
# loopback ports, side by side in one run, and measures each with wrk (2 threads, 50
# connections, DURATION seconds per run, ROUNDS rounds):
#   small.bin with keep-alive, small.bin with "Connection: close", large.bin with keep-alive.
# Printed at the end, per case: median requests/s of each server and the ratio to nginx, the
# median CPU time per 1000 requests (user + system of all the server's processes), and the peak
# resident memory of each server over the whole run.
# Usage: bench_server.sh [path/to/qorveltools]   (needs wrk and nginx: scripts/setup_bench.sh)
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
binary=${1:-build/release/qorveltools}
duration=${DURATION:-5}
rounds=${ROUNDS:-3}
work=$(mktemp -d /tmp/qv_bench_server.XXXXXX)
qv_pid=""
nginx_pid=""
cleanup() {
  for pid in $qv_pid $nginx_pid; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/site" "$work/nginx"
head -c 1024 /dev/urandom > "$work/site/small.bin"
head -c 1048576 /dev/urandom > "$work/site/large.bin"

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_for_port() {
  for _ in $(seq 1 100); do
    if curl -s -o /dev/null "http://127.0.0.1:$1/small.bin"; then return 0; fi
    sleep 0.1
  done
  echo "server on port $1 did not come up" >&2
  return 1
}

# A server's processes: the process and its children (nginx's workers).
server_pids() { echo "$1" $(pgrep -P "$1" || true); }

# CPU clock ticks (user + system) used so far by a server's processes.
cpu_ticks() {
  local total=0 pid
  for pid in $(server_pids "$1"); do
    total=$((total + $(awk '{v = $14 + $15} END {print v + 0}' "/proc/$pid/stat" 2>/dev/null)))
  done
  echo "$total"
}

# Peak resident memory (KiB) of a server's processes, summed.
peak_kib() {
  local total=0 pid
  for pid in $(server_pids "$1"); do
    total=$((total + $(awk '/VmHWM/ {v = $2} END {print v + 0}' "/proc/$pid/status" 2>/dev/null)))
  done
  echo "$total"
}

# qorveltools testserver on 127.0.0.1 only (no browser opened).
env PATH=/nonexistent "$(realpath "$binary")" testserver -localonly "$work/site" > "$work/qv_out.txt" 2>&1 &
qv_pid=$!
qv_port=""
for _ in $(seq 1 100); do
  qv_port=$(grep -so 'localhost:[0-9]*' "$work/qv_out.txt" | cut -d: -f2 || true)
  [ -n "$qv_port" ] && break
  sleep 0.1
done
wait_for_port "$qv_port"

# nginx with its own configuration in the temporary folder, keep-alive as it comes.
nginx_port=$(free_port)
cat > "$work/nginx/nginx.conf" <<CONF
user root;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/site;
  }
}
CONF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" -g 'daemon off;' &
nginx_pid=$!
wait_for_port "$nginx_port"

declare -A ports=([qorveltools]=$qv_port [nginx]=$nginx_port)
declare -A pids=([qorveltools]=$qv_pid [nginx]=$nginx_pid)
ticks_per_second=$(getconf CLK_TCK)
cases=("small-keepalive small.bin" "small-close small.bin close" "large-keepalive large.bin")
results="$work/results.txt"
: > "$results"
for round in $(seq 1 "$rounds"); do
  for entry in "${cases[@]}"; do
    read -r name file close <<<"$entry"
    header=()
    [ -n "${close:-}" ] && header=(-H 'Connection: close')
    for server in qorveltools nginx; do
      before=$(cpu_ticks "${pids[$server]}")
      out=$(wrk -t2 -c50 -d"${duration}s" "${header[@]}" "http://127.0.0.1:${ports[$server]}/$file")
      after=$(cpu_ticks "${pids[$server]}")
      requests=$(awk '/requests in/ {print $1}' <<<"$out")
      rate=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
      errors=$(awk '/Non-2xx|Socket errors/ {printf "%s ", $0}' <<<"$out")
      cpu=$(awk -v t=$((after - before)) -v hz="$ticks_per_second" -v n="$requests" \
        'BEGIN {printf "%.3f", (n > 0 ? t / hz * 1000 * 1000 / n : 0)}')
      echo "$round $name $server $rate $cpu $errors" | tee -a "$results"
    done
  done
done

echo
echo "Medians of $rounds rounds of ${duration} s (the machine may be loaded: compare within a run)"
printf "%-16s %-12s %12s %10s %22s\n" case server "requests/s" "x nginx" "CPU ms/1000 requests"
for entry in "${cases[@]}"; do
  read -r name _ <<<"$entry"
  nginx_rate=$(awk -v c="$name" '$2==c && $3=="nginx" {print $4}' "$results" | bench_median)
  for server in qorveltools nginx; do
    rate=$(awk -v c="$name" -v s=$server '$2==c && $3==s {print $4}' "$results" | bench_median)
    cpu=$(awk -v c="$name" -v s=$server '$2==c && $3==s {print $5}' "$results" | bench_median)
    printf "%-16s %-12s %12s %10s %22s\n" "$name" "$server" "$rate" \
      "$(awk -v q="$rate" -v n="$nginx_rate" 'BEGIN {printf "%.2f", q / n}')" "$cpu"
  done
done
echo "peak memory: qorveltools $(peak_kib "$qv_pid") KiB, nginx (master and workers) $(peak_kib "$nginx_pid") KiB"
