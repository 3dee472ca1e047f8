#!/usr/bin/env bash
# Retry pacing: how many times `tarvik -nogui -doretry` tries to send within 20 seconds against
# a closed port and against a server that greylists (450 to every RCPT TO), and how many tries
# a permanent refusal (550 to RCPT TO) gets. Each failed try that is retried prints one
# "Try N failed" line on standard error; the run is ended with SIGTERM after 20 seconds.
#
# Usage: bash bench/retry_pacing.sh [seconds]     (builds Release; the test server is aiosmtpd)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
source bench/whole_send_common.sh
bench_build_tarvik build-bench
bench_work_folder

# A test server refusing every RCPT TO with the given code; sets port and server_pid.
start_server() {
  bench_stop_server
  rm -f "$work/server.out"
  mkfifo "$work/server.out"
  /usr/bin/python3 tests/peers/smtp_server.py --dir "$work/mail" --fail-first 1000000 \
    --fail-at rcpt --fail-code "$1" <&- >"$work/server.out" &
  server_pid=$!
  exec 3<"$work/server.out"
  read -r -t 20 _ port <&3
}

# Runs tarvik against 127.0.0.1:$1 for at most $seconds seconds; prints tries and exit code.
measure() {
  local start end status=0
  start=$(date +%s.%N)
  timeout -s TERM "$seconds" "$tarvik" -nogui -from:ann@example.org bob@example.org -msg:hello \
    "-server:127.0.0.1:$1" -doretry -send 2>"$work/err" || status=$?
  end=$(date +%s.%N)
  local failed
  failed=$(grep -c '^Tarvik v2.0: Try [0-9]* failed' "$work/err" || true)
  # A run that ended by itself (no SIGTERM) made one more try than it retried.
  local tries=$failed
  grep -q 'Stopped by SIGTERM' "$work/err" || tries=$((failed + 1))
  awk -v t="$tries" -v s="$start" -v e="$end" -v c="$status" \
    'BEGIN { printf "%6d tries in %6.1f s, exit code %d\n", t, e - s, c }'
}

closed=$(bench_free_port)
printf '%-34s' "closed port:"; measure "$closed"
start_server 450
printf '%-34s' "greylisting (450 at RCPT TO):"; measure "$port"
start_server 550
printf '%-34s' "permanent refusal (550 at RCPT TO):"; measure "$port"
