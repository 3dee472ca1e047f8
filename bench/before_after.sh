# Sourced by the scripts that compare this tree with an earlier commit, both built in Release
# into $root/build-bench and $root/build-bench-before: medians, and a one-line -nogui send timed
# and measured with each build in the same run.

median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

# Times a one-line send to the loopback server on $port with both builds ($runs runs, hyperfine
# with 2 warm-ups) and their peak memory (GNU time), and prints both with the ratios under the
# label $1. Uses root, runs, work and port.
compare_one_line_send() {
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
  local label=$1 before_kb after_kb
  before_kb=$(peak "$root/build-bench-before/frontend/tarvik")
  after_kb=$(peak "$root/build-bench/frontend/tarvik")
  /usr/bin/python3 - "$work/times.json" "$before_kb" "$after_kb" "$label" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
b, a = r["before"]["median"] * 1e3, r["after"]["median"] * 1e3
bk, ak = float(sys.argv[2]), float(sys.argv[3])
print("%s (Release, %d runs, medians):" % (sys.argv[4], len(r["after"]["times"])))
print("  time  before %6.2f ms  after %6.2f ms  ratio %.3f" % (b, a, a / b))
print("  peak  before %6.0f kB  after %6.0f kB  ratio %.3f" % (bk, ak, ak / bk))
PY
}
