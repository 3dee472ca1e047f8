#!/usr/bin/env bash
# One message with a 20 MB random attachment, sent to smtp-sink (postfix) on loopback by
#   ours   bench_smtp_send: TSmtpCli, Base64 lines, one line in flight
#   curl   smtp:// with -F MIME parts (the file Base64-encoded by curl)
#   plain  bench_smtp_lines_plain: a blocking loop sending as many 62-byte lines, one send()
#          each (the least any line-by-line client must do)
# RUNS runs each (default 5), interleaved; prints the median wall time, the median CPU time
# (user + system, steadier than wall time on a busy machine) and the median peak resident set
# of each, and the ratios.
#
#   bench/smtp_attachment.sh [BUILD_DIR]     (default: build-smtp-bench, configured with
#                                             -DCMAKE_BUILD_TYPE=Release -DTARVIK_BENCH=ON)
# Needs scripts/install-bench-deps.sh (postfix for smtp-sink, curl, GNU time).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-smtp-bench}
runs=${RUNS:-5}
size=$((20 * 1024 * 1024))

if [ ! -x "$build/bench/bench_smtp_send" ] || [ ! -x "$build/bench/bench_smtp_lines_plain" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVIK_BENCH=ON -DTARVIK_TESTS=OFF >/dev/null
  cmake --build "$build" --target bench_smtp_send bench_smtp_lines_plain -j2 >/dev/null
fi
for tool in /usr/sbin/smtp-sink /usr/bin/curl /usr/bin/time; do
  [ -x "$tool" ] || { echo "missing $tool: run scripts/install-bench-deps.sh" >&2; exit 1; }
done

work=$(mktemp -d)
sink_pid=""
cleanup() {
  [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null && wait "$sink_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

head -c "$size" /dev/urandom >"$work/attachment.bin"
lines=$(((size + 44) / 45))

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user_opt=()
[ "$(id -u)" -eq 0 ] && user_opt=(-u nobody)
/usr/sbin/smtp-sink "${user_opt[@]}" "127.0.0.1:$port" 64 &
sink_pid=$!
for _ in $(seq 50); do
  /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $port)).close()" 2>/dev/null && break
  sleep 0.1
done

ours=("$build/bench/bench_smtp_send" 127.0.0.1 "$port" "$work/attachment.bin")
curl_cmd=(/usr/bin/curl -sS "smtp://127.0.0.1:$port" --mail-from bench@tarvik.example
  --mail-rcpt sink@tarvik.example -H "Subject: attachment benchmark"
  -F "=The attachment follows." -F "file=@$work/attachment.bin;encoder=base64")
plain=("$build/bench/bench_smtp_lines_plain" 127.0.0.1 "$port" "$lines")

measure() {  # name, command...: appends "wall_s peak_kib cpu_s" to $work/<name>
  local name=$1
  shift
  /usr/bin/time -f "%e %M %U %S" -o "$work/time.out" "$@" >/dev/null 2>>"$work/stderr.log" ||
    { echo "$name failed:" >&2; tail -5 "$work/stderr.log" >&2; exit 1; }
  awk '{printf "%s %s %.2f\n", $1, $2, $3 + $4}' "$work/time.out" >>"$work/$name"
}
for _ in $(seq "$runs"); do
  measure ours "${ours[@]}"
  measure curl "${curl_cmd[@]}"
  measure plain "${plain[@]}"
done

median() {  # file, column
  sort -g -k"$2" "$1" | awk -v c="$2" '{v[NR]=$c} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'
}
printf "20 MB attachment (%d Base64 lines of 62 bytes), %d runs each, medians\n" "$lines" "$runs"
printf "%-8s %10s %10s %12s\n" program wall_s cpu_s peak_KiB
for n in ours curl plain; do
  printf "%-8s %10s %10s %12s\n" "$n" "$(median "$work/$n" 1)" "$(median "$work/$n" 3)" \
    "$(median "$work/$n" 2)"
done
awk -v o="$(median "$work/ours" 1)" -v c="$(median "$work/curl" 1)" -v p="$(median "$work/plain" 1)" \
  -v oc="$(median "$work/ours" 3)" -v cc="$(median "$work/curl" 3)" -v pc="$(median "$work/plain" 3)" \
  'BEGIN { printf "ours/curl  wall %.2f  cpu %.2f\nours/plain wall %.2f  cpu %.2f\n",
           o / c, oc / cc, o / p, oc / pc }'
