#!/usr/bin/env bash
# Takes the README's picture of the window from the real program: Xvfb on a free display, the
# program started with a sample message (settings and state in a temporary folder), xdotool to
# wait for the window, ImageMagick's import to take it.
#
# Usage: bash scripts/screenshot.sh [PROGRAM] [OUTPUT]
#        (defaults: build/frontend/tarvik and docs/window.png)
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-build/frontend/tarvik}
output=${2:-docs/window.png}

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-shot.XXXXXX")
pids=()
cleanup() {
  # The last started first: the program before its X server.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
export TARVIK_INI=$work/tarvik2.ini HOME=$work/home XDG_STATE_HOME=$work/state
export XDG_RUNTIME_DIR=$work/runtime LANG=C.UTF-8
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
printf '[defaults]\nSMTPServer=localhost:25\n' >"$TARVIK_INI"

exec 5< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
pids+=($!)
read -r display <&5
export DISPLAY=:$display

"$program" -from:"Ann Example <ann@example.org>" -s:Monthly_figures \
  -msg:"Hello Bob, the figures of November are attached." bob@example.org &
pids+=($!)
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Tarvik V[0-9.]+$' | head -1)
# The first paint follows the mapping: take the picture once it shows more than a few colours.
for _ in $(seq 100); do
  import -window "$window" "$work/window.png"
  [ "$(identify -format %k "$work/window.png")" -gt 16 ] && break
  sleep 0.1
done
mkdir -p "$(dirname "$output")"
cp "$work/window.png" "$output"
identify -format '%f: %wx%h, %k colours\n' "$output"
