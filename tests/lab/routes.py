#!/usr/bin/env python3
"""Large route sets for the route tests and benchmarks, and how the member
tables compare with the main table. Run inside the router's namespace.

  routes.py make N FIRST BASE GATEWAYS
      N distinct /24 networks, from the FIRST-th /24 above BASE (a dotted
      quad) on, through the GATEWAYS ("10.1.0.1=wan1,10.2.0.1=wan2") in
      turn: "DEST GATEWAY DEVICE" lines.
  routes.py compare TABLE...
      every member TABLE against the main table, the default route aside,
      on destination/prefix, gateway and device only: one line per table,
      "TABLE DEVICE missing N extra M" (DEVICE: that of the table's default
      route), then "# e.g. ..." lines with the first differences. Exits 1
      when any table differs.
  routes.py quiet SECONDS LIMIT PID...
      waits until none of the processes used CPU for SECONDS and the number
      of IPv4 routes (every table) stayed the same meanwhile, LIMIT seconds
      at most; prints the seconds waited. A process that ended counts as
      quiet. Exits 1 when the limit ended the wait.
"""
import ipaddress
import subprocess
import sys
import time

TYPES = {"unicast", "blackhole", "unreachable", "prohibit", "throw", "local", "broadcast", "anycast",
         "multicast", "nat"}


def make(n, first, base, gateways):
    hops = [g.split("=") for g in gateways.split(",")]
    start = int(ipaddress.ip_address(base)) >> 8
    for i in range(first, first + n):
        gw, dev = hops[i % len(hops)]
        print("%s/24 %s %s" % (ipaddress.ip_address((start + i) << 8), gw, dev))


def key(words):
    """(table, route) of one line of "ip -4 route show table all"; route is
    destination/prefix (a host route gets /32), via and dev, with the route
    type first when it is not unicast."""
    kind = ""
    if words[0] in TYPES:
        kind, words = ("" if words[0] == "unicast" else words[0] + " "), words[1:]
    dest = words[0]
    if dest != "default" and "/" not in dest:
        dest += "/32"
    table, via, dev = "main", "", ""
    for name, value in zip(words[1:], words[2:]):
        if name == "table":
            table = value
        elif name == "via":
            via = " via " + value
        elif name == "dev":
            dev = " dev " + value
    return table, kind + dest + via + dev


def tables():
    listing = subprocess.run(["ip", "-4", "route", "show", "table", "all"], capture_output=True, text=True,
                             check=True).stdout
    found = {}
    for line in listing.splitlines():
        # Nexthop lines of a multipath route start with white space.
        if line and not line[0].isspace():
            table, route = key(line.split())
            found.setdefault(table, set()).add(route)
    return found


def compare(wanted):
    found = tables()
    main = {r for r in found.get("main", ()) if not r.startswith("default")}
    differ, shown = False, []
    for table in wanted:
        routes = found.get(table, set())
        own = [r for r in routes if r.startswith("default")]
        copies = routes - set(own)
        missing, extra = sorted(main - copies), sorted(copies - main)
        device = own[0].split(" dev ")[-1] if own and " dev " in own[0] else "?"
        print("%s %s missing %d extra %d" % (table, device, len(missing), len(extra)))
        differ = differ or bool(missing or extra)
        shown += ["%s missing %s" % (table, r) for r in missing[:2]] + ["%s extra %s" % (table, r) for r in extra[:2]]
    for line in shown:
        print("# e.g. " + line)
    return 1 if differ else 0


def cpu_ticks(pid):
    try:
        with open("/proc/%s/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime, stime
    except (OSError, IndexError):
        return None


def route_count():
    out = subprocess.run("ip -4 route show table all | wc -l", shell=True, capture_output=True, text=True)
    return out.stdout.strip()


def quiet(seconds, limit, pids):
    start = time.monotonic()
    seen = [cpu_ticks(p) for p in pids]
    count, calm_since = route_count(), time.monotonic()
    while time.monotonic() - start < limit:
        time.sleep(0.2)
        now = [cpu_ticks(p) for p in pids]
        if now != seen:
            seen, calm_since = now, time.monotonic()
            continue
        if time.monotonic() - calm_since >= seconds:
            # The daemons rested for a while: the tables must have rested too.
            counted = route_count()
            if counted == count:
                print("%.1f" % (time.monotonic() - start))
                return 0
            count, calm_since = counted, time.monotonic()
    print("%.1f" % (time.monotonic() - start))
    return 1


if __name__ == "__main__":
    what, args = sys.argv[1], sys.argv[2:]
    if what == "make":
        make(int(args[0]), int(args[1]), args[2], args[3])
    elif what == "compare":
        sys.exit(compare(args))
    elif what == "quiet":
        sys.exit(quiet(float(args[0]), float(args[1]), args[2:]))
    else:
        sys.exit(__doc__)
