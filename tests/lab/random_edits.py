#!/usr/bin/env python3
"""Table edits for random_edits_test.sh.

    random_edits.py plan SEED COUNT    a random series of COUNT edits
    random_edits.py plan - <FILE       the edits in FILE, one per line, as the
                                       test prints them ("#   7: set T 0 C=V")

print the tables to start from as one JSON line, then one line per edit:
the cfgctl arguments, a tab, and the tables after the edit as a fresh
daemon must read them to build what the long-running one holds.

A fresh daemon builds its groups, uplink members and services in row order;
a running daemon appends an object it creates (for a new row, or a row
whose values changed) behind those it keeps. So the copy of the tables for
a fresh daemon has the rows of groups, uplinks and services in the order in
which the long-running daemon created their objects; the long-running
daemon's own tables keep cfgserver's order and see nothing but the edits.

Edits are valid and keep each object distinct: one row per group Id,
service Id, status or gateway interface and logical name, one row per
uplink device within a group, every client interface resolvable. A group
whose Id, client interface and stickiness stay keeps its share mode on
purpose, so "Autobalance" changes only with one of those or while the group
is disabled.
"""

import json
import random
import re
import sys

WANS = ["wan1", "wan2", "wan3"]
ADDRESS = {"wan1": "10.1.0.2", "wan2": "10.2.0.2", "wan3": "10.3.0.2"}
GATEWAYS = {w: ["10.%s.0.1" % w[-1], "10.%s.0.254" % w[-1], "0.0.0.0"] for w in WANS}
UPLINKS = WANS + ["$$(WAN2)", "$$(UPLINK)"]
CLIENTS = ["lan0", "lan1", "$$(LAN)"]
MAPPING = {"WAN2": WANS, "UPLINK": WANS, "LAN": ["lan0", "lan1"]}
FILTERS = ["", "0.0.0.0", "192.168.1.10", "192.168.2.0/24", "203.0.113.9", "198.18.0.1"]
PROTOS = ["tcp", "udp", "", "ALL", "icmp"]
PORTS = [53, 80, 443, 1024, 8080]
SHARES = [0, 10, 20, 25, 30, 40, 50, 60, 75, 100]
GROUP_IDS = [1, 2, 3]

START = {
    "Balancing": [{"Verbose": 0, "StickyTimeout": 600}],
    "BalancingGroups": [
        {"Id": 1, "Enable": 1, "ClientInterface": "lan0", "Sticky": 1, "Autobalance": 0},
        {"Id": 2, "Enable": 1, "ClientInterface": "$$(LAN)", "Sticky": 0, "Autobalance": 1},
    ],
    "BalancingInterfaces": [
        {"BalancingGroupId": 1, "Interface": "wan1", "UsagePercent": 50},
        {"BalancingGroupId": 1, "Interface": "$$(WAN2)", "UsagePercent": 30},
        {"BalancingGroupId": 2, "Interface": "$$(UPLINK)", "UsagePercent": 40},
        {"BalancingGroupId": 2, "Interface": "wan2", "UsagePercent": 60},
    ],
    "BalancingServices": [
        {"Id": 1, "BalancingGroupId": 1, "SrcIP": "", "DstIP": "", "Proto": "tcp",
         "SrcPortStart": 0, "SrcPortEnd": 0, "DstPortStart": 80, "DstPortEnd": 80},
        {"Id": 2, "BalancingGroupId": 2, "SrcIP": "192.168.2.0/24", "DstIP": "", "Proto": "udp",
         "SrcPortStart": 0, "SrcPortEnd": 0, "DstPortStart": 53, "DstPortEnd": 53},
    ],
    "StatusNetifWatch": [{"Name": w, "Addr": ADDRESS[w]} for w in WANS],
    "DefaultWANGateway": [{"InterfaceName": w, "GatewayAddress": GATEWAYS[w][0]} for w in WANS],
    "InterfaceMapping": [
        {"LogicalName": "WAN2", "PhysicalName": "wan2"},
        {"LogicalName": "UPLINK", "PhysicalName": "wan3"},
        {"LogicalName": "LAN", "PhysicalName": "lan1"},
    ],
}


