#!/usr/bin/env python3
# kcanon.py [numbers] <KSTATE: the kstate of scenario.sh in a form that two
# daemons which numbered their members differently share (see kcanon there);
# with "numbers", "N DEVICE/GROUP" for every member number it maps instead.

import itertools, re, sys
text = sys.stdin.read()
dev = {int(t): d for d, t in re.findall(r"^default .*dev (\S+) table (\d+)", text, re.M)}
grp = {}
for g, m in re.findall(r"^-A LOADBALANCING(\d+) .*--(?:set-x)?mark 0x([0-9a-f]+)", text, re.M):
    if int(m, 16) >= 256: grp.setdefault(int(m, 16), g)
if sys.argv[1:] == ["numbers"]:
    for n in sorted(set(dev) | set(grp)):
        print("%d %s/%s" % (n, dev.get(n, "?"), grp.get(n, "?")))
    sys.exit()
def sym(n, keep):
    return "T(%s/%s)" % (dev.get(n, "?"), grp.get(n, "?")) if n in dev or n in grp else keep
text = re.sub(r"0x([0-9a-f]+)", lambda m: sym(int(m.group(1), 16), m.group(0)), text)
text = re.sub(r"(table|lookup) (\d+)", lambda m: m.group(1) + " " + sym(int(m.group(2)), m.group(2)), text)
def shape(line):
    line = re.sub(r"T\([^)]*\)|lb_\S+", "M", line)
    return re.sub(r"-i (\S+)", lambda m: "-i M" if m.group(1) in dev.values() else m.group(0), line)
for part in text.split("== ")[1:]:
    head, _, body = part.partition("\n")
    lines = [l for l in body.split("\n") if l]
    if head == "mangle":
        lines = [l for _, run in itertools.groupby(lines, shape) for l in sorted(run)]
    else:
        lines.sort()
    print("== " + head, *lines, sep="\n")

