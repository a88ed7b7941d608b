#!/usr/bin/env python3
# Table edits for random_edits_test.sh.
#
#     random_edits.py SEED COUNT EVERY
#
# prints the tables to start from (random_edits.json) as one JSON line, then
# a plan, one step a line: COUNT random edits (the cfgctl arguments);
# "compare" after every fifth edit and the last; "restart TERM" or "restart
# KILL" (in turn) after every EVERY-th edit, followed by another "compare";
# and "ask", a tab and the tables as a fresh daemon must read them to build
# what the long-running one holds at the next "compare". An "ask" comes as
# early as it can, before the edits that lead there, so that the fresh
# daemon runs while they are made; a "compare" with no "ask" since the last
# one compares with the same tables again.
#
# A fresh daemon builds its groups and services in row order; a running
# daemon appends one it creates (for a new row, or a row whose values
# changed) behind those it keeps. So the copy of the tables for a fresh
# daemon has the rows of groups and services in the order in which the
# long-running daemon created their objects; the long-running daemon's own
# tables keep cfgserver's order and see nothing but the edits. The members of
# a group are in the row order of "BalancingInterfaces" in either daemon, and
# a group whose "Autobalance" changes stays the same group. A restarted
# daemon is a fresh one on cfgserver's order (but for its member numbers).
#
# Edits are valid and keep each object distinct: one row per group Id,
# service Id, status or gateway interface and logical name, one row per
# uplink device within a group, every client interface resolvable. A mapping
# changes only while no group or uplink row uses its logical name. A sticky
# group that stays keeps at least one service: without services it would
# keep its members' re-record rules, which a fresh daemon does not write.

import json
import os
import random
import sys

WANS = ["wan1", "wan2", "wan3"]
ADDRESS = {w: "10.%s.0.2" % w[-1] for w in WANS}
GATEWAYS = {w: ["10.%s.0.1" % w[-1], "10.%s.0.254" % w[-1], "0.0.0.0"] for w in WANS}
UPLINKS = WANS + ["$$(WAN2)", "$$(UPLINK)"]
CLIENTS = ["lan0", "lan1", "$$(LAN)"]
MAPPING = {"WAN2": WANS, "UPLINK": WANS, "LAN": ["lan0", "lan1"]}
FILTERS = ["", "0.0.0.0", "192.168.1.10", "192.168.2.0/24", "203.0.113.9", "198.18.0.1"]
PROTOS = ["tcp", "udp", "", "ALL", "icmp"]
PORTS = [53, 80, 443, 1024, 8080]
SHARES = [0, 10, 20, 25, 30, 40, 50, 60, 75, 100]
GROUP_IDS = [1, 2, 3]
START = json.load(open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "random_edits.json")))
# The tables whose row order is the order in which the daemon created its objects.
ORDERED = ("BalancingGroups", "BalancingServices")


# --- The tables as cfgserver keeps them, and what the daemon makes of them ---

def apply(tables, args):
    # One cfgctl edit ("add", "set" or "del") applied to a copy of tables; a
    # value of decimal digits is an integer.
    tables = json.loads(json.dumps(tables))
    rows = tables[args[1]]
    cells = {c.split("=", 1)[0]: int(c.split("=", 1)[1]) if c.split("=", 1)[1].isdigit() else c.split("=", 1)[1]
             for c in args[2 + (args[0] != "add"):]}
    if args[0] == "add":
        rows.append(cells)
    elif args[0] == "set":
        rows[int(args[2])].update(cells)
    else:
        del rows[int(args[2])]
    return tables


def first(rows, column, text):
    # The first row whose column reads as text, as cfgserver's find; {} for none.
    return next((r for r in rows if column in r and str(r[column]) == text), {})


def resolve(tables, name):
    # The device a configured name stands for ("$$(X)" via InterfaceMapping).
    row = name.startswith("$$(") and first(tables["InterfaceMapping"], "LogicalName", name[3:-1])
    return str(row.get("PhysicalName", "")) if row else name


