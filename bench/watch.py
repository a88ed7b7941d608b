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
  watch.py peak PIDFILE OUT
      every 0.2 s, the VmHWM (kB) of the processes whose PIDs PIDFILE lists
      (one a line), written to OUT as "PID KB" lines, until PIDFILE is
      removed; the last value seen survives the process.
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


def hwm(pid):
    try:
        with open("/proc/%s/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def peak(pidfile, out):
    best = {}
    while os.path.exists(pidfile):
        with open(pidfile) as f:
            pids = f.read().split()
        for pid in pids:
            kb = hwm(pid)
            if kb is not None:
                best[pid] = max(kb, best.get(pid, 0))
        with open(out + ".new", "w") as f:
            f.writelines("%s %d\n" % item for item in best.items())
        os.replace(out + ".new", out)
        time.sleep(0.2)
    return 0


if __name__ == "__main__":
    what, args = sys.argv[1], sys.argv[2:]
    if what == "quiet":
        sys.exit(quiet(float(args[0]), float(args[1]), args[2:]))
    if what == "cpu":
        sys.exit(cpu(float(args[0]), args[1:]))
    if what == "peak":
        sys.exit(peak(args[0], args[1]))
    sys.exit(__doc__)
