#!/usr/bin/env bash
# One message with a 20 MB random attachment, sent to smtp-sink (postfix) on loopback by
#   tarvik  the program itself: tarvik -nogui ... -send -close
#   ours    bench_smtp_send: TSmtpCli alone, Base64 lines gathered into full sends
#   curl    smtp:// with -F MIME parts (the file Base64-encoded by curl)
#   lines   bench_smtp_lines_plain: a blocking loop sending as many 62-byte lines, one send()
#           each (the least any line-by-line client must do)
#   batch   the same lines handed to the kernel 62 KB at a time (the least any client must do)
# and over implicit TLS, through stunnel4 in front of the same smtp-sink:
#   tarvik-tls  tarvik -nogui ... -tls:smtps (setting cafile for the relay's certificate)
#   ours-tls    bench_smtp_send --smtps (the socket's TLS layer), with its average record size
#   curl-tls    smtps://
# RUNS runs each (default 5), interleaved; prints the median wall time, the median CPU time
# (user + system, steadier than wall time on a busy machine) and the median peak resident set
# of each, and the ratios.
#
#   bench/smtp_attachment.sh [BUILD_DIR]     (default: build-smtp-bench, configured with
#                                             -DCMAKE_BUILD_TYPE=Release -DTARVIK_BENCH=ON)
# With BEFORE=path/to/bench_smtp_send (built from an earlier revision) that program's plain send
# is measured in the same run as "before".
# Needs scripts/install-bench-deps.sh (postfix for smtp-sink, curl, GNU time, stunnel4).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-smtp-bench}
runs=${RUNS:-5}
size=$((20 * 1024 * 1024))

if [ ! -x "$build/bench/bench_smtp_send" ] || [ ! -x "$build/bench/bench_smtp_lines_plain" ] ||
  [ ! -x "$build/frontend/tarvik" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVIK_BENCH=ON -DTARVIK_TESTS=OFF >/dev/null
  cmake --build "$build" --target bench_smtp_send bench_smtp_lines_plain tarvik -j2 >/dev/null
fi
for tool in /usr/sbin/smtp-sink /usr/bin/curl /usr/bin/time /usr/bin/stunnel4 /usr/bin/openssl; do
  [ -x "$tool" ] || { echo "missing $tool: run scripts/install-bench-deps.sh" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do { kill "$pid" && wait "$pid"; } 2>/dev/null || true; done
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT

head -c "$size" /dev/urandom >"$work/attachment.bin"
lines=$(((size + 44) / 45))

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_port() {
  for _ in $(seq 50); do
    /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $1)).close()" 2>/dev/null && return
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  exit 1
}

port=$(free_port)
user_opt=()
[ "$(id -u)" -eq 0 ] && user_opt=(-u nobody)
/usr/sbin/smtp-sink "${user_opt[@]}" "127.0.0.1:$port" 64 &
pids+=($!)
wait_port "$port"

# stunnel4 terminates TLS in front of smtp-sink, with a certificate for 127.0.0.1.
/usr/bin/openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
  -keyout "$work/key.pem" -out "$work/cert.pem" -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1,DNS:localhost 2>/dev/null
tls_port=$(free_port)
cat >"$work/stunnel.conf" <<EOF
foreground = yes
pid =
output = $work/stunnel.log
[smtps]
accept = 127.0.0.1:$tls_port
connect = 127.0.0.1:$port
cert = $work/cert.pem
key = $work/key.pem
EOF
/usr/bin/stunnel4 "$work/stunnel.conf" 2>>"$work/stunnel.log" &
pids+=($!)
wait_port "$tls_port"

# The program's settings and drafts stay in the work folder; cafile trusts the relay. Each run
# names its tls mode, since the program keeps the last one in its settings.
export TARVIK_INI=$work/tarvik2.ini HOME=$work/home XDG_STATE_HOME=$work/state
mkdir -p "$HOME"
printf '[defaults]\ncafile=%s\n' "$work/cert.pem" >"$TARVIK_INI"
tarvik=("$build/frontend/tarvik" -nogui -from:bench@tarvik.example sink@tarvik.example
  -s:attachment_benchmark -msg:The_attachment_follows. "$work/attachment.bin"
  "-server:127.0.0.1:$port" -tls:off -send -close)
