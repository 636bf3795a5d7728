# shellcheck shell=bash
# Timing helpers shared by the benchmark scripts; source it: . "$(dirname "$0")/../lib.sh"
# Needs date, bc, awk and /usr/bin/time.

# bench_median: the median of the numbers on standard input, one a line (the lower middle one
# for an even count).
bench_median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

# bench_median_line: the middle line of standard input by the number in its first field.
bench_median_line() {
  local lines
  lines=$(sort -g)
  sed -n "$((($(wc -l <<<"$lines") + 1) / 2))p" <<<"$lines"
}

# bench_ratio A B: A / B with three decimals.
bench_ratio() { echo "scale=3; $1 / $2" | bc; }

# bench_once COMMAND...: runs the command once, its standard output discarded, and prints
# "cpu_seconds wall_seconds peak_kB" (CPU = user + system, which a busy machine disturbs less
# than wall time; the peak resident memory from /usr/bin/time).
bench_once() {
  local usage start end status=0
  usage=$(mktemp)
  start=$(date +%s%N)
  /usr/bin/time -f '%U %S %M' -o "$usage" "$@" >/dev/null || status=$?
  end=$(date +%s%N)
  tail -n 1 "$usage" | awk -v ns=$((end - start)) '{printf "%.2f %.6f %s\n", $1 + $2, ns / 1e9, $3}'
  rm -f "$usage"
  return "$status"
}

# bench_record FOLDER NAME COMMAND...: one bench_once run appended to FOLDER/NAME.t (wall
# seconds), FOLDER/NAME.c (CPU seconds) and FOLDER/NAME.m (peak kB).
bench_record() {
  local folder=$1 name=$2 line cpu wall peak
  shift 2
  line=$(bench_once "$@")
  read -r cpu wall peak <<<"$line"
  echo "$wall" >>"$folder/$name.t"
  echo "$cpu" >>"$folder/$name.c"
  echo "$peak" >>"$folder/$name.m"
}
