#!/usr/bin/env bash
# The desktop window's start-up and the cost of it for scripts, in Release builds:
#  1. Start to window shown under Xvfb: from the program's start to its window mapped and to the
#     window painted (bench/window_start.c watches the X server), median of 10 runs, with the
#     median peak memory (VmHWM) at that point.
#  2. A one-line `-nogui` send against smtp-sink, before and after the window came (the program
#     of commit $BEFORE built beside this one), timed in the same run: median wall time of 10
#     runs (hyperfine, 2 warm-ups) and median peak memory (GNU time), with the ratio after/before.
#  3. The window during a send of a 200 MB attachment to smtp-sink (bench_window_responsiveness,
#     offscreen): the longest gap between two events the window handled.
#
# Usage: bash bench/window_start.sh [BEFORE]   (BEFORE: a commit without the window; default: the
#        parent of the commit that gave the control model its change notices)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=10
before=${1:-$(git log --format=%H --grep='^Control model: properties and control lists tell the form' -1)^}

build() {  # build SOURCE FOLDER TARGETS...
  local source=$1 folder=$2
  shift 2
  cmake -S "$source" -B "$folder" -DCMAKE_BUILD_TYPE=Release -DTARVIK_TESTS=OFF \
    -DTARVIK_BENCH="$([ "$folder" = build-bench ] && echo ON || echo OFF)" >/dev/null
  cmake --build "$folder" -j2 --target "$@" >/dev/null
}
build . build-bench tarvik tarvik_window bench_window_responsiveness
rm -rf build-bench-before-src
mkdir -p build-bench-before-src
git archive "$before" | tar -x -C build-bench-before-src
build build-bench-before-src build-bench-before tarvik
cc -O2 -Wall bench/window/window_start.c -lxcb -o build-bench/window_start

. scripts/private-x-session.sh tarvik-bench

source bench/before_after.sh

# ---- 1. The window under Xvfb
start_xvfb
for _ in $(seq $runs); do build-bench/window_start "$root/build-bench/frontend/tarvik"; done >"$work/window"
echo "Window start under Xvfb (Release, $runs runs, medians):"
printf '  mapped   %6.1f ms\n' "$(cut -d' ' -f1 "$work/window" | median)"
printf '  painted  %6.1f ms\n' "$(cut -d' ' -f2 "$work/window" | median)"
printf '  peak     %6.1f MB\n' "$(cut -d' ' -f3 "$work/window" | median | awk '{print $1/1024}')"
unset DISPLAY

# ---- 2. A one-line -nogui send, before and after
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sink_user=()
[ "$(id -u)" -eq 0 ] && sink_user=(-u nobody)
smtp-sink "${sink_user[@]}" "127.0.0.1:$port" 100 &
pids+=($!)
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done
compare_one_line_send "One-line -nogui send"

# ---- 3. The window during a 200 MB attachment send
head -c $((200 << 20)) /dev/urandom >"$work/big.bin"
echo "Window during a 200 MB attachment send (offscreen, Release):"
QT_QPA_PLATFORM=offscreen build-bench/bench/window/bench_window_responsiveness "$port" \
  "$work/big.bin" | sed 's/^/  /'
