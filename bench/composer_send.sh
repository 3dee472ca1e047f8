#!/usr/bin/env bash
# Whole sends timed end to end: `tarvik -nogui -send -close` against smtp-sink (postfix) on
# loopback, side by side with curl, msmtp and swaks in the same run. For each program: the
# median wall time of 10 runs (hyperfine, after 2 warm-up runs) and the median peak resident
# memory of 10 runs (GNU time), then Tarvik's ratio to each of them.
#
# Two cases: a one-line message, and a message with a 20 MB attachment (Tarvik, swaks and curl
# encode the file themselves; msmtp is given the message already MIME-encoded, since it only
# transports what it is handed).
#
# Usage: bash bench/composer_send.sh        (installs the benchmark tools, builds Release)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-bench-deps.sh >/dev/null
source bench/whole_send_common.sh
bench_build_tarvik build-bench
runs=10
bench_work_folder
bench_start_smtp_sink

from=ann@example.org
to=bob@example.org
printf 'From: %s\r\nTo: %s\r\nSubject: bench\r\n\r\nhello\r\n' "$from" "$to" >"$work/one-line.eml"
head -c $((20 * 1024 * 1024)) /dev/urandom >"$work/big.bin"
/usr/bin/python3 - "$work/big.bin" "$work/big.eml" "$from" "$to" <<'EOF'
import sys
from email.message import EmailMessage
msg = EmailMessage()
msg["From"], msg["To"], msg["Subject"] = sys.argv[3], sys.argv[4], "bench"
msg.set_content("hello")
with open(sys.argv[1], "rb") as f:
    msg.add_attachment(f.read(), maintype="application", subtype="octet-stream",
                       filename="big.bin")
with open(sys.argv[2], "wb") as f:
    f.write(msg.as_bytes(policy=msg.policy.clone(linesep="\r\n")))
EOF

server=127.0.0.1:$port
declare -A one big
one[tarvik]="$tarvik -nogui -from:$from $to -s:bench -msg:hello -server:$server -send -close"
one[curl]="curl -s smtp://$server --mail-from $from --mail-rcpt $to -T $work/one-line.eml"
one[msmtp]="msmtp -C /dev/null --host=127.0.0.1 --port=$port --auth=off --tls=off --from=$from $to"
one[swaks]="swaks --silent 2 --server 127.0.0.1 --port $port --from $from --to $to --body hello"
big[tarvik]="$tarvik -nogui -from:$from $to -s:bench -msg:hello $work/big.bin -server:$server -send -close"
big[curl]="curl -s smtp://$server --mail-from $from --mail-rcpt $to -H 'Subject: bench' -F '=hello;type=text/plain' -F '=@$work/big.bin;encoder=base64'"
big[msmtp]="msmtp -C /dev/null --host=127.0.0.1 --port=$port --auth=off --tls=off --from=$from $to"
big[swaks]="swaks --silent 2 --server 127.0.0.1 --port $port --from $from --to $to --body hello --attach @$work/big.bin"
programs=(tarvik curl msmtp swaks)

# Median of numbers on standard input.
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2)}'; }

# peak_kb "command" input-file: median peak resident set (KiB) of $runs runs.
peak_kb() {
  for _ in $(seq "$runs"); do
    /usr/bin/time -f %M -o "$work/time.out" sh -c "exec $1" <"$2" >/dev/null 2>&1 || { echo "FAILED: $1" >&2; exit 1; }
    cat "$work/time.out"
  done | median
}

run_case() {
  local -n cmds=$1
  local title=$2 input=$3
  local hf=() p
  for p in "${programs[@]}"; do hf+=(-n "$p" "${cmds[$p]} < $input"); done
  hyperfine --runs "$runs" --warmup 2 --export-json "$work/$1.json" --style none \
    "${hf[@]}" >/dev/null 2>&1 || { echo "a program failed in case $title" >&2; exit 1; }
  declare -A wall mem
  for p in "${programs[@]}"; do
    wall[$p]=$(/usr/bin/python3 -c 'import json,sys; r={x["command"]:x for x in json.load(open(sys.argv[1]))["results"]}; print("%.2f" % (r[sys.argv[2]]["median"]*1000))' "$work/$1.json" "$p")
    mem[$p]=$(peak_kb "${cmds[$p]}" "$input")
  done
  echo
  echo "== $title (median of $runs runs)"
  printf '%-8s %12s %14s %16s %16s\n' program "wall ms" "peak RSS KiB" "tarvik/x wall" "tarvik/x RSS"
  for p in "${programs[@]}"; do
    printf '%-8s %12s %14s %16s %16s\n' "$p" "${wall[$p]}" "${mem[$p]}" \
      "$(awk -v a="${wall[tarvik]}" -v b="${wall[$p]}" 'BEGIN{printf "%.2f", a/b}')" \
      "$(awk -v a="${mem[tarvik]}" -v b="${mem[$p]}" 'BEGIN{printf "%.2f", a/b}')"
  done
}

run_case one "one-line message" "$work/one-line.eml"
run_case big "20 MB attachment" "$work/big.eml"
