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

. scripts/private-x-session.sh tarvik-shot
export LANG=C.UTF-8
printf '[defaults]\nSMTPServer=localhost:25\n' >"$TARVIK_INI"

start_xvfb

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
