#!/usr/bin/python3
"""CPU per run (user + sys, from wait4, in ms): cpu_per_run.py RUNS COMMAND...; standard input
from $CPU_STDIN (default /dev/null). Fails when a run fails. GNU time's 10 ms steps are too
coarse for a send that takes a few ms of CPU."""
import os, subprocess, sys
runs = int(sys.argv[1]); cmd = sys.argv[2:]
total = 0.0
for _ in range(runs):
    with open(os.environ.get("CPU_STDIN", "/dev/null"), "rb") as stdin:
        p = subprocess.Popen(cmd, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(p.pid, 0)
    if status != 0: sys.exit("failed: %s" % " ".join(cmd))
    total += usage.ru_utime + usage.ru_stime
print("%.1f" % (total * 1000 / runs))