# The tables whose row order is the order of the daemon's objects, and the
# ranks of START's rows in them.
ORDERED = ("BalancingGroups", "BalancingInterfaces", "BalancingServices")
RANKS = {t: list(range(len(START[t]))) for t in ORDERED}


# --- The tables as cfgserver keeps them --------------------------------------

def value(text):
    """A cfgctl value: decimal digits with an optional "-" are an integer."""
    digits = text[1:] if text.startswith("-") and len(text) > 1 else text
    return int(text) if digits.isdigit() and digits.isascii() else text


def apply(tables, args):
    """Applies one cfgctl edit ("add", "set" or "del") to a copy of tables."""
    tables = json.loads(json.dumps(tables))
    op, rows = args[0], tables.setdefault(args[1], [])
    columns = dict((c.split("=", 1)[0], value(c.split("=", 1)[1])) for c in args[2 + (op != "add"):])
    if op == "add":
        rows.append(columns)
    elif op == "set":
        rows[int(args[2])].update(columns)
    elif op == "del":
        del rows[int(args[2])]
    else:
        raise ValueError("unknown edit " + " ".join(args))
    return tables


def first(rows, column, text):
    """The first row whose column reads as text, as cfgserver's find."""
    return next((r for r in rows if column in r and str(r[column]) == text), None)


# --- What the daemon makes of them --------------------------------------------

def resolve(tables, name):
    """The device a configured name stands for ("$$(X)" via InterfaceMapping)."""
    start = name.find("$$(")
    end = name.find(")", start + 3)
    if start < 0 or end < 0:
        return name
    row = first(tables.get("InterfaceMapping", []), "LogicalName", name[start + 3:end])
    return str(row.get("PhysicalName", "")) if row else name


def objects(tables):
    """The daemon's groups, members and services, each as {row: identity}:
    an object is kept while its identity stays, and re-created otherwise."""
    groups, by_id = {}, {}
    for i, row in enumerate(tables.get("BalancingGroups", [])):
        if row.get("Enable") != 1 or row.get("Id") in by_id:
            continue
        identity = (row.get("Id"), resolve(tables, row.get("ClientInterface", "")), row.get("Sticky", 0) != 0)
        groups[i] = by_id[row.get("Id")] = identity
    members = {}
    for i, row in enumerate(tables.get("BalancingInterfaces", [])):
        name = resolve(tables, row.get("Interface", ""))
        status = first(tables.get("StatusNetifWatch", []), "Name", name) or {}
        gateway = first(tables.get("DefaultWANGateway", []), "InterfaceName", name) or {}
        if row.get("BalancingGroupId") in by_id and status.get("Addr", "") not in ("", "0.0.0.0"):
            members[i] = (by_id[row["BalancingGroupId"]], name, gateway.get("GatewayAddress", ""),
                          row.get("UsagePercent"), status["Addr"])
    services = {}
    for i, row in enumerate(tables.get("BalancingServices", [])):
        if row.get("BalancingGroupId") in by_id:
            services[i] = (by_id[row["BalancingGroupId"]], json.dumps(row, sort_keys=True))
    return {"BalancingGroups": groups, "BalancingInterfaces": members, "BalancingServices": services}


def created(before, after):
    """{table: rows of after} whose objects the edit from before creates."""
    old, new = objects(before), objects(after)
    return {t: [i for i in sorted(new[t]) if new[t][i] not in set(old[t].values())] for t in ORDERED}


def in_order(tables, ranks):
    """The tables with the rows of ORDERED sorted by their ranks: the order in
    which a fresh daemon must read them."""
    return dict(tables, **{t: [row for _, row in sorted(zip(ranks[t], tables[t]))] for t in ORDERED})


