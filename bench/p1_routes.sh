#!/bin/bash
# P1: the full copy of the main routing table into every member table, from
# the commit that creates the group until the last copy is in place, with
# 10,000 main routes and four members (40,000 route lines). The same lines,
# into scratch tables, are then loaded by "ip -batch" and, on a sample, by
# one ip process per line, in the same router.
# P1b: routes added to the main table one at a time, each timed from its
# appearance in the main table to its copy in the last member table, both
# stamped by "ip -ts monitor".
# P1c: 100,000 routes added to the main table by one "ip -batch", then
# 50,000 of them deleted by another: once the daemons are quiet, the copies
# missing from each member table and those left over (both must be 0).
#   sudo bench/p1_routes.sh        (bench/run runs it with the others)
# Runs quorin without debug output and without a command log, as on a router.

. "$(dirname "$0")/lib.sh"
bench_init p1 "$@"
ROUTES=${BENCH_ROUTES:-$(bench_size 10000 200)}
SAMPLE=$(bench_size 500 20)
FOLLOWED=$(bench_size 1000 20)
BURST=$(bench_size 100000 500)

# netstatd as the packaged service runs it.
SC_NETSTATD_ARGS="-m" SC_NETSTATD_DEBUG=""
scenario_start >/dev/null
lab_netns u4
lab_veth r wan4 u4 up4 || exit 1
lab_exec r ip addr add 10.4.0.2/24 dev wan4
for i in 1 2 3 4; do lab_exec r ip route add default via 10.$i.0.1 dev wan$i metric $((100 + i)); done
lab_wait_for 10 sc_status_written 4 || { echo "FAIL: netstatd did not write the gateways"; exit 1; }
cat >"$LAB_DIR/config.json" <<'JSON'
{"Balancing": [{"Verbose": 0, "StickyTimeout": 120}],
 "BalancingGroups": [{"Id": 1, "ClientInterface": "lan0", "Sticky": 0, "Autobalance": 0, "Enable": 0}],
 "BalancingInterfaces": [{"BalancingGroupId": 1, "Interface": "wan1", "UsagePercent": 25},
                         {"BalancingGroupId": 1, "Interface": "wan2", "UsagePercent": 25},
                         {"BalancingGroupId": 1, "Interface": "wan3", "UsagePercent": 25},
                         {"BalancingGroupId": 1, "Interface": "wan4", "UsagePercent": 25}],
 "BalancingServices": [{"Id": 1, "BalancingGroupId": 1, "Proto": "tcp", "DstPortStart": 80, "DstPortEnd": 80}]}
JSON
cfg load "$LAB_DIR/config.json" >/dev/null

