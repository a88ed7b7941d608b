#!/bin/bash
# The system bus and the route service go away under a running quorin: the
# daemon must go on running and no rule of its may disappear at any moment.
# On the demo configuration (three uplinks, netstatd as packaged), with 30
# held connections, 10 through each ISP:
#   1. the message bus is restarted (SIGTERM, then a new one on the same
#      socket): the held connections answer through their ISPs, and a route
#      added to the main table afterwards reaches every member table, so
#      quorin subscribed again;
#   2. netstatd is restarted after SIGTERM, and after SIGKILL;
#   3. netstatd is stopped and wan3 becomes a member while it is away: its
#      table gets the main table's routes at once, read from the kernel.
# A watcher polls the mangle table and the policy rules every 20 ms during
# each restart and records every poll that lacks a line the first poll had.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start bus_restart "$@"
scenario_routed
# A forwarded packet from the LAN whose mark names no member's table is
# dropped, instead of leaving through the main table's first default route.
lab_exec r ip rule add priority 32765 iif lan0 unreachable
cfg load "$LAB_SRC/docs/demo-config.json" >/dev/null
quorin_start
QLOG=$LAB_DIR/quorin.$SC_RUN.log

cat >"$LAB_DIR/watch.py" <<'EOF'
import os, re, subprocess, sys, time
stop = sys.argv[1]
def rules():
    mangle = subprocess.run(["iptables-save", "-t", "mangle"], capture_output=True, text=True).stdout
    policy = subprocess.run(["ip", "rule", "show"], capture_output=True, text=True).stdout
    # A rule added again at another priority is still there.
    policy = [re.sub(r"^\d+:\s*", "", l) for l in policy.splitlines()]
    return {l for l in mangle.splitlines() if l.startswith("-A ")} | set(policy)
first, polls = rules(), 1
print("watching", len(first), "lines", flush=True)
while not os.path.exists(stop):
    time.sleep(0.02)
    missing = first - rules()
    polls += 1
    for line in sorted(missing):
        print("%.3f lacks: %s" % (time.time(), line), flush=True)
print("polls", polls, flush=True)
EOF

# watch_start NAME / watch_stop NAME: the watcher around one case; once the
# daemon is quiet again its findings are checked.
watch_start() {
    lab_spawn r "$LAB_DIR/watch.$1.out" python3 "$LAB_DIR/watch.py" "$LAB_DIR/watch.$1.stop"
    WATCH_PID=$LAB_LAST_PID
    lab_wait_for 5 grep -q '^watching' "$LAB_DIR/watch.$1.out"
}
watch_stop() {
    local polls
    settle "$(wc -l <"$QUORIN_CMD_LOG")"
    touch "$LAB_DIR/watch.$1.stop"
    wait "$WATCH_PID"
    polls=$(sed -n 's/^polls //p' "$LAB_DIR/watch.$1.out")
    check "$1: the watcher polled throughout (${polls:-0} times)" test "${polls:-0}" -ge 10
    check_eq "$1: no rule was ever missing" "" "$(grep -v '^polls\|^watching' "$LAB_DIR/watch.$1.out")"
    check "$1: quorin still runs" lab_running "$SC_QUORIN_PID"
}

held_start

# member_tables: the numbers of the member tables, one a line.
member_tables() { kroutes | sed -n 's/^default via .* table \([0-9]*\).*/\1/p'; }
# in_every_table ROUTE: every member table holds a route to ROUTE.
in_every_table() {
    local t
    for t in $(member_tables); do lab_exec r ip route show table "$t" | grep -q "^$1 " || return 1; done
}
logged() { grep -c "$1" "$QLOG"; }
logged_more() { [ "$(logged "$1")" -gt "$2" ]; }

lab_log "--- 1. the message bus restarts"
reconnects=$(logged "connected to the system bus again")
watch_start bus
t0=$(sc_now)
lab_dbus_restart r
t1=$(sc_now)
lab_wait_for 10 logged_more "connected to the system bus again" "$reconnects"
t2=$(sc_now)
lab_log "the bus was away for $(sc_ms "$t0" "$t1") ms; quorin connected again $(sc_ms "$t1" "$t2") ms after it was back"
if ! lab_running "$SC_NETSTATD_PID"; then
    lab_log "netstatd ended with the bus; started again"
    netstatd_start
fi
lab_wait_for 10 bus_owned com.mirandel.network.IPv4Route || lab_log "netstatd did not take its names again"
watch_stop bus
check "bus: quorin logged the lost connection" grep -q "connection to the system bus was lost" "$QLOG"
check "bus: quorin logged the new connection" logged_more "connected to the system bus again" "$reconnects"
asked "bus restarted"
lab_exec r ip route add 172.16.9.0/24 via 10.2.0.1 dev wan2
check "bus: a route added afterwards reaches all $(member_tables | wc -l) member tables" \
    lab_wait_for 5 in_every_table 172.16.9.0/24

# netstatd_restart NAME SIGNAL: with the watcher running, ends netstatd with
# SIGNAL and starts it again.
netstatd_restart() {
    watch_start "$1"
    lab_stop "$SC_NETSTATD_PID" "$2"
    netstatd_start
    watch_stop "$1"
    asked "$1"
}
lab_log "--- 2. netstatd restarts"
netstatd_restart netstatd-term TERM
netstatd_restart netstatd-kill KILL
touch "$keep/end"
lab_stop "$KEEP_PID"

lab_log "--- 3. netstatd away while wan3 becomes a member"
edit del BalancingInterfaces 2
check "away: wan3 left the group" test "$(member_tables | wc -l)" = 2
lab_stop "$SC_NETSTATD_PID" TERM
edit add BalancingInterfaces BalancingGroupId=1 Interface=wan3 UsagePercent=20
wan3=$(kroutes | sed -n 's/^default via .* dev wan3 table \([0-9]*\).*/\1/p')
check "away: wan3 is a member again (table ${wan3:-none})" test -n "$wan3"
check "away: quorin still runs" lab_running "$SC_QUORIN_PID"
# Its table is filled from the kernel's main table with its rules: no
# route service is needed for that.
wan3_copied() { kroutes | grep -qx "main copied to table $wan3"; }
check "away: wan3's table has the main table's routes at once" wan3_copied
check_eq "away: no route query was made" "" "$(grep "route query:" "$QLOG")"
netstatd_start

quorin_stop
check_eq "the daemon ends with status 0" 0 "$LAB_STATUS"
[ "$LAB_FAILS" -eq 0 ] || sed 's/^/#   /' "$QLOG" | grep -v " TRACE \| DEBUG " | tail -n 40
lab_done
