#!/bin/bash
# Open connections keep their uplink: 30 TCP connections from the client,
# 10 through each ISP (docs/demo-config.json, netstatd writing the status
# tables), are asked again after each edit of the balancing, a gateway
# change, a point-to-point uplink (a default route without gateway) and
# each restart of quorin, and every one must still answer, through the ISP
# it had. (A renewal of the base uplink's address, del and add at once, ends
# the connections masqueraded through it in the kernel itself; after it the
# split must not collapse, and a fresh daemon must write the same state.) A connection's conntrack mark is its member's
# number: an edit that gives a member a new number, or a restart that
# numbers the members afresh, strands the connections of the old one. A
# stranded connection is replaced by a new one, so that every step starts
# with 30 live connections.
#
# Then the system bus and the route service go away under the running
# quorin: it must go on running and no rule of its may disappear at any
# moment, and the connections must answer through their ISPs again:
#   - the message bus is restarted (SIGTERM, then a new one on the same
#     socket): a route added to the main table afterwards reaches every
#     member table, so quorin subscribed again;
#   - netstatd is restarted after SIGTERM, and after SIGKILL;
#   - netstatd is stopped and wan3 becomes a member while it is away: its
#     table gets the main table's routes at once, read from the kernel.
# Last, forged route and address signals of an unprivileged user change
# nothing, and root's are followed.
# A watcher polls the mangle table and the policy rules every 20 ms during
# each restart and records every poll that lacks a line the first poll had.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start open_connections "$@"
scenario_routed
# A forwarded packet from the LAN whose mark names no member's table is
# dropped here, instead of leaving through the main table's first default
# route (wan1), where a connection of u1 would survive by chance.
lab_exec r ip rule add priority 32765 iif lan0 unreachable
before=$(kfull)