def objects(tables):
    # The daemon's groups, members and services, each as {row: identity}: an
    # object is kept while its identity stays, and re-created otherwise. A
    # row with "Autobalance" other than 0 or 1 is refused: no group.
    groups, by_id, members, services = {}, {}, {}, {}
    for i, row in enumerate(tables["BalancingGroups"]):
        if row["Enable"] == 1 and row["Autobalance"] in (0, 1) and row["Id"] not in by_id:
            groups[i] = by_id[row["Id"]] = (row["Id"], resolve(tables, row["ClientInterface"]), row["Sticky"] != 0)
    for i, row in enumerate(tables["BalancingInterfaces"]):
        name = resolve(tables, row["Interface"])
        address = first(tables["StatusNetifWatch"], "Name", name).get("Addr", "")
        if row["BalancingGroupId"] in by_id and address not in ("", "0.0.0.0"):
            members[i] = (by_id[row["BalancingGroupId"]], name)
    for i, row in enumerate(tables["BalancingServices"]):
        if row["BalancingGroupId"] in by_id:
            services[i] = (by_id[row["BalancingGroupId"]], json.dumps(row, sort_keys=True))
    return {"BalancingGroups": groups, "BalancingInterfaces": members, "BalancingServices": services}


def valid(before, after):
    # Whether the edit leaves the two daemons alike unless one is at fault: no
    # duplicates, every enabled group's client interface resolvable, no
    # mapping changed for a name that a group or uplink row uses (the daemon
    # reads a changed mapping only when it next reads a table that uses it,
    # so an operator changes the mapping first, then the rows), and no
    # sticky group that stays left without its last service (it keeps the
    # re-record rules of its members, which a fresh daemon writes only behind
    # service rules).
    keys = [[r[column] for r in after[table]] for table, column in (
        ("BalancingGroups", "Id"), ("BalancingServices", "Id"), ("StatusNetifWatch", "Name"),
        ("DefaultWANGateway", "InterfaceName"), ("InterfaceMapping", "LogicalName"))]
    keys.append([(r["BalancingGroupId"], resolve(after, r["Interface"])) for r in after["BalancingInterfaces"]])
    groups = after["BalancingGroups"]
    used = [r["ClientInterface"] for r in groups] + [r["Interface"] for r in after["BalancingInterfaces"]]
    served = [{s[0] for s in objects(t)["BalancingServices"].values()} for t in (before, after)]
    kept = objects(after)["BalancingGroups"].values()
    return (all(len(k) == len(set(k)) for k in keys) and all(resolve(before, n) == resolve(after, n) for n in used) and
            not any(r["Enable"] == 1 and "$$(" in resolve(after, r["ClientInterface"]) for r in groups) and
            not any(g[2] and g in served[0] and g not in served[1] for g in kept))


def step(tables, ranks, args):
    # One edit: the tables after it, the ranks of their rows in ORDERED (the
    # order in which the long-running daemon created their objects; those
    # the edit creates rank last, in row order) and whether it is valid.
    after, ranks = apply(tables, args), {t: list(r) for t, r in ranks.items()}
    last = max(n for r in ranks.values() for n in r + [-1])
    if args[1] in ranks and args[0] == "add":
        last += 1
        ranks[args[1]].append(last)
    if args[1] in ranks and args[0] == "del":
        del ranks[args[1]][int(args[2])]
    old, new = objects(tables), objects(after)
    for table in ORDERED:
        for i in sorted(i for i in new[table] if new[table][i] not in old[table].values()):
            last += 1
            ranks[table][i] = last
    return after, ranks, valid(tables, after)


# --- Random edits ------------------------------------------------------------
# Random rows of each table, and the columns a "set" changes; a "set" keeps
# the row's name or logical name. The choices lean towards states with
# something to balance: groups enabled, uplinks up, and uplinks and services
# in groups that exist (an edit that changes nothing is drawn again).

def group_id(rnd, tables):
    ids = [r["Id"] for r in tables["BalancingGroups"] if r["Enable"] == 1]
    return rnd.choice(ids) if ids and rnd.random() < 0.9 else rnd.choice(GROUP_IDS)


def ports(rnd, proto):
    if proto not in ("tcp", "udp", "", "ALL") or rnd.random() < 0.6:
        return 0, 0
    start = rnd.choice([0] + PORTS)
    return start, rnd.choice([0, start, start + rnd.choice([1, 100, 1000])])


