#!/bin/bash
# Bursts of main-table routes and the member tables that copy them: the
# router of scenario.sh with a default route through each uplink, netstatd
# as packaged (-m) and quorin with wan1..wan3 in one group. Each case changes
# the main table by a large amount at once, waits until the daemons and the
# tables have been quiet for a while (a polling loop with a cap), then every
# member table must hold exactly the main table's routes (the default route
# aside; destination/prefix, gateway and device compared): the check line
# gives the missing and extra copies of each table. An unprivileged
# listener records netstatd's route signals from the start: applied in
# order, they must give the main table's routes through a gateway too.
#
#   - 100,000 routes added by one "ip -batch", then 50,000 of them deleted
#     by another;
#   - quorin restarted on the 50,000 that are left: its full copy;
#   - bird (Debian's bird2, its own config and socket in LAB_DIR) exporting
#     a static protocol of 100,000 routes into the main table, then
#     reconfigured to withdraw half of them;
#   - netstatd restarted with an event buffer so small that the kernel
#     drops events in the next two batches: it must read the table again,
#     report every difference and say so (IPv4RoutesReread of table 254),
#     and quorin must follow.
#
# BURST_ROUTES=N runs the cases at another size.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start route_burst "$@"
# The sanitized build is several times slower: a fifth of the size there.
ROUTES=${BURST_ROUTES:-$([ -n "${QUORIN_SANITIZE:-}" ] && echo 20000 || echo 100000)}
HALF=$((ROUTES / 2))
QUIET_S=2
CAP_S=150
ROUTES_PY=$LAB_SRC/tests/lab/routes.py
GATEWAYS=10.1.0.1=wan1,10.2.0.1=wan2,10.3.0.1=wan3

command -v bird >/dev/null && command -v birdc >/dev/null || { echo "FAIL: bird2 is not installed"; exit 1; }

SC_NETSTATD_ARGS=-m SC_NETSTATD_DEBUG=""
scenario_start >/dev/null
# The listener: "dbus-monitor" as nobody. No route through a gateway is in
# the main table yet.
SIGNALS=$LAB_DIR/signals.log
lab_spawn r "$SIGNALS" setpriv --reuid=65534 --regid=65534 --clear-groups \
    dbus-monitor --system "type='signal',interface='com.mirandel.network.IPv4Route'"
lab_wait_for 5 eval "lab_exec r dbus-send --system --type=signal /probe com.mirandel.network.IPv4Route.Probe;
    grep -q member=Probe $SIGNALS" || { echo "FAIL: the listener does not hear signals"; exit 1; }
scenario_default_routes
lab_wait_for 10 sc_status_written 3 || { echo "FAIL: netstatd did not write the gateways"; exit 1; }
cfg load "$LAB_SRC/tests/lab/failover.json" >/dev/null
# quorin as on a router: no debug output, no command log.
unset QUORIN_CMD_LOG

members_ruled() { [ "$(lab_exec r ip rule show | grep -cE 'from 10\.[123]\.0\.2 lookup')" = 3 ]; }
member_tables() { lab_exec r ip rule show | sed -n 's/.*from 10\.[123]\.0\.2 lookup \([0-9]*\).*/\1/p' | sort -un; }

burst_quorin() {
    SC_RUN=$((${SC_RUN:-0} + 1))
    lab_spawn r "$LAB_DIR/quorin.$SC_RUN.log" "$LAB_BIN/quorin" -p "$LAB_DIR"
    SC_QUORIN_PID=$LAB_LAST_PID
    lab_wait_for 10 members_ruled || { echo "FAIL: quorin did not set up its members"; exit 1; }
}

# quiet: waits until quorin, netstatd, the bus (and bird) have rested for
# QUIET_S seconds and the route count with them; CAP_S at most.
quiet() {
    local took
    took=$(lab_exec r python3 "$ROUTES_PY" quiet "$QUIET_S" "$CAP_S" "$SC_QUORIN_PID" "$SC_NETSTATD_PID" \
        "$LAB_DBUS_PID" ${BIRD_PID:-})
    local status=$?
    echo "# quiet after $took s"
    [ "$status" = 0 ] || echo "# still busy after $CAP_S s"
}

# mirrored WHAT: the member tables against the main table, one check.
mirrored() {
    local out counts status
    out=$(lab_exec r python3 "$ROUTES_PY" compare $(member_tables))
    status=$?
    counts=$(grep -v '^#' <<<"$out" | awk '{ printf "%s%s %s: %s missing, %s extra", (n++ ? "; " : ""), $1, $2, $4, $6 }')
    grep '^#' <<<"$out"
    [ "$(member_tables | wc -l)" = 3 ] || { counts="not 3 member tables: $counts"; status=1; }
    lab_result "$1: every member table equals main ($counts)" "$status"
}

