# Sourced by the scripts that time whole sends of the program: a Release build of tarvik, a
# work folder (removed at exit) that holds Tarvik's settings and drafts, and loopback servers.
# The caller is in the source folder with `set -euo pipefail`.

# Builds the program in Release into the folder $1 and sets tarvik to its path.
bench_build_tarvik() {
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=Release -DTARVIK_TESTS=OFF >/dev/null
  cmake --build "$1" -j2 --target tarvik >/dev/null
  tarvik=$PWD/$1/frontend/tarvik
}

# Makes the work folder and points Tarvik's settings and drafts into it. The server started by
# bench_start_server (its process in server_pid) ends with the script.
bench_work_folder() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-bench.XXXXXX")
  server_pid=""
  trap bench_cleanup EXIT
  export TARVIK_INI=$work/tarvik2.ini HOME=$work/home XDG_STATE_HOME=$work/state
  mkdir -p "$HOME"
}

bench_stop_server() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  server_pid=""
}

bench_cleanup() {
  bench_stop_server
  rm -rf "$work"
}

# A loopback port that was free a moment ago.
bench_free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# smtp-sink (postfix) on a free loopback port; sets port and server_pid once it listens.
bench_start_smtp_sink() {
  port=$(bench_free_port)
  local sink_user=()
  [ "$(id -u)" -eq 0 ] && sink_user=(-u nobody)
  smtp-sink "${sink_user[@]}" "127.0.0.1:$port" 100 &
  server_pid=$!
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.05
  done
}

# The main.cf lines every private Postfix of the benches shares, for its folder $1: loopback
# only, example.org taken, nothing delivered outside. The caller adds how example.org is handled.
bench_postfix_main_cf() {
  local pf=$1
  cat <<EOF
compatibility_level = 3.6
queue_directory = $pf/queue
data_directory = $pf/data
maillog_file = $pf/maillog
maillog_file_prefixes = $pf
mail_owner = postfix
setgid_group = postdrop
myhostname = mail.example.org
mydomain = example.org
myorigin = example.org
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = reject_unauth_destination
default_transport = error:outside delivery is off
relay_transport = error:outside delivery is off
smtpd_peername_lookup = no
smtp_dns_support_level = disabled
alias_maps =
alias_database =
local_recipient_maps =
virtual_mailbox_domains = example.org
EOF
}

# The master.cf services every private Postfix of the benches runs besides its smtpd listeners
# (which the caller writes, with any service of its own).
bench_postfix_master_cf() {
  cat <<EOF
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
proxymap unix - - n - - proxymap
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
EOF
}
