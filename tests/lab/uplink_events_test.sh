#!/bin/bash
# quorin follows the real kernel through netstatd and the bus; the status
# tables come from netstatd, not from the configuration. Every member table
# holds a copy of the main table, so that replies find their way back to
# the client, also through an uplink without a gateway; forged signals from
# an unprivileged user change nothing; an address renewal of the base
# uplink leaves what a fresh daemon writes; SIGTERM leaves nothing behind.
# (Uplinks that leave and come back are the membership-churn test's, routes
# that come and go the route-burst test's.)
#
# wan1 is a point-to-point style uplink (a default route without gateway),
# wan2 and wan3 have gateways; the shares are 50/30/20 for tcp/80
# (uplink_events.json).

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start uplink_events "$@"
SC_NETSTATD_ARGS=""
scenario_start
scenario_internet

# The main table's default routes, as DHCP and PPP would set them.
lab_exec r ip route add default dev wan1 metric 101
lab_exec r ip route add default via 10.2.0.1 dev wan2 metric 102
lab_exec r ip route add default via 10.3.0.1 dev wan3 metric 103
lab_wait_for 5 sc_status_written 3 || echo "# netstatd did not write the gateways"
cfg load "$LAB_SRC/tests/lab/uplink_events.json" >/dev/null
quorin_start

# routes: the member tables.
routes() { kroutes; }
# member N ROUTE [SUFFIX]: the lines of one member table.
member() { printf 'default %s table %s%s\nmain copied to table %s\n' "$2" "$1" "${3:-}" "$1"; }
wan1=$(member 256 "dev wan1" " scope link")
wan2=$(member 257 "via 10.2.0.1 dev wan2")
wan3=$(member 258 "via 10.3.0.1 dev wan3")

lab_log "--- three members, each with a copy of the main table"
three=$(printf '%s\n' "$wan1" "$wan2" "$wan3")
check_eq "member tables" "$three" "$(routes)"
check "every uplink carries connections and every reply comes back" through "$(spread 100)" u1 u2 u3

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

lab_log "--- the base uplink's address goes and comes back at once"
# A reconnect that keeps the address, in one batch: the kernel drops every
# route of an interface that loses its last address, so the default route
# comes back too.
printf '%s\n' 'addr del 10.1.0.2/24 dev wan1' 'addr add 10.1.0.2/24 dev wan1' 'route add default dev wan1 metric 101' |
    lab_exec r ip -batch -
sleep 1
settle
check "the split did not collapse onto the base uplink" through "$(spread 100)" u1 u2 u3
renewed=$(kcanon)
# Which number each uplink's address and mark lead to.
numbers() { lab_exec r ip rule show | cut -f2 | LC_ALL=C sort; }
numbered=$(numbers)
quorin_stop
quorin_start
check_eq "the kernel holds what a fresh daemon writes on the same tables" "$renewed" "$(kcanon)"
check_eq "and every uplink has the number it had" "$numbered" "$(numbers)"

lab_log "--- SIGTERM"
quorin_stop
check_eq "the daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "nothing of ours is left, copied routes included" "" "$(ours)"

[ "$LAB_FAILS" -eq 0 ] || grep -vE " (TRACE|DEBUG) " "$LAB_DIR/quorin.$SC_RUN.log" | tail -n 30 | sed "s/^/#   /"
lab_done
