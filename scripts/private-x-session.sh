# Sourced by the scripts that run the window on a private X server: a work folder, settings,
# home and state folders of their own, and Xvfb on a free display. Everything started is
# recorded in pids and ended, last first, when the script exits.
# Usage: . scripts/private-x-session.sh PREFIX; start_xvfb
work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
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
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# Xvfb on the first free display (it says which through -displayfd); DISPLAY names it.
start_xvfb() {
  exec 5< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
  pids+=($!)
  read -r display <&5
  export DISPLAY=:$display
}
