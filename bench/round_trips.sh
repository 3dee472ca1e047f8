#!/usr/bin/env bash
# Round trips over a slow link: each client sends one short message to 1, 100 and 1000
# recipients through bench/delay_relay.py, which holds every read 25 ms in each direction (a
# 50 ms round trip; the kernel here has no netem), into a private Postfix smtpd on loopback
# (PIPELINING announced; STARTTLS, and SASL PLAIN/LOGIN over TLS; implicit TLS on a second port;
# every message discarded once accepted). Sessions: plain EHLO (Tarvik with -ehlo), STARTTLS +
# AUTH PLAIN, implicit TLS + AUTH PLAIN. Clients side by side in the same run: Tarvik, msmtp,
# curl and swaks --pipeline. Each figure is the median wall time of RUNS runs (5; curl, which
# does not pipeline, has 1000-recipient sessions of a minute and gets CURL_BIG_RUNS=1 there),
# with the round trips the relay counted (the connection, the greeting, each burst of the
# client that the server answered).
#
# Then the CPU per STARTTLS + AUTH send (user + sys, the mean of 20 runs straight to Postfix on
# loopback, from wait4): Tarvik, Tarvik with the whole CA bundle file loaded (SSL_CERT_FILE, as
# OpenSSL's default paths do), and msmtp (GnuTLS, its default system trust: the bundle).
#
# Usage: bash bench/round_trips.sh    (as root: Postfix; installs the benchmark tools, builds
#                                      Release into build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-bench-deps.sh >/dev/null
source bench/whole_send_common.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTARVIK_TESTS=OFF \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build build-bench -j2 --target tarvik >/dev/null
tarvik=$PWD/build-bench/frontend/tarvik
RUNS=${RUNS:-5}
CURL_BIG_RUNS=${CURL_BIG_RUNS:-1}
CPU_RUNS=${CPU_RUNS:-20}
DELAY_MS=${DELAY_MS:-25}
bench_work_folder
password=Bench-Pw-4411
# Every client with its own default trust: some environments point OpenSSL at the bundle file.
unset SSL_CERT_FILE SSL_CERT_DIR

# --- certificates: a CA of the bench's own and a server certificate for 127.0.0.1 ---
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=bench-ca -keyout "$work/ca.key" \
  -out "$work/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout "$work/server.key" \
  -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$work/san.ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -CAcreateserial -days 2 -extfile "$work/san.ext" -out "$work/server.pem" 2>/dev/null
chmod 644 "$work/server.key"
# The other clients get the system's bundle with the bench CA added, as their default trust
# would be; Tarvik keeps its system store and adds the CA with its cafile setting.
trust=$work/bundle-and-ca.pem
cat /etc/ssl/certs/ca-certificates.crt "$work/ca.pem" >"$trust"

# --- the private Postfix: STARTTLS on one port, implicit TLS on another, SASL from sasldb ---
pf=$work/postfix
mkdir -p "$pf/conf/sasl" "$pf/queue" "$pf/data"
chmod 755 "$work" "$pf"
chown postfix:postfix "$pf/data"
port_starttls=$(bench_free_port)
port_implicit=$(bench_free_port)
{
  bench_postfix_main_cf "$pf"
  cat <<EOF
virtual_transport = discard:bench
smtpd_recipient_limit = 2000
smtpd_tls_cert_file = $work/server.pem
smtpd_tls_key_file = $work/server.key
smtpd_tls_security_level = may
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = cyrus
smtpd_sasl_path = smtpd
smtpd_sasl_local_domain = mail.example.org
smtpd_tls_auth_only = yes
EOF
} >"$pf/conf/main.cf"
{
  cat <<EOF
127.0.0.1:$port_starttls inet n - n - - smtpd
127.0.0.1:$port_implicit inet n - n - - smtpd -o smtpd_tls_wrappermode=yes
tlsmgr unix - - n 1000? 1 tlsmgr
EOF
  bench_postfix_master_cf
} >"$pf/conf/master.cf"
printf 'pwcheck_method: auxprop\nauxprop_plugin: sasldb\nmech_list: PLAIN LOGIN\nsasldb_path: %s\n' \
  "$pf/conf/sasl/sasldb2" >"$pf/conf/sasl/smtpd.conf"
printf '%s' "$password" | saslpasswd2 -p -c -f "$pf/conf/sasl/sasldb2" -u mail.example.org ann
chown postfix:postfix "$pf/conf/sasl/sasldb2"
/usr/sbin/postfix -c "$pf/conf" start >/dev/null 2>&1
relay_pids=()
finish() {
  for p in "${relay_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  /usr/sbin/postfix -c "$pf/conf" stop >/dev/null 2>&1 || true
  bench_cleanup
}
trap finish EXIT
for p in $port_starttls $port_implicit; do
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null && break
    sleep 0.05
  done
done

# --- the delaying relays, one per Postfix port ---
start_relay() {  # TARGET_PORT LOG -> prints the relay's port
  coproc RELAY { exec /usr/bin/python3 bench/delay_relay.py --target "$1" --delay-ms "$DELAY_MS" --log "$2"; }
  relay_pids+=("$RELAY_PID")
  local line
  read -r line <&"${RELAY[0]}"
  echo "${line#PORT }"
}
relay_log=$work/relay.log
relay_starttls=$(start_relay "$port_starttls" "$relay_log")
relay_implicit=$(start_relay "$port_implicit" "$relay_log")