# signalled WHAT: the routes that the signals leave, applied in order, are
# the main table's routes through a gateway (the default routes aside).
signalled() {
    check_eq "$1: the signals give the main table" \
        "$(lab_exec r ip -4 route show table main | awk '$1 != "default" && $2 == "via" { print $1, $3 }' | sort)" \
        "$(awk '
function flush() {
    if (member == "NewIPv4Route") routes[args[1] "/" args[2] " " args[3]] = 1
    else if (member == "RemovedIPv4Route") delete routes[args[1] "/" args[2] " " args[3]]
    member = ""; n = 0
}
/^[a-z]/ { flush() }
/^signal .*interface=com\.mirandel\.network\.IPv4Route; member=/ { member = $0; sub(/.*member=/, "", member) }
member != "" && /^   (string|byte|uint32) / { v = $2; gsub(/"/, "", v); args[++n] = v }
END { flush(); for (r in routes) if (r !~ /^0\.0\.0\.0\/0 / && r !~ / 0\.0\.0\.0$/) print r }' "$SIGNALS" | sort)"
}

alive() { lab_result "quorin still runs $1" "$(lab_running "$SC_QUORIN_PID" && echo 0 || echo 1)"; }

burst_quorin
quiet
mirrored "start, $(lab_exec r ip -4 route show table main | grep -vc '^default') main routes"

# Case 1: one ip -batch of adds, one of deletes (every other route).
lab_exec r python3 "$ROUTES_PY" make "$ROUTES" 0 20.0.0.0 "$GATEWAYS" >"$LAB_DIR/batch.routes"
awk '{ print "route add " $1 " via " $2 " dev " $3 }' "$LAB_DIR/batch.routes" >"$LAB_DIR/add.batch"
awk 'NR % 2 { print "route del " $1 " via " $2 " dev " $3 }' "$LAB_DIR/batch.routes" >"$LAB_DIR/del.batch"
lab_exec r ip -batch "$LAB_DIR/add.batch" || { echo "FAIL: ip -batch of the adds"; exit 1; }
quiet
mirrored "$ROUTES adds in one ip -batch"
signalled "$ROUTES adds in one ip -batch"
lab_exec r ip -batch "$LAB_DIR/del.batch" || { echo "FAIL: ip -batch of the deletes"; exit 1; }
quiet
mirrored "$HALF deletes in one ip -batch"
signalled "$HALF deletes in one ip -batch"
alive "after the ip -batch bursts"

# A fresh daemon starts from a clean slate: its full copy of what is left.
quorin_stop
lab_result "quorin stopped cleanly" "$LAB_STATUS"
burst_quorin
quiet
mirrored "quorin restarted on $HALF routes"

# Case 2: bird's kernel protocol exports a static protocol into the main
# table, then a reconfiguration withdraws half of it.
bird_routes() {
    lab_exec r python3 "$ROUTES_PY" make "$1" 0 40.0.0.0 "$GATEWAYS" |
        awk '{ print "route " $1 " via " $2 ";" }' >"$LAB_DIR/bird.routes"
}
cat >"$LAB_DIR/bird.conf" <<EOF
router id 10.1.0.2;
log "$LAB_DIR/bird.log" all;
protocol device { scan time 10; }
protocol kernel { ipv4 { import none; export all; }; }
protocol static burst {
    ipv4;
include "$LAB_DIR/bird.routes";
}
EOF
bird_routes "$ROUTES"
BIRD_SOCK=$LAB_DIR/bird.ctl
lab_spawn r "$LAB_DIR/bird.out" bird -f -c "$LAB_DIR/bird.conf" -s "$BIRD_SOCK" -P "$LAB_DIR/bird.pid"
BIRD_PID=$LAB_LAST_PID
bird_exported() { [ "$(lab_exec r ip -4 route show table main proto bird | wc -l)" = "$1" ]; }
check "bird exported $ROUTES routes into the main table" lab_wait_for 60 bird_exported "$ROUTES" ||
    { sed 's/^/#   /' "$LAB_DIR/bird.out"; lab_done; }
quiet
mirrored "bird exported $ROUTES routes"
bird_routes "$HALF"
lab_exec r birdc -s "$BIRD_SOCK" configure 2>&1 | sed 's/^/# birdc: /'
check "bird withdrew all but $HALF routes from the main table" lab_wait_for 60 bird_exported "$HALF" || lab_done
quiet
mirrored "bird reconfigured to withdraw $HALF routes"
signalled "bird reconfigured to withdraw $HALF routes"
alive "after bird's bursts"

# Case 3: the kernel drops events that netstatd's small buffer cannot take.
lab_stop "$SC_NETSTATD_PID"
lab_result "netstatd ends with status 0 after the bursts" "$LAB_STATUS"
lab_spawn r "$LAB_DIR/netstatd.small.log" "$LAB_BIN/netstatd" -m -p "$LAB_DIR" -e 65536
SC_NETSTATD_PID=$LAB_LAST_PID
lab_wait_for 5 bus_owned com.mirandel.network.IPv4Route || echo "# netstatd did not take its names again"
lab_exec r python3 "$ROUTES_PY" make "$ROUTES" 0 60.0.0.0 "$GATEWAYS" |
    awk -v d="$LAB_DIR" '{ print "route add " $1 " via " $2 " dev " $3 >d "/add.small"
        if (NR % 2) print "route del " $1 " via " $2 " dev " $3 >d "/del.small" }'
for batch in add del; do
    lab_exec r ip -batch "$LAB_DIR/$batch.small" || { echo "FAIL: ip -batch of the small buffer's ${batch}s"; exit 1; }
    quiet
    mirrored "the small buffer's ${batch}s"
    signalled "the small buffer's ${batch}s"
done
lost=$(grep -c 'events were lost' "$LAB_DIR/netstatd.small.log")
rereads=$(grep -A1 member=IPv4RoutesReread "$SIGNALS" | grep -c '^   uint32 254$')
lab_log "small buffer: $lost lost-events resyncs, $rereads IPv4RoutesReread(254)"
check "the kernel dropped events, and netstatd said IPv4RoutesReread(254) after each resync" \
    test "$lost" -gt 0 -a "$rereads" -ge "$lost"
alive "after the small buffer's bursts"
lab_done
