#!/bin/bash
# Open connections keep their uplink: 30 TCP connections from the client,
# 10 through each ISP (docs/demo-config.json, netstatd writing the status
# tables), are asked again after each edit of the balancing, a gateway
# change and each restart of quorin, and every one must still answer,
# through the ISP it had. A connection's conntrack mark is its member's
# number: an edit that gives a member a new number, or a restart that
# numbers the members afresh, strands the connections of the old one. A
# stranded connection is replaced by a new one, so that every step starts
# with 30 live connections.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start open_connections "$@"
scenario_routed
# A forwarded packet from the LAN whose mark names no member's table is
# dropped here, instead of leaving through the main table's first default
# route (wan1), where a connection of u1 would survive by chance.
lab_exec r ip rule add priority 32765 iif lan0 unreachable
before=$(kfull)

# wan1_gateway GATEWAY: wan1's default route through GATEWAY; returns once
# netstatd has written it and the daemon has settled.
wan1_gateway() {
    local lines
    lines=$(wc -l <"$QUORIN_CMD_LOG")
    sc_default_route replace 1 "$1"
    lab_wait_for 5 wan1_gateway_is "$1" || echo "# netstatd did not write wan1's gateway $1"
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
lab_log "members: wan1 $n1, wan2 $n2, wan3 $n3"
check "wan1, whose address came last, holds the highest member number" test "$n1" -gt "$n2" -a "$n1" -gt "$n3"

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

lab_log "--- quorin restarted after SIGKILL and quorin-firewall prepare"
lab_stop "$SC_QUORIN_PID" KILL
lab_exec r "$LAB_BIN/quorin-firewall" prepare >/dev/null
quorin_start
asked "SIGKILL, prepare and a new start"

lab_log "--- quorin restarted by hand after SIGKILL, without the firewall step"
lab_stop "$SC_QUORIN_PID" KILL
quorin_start
asked "SIGKILL and a start by hand"
check "new connections go through every ISP, none lost" through "$(spread 60)" u1 u2 u3

lab_log "--- SIGTERM"
touch "$keep/end"
quorin_stop
check_eq "the daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "mangle, policy rules, every routing table and the sets are as before quorin started" \
    "${before//via 10.1.0.1 dev wan1/via 10.1.0.254 dev wan1}" "$(kfull)"

lab_done