# --- the clients ---
printf '[defaults]\ncafile=%s\npasswordcmd=echo %s\n' "$work/ca.pem" "$password" >"$TARVIK_INI"
printf 'From: ann@example.org\r\nTo: r1@example.org\r\nSubject: bench\r\n\r\nhello\r\n' >"$work/msg.eml"
recipients() {  # COUNT SEPARATOR
  local list="" i
  for i in $(seq "$1"); do list+="${list:+$2}r$i@example.org"; done
  printf '%s' "$list"
}
# CLIENT MODE COUNT: the command line, as an array in cmd.
command_for() {
  local client=$1 mode=$2 count=$3 port
  [ "$mode" = implicit ] && port=$relay_implicit || port=$relay_starttls
  local rest=()
  [ "$count" -gt 1 ] && IFS=, read -r -a rest <<<"$(recipients "$count" , | cut -d, -f2-)"
  case $client in
  tarvik)
    cmd=("$tarvik" -nogui -from:ann@example.org r1@example.org)
    [ "$count" -gt 1 ] && cmd+=("-bcc:$(recipients "$count" ";" | cut -d";" -f2-)")
    cmd+=(-s:bench -msg:hello "-server:127.0.0.1:$port" -send -close)
    case $mode in
    plain) cmd+=(-ehlo) ;;
    starttls) cmd+=(-tls:starttls -user:ann) ;;
    implicit) cmd+=(-tls:smtps -user:ann) ;;
    esac
    ;;
  msmtp)
    cmd=(msmtp --host=127.0.0.1 "--port=$port" --domain=localhost --from=ann@example.org)
    case $mode in
    plain) cmd+=(--tls=off --auth=off) ;;
    starttls) cmd+=(--tls=on --tls-starttls=on "--tls-trust-file=$trust" --auth=plain --user=ann "--passwordeval=echo $password") ;;
    implicit) cmd+=(--tls=on --tls-starttls=off "--tls-trust-file=$trust" --auth=plain --user=ann "--passwordeval=echo $password") ;;
    esac
    cmd+=(-- r1@example.org "${rest[@]}")
    ;;
  curl)
    local scheme=smtp
    [ "$mode" = implicit ] && scheme=smtps
    cmd=(curl -s -S "$scheme://127.0.0.1:$port/localhost" --mail-from ann@example.org --upload-file "$work/msg.eml")
    [ "$mode" != plain ] && cmd+=(--ssl-reqd --cacert "$trust" --user "ann:$password" --login-options AUTH=PLAIN)
    local r
    for r in r1@example.org "${rest[@]}"; do cmd+=(--mail-rcpt "$r"); done
    ;;
  swaks)
    cmd=(swaks --silent 2 --pipeline --server 127.0.0.1 --port "$port" --helo localhost --from ann@example.org
      --to "$(recipients "$count" ,)" --body hello)
    case $mode in
    starttls) cmd+=(--tls --tls-verify --tls-ca-path "$trust" --auth PLAIN --auth-user ann --auth-password "$password") ;;
    implicit) cmd+=(--tlsc --tls-verify --tls-ca-path "$trust" --auth PLAIN --auth-user ann --auth-password "$password") ;;
    esac
    ;;
  esac
}

# One run: prints "milliseconds round_trips"; fails when the client did.
run_once() {
  : >"$relay_log"
  local start end
  start=$(date +%s%N)
  if [ "$1" = msmtp ] || [ "$1" = swaks ]; then
    "${cmd[@]}" <"$work/msg.eml" >"$work/out" 2>&1 || { cat "$work/out" >&2; return 1; }
  else
    "${cmd[@]}" </dev/null >"$work/out" 2>&1 || { cat "$work/out" >&2; return 1; }
  fi
  end=$(date +%s%N)
  for _ in $(seq 100); do [ -s "$relay_log" ] && break; sleep 0.02; done
  echo "$(((end - start) / 1000000)) $(awk '{print $2}' "$relay_log")"
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : int((a[NR/2]+a[NR/2+1])/2)}'; }

echo "== wall time over a ${DELAY_MS} ms each-way link (median of $RUNS runs; round trips counted by the relay)"
printf '%-34s %-16s %-16s %-16s %-16s\n' session tarvik msmtp curl "swaks --pipeline"
for mode in plain starttls implicit; do
  for count in 1 100 1000; do
    row=()
    for client in tarvik msmtp curl swaks; do
      command_for "$client" "$mode" "$count"
      runs=$RUNS
      [ "$client" = curl ] && [ "$count" -ge 1000 ] && runs=$CURL_BIG_RUNS
      : >"$work/times"
      rts=""
      for _ in $(seq "$runs"); do
        read -r ms rt < <(run_once "$client") || { row+=("failed"); continue 2; }
        echo "$ms" >>"$work/times"
        rts=$rt
      done
      row+=("$(median <"$work/times") ms, $rts")
    done
    case $mode in plain) label="plain EHLO" ;; starttls) label="STARTTLS + AUTH" ;; implicit) label="implicit TLS + AUTH" ;; esac
    printf '%-34s %-16s %-16s %-16s %-16s\n' "$count rcpt, $label" "${row[@]}"
  done
done

echo
echo "== CPU per STARTTLS + AUTH send, straight to Postfix (user + sys, mean of $CPU_RUNS runs)"
cpu_per_send() { CPU_STDIN=$work/msg.eml /usr/bin/python3 bench/cpu_per_run.py "$CPU_RUNS" "${cmd[@]}"; }
relay_starttls=$port_starttls
command_for tarvik starttls 1
t_tarvik=$(cpu_per_send)
t_bundle=$(SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt cpu_per_send)
command_for msmtp starttls 1
t_msmtp=$(cpu_per_send)
printf '%-50s %6s ms per send\n' "tarvik (hashed certificate folder)" "$t_tarvik" \
  "tarvik, whole CA bundle file (SSL_CERT_FILE)" "$t_bundle" \
  "msmtp (GnuTLS), system bundle + the bench CA" "$t_msmtp"
echo "load: $(uptime)"
