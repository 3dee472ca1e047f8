#!/usr/bin/env bash
# What asking for the password only when AUTH needs it costs a script that sends without a
# login: a one-line -nogui send against smtp-sink with the program of commit BEFORE and with
# this tree, Release builds, timed in the same run: median wall time of 10 runs (hyperfine,
# 2 warm-ups) and median peak memory (GNU time), with the ratios after/before. The keyring
# helper is a program of its own, started only when a password is looked for, so neither
# libsecret nor GLib is mapped by such a send.
# Then what the password costs a send with a login (this tree, aiosmtpd over STARTTLS): the
# password from a netrc file, from a passwordcmd (a child of the loop), and from the keyring
# (the helper tarvik-keyring asking a private gnome-keyring-daemon), median of 10 runs each.
#
# Usage: bash bench/password_cost.sh [BEFORE]
#   BEFORE: the program to compare with; default 2dcc0b0^, the last one that read the password
#   before connecting, from the settings or netrc alone.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=10
before=${1:-2dcc0b0^}
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

build() {  # build SOURCE FOLDER
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DTARVIK_TESTS=OFF \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
  nice cmake --build "$2" -j2 --target tarvik "${@:3}" >/dev/null
}
build . build-bench tarvik_keyring
rm -rf build-bench-before-src
mkdir -p build-bench-before-src
git archive "$before" | tar -x -C build-bench-before-src
build build-bench-before-src build-bench-before

source bench/before_after.sh
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sink_user=()
[ "$(id -u)" -eq 0 ] && sink_user=(-u nobody)
smtp-sink "${sink_user[@]}" "127.0.0.1:$port" 100 &
pids+=($!)
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done
export TARVIK_INI=$work/tarvik2.ini HOME=$work XDG_STATE_HOME=$work/state
unset DISPLAY WAYLAND_DISPLAY
compare_one_line_send "One-line -nogui send without a login"

# ---- a send with a login: where the password comes from
mkdir -p "$work/in" "$work/home"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 1 \
  -subj /CN=localhost -addext subjectAltName=DNS:localhost 2>/dev/null
/usr/bin/python3 tests/peers/smtp_server.py --dir "$work/in" --tls-cert "$work/cert.pem" \
  --tls-key "$work/key.pem" --starttls --auth-user ann --auth-password bench-pw >"$work/server.out" \
  2>/dev/null &
pids+=($!)
for _ in $(seq 100); do grep -q PORT "$work/server.out" && break; sleep 0.1; done
auth_port=$(awk '/PORT/ {print $2}' "$work/server.out")
printf 'machine localhost login ann password bench-pw\n' >"$work/netrc"
chmod 600 "$work/netrc"
ini() { printf '[defaults]\ntls=starttls\nuser=ann\ncafile=%s\n%s\n' "$work/cert.pem" "$2" >"$work/$1.ini"; }
ini netrc ""
ini command "passwordcmd=echo bench-pw"
ini keyring ""
login_send() {
  echo "env TARVIK_INI=$work/$1.ini NETRC=$work/${2:-none} $root/build-bench/frontend/tarvik -nogui -send -close -server:localhost:$auth_port -from:ann@example.org -s:one_line -msg:Hello bob@example.org"
}
# The keyring: a private session bus with gnome-keyring-daemon, the password stored in it.
keyring_env=()
if command -v dbus-daemon >/dev/null && command -v gnome-keyring-daemon >/dev/null; then
  mkdir -p "$work/home/data"
  bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=3 3>"$work/bus.pid")
  pids+=("$(cat "$work/bus.pid")")
  keyring_env=("DBUS_SESSION_BUS_ADDRESS=$bus" "HOME=$work/home" "XDG_DATA_HOME=$work/home/data")
  env "${keyring_env[@]}" sh -c 'echo keyring-password | exec gnome-keyring-daemon --unlock \
    --components=secrets --foreground' >"$work/keyring.out" 2>/dev/null &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/keyring.out" ] && break; sleep 0.1; done
  printf bench-pw | env "${keyring_env[@]}" secret-tool store --label=bench service smtp \
    host localhost user ann
fi
runs_with_login=(-n netrc "$(login_send netrc netrc)" -n passwordcmd "$(login_send command)")
if [ ${#keyring_env[@]} -gt 0 ]; then
  runs_with_login+=(-n keyring "$(login_send keyring | sed "s|^env |env ${keyring_env[*]} |")")
fi
hyperfine -N --warmup 2 --runs $runs --export-json "$work/login.json" "${runs_with_login[@]}" >/dev/null
/usr/bin/python3 - "$work/login.json" <<'PY'
import json, sys
r = {x["command"]: x["median"] * 1e3 for x in json.load(open(sys.argv[1]))["results"]}
print("Send with a login over STARTTLS (aiosmtpd, Release, medians):")
for name, ms in r.items():
    print("  %-12s %7.2f ms  (+%.2f ms over netrc)" % (name, ms, ms - r["netrc"]))
PY