def problems(before, after):
    """Why the edit would make the two daemons differ for a reason that is
    not a fault: duplicates, unresolvable client interfaces, a share mode
    changed on a group that stays."""
    found = []
    for table, column in (("BalancingGroups", "Id"), ("BalancingServices", "Id"),
                          ("StatusNetifWatch", "Name"), ("DefaultWANGateway", "InterfaceName"),
                          ("InterfaceMapping", "LogicalName")):
        keys = [r.get(column) for r in after.get(table, [])]
        if len(keys) != len(set(keys)):
            found.append("two %s rows with one %s" % (table, column))
    uplinks = [(r.get("BalancingGroupId"), resolve(after, r.get("Interface", "")))
               for r in after.get("BalancingInterfaces", [])]
    if len(uplinks) != len(set(uplinks)):
        found.append("one device twice in a group")
    for row in after.get("BalancingGroups", []):
        if row.get("Enable") == 1 and "$$(" in resolve(after, row.get("ClientInterface", "")):
            found.append("group %s: client interface without mapping" % row.get("Id"))
    mode = {identity: before["BalancingGroups"][i].get("Autobalance")
            for i, identity in objects(before)["BalancingGroups"].items()}
    for i, identity in objects(after)["BalancingGroups"].items():
        if identity in mode and mode[identity] != after["BalancingGroups"][i].get("Autobalance"):
            found.append("Autobalance changed on group %s, which stays" % identity[0])
    return found


# --- Random edits ------------------------------------------------------------

def ports(rnd, proto):
    if proto not in ("tcp", "udp", "", "ALL") or rnd.random() < 0.6:
        return 0, 0
    start = rnd.choice([0] + PORTS)
    return start, rnd.choice([0, start, start + rnd.choice([1, 100, 1000])])


def service_filter(rnd):
    proto = rnd.choice(PROTOS)
    (src, src_end), (dst, dst_end) = ports(rnd, proto), ports(rnd, proto)
    return {"SrcIP": rnd.choice(FILTERS), "DstIP": rnd.choice(FILTERS), "Proto": proto,
            "SrcPortStart": src, "SrcPortEnd": src_end, "DstPortStart": dst, "DstPortEnd": dst_end}


def columns(row):
    return ["%s=%s" % item for item in row.items()]


# Random rows of each table, and the columns a "set" changes; a "set" keeps
# the row's name or logical name. The choices lean towards states with
# something to balance: groups enabled, uplinks up, and uplinks and services
# in groups that exist (an edit that changes nothing is drawn again).

def group_id(rnd, tables):
    ids = [r["Id"] for r in tables["BalancingGroups"] if r["Enable"] == 1]
    return rnd.choice(ids) if ids and rnd.random() < 0.9 else rnd.choice(GROUP_IDS)


def group_row(rnd, tables, old):
    row = {"Id": rnd.choice(GROUP_IDS), "Enable": rnd.choice([1, 1, 1, 1, 0, 2]),
           "ClientInterface": rnd.choice(CLIENTS), "Sticky": rnd.randint(0, 1), "Autobalance": rnd.choice([0, 0, 1, 2])}
    return row, rnd.choice([["Enable"], ["ClientInterface"], ["Sticky"], ["Sticky", "Autobalance"], ["Id"],
                            ["Autobalance"]])


def uplink_row(rnd, tables, old):
    row = {"BalancingGroupId": group_id(rnd, tables), "Interface": rnd.choice(UPLINKS),
           "UsagePercent": rnd.choice(SHARES)}
    return row, [rnd.choice(list(row))]


def service_row(rnd, tables, old):
    row = dict({"Id": rnd.randint(1, 9), "BalancingGroupId": group_id(rnd, tables)}, **service_filter(rnd))
    return row, rnd.choice([["BalancingGroupId"], ["SrcIP", "DstIP"],
                            ["Proto", "SrcPortStart", "SrcPortEnd", "DstPortStart", "DstPortEnd"]])


def status_row(rnd, tables, old):
    # An uplink that is up goes down in one of five draws (an unchanged row
    # is drawn again), one that is down comes up: most are up most of the time.
    name = old["Name"] if old else rnd.choice(WANS)
    up = not old or old["Addr"] == "0.0.0.0" or rnd.random() < 4 / 5
    return {"Name": name, "Addr": ADDRESS[name] if up else "0.0.0.0"}, ["Addr"]


def gateway_row(rnd, tables, old):
    name = old["InterfaceName"] if old else rnd.choice(WANS)
    return {"InterfaceName": name, "GatewayAddress": rnd.choice(GATEWAYS[name])}, ["GatewayAddress"]


