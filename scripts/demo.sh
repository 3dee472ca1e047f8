#!/usr/bin/env bash
# The program's main job: install what the build needs, build Tarvik, start a local SMTP server
# (aiosmtpd from Debian) on loopback, send a sample message with an attachment through
# `tarvik -nogui`, and show the message as the server received it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTARVIK_TESTS=OFF
cmake --build build -j"$(nproc)"
tarvik=$PWD/build/frontend/tarvik

# Everything the demo writes stays in one temporary folder: the settings, the server's mailbox,
# the sample message and its attachment. The user's own settings and drafts are not touched.
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-demo.XXXXXX")
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
export TARVIK_INI=$work/tarvik2.ini HOME=$work/home XDG_STATE_HOME=$work/state

# The server prints "PORT <n>" once it listens on a free loopback port.
mkfifo "$work/server.out"
/usr/bin/python3 tests/peers/smtp_server.py --dir "$work/mailbox" <&- >"$work/server.out" &
server_pid=$!
exec 3<"$work/server.out"
read -r -t 20 word port <&3 || { echo "the SMTP server did not start" >&2; exit 1; }
[ "$word" = PORT ] || { echo "unexpected server output: $word $port" >&2; exit 1; }
echo
echo "SMTP server (aiosmtpd) listening on 127.0.0.1:$port"

cat >"$work/message.txt" <<'EOF'
Hello Bob,

this message was sent by Tarvik from the command line, with the
report attached.

.A line that begins with a dot arrives unchanged.
EOF
printf 'quarter,sales\nQ1,1200\nQ2,1350\n' >"$work/report.csv"

cmd=("$tarvik" -nogui "-from:Ann Example <ann@example.org>" "Bob Builder <bob@example.org>"
     "-s:Quarterly_report" "-f:$work/message.txt" "$work/report.csv"
     "-server:127.0.0.1:$port" -send -close)
echo
echo "\$ tarvik -nogui -from:\"Ann Example <ann@example.org>\" \"Bob Builder <bob@example.org>\" \\"
echo "    -s:Quarterly_report -f:message.txt report.csv -server:127.0.0.1:$port -send -close"
status=0
"${cmd[@]}" || status=$?
echo "exit code: $status"
[ "$status" -eq 0 ] || exit "$status"

echo
echo "Envelope as the server received it:"
sed 's/^/    /' "$work/mailbox/msg-1.env"
echo
echo "Message as the server received it:"
echo "------------------------------------------------------------------------"
tr -d '\r' <"$work/mailbox/msg-1.eml"
echo "------------------------------------------------------------------------"
echo
echo "Parsed back with Python's email package:"
/usr/bin/python3 tests/peers/parse_message.py "$work/mailbox/msg-1.eml" | sed 's/^/    /'