# routes N FIRST: N distinct /24 routes (from 20.0.0.0 on) through the uplinks in turn, as
# "DEST GATEWAY DEVICE" lines, starting from the FIRST-th.
routes() {
    python3 - "$1" "$2" <<'PY'
import sys
n, first = int(sys.argv[1]), int(sys.argv[2])
for i in range(first, first + n):
    up = i % 4 + 1
    print("%d.%d.%d.0/24 10.%d.0.1 wan%d" % (20 + i // 65536, i // 256 % 256, i % 256, up, up))
PY
}
routes "$ROUTES" 0 | awk '{print "route add " $1 " via " $2 " dev " $3}' >"$LAB_DIR/main.batch"
lab_exec r ip -batch "$LAB_DIR/main.batch" || { echo "FAIL: cannot load the main table"; exit 1; }

unset QUORIN_CMD_LOG
lab_spawn r "$LAB_DIR/quorin.log" "$LAB_BIN/quorin" -p "$LAB_DIR"
SC_QUORIN_PID=$LAB_LAST_PID
sleep 1
lab_running "$SC_QUORIN_PID" || { echo "FAIL: quorin did not start"; exit 1; }

member_tables() { lab_exec r ip rule show | sed -n 's/.*from 10\.[1-4]\.0\.2 lookup \([0-9]*\).*/\1/p' | sort -n; }
routes_in() { lab_exec r ip -4 route show table "$1" | wc -l; }
# What a complete member table holds: a copy of every main route but the
# default route (ours and the uplinks' own subnets), and its own default route.
expected=$(($(lab_exec r ip -4 route show table main | grep -vc '^default') + 1))

# P1: enabling the group commits it, and each member's table is filled with
# the main table's copies before its rules. The clock starts at the table
# edit and stops when the last member table is complete.
sync_s=$(lab_exec r python3 - "$LAB_BIN/cfgctl" "$expected" <<'PY'
import re, subprocess, sys, time
cfgctl, expected = sys.argv[1], int(sys.argv[2])
mon = subprocess.Popen(["ip", "-ts", "monitor", "rule"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
time.sleep(0.3)
start, tables = time.time(), set()
subprocess.run([cfgctl, "set", "BalancingGroups", "0", "Enable=1"], check=True, stdout=subprocess.DEVNULL)
while len(tables) < 4:
    line = mon.stdout.readline()
    m = re.match(r"\[([^]]*)\] .*from 10\.[1-4]\.0\.2 lookup (\d+)", line)
    if m:
        tables.add(m.group(2))
mon.kill()
last = max(tables, key=int)
deadline = time.time() + 120
while time.time() < deadline:
    listing = subprocess.run(["ip", "-4", "route", "show", "table", last], capture_output=True, text=True).stdout
    if listing.count("\n") >= expected:
        print("%.3f" % (time.time() - start))
        break
PY
)
[ -n "$sync_s" ] || { echo "FAIL: no full copy"; exit 1; }
tables=$(member_tables)
for t in $tables; do
    n=$(routes_in "$t")
    [ "$n" = "$expected" ] || { echo "FAIL: table $t holds $n routes, not $expected"; exit 1; }
done

# The same lines, into four scratch tables: by ip -batch, by the command
# runner alone, and by one ip process per line on a sample.
scratch() {
    local t
    for t in 9001 9002 9003 9004; do
        routes "$1" "$2" | awk -v t=$t '{print "ip route add table " t " " $1 " via " $2 " dev " $3}'
    done
}
scratch "$ROUTES" 0 >"$LAB_DIR/scratch.lines"
sed 's/^ip //' "$LAB_DIR/scratch.lines" >"$LAB_DIR/scratch.batch"
scratch $((SAMPLE / 4)) 0 >"$LAB_DIR/sample.lines"
read -r batch_s runner_s per_line_s < <(lab_exec r python3 - "$LAB_DIR" "$LAB_BIN/runlines" "$ROUTES" "$SAMPLE" <<'PY'
import subprocess, sys, time
d, runlines, routes, sample = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
def flush():
    for t in range(9001, 9005):
        subprocess.run(["ip", "route", "flush", "table", str(t)], stderr=subprocess.DEVNULL)
def timed(f):
    a = time.monotonic()
    f()
    took = time.monotonic() - a
    flush()
    return took
batch = timed(lambda: subprocess.run(["ip", "-batch", d + "/scratch.batch"], check=True))
runner = timed(lambda: subprocess.run([runlines], stdin=open(d + "/scratch.lines"), check=True))
lines = [l.split() for l in open(d + "/sample.lines")]
per_line = timed(lambda: [subprocess.run(w, check=True) for w in lines]) * 4 * routes / len(lines)
print("%.3f %.3f %.1f" % (batch, runner, per_line))
PY
)
lines=$((ROUTES * 4))
echo "# full copy $sync_s s; the same $lines lines: ip -batch $batch_s s, the runner alone $runner_s s," \
    "one ip per line ${per_line_s} s (scaled from $SAMPLE)"
ratio=$(python3 -c "print('%.2f' % ($sync_s / $batch_s))")
bench_row P1 "full route copy, $ROUTES main routes x 4 member tables" "$sync_s s = ${ratio}x ip -batch ($batch_s s)" \
    "<= 0.5x ip -batch" "$(python3 -c "print('met' if $ratio <= 0.5 else 'missed')")"
bench_row P1 "  the same against one ip process per line" "$(python3 -c "print('%.0fx faster' % ($per_line_s / $sync_s))")" \
    ">= 100x (one per line: $per_line_s s)" "$(python3 -c "print('met' if $per_line_s / $sync_s >= 100 else 'missed')")"

# The route query's answer as netstatd gives it: the whole call, and the part
# netstatd spends reading the table (its loop serves no event meanwhile).
call_ms=$(lab_exec r python3 - "$DBUS_SYSTEM_BUS_ADDRESS" <<'PY'
import subprocess, sys, time
a = time.monotonic()
subprocess.run(["busctl", "--address=" + sys.argv[1], "call", "com.mirandel.network.IPv4Route",
                "/com/mirandel/network/IPv4Route", "com.mirandel.network.IPv4Route", "GetIPv4RoutesFromTable",
                "u", "254"], check=True, stdout=subprocess.DEVNULL)
print("%.0f" % ((time.monotonic() - a) * 1000))
PY
)
read_ms=$(sed -n 's/.*GetIPv4RoutesFromTable(254): \([0-9]*\) routes, read in \([0-9]*\) ms.*/\2/p' "$LAB_DIR/netstatd.log" | tail -n1)
bench_row P1 "  netstatd's answer of the $expected main routes (GetIPv4RoutesFromTable)" \
    "${call_ms} ms, ${read_ms} ms of it reading" "-" "-"

# P1b: one main route at a time, followed into the member tables.
MON=$LAB_DIR/monitor.log
lab_spawn r "$MON" ip -ts monitor route
MON_PID=$LAB_LAST_PID
sleep 0.3
routes "$FOLLOWED" "$ROUTES" >"$LAB_DIR/followed"
lab_exec r python3 - "$LAB_DIR/followed" "$MON" $tables <<'PY' >"$LAB_DIR/latencies" || { echo "FAIL: routes not followed"; exit 1; }
import datetime, re, subprocess, sys, time
followed, monitor, tables = sys.argv[1], sys.argv[2], sys.argv[3:]
mon = open(monitor)
def stamp(line):
    return datetime.datetime.fromisoformat(line[1:line.index("]")]).timestamp()
for route in open(followed):
    dest, gw, dev = route.split()
    subprocess.run(["ip", "route", "add", dest, "via", gw, "dev", dev], check=True)
    prefix = dest.split("/")[0]
    main, copies, deadline = None, set(), time.time() + 5
    last = None
    while (main is None or len(copies) < len(tables)) and time.time() < deadline:
        line = mon.readline()
        if not line:
            time.sleep(0.001)
            continue
        m = re.match(r"\[[^]]*\] (\S+) .*?(?:table (\d+))?\s*$", line)
        if not m or m.group(1).split("/")[0] != prefix:
            continue
        if m.group(2) in tables:
            copies.add(m.group(2))
            last = stamp(line)
        elif m.group(2) is None:
            main = stamp(line)
    if main is None or len(copies) < len(tables):
        sys.exit("%s was not followed into every member table" % dest)
    print("%.2f" % ((last - main) * 1000))
PY
mapfile -t lat <"$LAB_DIR/latencies"
echo "# incremental: ${#lat[@]} routes followed"
bench_row P1b "a main route added -> copied into all 4 member tables, p50 / p99 ($FOLLOWED routes)" \
    "$(bench_pct 50 "${lat[@]}") / $(bench_pct 99 "${lat[@]}") ms" "p50 <= 2 ms" \
    "$(python3 -c "print('met' if $(bench_pct 50 "${lat[@]}") <= 2 else 'missed')")"

lab_stop "$MON_PID"

# P1c: a burst of adds, then one of deletes, through the four gateways.
lab_exec r python3 "$here_bench/../tests/lab/routes.py" make "$BURST" 0 60.0.0.0 \
    10.1.0.1=wan1,10.2.0.1=wan2,10.3.0.1=wan3,10.4.0.1=wan4 >"$LAB_DIR/burst.routes"
awk '{ print "route add " $1 " via " $2 " dev " $3 }' "$LAB_DIR/burst.routes" >"$LAB_DIR/burst-add.batch"
awk 'NR % 2 { print "route del " $1 " via " $2 " dev " $3 }' "$LAB_DIR/burst.routes" >"$LAB_DIR/burst-del.batch"
for step in add del; do
    lab_exec r ip -batch "$LAB_DIR/burst-$step.batch" || { echo "FAIL: ip -batch of the burst ($step)"; exit 1; }
    quiet_s=$(bench_quiet 2 300 "$SC_QUORIN_PID" "$SC_NETSTATD_PID" "$LAB_DBUS_PID") ||
        echo "# still busy after 300 s"
    verdict=met
    copies=$(bench_copies $tables) || verdict=missed
    [ "$step" = add ] && what="$BURST main routes added by one ip -batch" || what="  then $((BURST / 2)) deleted by one"
    bench_row P1c "$what: copies in the 4 member tables (quiet after $quiet_s s)" "$copies" "0 missing, 0 extra" \
        "$verdict"
done

quorin_stop
[ "$LAB_STATUS" = 0 ] || { echo "FAIL: quorin ended with status $LAB_STATUS"; exit 1; }
