#!/bin/bash
# Lab test of netstatd alone: the real program against the kernel of a
# network namespace, with a private message bus and configuration service.
# A monitor records every signal of the three interfaces; each change made
# with "ip" must give the expected signals, the status tables must hold the
# change before its signal goes out, and the service must come back after
# the configuration service and the bus restart.

. "$(dirname "$0")/lib.sh"
lab_init netstatd
lab_private_tmp "$@"

N=$LAB_BIN/netstatd
CTL=$LAB_BIN/cfgctl
D=$LAB_DIR
for program in "$N" "$CTL" "$LAB_BIN/cfgserver"; do
    [ -x "$program" ] || { echo "FAIL: $program is missing"; exit 1; }
done
# No instance may reach the machine's own system bus before ours runs.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$D/no-bus.socket"
unset KOR_TRACELEVEL

lab_netns r1
lab_netns p1
lab_veth r1 d1 p1 u1
lab_veth r1 d2 p1 u2
lab_dbus r1 || exit 1

r1() { lab_exec r1 "$@"; }
nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

# --- recording the signals
# The monitor's log as one line per signal: member and arguments.
cat >"$D/signals.awk" <<'EOF'
function flush() { if (line != "") print line; line = "" }
/^[a-z]/ { flush() }
/^signal .*interface=com\.mirandel\.network\./ { match($0, /member=[A-Za-z0-9]+/); line = substr($0, RSTART + 7, RLENGTH - 7) }
line != "" && /^   (string|boolean|byte|uint32) / { v = $0; sub(/^   [a-z0-9]+ /, "", v); gsub(/"/, "", v); line = line " " v }
END { flush() }
EOF
start_monitor() {
    lab_spawn r1 "$D/monitor$1.log" dbus-monitor --system \
        "type='signal',interface='com.mirandel.network.IPv4Address'" \
        "type='signal',interface='com.mirandel.network.InterfaceStatus'" \
        "type='signal',interface='com.mirandel.network.IPv4Route'"
    MONITOR_LOG=$D/monitor$1.log
    # Root may send these signals: a probe that shows the monitor listens.
    lab_wait_for 5 probe_seen "probe$1"
}
probe_seen() {
    r1 dbus-send --system --type=signal /probe com.mirandel.network.IPv4Address.NewIPv4Address \
        string:"$1" string:0.0.0.0
    signals | grep -Fxq "NewIPv4Address $1 0.0.0.0"
}
signals() { awk -f "$D/signals.awk" "${1:-$MONITOR_LOG}"; }
# mark: later checks look only at the signals recorded after it.
mark() { MARK=$(signals | wc -l); }
since() { signals | tail -n +$((MARK + 1)); }
seen() { since | grep -Fxq -- "$1"; }
wait_seen() { lab_wait_for 5 seen "$1"; }
not_seen() { ! seen "$1"; }
# line_of SIGNAL: its line number after the mark.
line_of() { since | grep -Fxn -- "$1" | head -n1 | cut -d: -f1; }
before() { local a b; a=$(line_of "$1"); b=$(line_of "$2"); [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ]; }

# --- the status tables, as "value value" lines in row order
table() {
    "$CTL" dump "$1" 2>/dev/null | python3 -c '
import json, sys
t = json.load(sys.stdin).get(sys.argv[1], [])
cols = sys.argv[2:]
for row in t: print(" ".join(str(row.get(c, "?")) for c in cols))' "$1" "${@:2}"
}
netif() { table StatusNetifWatch Name Addr; }
gateways() { table DefaultWANGateway InterfaceName GatewayAddress; }
netif_has() { netif | grep -Fx -- "$1" >/dev/null; }
gateways_are() { [ "$(gateways)" == "$1" ]; }

# --- GetIPv4RoutesFromTable against "ip route show table N"
routes_via_bus() {
    "$@" dbus-send --system --print-reply --dest=com.mirandel.network.IPv4Route /com/mirandel/network/IPv4Route \
        com.mirandel.network.IPv4Route.GetIPv4RoutesFromTable uint32:"$TABLE" |
        sed -n 's/^ *string "\(.*\)"$/\1/p' | paste -d' ' - - - - -
}
routes_via_ip() {
    r1 ip -N -j -d route show table "$TABLE" | python3 -c '
import json, sys
names = {"2": "kernel", "3": "boot", "4": "static", "16": "dhcp"}
for r in json.load(sys.stdin):
    if r.get("type") != "1":
        continue
    dst = "0.0.0.0/0" if r["dst"] == "default" else r["dst"]
    if "/" not in dst:
        dst += "/32"
    hop = r["nexthops"][0] if "nexthops" in r else r
    print(dst.replace("/", " "), hop.get("gateway", "0.0.0.0"), names.get(r["protocol"], r["protocol"]), hop.get("dev", ""))'
}
same_routes() {
    TABLE=$1
    local bus ip
    bus=$(routes_via_bus "${@:2}") && ip=$(routes_via_ip) && [ -n "$ip" ] && [ "$bus" == "$ip" ] && return 0
    printf 'bus:\n%s\nip:\n%s\n' "$bus" "$ip" | sed 's/^/#   /'
    return 1
}

# --- the command line
r1 "$N" -h >/dev/null 2>"$D/usage.txt"
check_eq "-h exits 0" 0 $?
check "-h prints the usage on standard error" grep -q "^Usage: netstatd" "$D/usage.txt"
r1 "$N" -x >/dev/null 2>&1
check_eq "an unknown option exits 1" 1 $?

# --- start
lab_spawn r1 "$D/cfgserver.log" "$LAB_BIN/cfgserver" -f "$D/store.json"
CFG_PID=$LAB_LAST_PID
lab_wait_for 5 "$CTL" dump || { echo "FAIL: cfgserver did not start"; exit 1; }
start_monitor 1
check "the monitor records signals" probe_seen probe1
# A monitor sees every message, also those the bus refuses to deliver; an
# unprivileged listener gets only what the bus lets through.
lab_spawn r1 "$D/listener.log" setpriv --reuid=65534 --regid=65534 --clear-groups \
    dbus-monitor --system "type='signal',interface='com.mirandel.network.IPv4Address'"
lab_wait_for 5 grep -q "^signal" "$D/listener.log"
r1 ip addr add 10.8.0.9/24 dev d2
mark
lab_spawn r1 "$D/netstatd.log" "$N" -d -p "$D"
NETSTATD_PID=$LAB_LAST_PID

lab_log "--- the state is published when the bus is reached"
check "StatusChange d1 true at start" wait_seen "StatusChange d1 true"
check "LinkStatusChange d1 true at start" seen "LinkStatusChange d1 true"
check "NewIPv4Address of an address present at start" seen "NewIPv4Address d2 10.8.0.9"
check "no route signals at start" not_seen "NewIPv4Route 10.8.0.0 24 0.0.0.0 kernel d2 254"
check_eq "StatusNetifWatch at start (no lo)" "d1 0.0.0.0
d2 10.8.0.9" "$(netif)"
check_eq "DefaultWANGateway at start" "" "$(gateways)"
r1 ip addr del 10.8.0.9/24 dev d2

lab_log "--- addresses"
mark
r1 ip addr add 10.9.0.2/24 dev d1
check "NewIPv4Address d1 10.9.0.2" wait_seen "NewIPv4Address d1 10.9.0.2"
check "NewIPv4Route for the prefix route" wait_seen "NewIPv4Route 10.9.0.0 24 0.0.0.0 kernel d1 254"
check "StatusNetifWatch shows the primary address" netif_has "d1 10.9.0.2"
r1 ip addr add 10.9.0.3/24 dev d1
check "NewIPv4Address for a secondary address" wait_seen "NewIPv4Address d1 10.9.0.3"
check "the secondary address is not the primary" netif_has "d1 10.9.0.2"
check "no local or broadcast routes are reported" eval '! since | grep -q "Route 10.9.0.\(2\|3\|255\) "'

lab_log "--- routes, main table and table 100"
mark
r1 ip route add default via 10.9.0.1 dev d1
r1 ip route add 10.50.0.0/16 via 10.9.0.1 proto static table 100
r1 ip route add 10.60.0.0/16 dev d1 proto 99 table 100
r1 ip route add 10.70.0.0/16 table 100 nexthop via 10.9.0.4 dev d1 nexthop via 10.9.0.5 dev d1
r1 ip route add blackhole 10.80.0.0/16 table 100
check "NewIPv4Route for the default route" wait_seen "NewIPv4Route 0.0.0.0 0 10.9.0.1 boot d1 254"
check "NewIPv4Route in table 100, static" wait_seen "NewIPv4Route 10.50.0.0 16 10.9.0.1 static d1 100"
check "NewIPv4Route in table 100, protocol as a number, no gateway" \
    wait_seen "NewIPv4Route 10.60.0.0 16 0.0.0.0 99 d1 100"
check "NewIPv4Route for a multipath route: its first path" wait_seen "NewIPv4Route 10.70.0.0 16 10.9.0.4 boot d1 100"
check "a blackhole route is not reported" eval '! since | grep -q "10.80.0.0"'
check "DefaultWANGateway shows the default gateway" lab_wait_for 2 gateways_are "d1 10.9.0.1"
mark
r1 ip route del 10.50.0.0/16 table 100
check "RemovedIPv4Route in table 100" wait_seen "RemovedIPv4Route 10.50.0.0 16 10.9.0.1 static d1 100"
r1 ip route add 10.51.0.0/16 via 10.9.0.1 table 100

lab_log "--- GetIPv4RoutesFromTable"
check "table 254 over the bus equals ip route" same_routes 254
check "table 100 over the bus equals ip route" same_routes 100
check "an unprivileged caller gets table 100" same_routes 100 nobody
check_eq "an empty table gives an empty answer" "" "$(TABLE=77 routes_via_bus)"

lab_log "--- replace"
mark
r1 ip route replace default via 10.9.0.6 dev d1
check "a replaced route: NewIPv4Route for the new one" wait_seen "NewIPv4Route 0.0.0.0 0 10.9.0.6 boot d1 254"
check "a replaced route: RemovedIPv4Route for the old one, first" \
    before "RemovedIPv4Route 0.0.0.0 0 10.9.0.1 boot d1 254" "NewIPv4Route 0.0.0.0 0 10.9.0.6 boot d1 254"
check "DefaultWANGateway follows the replacement" gateways_are "d1 10.9.0.6"

lab_log "--- the tables are written before the signals"
# While another client holds a transaction, the service answers netstatd
# "busy": the signal must wait until the table is written.
busy() { "$CTL" del NoSuchTable 0 2>&1 | grep -q RC_BUSY; }
mark
"$CTL" hold 2 >/dev/null 2>&1 &
HOLD_PID=$!
lab_wait_for 2 busy
r1 ip addr add 10.8.0.2/24 dev d2
sleep 1
check "no signal while the table cannot be written" not_seen "NewIPv4Address d2 10.8.0.2"
lab_wait_for 5 seen "NewIPv4Address d2 10.8.0.2"
AT_SIGNAL=$(netif)
check "the signal follows once the transaction ends" seen "NewIPv4Address d2 10.8.0.2"
check "the table holds the address when the signal arrives" grep -Fxq "d2 10.8.0.2" <<<"$AT_SIGNAL"
wait "$HOLD_PID"

lab_log "--- routes flushed without RTM_DELROUTE"
r1 ip route add default via 10.9.0.1 dev d1 table 100
mark
r1 ip addr del 10.9.0.2/24 dev d1
check "RemovedIPv4Address of the primary" wait_seen "RemovedIPv4Address d1 10.9.0.2"
check "RemovedIPv4Route for the flushed default route" wait_seen "RemovedIPv4Route 0.0.0.0 0 10.9.0.6 boot d1 254"
check "RemovedIPv4Route for the flushed default route of table 100" \
    wait_seen "RemovedIPv4Route 0.0.0.0 0 10.9.0.1 boot d1 100"
check "DefaultWANGateway loses the interface" gateways_are ""
check "StatusNetifWatch: no address left" lab_wait_for 2 netif_has "d1 0.0.0.0"

lab_log "--- link and carrier"
r1 ip addr add 10.9.0.2/24 dev d1
r1 ip route add default via 10.9.0.1 dev d1
mark
r1 ip link set d1 down
check "StatusChange d1 false on link down" wait_seen "StatusChange d1 false"
check "LinkStatusChange d1 false on link down" wait_seen "LinkStatusChange d1 false"
check "RemovedIPv4Route for the default route on link down" wait_seen "RemovedIPv4Route 0.0.0.0 0 10.9.0.1 boot d1 254"
mark
r1 ip link set d1 up
check "StatusChange d1 true on link up" wait_seen "StatusChange d1 true"
check "LinkStatusChange d1 true on link up" wait_seen "LinkStatusChange d1 true"
mark
lab_exec p1 ip link set u1 down
check "LinkStatusChange d1 false when the peer goes down" wait_seen "LinkStatusChange d1 false"
check "StatusChange d1 false without a carrier" wait_seen "StatusChange d1 false"
lab_exec p1 ip link set u1 up
check "LinkStatusChange d1 true when the peer comes back" wait_seen "LinkStatusChange d1 true"

lab_log "--- forged signals"
heard() { signals "$D/listener.log" | grep -Fx -- "$1" >/dev/null; }
check "an unprivileged listener hears netstatd" heard "NewIPv4Address d2 10.8.0.2"
nobody dbus-send --system --type=signal /com/mirandel/network/IPv4Address \
    com.mirandel.network.IPv4Address.RemovedIPv4Address string:x string:y
r1 dbus-send --system --type=signal /probe com.mirandel.network.IPv4Address.NewIPv4Address string:after string:0.0.0.0
lab_wait_for 5 heard "NewIPv4Address after 0.0.0.0"
check "a signal forged by an unprivileged user does not pass the bus" eval '! heard "RemovedIPv4Address x y"'

lab_log "--- the configuration service restarts"
r1 ip route add default via 10.9.0.1 dev d1
lab_wait_for 2 gateways_are "d1 10.9.0.1"
lab_stop "$CFG_PID"
lab_spawn r1 "$D/cfgserver2.log" "$LAB_BIN/cfgserver" -f "$D/store2.json"
check "StatusNetifWatch written again to a new service" lab_wait_for 5 netif_has "d2 10.8.0.2"
check "DefaultWANGateway written again to a new service" lab_wait_for 2 gateways_are "d1 10.9.0.1"

lab_log "--- the bus restarts"
# netstatd waits (stopped) until the new bus has a listener, so that what it
# publishes on reconnecting cannot come before the monitor.
kill -STOP "$NETSTATD_PID"
lab_stop "$LAB_DBUS_PID"
rm -f "$D/bus.socket"
lab_dbus r1 || exit 1
start_monitor 2
mark
kill -CONT "$NETSTATD_PID"
check "the state is published again on a new bus" wait_seen "StatusChange d2 true"
check "addresses are published again" wait_seen "NewIPv4Address d2 10.8.0.2"
check "GetIPv4RoutesFromTable answers on the new bus" same_routes 254

lab_log "--- stop"
lab_stop "$NETSTATD_PID"
check_eq "SIGTERM ends netstatd with status 0" 0 "$LAB_STATUS"
check "no errors logged but the planned ones" eval \
    '! grep " ERROR " "$D/netstatd.log" | grep -v "went away\|cannot connect\|bus: \|cannot write"'

lab_log "--- daemon mode"
mkdir "$D/run"
r1 "$N" -b -n -p "$D/run"
check "-b leaves a PID file" lab_wait_for 5 test -s "$D/run/netstatd.pid"
DAEMON_PID=$(tr -cd 0-9 <"$D/run/netstatd.pid")
lab_adopt "$DAEMON_PID"
check "the daemon serves the bus" lab_wait_for 5 same_routes 254
r1 "$N" -n -p "$D/run" 2>/dev/null
check_eq "a second instance exits 1" 1 $?
kill -TERM "$DAEMON_PID"
check "SIGTERM ends the daemon" lab_gone 5 "$DAEMON_PID"
check "the daemon removes its PID file" [ ! -e "$D/run/netstatd.pid" ]
lab_done
