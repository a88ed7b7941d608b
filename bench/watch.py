#!/usr/bin/env python3
"""Processes and files watched for the benchmarks, by the monotonic clock.

  watch.py quiet SECONDS LIMIT ITEM...
      polls until no ITEM changed for SECONDS (LIMIT seconds at most) and
      prints one line per item: "ITEM LAST", LAST the monotonic time of its
      last change, or "-" when it did not change. An ITEM is a file (its
      size) or pid:N (the process's CPU time, utime + stime). Exits 1 when
      the limit ended the wait.
  watch.py cpu SECONDS NAME:PID...
      each process's CPU time over SECONDS, as % of one core: "NAME PCT".
"""
import os
import sys
import time

TICK = os.sysconf("SC_CLK_TCK")


def cpu_ticks(pid):
    with open("/proc/%s/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def probe(item):
    if item.startswith("pid:"):
        return cpu_ticks(item[4:])
    return os.stat(item).st_size


def quiet(seconds, limit, items):
    start = time.monotonic()
    seen = {i: probe(i) for i in items}
    last = dict.fromkeys(items)
    calm_since = start
    while True:
        time.sleep(0.02)
        now = time.monotonic()
        for i in items:
            v = probe(i)
            if v != seen[i]:
                seen[i], last[i], calm_since = v, now, now
        if now - calm_since >= seconds or now - start >= limit:
            break
    for i in items:
        print(i, "-" if last[i] is None else "%.6f" % last[i])
    return 0 if now - calm_since >= seconds else 1


def cpu(seconds, named):
    pids = [n.split(":", 1) for n in named]
    before = [cpu_ticks(p) for _, p in pids]
    t0 = time.monotonic()
    time.sleep(seconds)
    span = time.monotonic() - t0
    for (name, pid), b in zip(pids, before):
        print(name, "%.3f" % ((cpu_ticks(pid) - b) / TICK / span * 100))
    return 0


if __name__ == "__main__":
    what, args = sys.argv[1], sys.argv[2:]
    if what == "quiet":
        sys.exit(quiet(float(args[0]), float(args[1]), args[2:]))
    if what == "cpu":
        sys.exit(cpu(float(args[0]), args[1:]))
    sys.exit(__doc__)
