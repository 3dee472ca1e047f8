#!/usr/bin/env bash
# Whole sends into a real Postfix: `tarvik -nogui -send -close` against a private Postfix on
# loopback (its own configuration, queue and Maildir in a temporary folder, as the tests'
# tests/peers/postfix_server.h sets it up, with strict_8bitmime = yes and
# reject_non_fqdn_helo_hostname), side by side with swaks for the plain message (greeting with
# the same address literal, since Postfix refuses swaks' default, the bare host name). For each
# case: the median wall time of 10 runs (hyperfine, after 2 warm-up runs), and at the end how
# many messages Postfix delivered.
#
# Cases: a one-line ASCII message (7bit, as it always went out); a message beyond ASCII (encoded
# subject and display name, a 2,000-character line and a 5,000-character line without blanks,
# so the text goes quoted-printable); a 1 MB text of one line (quoted-printable throughout).
#
# Usage: bash bench/postfix_send.sh        (as root; installs the benchmark tools, builds Release)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-bench-deps.sh >/dev/null
source bench/whole_send_common.sh
bench_build_tarvik build-bench
runs=10
bench_work_folder

# The private Postfix: only example.org is taken, delivered into one Maildir; nothing leaves.
pf=$work/postfix
mkdir -p "$pf/conf" "$pf/queue" "$pf/data" "$pf/mail"
chmod 755 "$work" "$pf"
chown postfix:postfix "$pf/data" "$pf/mail"
port=$(bench_free_port)
{
  bench_postfix_main_cf "$pf"
  cat <<EOF
virtual_mailbox_base = $pf/mail
virtual_mailbox_maps = static:box/
virtual_uid_maps = static:$(id -u postfix)
virtual_gid_maps = static:$(id -g postfix)
smtpd_helo_required = yes
smtpd_helo_restrictions = reject_non_fqdn_helo_hostname
strict_8bitmime = yes
EOF
} >"$pf/conf/main.cf"
{
  cat <<EOF
127.0.0.1:$port inet n - n - - smtpd
virtual unix - n n - - virtual
EOF
  bench_postfix_master_cf
} >"$pf/conf/master.cf"
/usr/sbin/postfix -c "$pf/conf" start >/dev/null 2>&1
stop_postfix() { /usr/sbin/postfix -c "$pf/conf" stop >/dev/null 2>&1 || true; }
trap 'stop_postfix; bench_cleanup' EXIT
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done

{
  printf 'Hallo Jöhn,\n'
  for _ in $(seq 400); do printf 'wörd '; done
  printf '\n'
  head -c 5000 /dev/zero | tr '\0' x
  printf '\nÅnn\n'
} >"$work/beyond-ascii.txt"
head -c $((768 * 1024)) /dev/urandom | base64 -w0 >"$work/one-line.txt"

server=127.0.0.1:$port
from=ann@example.org
to=bob@example.org
declare -A cases=(
  [tarvik-plain]="$tarvik -nogui -from:$from $to -s:bench -msg:hello -server:$server -send -close"
  [swaks-plain]="swaks --silent 2 --helo '[127.0.0.1]' --server 127.0.0.1 --port $port --from $from --to $to --body hello"
  [tarvik-beyond-ascii]="$tarvik -nogui '-from:Ånn Müller <$from>' $to -s:Grüße '-f:$work/beyond-ascii.txt' -server:$server -send -close"
  [tarvik-1MB-line]="$tarvik -nogui -from:$from $to -s:blob '-f:$work/one-line.txt' -server:$server -send -close"
)
order=(tarvik-plain swaks-plain tarvik-beyond-ascii tarvik-1MB-line)
hf=()
for c in "${order[@]}"; do hf+=(-n "$c" "${cases[$c]}"); done
hyperfine --runs "$runs" --warmup 2 --export-json "$work/pf.json" --style none "${hf[@]}" \
  >/dev/null 2>&1 || { echo "a send failed; Postfix log:" >&2; cat "$pf/maillog" >&2; exit 1; }

echo "== sends into Postfix (median of $runs runs)"
/usr/bin/python3 - "$work/pf.json" <<'EOF'
import json, sys
for r in json.load(open(sys.argv[1]))["results"]:
    print("%-22s %10.2f ms" % (r["command"], r["median"] * 1000))
EOF
expected=$(((runs + 2) * ${#order[@]}))
for _ in $(seq 200); do
  [ "$(ls "$pf/mail/box/new" | wc -l)" -ge "$expected" ] && break
  sleep 0.1
done
echo "delivered: $(ls "$pf/mail/box/new" | wc -l) of $expected; refused in the log: $(grep -c ' reject: ' "$pf/maillog" || true)"
