#!/usr/bin/env python3
"""The configuration service's request trace (cfgserver run with
KOR_TRACELEVEL=2 logs each request with its monotonic time, see
docs/cfg-protocol.md), and a burst of edits to time against it.

  cfgtrace.py burst SOCKET TABLE COLUMN N
      N sets of COLUMN in the rows of TABLE in turn, over one connection,
      each answered before the next is sent; each one changes its row.
  cfgtrace.py latency LOG TABLE SINCE
      for each change of TABLE by a client other than quorin from monotonic
      time SINCE on, the ms until
      quorin's next read (dump) of TABLE starts, one a line.
  cfgtrace.py reads LOG TABLE SINCE
      from monotonic time SINCE on: "READS FIRST LAST LASTREAD", quorin's
      reads of TABLE, the times of the first and last change of TABLE by
      others, and that of quorin's last read ("-" when none).
"""
import json
import re
import socket
import sys

CHANGES = {"add", "set", "del", "replace", "load", "drop"}
LINE = re.compile(r"request at (\d+\.\d+) from client \d+ \(([^)]*)\): (\S+) ?(\S*)")


def requests(log, table, since):
    """(time, by quorin, op) of each request from SINCE on that names TABLE."""
    out = []
    for line in open(log, errors="replace"):
        m = LINE.search(line)
        if m and float(m.group(1)) >= since and table in m.group(4).split(","):
            out.append((float(m.group(1)), m.group(2).endswith(", quorin"), m.group(3)))
    return out


def is_read(r):
    return r[1] and r[2] == "dump"


def is_edit(r):
    return not r[1] and r[2] in CHANGES


def latency(log, table, since):
    reqs = requests(log, table, since)
    for i, r in enumerate(reqs):
        if is_edit(r):
            read = next((q for q in reqs[i + 1:] if is_read(q)), None)
            if read:
                print("%.3f" % ((read[0] - r[0]) * 1000))
    return 0


def reads(log, table, since):
    reqs = requests(log, table, since)
    edits = [r[0] for r in reqs if is_edit(r)]
    done = [r[0] for r in reqs if is_read(r)]
    if not edits:
        return 1
    print(len(done), "%.6f" % edits[0], "%.6f" % edits[-1], "%.6f" % done[-1] if done else "-")
    return 0


def burst(path, table, column, n):
    conn = socket.socket(socket.AF_UNIX)
    conn.connect(path)
    stream = conn.makefile("rw")

    def call(req):
        stream.write(json.dumps(req) + "\n")
        stream.flush()
        while True:
            answer = json.loads(stream.readline())
            if answer.get("id") == req["id"]:
                return answer

    rows = call({"id": 0, "op": "dump", "table": table})["tables"].get(table, [])
    if not rows:
        return 1
    values = [row.get(column) for row in rows]
    for k in range(n):
        index = k % len(rows)
        value = 10 + (k * 37) % 81
        if value == values[index]:
            value += 1
        values[index] = value
        if call({"id": k + 1, "op": "set", "table": table, "index": index, "row": {column: value}})["code"] != 0:
            return 1
    return 0


if __name__ == "__main__":
    what, args = sys.argv[1], sys.argv[2:]
    if what == "burst":
        sys.exit(burst(args[0], args[1], args[2], int(args[3])))
    if what == "latency":
        sys.exit(latency(args[0], args[1], float(args[2])))
    if what == "reads":
        sys.exit(reads(args[0], args[1], float(args[2])))
    sys.exit(__doc__)