# wan1_gateway GATEWAY: wan1's default route through GATEWAY ("-": none, as
# on a point-to-point link); returns once netstatd has written it and the
# daemon has settled.
wan1_gateway() {
    local lines want=${1/#-/0.0.0.0}
    lines=$(wc -l <"$QUORIN_CMD_LOG")
    sc_default_route replace 1 "$1"
    lab_wait_for 5 wan1_gateway_is "$want" || echo "# netstatd did not write wan1's gateway $want"
    settle "$lines"
}
wan1_gateway_is() { cfg dump DefaultWANGateway | jq -e --arg g "$1" '.DefaultWANGateway[] | select(.InterfaceName == "wan1" and .GatewayAddress == $g)'; }

# wan1's address comes after quorin started: its member's number is then not
# the one a fresh start on the three uplinks gives it, and a restart that
# numbered the members afresh would show.
lab_exec r ip addr del 10.1.0.2/24 dev wan1
lab_wait_for 5 sc_status_written 2 || echo "# netstatd did not remove wan1's gateway"
cfg load "$LAB_SRC/docs/demo-config.json" >/dev/null
quorin_start
lab_exec r ip addr add 10.1.0.2/24 dev wan1
wan1_gateway 10.1.0.1
routes=$(kroutes)
read -r n1 n2 n3 < <(for i in 1 2 3; do sed -n "s/^default via \S* dev wan$i table \([0-9]*\).*/\1/p" <<<"$routes"; done | tr '\n' ' ')
check "wan1, whose address came last, holds the highest member number ($n1; wan2 $n2, wan3 $n3)" test "$n1" -gt "$n2" -a "$n1" -gt "$n3"

held_start

lab_log "--- edits: the shares to 40/40/30 one by one, the group's Autobalance, StickyTimeout"
while read -r table row value <&3; do
    edit set "$table" "$row" "$value"
    asked "$table row $row set to $value"
done 3<<'EDITS'
BalancingInterfaces 0 UsagePercent=40
BalancingInterfaces 1 UsagePercent=40
BalancingInterfaces 2 UsagePercent=30
BalancingGroups 0 Autobalance=1
Balancing 0 StickyTimeout=60
EDITS

lab_log "--- quorin restarted after SIGTERM"
quorin_stop
quorin_start
asked "SIGTERM and a new start"

lab_log "--- wan1's gateway moves from 10.1.0.1 to 10.1.0.254"
lab_exec u1 ip addr add 10.1.0.254/24 dev up1
wan1_gateway 10.1.0.254
asked "wan1's gateway moved"
check_eq "wan1's member table routes through the new gateway" "10.1.0.254" \
    "$(kroutes | sed -n 's/^default via \(\S*\) dev wan1 .*/\1/p')"
check "new connections go through every ISP, none lost" through "$(spread 60)" u1 u2 u3

lab_log "--- wan1 becomes a point-to-point link: its default route has no gateway"
wan1_gateway -
asked "wan1 lost its gateway"
check_eq "wan1's member table routes straight out of wan1" "default dev wan1" \
    "$(kroutes | grep -o '^default dev wan1\b')"
check "new connections go through every ISP, none lost" through "$(spread 60)" u1 u2 u3

lab_log "--- wan1's address goes and comes back at once (a reconnect that keeps it)"
# In one batch: the kernel drops the routes of an interface that loses its
# last address, so the default route comes back too. The connections of u1
# that the kernel ended are asked and so replaced, unchecked.
printf '%s\n' 'addr del 10.1.0.2/24 dev wan1' 'addr add 10.1.0.2/24 dev wan1' \
    "route add default dev wan1 metric $((200 + $(lab_exec r cat /sys/class/net/wan1/ifindex)))" | lab_exec r ip -batch -
sleep 1
settle
round=$((round + 1))
touch "$keep/ask.$round"
lab_wait_for 60 answered "$round"
check "the split did not collapse onto the other uplinks" through "$(spread 100)" u1 u2 u3
renewed=$(kcanon)
# Which number each uplink's address and mark lead to.
numbers() { lab_exec r ip rule show | cut -f2 | LC_ALL=C sort; }
numbered=$(numbers)

lab_log "--- quorin restarted after SIGKILL and quorin-firewall prepare"
lab_stop "$SC_QUORIN_PID" KILL
lab_exec r "$LAB_BIN/quorin-firewall" prepare >/dev/null
quorin_start
asked "SIGKILL, prepare and a new start"
check_eq "the kernel holds what the daemon before it held after the renewal" "$renewed" "$(kcanon)"
check_eq "and every uplink has the number it had" "$numbered" "$(numbers)"

lab_log "--- quorin restarted by hand after SIGKILL, without the firewall step"
lab_stop "$SC_QUORIN_PID" KILL
quorin_start
asked "SIGKILL and a start by hand"
check "new connections go through every ISP, none lost" through "$(spread 60)" u1 u2 u3

lab_log "--- wan1 gets its gateway back"
wan1_gateway 10.1.0.254
asked "wan1's gateway back"

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


# member_tables: the numbers of the member tables, one a line.
member_tables() { kroutes | sed -n 's/^default via .* table \([0-9]*\).*/\1/p'; }
# in_every_table ROUTE: every member table holds a route to ROUTE.
in_every_table() {
    local t
    for t in $(member_tables); do lab_exec r ip route show table "$t" | grep -q "^$1 " || return 1; done
}
logged() { grep -c "$1" "$QLOG"; }
logged_more() { [ "$(logged "$1")" -gt "$2" ]; }

lab_log "--- the message bus restarts"
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
lab_exec r ip route del 172.16.9.0/24

# netstatd_restart NAME SIGNAL: with the watcher running, ends netstatd with
# SIGNAL and starts it again.
netstatd_restart() {
    watch_start "$1"
    lab_stop "$SC_NETSTATD_PID" "$2"
    netstatd_start
    watch_stop "$1"
    asked "$1"
}
lab_log "--- netstatd restarts"
netstatd_restart netstatd-term TERM
netstatd_restart netstatd-kill KILL
touch "$keep/end"
wait "$KEEP_PID"

lab_log "--- netstatd away while wan3 becomes a member"
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

lab_log "--- forged signals"
state=$(kstate)
# route USER SIGNAL: a route signal for 10.99.0.0/16 from that user.
route() {
    local as=()
    [ "$1" = root ] || as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    lab_exec r "${as[@]}" dbus-send --system --type=signal /com/mirandel/network/IPv4Route \
        "com.mirandel.network.IPv4Route.$2" string:10.99.0.0 byte:16 string:10.3.0.1 string:static string:wan3 uint32:254
}
lab_exec r setpriv --reuid=65534 --regid=65534 --clear-groups dbus-send --system --type=signal \
    /com/mirandel/network/IPv4Address com.mirandel.network.IPv4Address.RemovedIPv4Address string:wan3 string:10.3.0.2
route nobody NewIPv4Route
sleep 0.5
check_eq "an unprivileged user's signals change nothing" "$state" "$(kstate)"
# The same route signal from root does reach the daemon: the check above
# could have failed.
forged() { [ "$(lab_exec r ip route show table 256 10.99.0.0/16 | wc -l)" = "$1" ]; }
route root NewIPv4Route
check "root's signal is followed" lab_wait_for 5 forged 1
route root RemovedIPv4Route
lab_wait_for 5 forged 0 && settle
check_eq "and the removal as well" "$state" "$(kstate)"

lab_log "--- SIGTERM"
quorin_stop
check_eq "the daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "mangle, policy rules, every routing table and the sets are as before quorin started" \
    "${before//via 10.1.0.1 dev wan1/via 10.1.0.254 dev wan1}" "$(kfull)"
lab_done
