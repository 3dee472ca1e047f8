#!/usr/bin/env bash
# A message text of one long line without blanks (a Base64 blob pasted as text), sent with
# `tarvik -nogui -f:blob.txt -send` to smtp-sink (postfix) on loopback: the wall time for 1, 2,
# 4 and 20 MB and the time per MB. Linear work keeps the time per MB flat; work in the square
# of the line's length doubles it with every doubling of the size.
#
# Usage: bash bench/long_line.sh        (installs the benchmark tools, builds Release)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-bench-deps.sh >/dev/null
source bench/whole_send_common.sh
bench_build_tarvik build-bench
bench_work_folder
bench_start_smtp_sink

printf '%8s %10s %10s\n' "MB" "seconds" "s per MB"
for mb in 1 2 4 20; do
  # 3 bytes give 4 Base64 characters: mb MB of text, one line, no blank.
  head -c $((mb * 1024 * 1024 / 4 * 3)) /dev/urandom | base64 -w0 >"$work/blob.txt"
  start=$(date +%s.%N)
  "$tarvik" -nogui -from:ann@example.org bob@example.org -s:blob "-f:$work/blob.txt" \
    "-server:127.0.0.1:$port" -send -close
  end=$(date +%s.%N)
  awk -v mb="$mb" -v s="$start" -v e="$end" 'BEGIN { printf "%8d %10.3f %10.4f\n", mb, e - s, (e - s) / mb }'
done