def group_row(rnd, tables, old):
    row = {"Id": rnd.choice(GROUP_IDS), "Enable": rnd.choice([1, 1, 1, 1, 0, 2]),
           "ClientInterface": rnd.choice(CLIENTS), "Sticky": rnd.randint(0, 1),
           "Autobalance": rnd.choice([0, 0, 1, 1, 2])}
    return row, rnd.choice([["Enable"], ["ClientInterface"], ["Sticky"], ["Sticky", "Autobalance"], ["Id"],
                            ["Autobalance"]])


def uplink_row(rnd, tables, old):
    row = {"BalancingGroupId": group_id(rnd, tables), "Interface": rnd.choice(UPLINKS),
           "UsagePercent": rnd.choice(SHARES)}
    return row, [rnd.choice(list(row))]


def service_row(rnd, tables, old):
    row = {"Id": rnd.randint(1, 9), "BalancingGroupId": group_id(rnd, tables)}
    proto = rnd.choice(PROTOS)
    (src, src_end), (dst, dst_end) = ports(rnd, proto), ports(rnd, proto)
    row.update(SrcIP=rnd.choice(FILTERS), DstIP=rnd.choice(FILTERS), Proto=proto, SrcPortStart=src, SrcPortEnd=src_end,
               DstPortStart=dst, DstPortEnd=dst_end)
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
TABLES = {"BalancingGroups": (3, 3, 0.5, group_row), "BalancingInterfaces": (6, 8, 0.5, uplink_row),
          "BalancingServices": (3, 4, 0.5, service_row), "StatusNetifWatch": (4, 3, 0.5, status_row),
          "DefaultWANGateway": (2, 3, 0.5, gateway_row), "InterfaceMapping": (2, 3, 0.5, mapping_row)}


def random_edit(rnd, tables, ranks):
    # A random edit that changes the tables and is valid, and what step
    # returns for it. A table and an operation are drawn first, then rows
    # until one gives such an edit, so that an operation that often changes
    # nothing is not drawn less often for it.
    while True:
        table = rnd.choices(list(TABLES), [weight for weight, _, _, _ in TABLES.values()])[0]
        _, most, deletes, random_row = TABLES[table]
        rows = tables[table]
        op = rnd.choices(["add", "del", "set"], [3 * (most - len(rows)), deletes * len(rows), 3 * len(rows)])[0]
        for _ in range(20):
            index = rnd.randrange(len(rows)) if rows else 0
            row, change = random_row(rnd, tables, rows[index] if op == "set" else None)
            args = {"add": ["add", table] + ["%s=%s" % cell for cell in row.items()], "del": ["del", table, str(index)],
                    "set": ["set", table, str(index)] + ["%s=%s" % (c, row[c]) for c in change]}[op]
            after, after_ranks, ok = step(tables, ranks, args)
            if after != tables and ok:
                return args, after, after_ranks


def splits(tables):
    # Some group has two members or more and a service.
    found = objects(tables)
    members = [m[0] for m in found["BalancingInterfaces"].values()]
    return any(members.count(s[0]) >= 2 for s in found["BalancingServices"].values())


def dump(tables):
    return json.dumps(tables, separators=(",", ":"))


def main(seed, count, every):
    # While no group splits, up to twenty edits are drawn and the first that
    # makes one split is taken: the series spends most of its time where
    # there is something to balance. A restart creates every object anew, in
    # row order.
    rnd = random.Random(seed)
    tables, ranks = START, {t: list(range(len(START[t]))) for t in ORDERED}
    plan, stretch = [dump(START)], 1
    for edit in range(1, count + 1):
        for _ in range(1 if splits(tables) else 20):
            args, after, after_ranks = random_edit(rnd, tables, ranks)
            if splits(after):
                break
        tables, ranks = after, after_ranks
        plan.append(" ".join(args))
        if edit % 5 and edit < count:
            continue
        copy = dump(dict(tables, **{t: [row for _, row in sorted(zip(ranks[t], tables[t]))] for t in ORDERED}))
        plan[stretch:stretch] = ["ask\t" + copy]
        plan.append("compare")
        if edit % every == 0:
            ranks = {t: list(range(len(tables[t]))) for t in ORDERED}
            plan += ["ask\t" + dump(tables)] * (dump(tables) != copy)
            plan += ["restart " + ("KILL" if edit // every % 2 == 0 else "TERM"), "compare"]
        stretch = len(plan)
    print("\n".join(plan))


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]))
