#!/usr/bin/env bash
# The Debian packages as a person meets them, on this machine's own system (root, as in CI):
#   bash scripts/test-packages.sh [build folder]          (default: build-packages)
#  1. scripts/build-packages.sh builds them from the tree, in the build folder.
#  2. DESTDIR=<tmp> cmake --install <build folder> puts every file under <tmp> and nowhere else:
#     strace records every file the install creates, writes, renames, links or removes.
#  3. lintian finds no error in the packages.
#  4. tarvik alone: installed with apt-get; no Qt library among its dependencies or in ldd;
#     /usr/bin/tarvik sends a one-line message to aiosmtpd on loopback, also with a display set
#     (no window module: it runs headless after at most one line of note); `man tarvik` shows
#     every option the installed program names in its help; the completion loads.
#  5. tarvik with tarvik-gui (when Qt 6 was there to build it): both install, the module lies
#     where the program looks for it, the command-line send still works, and under Xvfb the
#     installed program opens its window and sends through it without a word on standard error;
#     started without -send, its window appears (xdotool finds it by its caption) and Alt+X
#     closes it.
#  6. Removal: nothing of them is left: no file or folder of the packages that was not there
#     before, no alternative and no desktop database entry naming tarvik, and the packages
#     their install brought in go with them. Only what the packages touched is looked at, so
#     that whatever else this machine installs meanwhile cannot fail the test.
#  The package tarvik-mta is checked but never installed (the machine's own mail transport agent
#  stays): lintian finds nothing, /usr/sbin/sendmail is a link to the program, it provides,
#  conflicts with and replaces mail-transport-agent, `apt-get -s install` of it resolves, and
#  the package tarvik holds no sendmail of its own.
# It refuses to start when a tarvik package is installed already (it would remove that copy),
# takes turns with other runs on this machine, and removes what it installed even when a step
# fails. Registered with ctest as the test "packages" (label packaging) when the build is
# configured with -DTARVIK_PACKAGE_TEST=ON, as scripts/test.sh does.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
build=$(realpath -m "${1:-build-packages}")
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
apt_get=($SUDO apt-get -o DPkg::Lock::Timeout=300 -y -qq --no-install-recommends)

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
step() { echo; echo "== $*"; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# Removes (purges) whichever of the packages is installed, leaving nothing of them behind.
purge_ours() {
  local ours=()
  for p in tarvik-gui tarvik; do
    if dpkg-query -W "$p" >/dev/null 2>&1; then ours+=("$p"); fi
  done
  if [ "${#ours[@]}" -gt 0 ]; then "${apt_get[@]}" purge "${ours[@]}" >/dev/null; fi
}

# One run at a time on this machine: the packages go into the real system.
exec 9>/var/lock/tarvik-package-test.lock
flock -w 1800 9 || fail "another package test holds /var/lock/tarvik-package-test.lock"
# A run that was killed (a ctest timeout) leaves its marker: what it installed goes first.
marker=/var/tmp/tarvik-package-test.installed
if [ -e "$marker" ]; then
  echo "removing what a killed run of this test left installed"
  purge_ours
  $SUDO rm -f "$marker"
fi
for p in tarvik tarvik-gui; do
  if installed "$p"; then fail "$p is installed on this machine already; remove it first"; fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-package-test.XXXXXX")
server_pid=""
xvfb_pid=""
window_pid=""
we_installed=""
cleanup() {
  for pid in $window_pid $server_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ -n "$we_installed" ]; then purge_ours 2>/dev/null && $SUDO rm -f "$marker"; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

step "build the packages"
# TARVIK_REUSE_PACKAGES=1 takes the packages of an earlier build of the folder (while iterating).
if [ "${TARVIK_REUSE_PACKAGES:-0}" != 1 ] || ! ls "$build"/packages/tarvik_*.deb >/dev/null 2>&1; then
  bash scripts/build-packages.sh "$build"
fi
packages=$build/packages
cli_deb=$(ls "$packages"/tarvik_*.deb)
gui_deb=$(ls "$packages"/tarvik-gui_*.deb 2>/dev/null || true)
version=$(dpkg-deb -f "$cli_deb" Version)
for deb in "$cli_deb" $gui_deb; do
  echo "$(basename "$deb"): $(stat -c %s "$deb") bytes; Depends: $(dpkg-deb -f "$deb" Depends)"
done

step "DESTDIR install: every file under DESTDIR, nothing anywhere else"
dest=$work/destdir
mkdir "$dest"
DESTDIR=$dest strace -f -qq -y -o "$work/install.trace" \
  -e trace=open,openat,creat,mkdir,mkdirat,rename,renameat,renameat2,link,linkat,symlink,symlinkat,unlink,unlinkat,rmdir,chmod,fchmodat,chown,lchown,fchownat,utimensat,truncate \
  cmake --install "$build" >/dev/null
/usr/bin/python3 - "$work/install.trace" "$dest" "$build" <<'PYTHON'
import os, re, sys
trace, dest, build = sys.argv[1:]
writes = ("O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC")
path_calls = {"mkdir", "mkdirat", "rename", "renameat", "renameat2", "link", "linkat", "symlink",
              "symlinkat", "unlink", "unlinkat", "rmdir", "chmod", "fchmodat", "chown", "lchown",
              "fchownat", "utimensat", "truncate", "creat"}
call = re.compile(r'^\d+\s+(\w+)\((.*)\)\s+=\s+(-?\d+)')
arg_path = re.compile(r'(?:(\w+)<([^>]*)>,\s*)?"((?:[^"\\]|\\.)*)"')
bad = []
for line in open(trace):
    m = call.match(line)
    if not m or int(m.group(3)) < 0:
        continue
    name, args = m.group(1), m.group(2)
    if name in ("open", "openat"):
        if not any(flag in args for flag in writes):
            continue
    elif name not in path_calls:
        continue
    paths = arg_path.findall(args)
    if name in ("symlink", "symlinkat"):
        paths = paths[1:]  # the first argument is the link's text, not a path written
    for dirfd_path, dirfd_target, path in paths:
        if not path.startswith("/"):
            path = os.path.join(dirfd_target or os.getcwd(), path)
        path = os.path.normpath(path)
        inside = path == dest or path.startswith(dest + "/")
        manifest = os.path.dirname(path) == build and os.path.basename(path).startswith("install_manifest")
        if not (inside or manifest or path.startswith("/dev/")):
            bad.append(f"{name}: {path}")
if bad:
    print("written outside DESTDIR:\n  " + "\n  ".join(bad))
    sys.exit(1)
PYTHON
(cd "$dest" && find . -type f -o -type l | sort | sed 's|^\.|  |')
for f in usr/bin/tarvik usr/share/man/man1/tarvik.1.gz usr/share/bash-completion/completions/tarvik \
         usr/share/doc/tarvik/copyright usr/share/doc/tarvik/README.md; do
  [ -e "$dest/$f" ] || fail "the install lacks /$f"
done
# The manifest names the files as the installed system sees them.
while read -r f; do
  [ -e "$dest$f" ] || fail "install_manifest.txt names $f, which is not under DESTDIR"
done <"$build/install_manifest.txt"

step "lintian"
lintian --fail-on error --tag-display-limit 0 "$cli_deb" $gui_deb 2>&1 \
  | tee "$work/lintian.out" || fail "lintian reports errors"
echo "lintian: $(grep -c '^E:' "$work/lintian.out" || true) errors, $(grep -c '^W:' "$work/lintian.out" || true) warnings, $(grep -c '^[IP]:' "$work/lintian.out" || true) notes"

step "tarvik-mta: checked with dpkg-deb, lintian and a simulated install only"
mta_deb=$(ls "$packages"/tarvik-mta_*.deb)
dpkg-deb -c "$mta_deb" | sed 's/^/  /'
dpkg-deb -c "$mta_deb" | grep -q ' \./usr/sbin/sendmail -> \.\./bin/tarvik$' ||
  fail "tarvik-mta has no link /usr/sbin/sendmail -> ../bin/tarvik"
for field in Provides Conflicts Replaces; do
  value=$(dpkg-deb -f "$mta_deb" "$field")
  [ "$value" = mail-transport-agent ] || fail "tarvik-mta's $field is '$value', not mail-transport-agent"
  echo "$field: $value"
done
[ "$(dpkg-deb -f "$mta_deb" Depends)" = "tarvik (= $version)" ] ||
  fail "tarvik-mta depends on '$(dpkg-deb -f "$mta_deb" Depends)', not tarvik (= $version)"
if dpkg-deb -c "$cli_deb" | grep -q 'sendmail'; then fail "the package tarvik holds a sendmail"; fi
lintian --fail-on error,warning --tag-display-limit 0 "$mta_deb" || fail "lintian reports on tarvik-mta"
$SUDO apt-get -o DPkg::Lock::Timeout=300 -s install "$cli_deb" "$mta_deb" >"$work/mta.sim" ||
  fail "apt-get -s install of tarvik-mta does not resolve: $(cat "$work/mta.sim")"
grep '^Inst\|^Remv' "$work/mta.sim" | sed 's/^/  /'
grep -q '^Inst tarvik-mta ' "$work/mta.sim" || fail "the simulated install does not install tarvik-mta"

# What the packages bring (every path in them) and which of those paths are there already
# (shared folders such as /usr/bin), to prove that the removal leaves nothing of theirs behind.
for deb in "$cli_deb" $gui_deb; do dpkg-deb --fsys-tarfile "$deb" | tar -t; done |
  sed 's|^\./|/|; s|/$||' | grep -v '^/*$' | sort -u >"$work/paths"
exists() { [ -e "$1" ] || [ -L "$1" ]; }
while read -r path; do if exists "$path"; then echo "$path"; fi; done <"$work/paths" >"$work/paths.before"
# What the maintainer scripts and triggers may touch beyond the packages' own files.
touched_by_us() {
  update-alternatives --get-selections 2>/dev/null | grep -i tarvik || true
  find /etc/alternatives -lname '*tarvik*' 2>/dev/null || true
  grep -il tarvik /usr/share/applications/mimeinfo.cache 2>/dev/null || true
}
touched_by_us >"$work/touched.before"
[ ! -s "$work/touched.before" ] || fail "alternatives or the desktop database name tarvik already: $(cat "$work/touched.before")"
dpkg-query -W -f='${Package}\n' | sort >"$work/packages.before"
# The packages an install of ours brought in, read right after it.
brought_in() { dpkg-query -W -f='${Package}\n' | sort | comm -13 "$work/packages.before" - >>"$work/packages.brought"; }

step "install tarvik alone"
we_installed=yes
$SUDO touch "$marker"
"${apt_get[@]}" install "$cli_deb" >/dev/null
brought_in
installed tarvik || fail "tarvik is not installed"
depends=$(dpkg-query -W -f='${Depends}' tarvik)
echo "Depends: $depends"
if grep -qi qt <<<"$depends"; then fail "tarvik depends on Qt: $depends"; fi
ldd /usr/bin/tarvik | sed 's/^/  /'
if ldd /usr/bin/tarvik | grep -qi qt; then fail "/usr/bin/tarvik links a Qt library"; fi
[ "$(/usr/bin/tarvik --version)" = "Tarvik V${version%-*}" ] ||
  fail "tarvik --version says '$(/usr/bin/tarvik --version)' in the package of version $version"

# A settings file, home and state folder of the test's own: no user's settings are touched.
mkdir "$work/home"
run_tarvik() {
  timeout 120 env -i PATH=/usr/bin:/bin HOME="$work/home" TARVIK_INI="$work/tarvik2.ini" \
    XDG_STATE_HOME="$work/state" "$@"
}
mkfifo "$work/server.out"
/usr/bin/python3 tests/peers/smtp_server.py --dir "$work/mailbox" <&- >"$work/server.out" &
server_pid=$!
exec 3<"$work/server.out"
read -r -t 30 word port <&3 || fail "aiosmtpd did not start"
[ "$word" = PORT ] || fail "unexpected output of the SMTP server: $word $port"

# send_one N TEXT [VARIABLE=VALUE ...]: TEXT as a one-line message through /usr/bin/tarvik, with
# the variables set (none: no display, so scripting mode); it must arrive as message N. Standard
# error goes to $work/send-N.err.
send_one() {
  local n=$1 text=$2 status=0
  shift 2
  run_tarvik "$@" /usr/bin/tarvik "-from:Ann <ann@example.org>" bob@example.org \
    "-s:Package_test_$n" "-msg:${text// /_}" "-server:127.0.0.1:$port" -send -close \
    2>"$work/send-$n.err" || status=$?
  [ "$status" -eq 0 ] || fail "send $n ended with exit status $status: $(cat "$work/send-$n.err")"
  [ -f "$work/mailbox/msg-$n.env" ] || fail "message $n did not reach the server"
  tr -d '\r' <"$work/mailbox/msg-$n.eml" | grep -qxF "$text" || fail "message $n lacks the line '$text'"
  echo "message $n delivered"
}

step "send a one-line message with /usr/bin/tarvik"
send_one 1 "Sent by the installed program."

step "with a display set and no window module: headless, saying so in one line"
send_one 2 "Sent with a display set." DISPLAY=:99
# The window module exists where the tree has the window's front-end: then its absence is said in
# one line.
note_lines=0
if [ -d frontend/qt ]; then note_lines=1; fi
[ "$(wc -l <"$work/send-2.err")" -eq "$note_lines" ] ||
  fail "expected $note_lines line(s) on standard error, got: $(cat "$work/send-2.err")"
echo "note: $(cat "$work/send-2.err")"

step "man tarvik"
MANWIDTH=100 man tarvik 2>"$work/man.err" | col -b >"$work/man.txt"
[ ! -s "$work/man.err" ] || fail "man tarvik: $(cat "$work/man.err")"
grep -q "^NAME" "$work/man.txt" || fail "man tarvik shows no page"
# Every option the installed program names in its help, and the switches answered before it.
options=$(/usr/bin/tarvik --help | grep -o '^-[a-z]*:\?' | sort -u)
for option in $options -server: -nogui --help --version; do
  grep -qF -- "$option" "$work/man.txt" || fail "man tarvik does not mention $option"
done
echo "found: $(echo $options) -server: -nogui --help --version"

step "bash completion"
bash --norc -c 'source /usr/share/bash-completion/bash_completion; _completion_loader tarvik; complete -p tarvik' ||
  fail "the completion for tarvik does not load"

if [ -n "$gui_deb" ]; then
  step "install tarvik-gui with it"
  "${apt_get[@]}" install "$cli_deb" "$gui_deb" >/dev/null
  brought_in
  installed tarvik-gui || fail "tarvik-gui is not installed"
  gui_depends=$(dpkg-query -W -f='${Depends}' tarvik-gui)
  echo "Depends: $gui_depends"
  grep -q "tarvik (= $version)" <<<"$gui_depends" || fail "tarvik-gui does not depend on tarvik $version"
  grep -qi 'libqt6' <<<"$gui_depends" || fail "tarvik-gui does not depend on the Qt libraries"
  module=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/tarvik/tarvik-window.so
  [ -f "$module" ] || fail "the window module is not at $module"
  dpkg -L tarvik-gui | grep -q '\.desktop$' || fail "tarvik-gui has no .desktop file"
  send_one 3 "Sent with the window installed."

  step "with tarvik-gui and a display, the installed program opens its window"
  # Xvfb on a display number of its choosing; "-send -close" sends through the window and ends.
  mkfifo "$work/xvfb.out"
  Xvfb -displayfd 1 -nolisten tcp -screen 0 1024x768x24 >"$work/xvfb.out" 2>"$work/xvfb.err" &
  xvfb_pid=$!
  exec 4<"$work/xvfb.out"
  read -r -t 30 display <&4 || fail "Xvfb did not start: $(cat "$work/xvfb.err")"
  mkdir -m 0700 "$work/runtime"
  send_one 4 "Sent through the window." DISPLAY=":$display" XDG_RUNTIME_DIR="$work/runtime"
  [ ! -s "$work/send-4.err" ] || fail "the window did not open: $(cat "$work/send-4.err")"

  # The window itself: started without -send, it is mapped on the display under the program's
  # caption, and Alt+X closes it with exit status 0.
  run_tarvik DISPLAY=":$display" XDG_RUNTIME_DIR="$work/runtime" /usr/bin/tarvik \
    "-server:127.0.0.1:$port" 2>"$work/window.err" &
  window_pid=$!
  window=$(DISPLAY=":$display" timeout 30 xdotool search --sync --onlyvisible \
    --name "^Tarvik V${version%-*}\$" | head -n 1) ||
    fail "no window of the installed program appeared: $(cat "$work/window.err")"
  echo "window $window: $(DISPLAY=":$display" xdotool getwindowname "$window")"
  DISPLAY=":$display" xdotool windowfocus --sync "$window" key alt+x
  status=0
  wait "$window_pid" || status=$?
  window_pid=""
  [ "$status" -eq 0 ] || fail "the window ended with exit status $status: $(cat "$work/window.err")"
  [ ! -s "$work/window.err" ] || fail "the window wrote to standard error: $(cat "$work/window.err")"
  echo "the window opened and closed with Alt+X"
fi

step "remove the packages: nothing left"
purge_ours
# Dependencies that came with them go too (those still installed and not ours).
added=$(sort -u "$work/packages.brought" | grep -vx -e tarvik -e tarvik-gui || true)
still=()
for p in $added; do if installed "$p"; then still+=("$p"); fi; done
if [ "${#still[@]}" -gt 0 ]; then "${apt_get[@]}" purge "${still[@]}" >/dev/null; fi
we_installed=""
$SUDO rm -f "$marker"
for p in tarvik tarvik-gui; do
  [ -z "$(dpkg -L "$p" 2>/dev/null)" ] || fail "dpkg -L $p still lists files"
done
left=$(while read -r path; do
  if exists "$path" && ! grep -qxF "$path" "$work/paths.before"; then echo "$path"; fi
done <"$work/paths")
[ -z "$left" ] || fail "left behind after the removal: $left"
touched_by_us >"$work/touched.after"
[ ! -s "$work/touched.after" ] || fail "still naming tarvik after the removal: $(cat "$work/touched.after")"
echo "dpkg -L tarvik: nothing; none of the $(wc -l <"$work/paths") paths of the packages left behind; no alternative or desktop entry"
echo
echo "packages: all checks passed"
