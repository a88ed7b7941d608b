#!/bin/bash
# quorin follows the real kernel through netstatd and the bus; the status
# tables come from netstatd, not from the configuration. Removing an uplink's
# address takes it out of the balancing and adding it brings it back; routes
# of the main table reach every member table, so that replies find their way
# back to the client; forged signals from an unprivileged user change
# nothing; an address renewal of the base uplink leaves what a fresh daemon
# writes; SIGTERM leaves nothing behind.
#
# wan1 is a point-to-point style uplink (a default route without gateway),
# wan2 and wan3 have gateways; the shares are 50/30/20 for tcp/80.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_init uplink_events
lab_private_tmp "$@"
SC_NETSTATD_ARGS=""
scenario_start
scenario_internet

# The main table's default routes, as DHCP and PPP would set them.
lab_exec r ip route add default dev wan1 metric 101
lab_exec r ip route add default via 10.2.0.1 dev wan2 metric 102
lab_exec r ip route add default via 10.3.0.1 dev wan3 metric 103

# rows TABLE COLUMN...: the rows of a status table, one line each.
rows() {
    cfg dump "$1" | python3 -c 'import json, sys
for r in json.load(sys.stdin).get(sys.argv[1], []): print(" ".join(str(r.get(c)) for c in sys.argv[2:]))' "$@" |
        LC_ALL=C sort
}
gateways_are() { [ "$(rows DefaultWANGateway InterfaceName GatewayAddress)" = "$1" ]; }
lab_wait_for 5 gateways_are "wan1 0.0.0.0
wan2 10.2.0.1
wan3 10.3.0.1"
check_eq "netstatd wrote the addresses" "lan0 192.168.1.1
wan1 10.1.0.2
wan2 10.2.0.2
wan3 10.3.0.2" "$(rows StatusNetifWatch Name Addr)"
check_eq "netstatd wrote the gateways" "wan1 0.0.0.0
wan2 10.2.0.1
wan3 10.3.0.1" "$(rows DefaultWANGateway InterfaceName GatewayAddress)"

cat >"$LAB_DIR/config.json" <<'JSON'
{"Balancing": [{"Verbose": 0, "StickyTimeout": 120}],
 "BalancingGroups": [{"Id": 1, "ClientInterface": "lan0", "Sticky": 0, "Autobalance": 0, "Enable": 1}],
 "BalancingInterfaces": [{"BalancingGroupId": 1, "Interface": "wan1", "UsagePercent": 50},
                         {"BalancingGroupId": 1, "Interface": "wan2", "UsagePercent": 30},
                         {"BalancingGroupId": 1, "Interface": "wan3", "UsagePercent": 20}],
 "BalancingServices": [{"Id": 1, "BalancingGroupId": 1, "SrcIP": "", "DstIP": "", "Proto": "tcp",
                        "SrcPortStart": 0, "SrcPortEnd": 0, "DstPortStart": 80, "DstPortEnd": 80}]}
JSON
cfg load "$LAB_DIR/config.json" >/dev/null
quorin_start

# routes: the member tables' part of the kernel state; members numbered 259
# and up show as NEW.
routes() { kroutes | sed -E 's/table (259|2[6-9][0-9])$/table NEW/'; }
# split N: the connections per ISP and the lost ones, on one line.
spread() { traffic "$1" | tr '\n' ' ' | sed 's/ $//'; }
# count NAME SPLIT: one ISP's count in a split.
count() { sed -n "s/.*\\b$1 \\([0-9]*\\).*/\\1/p" <<<"$2"; }
# wait_routes TEXT: waits (5 s at most) until the member tables read so.
routes_are() { [ "$(routes)" = "$1" ]; }
wait_routes() { lab_wait_for 5 routes_are "$1"; settle; }

lab_log "--- three members, each with a copy of the main table"
# The member tables of wan1, wan2 (whose table number is given) and wan3.
wan1="default dev wan1 table 256 scope link
main copied to table 256"
wan2() { printf 'default via 10.2.0.1 dev wan2 table %s\nmain copied to table %s' "$1" "$1"; }
wan3="default via 10.3.0.1 dev wan3 table 258
main copied to table 258"
three="$wan1
$(wan2 257)
$wan3"
check_eq "member tables" "$three" "$(routes)"
s=$(spread 100)
lab_log "100 connections: $s"
check "every uplink carries connections and every reply comes back" \
    bash -c "[ $(count u1 "$s") -gt 0 ] && [ $(count u2 "$s") -gt 0 ] && [ $(count u3 "$s") -gt 0 ] &&
             [ $(count lost "$s") = 0 ]"

lab_log "--- a route added to and deleted from the main table"
before=$(date +%s%N)
lab_exec r ip route add 172.20.0.0/16 via 10.2.0.1 dev wan2
in_every_table() {
    local t
    for t in 256 257 258; do
        lab_exec r ip route show table $t 172.20.0.0/16 | grep -q "via 10.2.0.1 dev wan2" || return 1
    done
}
lab_wait_for 5 in_every_table
lab_log "the route was in every member table after $((($(date +%s%N) - before) / 1000000)) ms"
check "the route is in every member table" in_every_table
settle
check_eq "the member tables still hold exactly the main table" "$three" "$(routes)"
lab_exec r ip route del 172.20.0.0/16 via 10.2.0.1 dev wan2
gone_everywhere() { ! lab_exec r ip route show table all 172.20.0.0/16 | grep -q .; }
lab_wait_for 5 gone_everywhere
check "the deleted route left every member table" gone_everywhere

