#!/bin/bash
# An uplink in two groups: wan1 balances both lan0 (with wan2) and a second
# LAN, lan1 (with wan3). Its two memberships share the jump from LOADB_PRE
# and the set lb_wan1. When wan1 leaves the first group, the second group
# still balances onto it, real connections included, and the kernel holds
# what a fresh daemon writes on the same tables.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_init shared_uplink
lab_private_tmp "$@"
scenario_start
scenario_internet
lab_netns c2
lab_veth r lan1 c2 cl1 || exit 1
lab_exec r ip addr add 192.168.2.1/24 dev lan1
lab_exec c2 ip addr add 192.168.2.10/24 dev cl1
lab_exec c2 ip route add default via 192.168.2.1

cat >"$LAB_DIR/config.json" <<'JSON'
{"Balancing": [{"Verbose": 0, "StickyTimeout": 120}],
 "BalancingGroups": [{"Id": 1, "ClientInterface": "lan0", "Sticky": 0, "Autobalance": 1, "Enable": 1},
                     {"Id": 2, "ClientInterface": "lan1", "Sticky": 0, "Autobalance": 1, "Enable": 1}],
 "BalancingInterfaces": [{"BalancingGroupId": 1, "Interface": "wan1", "UsagePercent": 50},
                         {"BalancingGroupId": 1, "Interface": "wan2", "UsagePercent": 50},
                         {"BalancingGroupId": 2, "Interface": "wan1", "UsagePercent": 50},
                         {"BalancingGroupId": 2, "Interface": "wan3", "UsagePercent": 50}],
 "BalancingServices": [{"Id": 1, "BalancingGroupId": 1, "Proto": "tcp", "DstPortStart": 80, "DstPortEnd": 80},
                       {"Id": 2, "BalancingGroupId": 2, "Proto": "tcp", "DstPortStart": 80, "DstPortEnd": 80}],
 "StatusNetifWatch": [{"Name": "wan1", "Addr": "10.1.0.2"}, {"Name": "wan2", "Addr": "10.2.0.2"},
                      {"Name": "wan3", "Addr": "10.3.0.2"}],
 "DefaultWANGateway": [{"InterfaceName": "wan1", "GatewayAddress": "10.1.0.1"},
                       {"InterfaceName": "wan2", "GatewayAddress": "10.2.0.1"},
                       {"InterfaceName": "wan3", "GatewayAddress": "10.3.0.1"}]}
JSON
cfg load "$LAB_DIR/config.json" >/dev/null
quorin_start

# lan1 N: N connections from the second LAN, counted per ISP.
lan1() { lab_exec c2 python3 "$LAB_SRC/tests/lab/internet.py" spread "$1" | tr '\n' ' '; }
count() { sed -n "s/.*\\b$1 \\([0-9]*\\).*/\\1/p" <<<"$2"; }

lab_log "--- wan1 leaves the group of lan0"
edit del BalancingInterfaces 0
check "the jump from LOADB_PRE for wan1 is still there" \
    bash -c "ip netns exec $(lab_ns r) iptables -t mangle -S LOADB_PRE | grep -qx -- '-A LOADB_PRE -i wan1 -j WAN2LAN'"
check "the set lb_wan1 is still there" bash -c "ip netns exec $(lab_ns r) ipset list -n lb_wan1 >/dev/null"
s=$(lan1 100)
lab_log "100 connections from lan1: $s"
check "lan1's connections still go through wan1 and wan3; none is lost" \
    bash -c "[ $(count u1 "$s") -gt 0 ] && [ $(count u3 "$s") -gt 0 ] && [ $(count lost "$s") = 0 ]"
running=$(kcanon)
quorin_stop
quorin_start
check_eq "the kernel holds what a fresh daemon writes on the same tables" "$(kcanon)" "$running"

lab_log "--- the group of lan1 goes; wan1 comes back into lan0's group"
edit add BalancingInterfaces BalancingGroupId=1 Interface=wan1 UsagePercent=50
edit set BalancingGroups 1 Enable=0
check "the jump from LOADB_PRE for wan1 is still there" \
    bash -c "ip netns exec $(lab_ns r) iptables -t mangle -S LOADB_PRE | grep -qx -- '-A LOADB_PRE -i wan1 -j WAN2LAN'"
check "the set lb_wan1 is still there" bash -c "ip netns exec $(lab_ns r) ipset list -n lb_wan1 >/dev/null"
quorin_stop
check_eq "nothing of ours is left" "" "$(ours)"
lab_done