def mapping_row(rnd, tables, old):
    logical = old["LogicalName"] if old else rnd.choice(list(MAPPING))
    return {"LogicalName": logical, "PhysicalName": rnd.choice(MAPPING[logical])}, ["PhysicalName"]


# table: (how often it is edited, most rows, how often a row is deleted, random row)
TABLES = {
    "BalancingGroups": (3, 3, 0.5, group_row),
    "BalancingInterfaces": (6, 8, 0.5, uplink_row),
    "BalancingServices": (3, 4, 0.5, service_row),
    "StatusNetifWatch": (4, 3, 0.5, status_row),
    "DefaultWANGateway": (2, 3, 0.5, gateway_row),
    "InterfaceMapping": (2, 3, 0.5, mapping_row),
}


def step(tables, ranks, args):
    """One edit: the tables after it, the ranks of their rows in ORDERED (the
    rows of the objects it creates rank last, in row order) and what is wrong
    with it (problems)."""
    after = apply(tables, args)
    ranks = {t: list(r) for t, r in ranks.items()}
    last = max(n for r in ranks.values() for n in r + [-1])
    if args[1] in ranks and args[0] == "add":
        last += 1
        ranks[args[1]].append(last)
    if args[1] in ranks and args[0] == "del":
        del ranks[args[1]][int(args[2])]
    for table, rows in created(tables, after).items():
        for i in rows:
            last += 1
            ranks[table][i] = last
    return after, ranks, problems(tables, after)


def random_edit(rnd, tables, ranks):
    """A random edit that changes the tables and is valid, and what step
    returns for it. A table and an operation are drawn first, then rows until
    one gives such an edit, so that an operation that often changes nothing
    is not drawn less often for it."""
    while True:
        table = rnd.choices(list(TABLES), [weight for weight, _, _, _ in TABLES.values()])[0]
        _, most, deletes, random_row = TABLES[table]
        rows = tables.get(table, [])
        op = rnd.choices(["add", "del", "set"], [3 * (most - len(rows)), deletes * len(rows), 3 * len(rows)])[0]
        for _ in range(20):
            index = rnd.randrange(len(rows)) if rows else 0
            row, change = random_row(rnd, tables, rows[index] if op == "set" else None)
            args = {"add": ["add", table] + columns(row), "del": ["del", table, str(index)],
                    "set": ["set", table, str(index)] + columns({c: row[c] for c in change})}[op]
            after, after_ranks, found = step(tables, ranks, args)
            if after != tables and not found:
                return args, after, after_ranks


def splits(tables):
    """Some group has two members or more and a service."""
    found = objects(tables)
    members = [m[0] for m in found["BalancingInterfaces"].values()]
    return any(members.count(s[0]) >= 2 for s in found["BalancingServices"].values())


def random_edits(seed, count):
    """count random edits from START on. While no group splits, up to twenty
    edits are drawn and the first that makes one split is taken: the series
    spends most of its time where there is something to balance."""
    rnd = random.Random(seed)
    tables, ranks, edits = START, RANKS, []
    while len(edits) < count:
        for _ in range(1 if splits(tables) else 20):
            args, after, after_ranks = random_edit(rnd, tables, ranks)
            if splits(after):
                break
        edits.append(args)
        tables, ranks = after, after_ranks
    return edits


def main():
    if len(sys.argv) < 3 or sys.argv[1] != "plan":
        sys.exit(__doc__)
    if sys.argv[2] == "-":
        lines = (re.sub(r"^[#\s]*\d+:", "", line) for line in sys.stdin)
        edits = [line.split() for line in lines if line.strip() and not line.startswith("#")]
    else:
        edits = random_edits(int(sys.argv[2]), int(sys.argv[3]))
    print(json.dumps(START, separators=(",", ":")))
    tables, ranks = START, RANKS
    for args in edits:
        tables, ranks, found = step(tables, ranks, args)
        for problem in found:
            print("random_edits.py: %s: %s" % (" ".join(args), problem), file=sys.stderr)
        print(" ".join(args) + "\t" + json.dumps(in_order(tables, ranks), separators=(",", ":")))


if __name__ == "__main__":
    main()