lab_log "--- wan2 loses its address"
lab_exec r ip addr del 10.2.0.2/24 dev wan2
without_wan2="$wan1
$wan3"
wait_routes "$without_wan2"
check_eq "wan2's table is gone" "$without_wan2" "$(routes)"
check_eq "no policy rule names wan2's member" "" "$(lab_exec r ip rule show | grep -E '10\.2\.0\.2|0x101|lookup 257')"
check_eq "no service rule sets wan2's mark" "" "$(lab_exec r iptables -t mangle -S LOADBALANCING1 | grep 0x101)"
s=$(spread 60)
lab_log "60 connections: $s"
check "wan1 and wan3 carry them all; none is lost" \
    bash -c "[ $(count u2 "$s") = 0 ] && [ $(count u1 "$s") -gt 0 ] && [ $(count u3 "$s") -gt 0 ] &&
             [ $(count lost "$s") = 0 ]"

lab_log "--- wan2's address and default route come back"
lab_exec r ip addr add 10.2.0.2/24 dev wan2
lab_exec r ip route add default via 10.2.0.1 dev wan2 metric 102
with_wan2="$without_wan2
$(wan2 NEW)"
wait_routes "$with_wan2"
check_eq "wan2 is a new member whose table holds a copy of the main table" "$with_wan2" "$(routes)"
s=$(spread 100)
lab_log "100 connections: $s"
check "wan2 carries connections again" bash -c "[ $(count u2 "$s") -gt 0 ] && [ $(count lost "$s") = 0 ]"
# The re-created member went to the end of its group; its row goes to the end
# of its table too, so that a fresh daemon orders the members the same way.
edit del BalancingInterfaces 1
edit add BalancingInterfaces BalancingGroupId=1 Interface=wan2 UsagePercent=30

lab_log "--- forged signals"
state=$(kstate)
signal() { # USER INTERFACE.MEMBER ARGS...: a signal from that user
    local user=$1 member=$2 iface path
    shift 2
    iface=${member%.*}
    path=/${iface//.//}
    if [ "$user" = root ]; then
        lab_exec r dbus-send --system --type=signal "$path" "$member" "$@"
    else
        lab_exec r setpriv --reuid=65534 --regid=65534 --clear-groups \
            dbus-send --system --type=signal "$path" "$member" "$@"
    fi
}
signal nobody com.mirandel.network.IPv4Address.RemovedIPv4Address string:wan3 string:10.3.0.2
signal nobody com.mirandel.network.IPv4Route.NewIPv4Route string:10.99.0.0 byte:16 string:10.3.0.1 \
    string:static string:wan3 uint32:254
sleep 0.5
check_eq "an unprivileged user's signals change nothing" "$state" "$(kstate)"
# The same route signal from root does reach the daemon: the test above
# could have failed.
signal root com.mirandel.network.IPv4Route.NewIPv4Route string:10.99.0.0 byte:16 string:10.3.0.1 \
    string:static string:wan3 uint32:254
copied_forged() { lab_exec r ip route show table 256 10.99.0.0/16 | grep -q .; }
check "root's signal is followed" lab_wait_for 5 copied_forged
signal root com.mirandel.network.IPv4Route.RemovedIPv4Route string:10.99.0.0 byte:16 string:10.3.0.1 \
    string:static string:wan3 uint32:254
not_copied_forged() { ! copied_forged; }
lab_wait_for 5 not_copied_forged
settle
check_eq "and the removal as well" "$state" "$(kstate)"

lab_log "--- the base uplink's address goes and comes back at once"
# A reconnect that keeps the address, in one batch: the kernel drops every
# route of an interface that loses its last address, so the default route
# comes back too.
printf '%s\n' 'addr del 10.1.0.2/24 dev wan1' 'addr add 10.1.0.2/24 dev wan1' 'route add default dev wan1 metric 101' |
    lab_exec r ip -batch -
sleep 1
settle
s=$(spread 100)
lab_log "100 connections: $s"
check "the split did not collapse onto the base uplink" \
    bash -c "[ $(count u2 "$s") -gt 0 ] && [ $(count u3 "$s") -gt 0 ] && [ $(count lost "$s") = 0 ]"
renewed=$(kcanon)
quorin_stop
quorin_start
check_eq "the kernel holds what a fresh daemon writes on the same tables" "$(kcanon)" "$renewed"

lab_log "--- SIGTERM"
quorin_stop
check_eq "the daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "nothing of ours is left, copied routes included" "" "$(ours)"

[ "$LAB_FAILS" -eq 0 ] || grep -vE " (TRACE|DEBUG) " "$LAB_DIR/quorin.$SC_RUN.log" | tail -n 30 | sed "s/^/#   /"
lab_done
