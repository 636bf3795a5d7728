#!/usr/bin/env bash
# Serves a 1 KB and a 1 MB file from the same folder with qorveltools testserver, nginx and
# python3 -m http.server on loopback ports, and measures each with wrk (50 connections,
# keep-alive off, DURATION seconds per run, ROUNDS rounds; medians printed at the end).
# Usage: bench_server.sh [path/to/qorveltools]   (needs wrk and nginx: scripts/setup_bench.sh)
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
binary=${1:-build/release/qorveltools}
duration=${DURATION:-10}
rounds=${ROUNDS:-3}
work=$(mktemp -d /tmp/qv_bench_server.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
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

# qorveltools testserver, under GNU time for its peak memory.
/usr/bin/time -v -o "$work/qv_time.txt" "$binary" testserver -localonly "$work/site" \
  > "$work/qv_out.txt" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do
  qv_port=$(grep -o 'localhost:[0-9]*' "$work/qv_out.txt" | cut -d: -f2 || true)
  [ -n "$qv_port" ] && break
  sleep 0.1
done
wait_for_port "$qv_port"

# nginx with its own configuration in the temporary folder.
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
pids+=($!)
wait_for_port "$nginx_port"

python_port=$(free_port)
python3 -m http.server "$python_port" --bind 127.0.0.1 --directory "$work/site" \
  > "$work/python.log" 2>&1 &
pids+=($!)
wait_for_port "$python_port"

declare -A ports=([qorveltools]=$qv_port [nginx]=$nginx_port [python]=$python_port)
results="$work/results.txt"
: > "$results"
for round in $(seq 1 "$rounds"); do
  for file in small.bin large.bin; do
    for server in qorveltools nginx python; do
      out=$(wrk -t2 -c50 -d"${duration}s" --latency -H 'Connection: close' \
        "http://127.0.0.1:${ports[$server]}/$file")
      rate=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
      median=$(awk '$1=="50%" {print $2}' <<<"$out")
      errors=$(awk '/Non-2xx|Socket errors/ {printf "%s ", $0}' <<<"$out")
      echo "$round $file $server $rate $median $errors" | tee -a "$results"
    done
  done
done

# Median requests/s and median latency per server and file, and the ratios to nginx and python.
to_ms() { awk '{v=$1; if (v ~ /us$/) {sub(/us$/,"",v); v/=1000} else if (v ~ /ms$/) {sub(/ms$/,"",v)} else if (v ~ /s$/) {sub(/s$/,"",v); v*=1000}; print v}'; }
median() { bench_median; }
echo
printf "%-10s %-12s %12s %14s\n" file server "requests/s" "p50 latency ms"
for file in small.bin large.bin; do
  for server in qorveltools nginx python; do
    rate=$(awk -v f=$file -v s=$server '$2==f && $3==s {print $4}' "$results" | median)
    lat=$(awk -v f=$file -v s=$server '$2==f && $3==s {print $5}' "$results" | to_ms | median)
    printf "%-10s %-12s %12s %14s\n" "$file" "$server" "$rate" "$lat"
    eval "rate_${server}_${file%.bin}=$rate; lat_${server}_${file%.bin}=$lat"
  done
  small=${file%.bin}
  awk -v q="$(eval echo \$rate_qorveltools_$small)" -v n="$(eval echo \$rate_nginx_$small)" \
      -v p="$(eval echo \$rate_python_$small)" -v lq="$(eval echo \$lat_qorveltools_$small)" \
      -v ln="$(eval echo \$lat_nginx_$small)" -v lp="$(eval echo \$lat_python_$small)" -v f=$file \
      'BEGIN {printf "%s: rate vs nginx %.2f, vs python %.1f; p50 latency vs nginx %.2f, vs python %.2f\n", f, q/n, q/p, lq/ln, lq/lp}'
done

# GNU time passes no SIGINT on, so the testserver itself (its child) is stopped.
kill -INT "$(pgrep -P "${pids[0]}")"
wait "${pids[0]}" || true
pids=("${pids[@]:1}")
echo "testserver peak memory: $(awk -F: '/Maximum resident/ {print $2}' "$work/qv_time.txt" | tr -d ' ') KiB"