tarvik_tls=("$build/frontend/tarvik" -nogui -from:bench@tarvik.example sink@tarvik.example
  -s:attachment_benchmark -msg:The_attachment_follows. "$work/attachment.bin"
  "-server:127.0.0.1:$tls_port" -tls:smtps -send -close)
ours=("$build/bench/bench_smtp_send" 127.0.0.1 "$port" "$work/attachment.bin")
curl_cmd=(/usr/bin/curl -sS "smtp://127.0.0.1:$port" --mail-from bench@tarvik.example
  --mail-rcpt sink@tarvik.example -H "Subject: attachment benchmark"
  -F "=The attachment follows." -F "file=@$work/attachment.bin;encoder=base64")
per_line=("$build/bench/bench_smtp_lines_plain" 127.0.0.1 "$port" "$lines")
batch=("$build/bench/bench_smtp_lines_plain" 127.0.0.1 "$port" "$lines" batch)
ours_tls=("$build/bench/bench_smtp_send" 127.0.0.1 "$tls_port" "$work/attachment.bin"
  --smtps "$work/cert.pem")
curl_tls=(/usr/bin/curl -sS "smtps://127.0.0.1:$tls_port" --cacert "$work/cert.pem"
  --mail-from bench@tarvik.example --mail-rcpt sink@tarvik.example
  -H "Subject: attachment benchmark" -F "=The attachment follows."
  -F "file=@$work/attachment.bin;encoder=base64")

measure() {  # name, command...: appends "wall_s peak_kib cpu_s" to $work/<name>
  local name=$1
  shift
  /usr/bin/time -f "%e %M %U %S" -o "$work/time.out" "$@" >/dev/null 2>"$work/stderr.out" ||
    { echo "$name failed:" >&2; tail -5 "$work/stderr.out" >&2; exit 1; }
  awk '{printf "%s %s %.2f\n", $1, $2, $3 + $4}' "$work/time.out" >>"$work/$name"
  cat "$work/stderr.out" >>"$work/$name.stderr"
}
programs=(tarvik ours curl lines batch tarvik-tls ours-tls curl-tls)
[ -n "${BEFORE:-}" ] && programs+=(before)
for _ in $(seq "$runs"); do
  [ -n "${BEFORE:-}" ] && measure before "$BEFORE" 127.0.0.1 "$port" "$work/attachment.bin"
  measure tarvik "${tarvik[@]}"
  measure tarvik-tls "${tarvik_tls[@]}"
  measure ours "${ours[@]}"
  measure curl "${curl_cmd[@]}"
  measure lines "${per_line[@]}"
  measure batch "${batch[@]}"
  measure ours-tls "${ours_tls[@]}"
  measure curl-tls "${curl_tls[@]}"
done

median() {  # file, column
  sort -g -k"$2" "$1" | awk -v c="$2" '{v[NR]=$c} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'
}
printf "20 MB attachment (%d Base64 lines of 62 bytes), %d runs each, medians\n" "$lines" "$runs"
printf "%-10s %10s %10s %12s\n" program wall_s cpu_s peak_KiB
for n in "${programs[@]}"; do
  printf "%-10s %10s %10s %12s\n" "$n" "$(median "$work/$n" 1)" "$(median "$work/$n" 3)" \
    "$(median "$work/$n" 2)"
done
ratio() {  # label, a, b
  awk -v l="$1" -v a="$(median "$work/$2" 1)" -v b="$(median "$work/$3" 1)" \
    -v ac="$(median "$work/$2" 3)" -v bc="$(median "$work/$3" 3)" \
    'BEGIN { printf "%-20s wall %.2f  cpu %.2f\n", l, a / b, ac / bc }'
}
ratio "tarvik/curl" tarvik curl
ratio "tarvik/lines" tarvik lines
ratio "tarvik/batch" tarvik batch
ratio "ours/lines" ours lines
ratio "ours/batch" ours batch
ratio "tarvik-tls/curl-tls" tarvik-tls curl-tls
ratio "ours-tls/curl-tls" ours-tls curl-tls
[ -n "${BEFORE:-}" ] && ratio "ours/before" ours before
grep -o 'average [0-9]* bytes per record' "$work/ours-tls.stderr" | awk '{print $2}' |
  sort -g | awk '{v[NR]=$1} END {printf "ours-tls average TLS record: %s bytes of text (median)\n",
  (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'
