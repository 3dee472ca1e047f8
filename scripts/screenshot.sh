#!/usr/bin/env bash
# Takes the README's pictures of the window from the real program: Xvfb on a free display, the
# program started with a sample message (settings and state in a temporary folder), xdotool to
# wait for the window, ImageMagick's import to take it. Once with the toolkit's own light
# colours, once with a dark desktop theme (GTK's Adwaita dark, through Qt's GTK platform theme).
#
# Usage: bash scripts/screenshot.sh [PROGRAM] [OUTPUT] [DARK_OUTPUT]
#        (defaults: build/frontend/tarvik, docs/window.png and docs/window-dark.png)
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:-build/frontend/tarvik}
output=${2:-docs/window.png}
dark_output=${3:-docs/window-dark.png}

. scripts/private-x-session.sh tarvik-shot
export LANG=C.UTF-8
printf '[defaults]\nSMTPServer=localhost:25\n' >"$TARVIK_INI"

start_xvfb

# Starts the program with the sample message in the environment given, takes the picture into
# the file named first, and ends the program.
shoot() {
  local picture=$1
  shift
  env "$@" "$program" -from:"Ann Example <ann@example.org>" -cc:carl@example.org \
    -s:Monthly_figures -msg:"Hello Bob, the figures of November are attached." \
    bob@example.org &
  local pid=$!
  pids+=("$pid")
  local window
  window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Tarvik V[0-9.]+$' | head -1)
  # The first paint follows the mapping, and a themed one may come in parts: the picture is
  # taken until it shows more than a few colours and two pictures in a row are the same.
  # The screen is taken and cut to the window: a window taken by itself can come out with
  # parts of it black under a themed style.
  local WIDTH HEIGHT X Y SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$window")"
  rm -f "$work/previous.png"
  for _ in $(seq 100); do
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$work/shot.png"
    if [ "$(identify -format %k "$work/shot.png")" -gt 16 ] &&
      [ -e "$work/previous.png" ] &&
      [ "$(compare -metric AE "$work/shot.png" "$work/previous.png" null: 2>&1)" = 0 ]; then
      break
    fi
    cp "$work/shot.png" "$work/previous.png"
    sleep 0.2
  done
  mkdir -p "$(dirname "$picture")"
  cp "$work/shot.png" "$picture"
  identify -format '%f: %wx%h, %k colours\n' "$picture"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  # SIGTERM kept the sample as a draft, which the next start would offer.
  rm -rf "$XDG_STATE_HOME"
}

shoot "$output" -u QT_QPA_PLATFORMTHEME -u GTK_THEME
shoot "$dark_output" QT_QPA_PLATFORMTHEME=gtk3 GTK_THEME=Adwaita:dark
