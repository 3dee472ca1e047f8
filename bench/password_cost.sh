#!/usr/bin/env bash
# What asking for the password only when AUTH needs it costs a script that sends without a
# login: a one-line -nogui send against smtp-sink with the program of commit BEFORE and with
# this tree, Release builds, timed in the same run: median wall time of 10 runs (hyperfine,
# 2 warm-ups) and median peak memory (GNU time), with the ratios after/before. The keyring
# helper is a program of its own, started only when a password is looked for, so neither
# libsecret nor GLib is mapped by such a send.
#
# Usage: bash bench/password_cost.sh [BEFORE]   (default: where HEAD's branch left main)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=10
before=${1:-$(git merge-base HEAD main)}
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

build() {  # build SOURCE FOLDER
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DTARVIK_TESTS=OFF >/dev/null
  cmake --build "$2" -j2 --target tarvik >/dev/null
}
build . build-bench
rm -rf build-bench-before-src
mkdir -p build-bench-before-src
git archive "$before" | tar -x -C build-bench-before-src
build build-bench-before-src build-bench-before

median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
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
send() { echo "$1 -nogui -send -close -server:127.0.0.1:$port -from:ann@example.org -s:one_line -msg:Hello bob@example.org"; }
hyperfine -N --warmup 2 --runs $runs --export-json "$work/times.json" \
  -n before "$(send "$root/build-bench-before/frontend/tarvik")" \
  -n after "$(send "$root/build-bench/frontend/tarvik")" >/dev/null
peak() {
  for _ in $(seq $runs); do
    # shellcheck disable=SC2046
    /usr/bin/time -f %M $(send "$1") 2>&1 >/dev/null | tail -1
  done | median
}
before_kb=$(peak "$root/build-bench-before/frontend/tarvik")
after_kb=$(peak "$root/build-bench/frontend/tarvik")
/usr/bin/python3 - "$work/times.json" "$before_kb" "$after_kb" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
b, a = r["before"]["median"] * 1e3, r["after"]["median"] * 1e3
bk, ak = float(sys.argv[2]), float(sys.argv[3])
print("One-line -nogui send without a login (Release, %d runs, medians):" % len(r["after"]["times"]))
print("  time  before %6.2f ms  after %6.2f ms  ratio %.3f" % (b, a, a / b))
print("  peak  before %6.0f kB  after %6.0f kB  ratio %.3f" % (bk, ak, ak / bk))
PY
