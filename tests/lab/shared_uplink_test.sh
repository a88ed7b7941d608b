#!/bin/bash
# An uplink in two groups: wan1 balances both lan0 (with wan2) and a second
# LAN, lan1 (with wan3). Its two memberships share the jump from LOADB_PRE
# and the set lb_wan1. When wan1 leaves the first group, the second group
# still balances onto it, real connections included, and the kernel holds
# what a fresh daemon writes on the same tables (shared_uplink.json).

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start shared_uplink "$@"
scenario_start
scenario_internet
lab_netns c2
lab_veth r lan1 c2 cl1 || exit 1
lab_exec r ip addr add 192.168.2.1/24 dev lan1
lab_exec c2 ip addr add 192.168.2.10/24 dev cl1
lab_exec c2 ip route add default via 192.168.2.1

cfg load "$LAB_SRC/tests/lab/shared_uplink.json" >/dev/null
quorin_start

# kept: wan1's jump from LOADB_PRE and its set are there.
kept() {
    lab_exec r iptables -t mangle -S LOADB_PRE | grep -qx -- '-A LOADB_PRE -i wan1 -j WAN2LAN' &&
        lab_exec r ipset list -n lb_wan1 >/dev/null
}

lab_log "--- wan1 leaves the group of lan0"
edit del BalancingInterfaces 0
check "the jump from LOADB_PRE for wan1 and the set lb_wan1 are still there" kept
check "lan1's connections still go through wan1 and wan3; none is lost" through "$(spread 100 c2)" u1 u3
running=$(kcanon)
quorin_stop
quorin_start
check_eq "the kernel holds what a fresh daemon writes on the same tables" "$(kcanon)" "$running"

lab_log "--- the group of lan1 goes; wan1 comes back into lan0's group"
edit add BalancingInterfaces BalancingGroupId=1 Interface=wan1 UsagePercent=50
edit set BalancingGroups 1 Enable=0
check "the jump from LOADB_PRE for wan1 and the set lb_wan1 are still there" kept
quorin_stop
check_eq "nothing of ours is left" "" "$(ours)"
lab_done
