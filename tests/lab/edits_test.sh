#!/bin/bash
# After a long series of mixed edits the kernel holds exactly what a fresh
# daemon started on the final tables writes: nothing is left over from an
# earlier state. Member numbers and the order of equal rules may differ
# (kcanon). A re-created member goes to the end of its group, and the group's
# first member is the base of the split; so an uplink row that is re-created
# is also moved to the end of its table, which keeps the two member orders
# the same. An "Autobalance"-only change keeps the old share mode on purpose
# and is left out.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_init edits
lab_private_tmp "$@"
scenario_start

cfg load "$LAB_SRC/docs/example-config.json" >/dev/null
quorin_start

lab_log "--- edits"
# A third uplink, after its status and gateway.
edit add StatusNetifWatch Name=wan3 Addr=10.3.0.2
edit add DefaultWANGateway InterfaceName=wan3 GatewayAddress=10.3.0.1
edit add BalancingInterfaces BalancingGroupId=1 Interface=wan3 UsagePercent=20
# wan2 down and up again; its row moves to the end.
edit set StatusNetifWatch 1 Addr=0.0.0.0
edit set StatusNetifWatch 1 Addr=10.2.0.2
edit del BalancingInterfaces 1
edit add BalancingInterfaces BalancingGroupId=1 'Interface=$$(WAN2)' UsagePercent=40
# Services added and deleted.
edit add BalancingServices Id=2 BalancingGroupId=1 Proto=udp DstPortStart=53 DstPortEnd=53
edit del BalancingServices 0
edit add BalancingServices Id=3 BalancingGroupId=1 Proto=tcp DstIP=203.0.113.9 DstPortStart=443 DstPortEnd=443
# Stickiness off, a share changed in the last row, then a new client
# interface with stickiness on again.
edit set BalancingGroups 0 Sticky=0
edit set BalancingInterfaces 2 UsagePercent=50
edit set BalancingGroups 0 ClientInterface=lan1 Sticky=1
# A second group on lan0 that shares wan3, with a source port range.
edit add BalancingGroups Id=2 Enable=1 ClientInterface=lan0 Sticky=0 Autobalance=1
edit add BalancingInterfaces BalancingGroupId=2 Interface=wan3 UsagePercent=100
edit add BalancingServices Id=4 BalancingGroupId=2 Proto=tcp SrcPortStart=1024 SrcPortEnd=2048
# A new sticky timeout and debug mode; the uplinks see the timeout when
# their table is read next.
edit set Balancing 0 StickyTimeout=300 Verbose=1
edit add StatusNetifWatch Name=wan9 Addr=10.9.0.2
# wan1 removed from group 1, wan2's gateway changed, then wan2 down.
edit del BalancingInterfaces 0
edit set DefaultWANGateway 1 GatewayAddress=10.2.0.254
edit set StatusNetifWatch 1 Addr=0.0.0.0
edit add BalancingInterfaces BalancingGroupId=1 Interface=wan1 UsagePercent=30

edited=$(kcanon)
[ -n "${LAB_VERBOSE:-}" ] && sed 's/^/#   /' <<<"$edited"
marks='-A LOADB_PRE -i lan1 -j LOADBALANCING1|-A LOADB_PRE -i lan0 -j LOADBALANCING2|set lb_wan1 .* timeout 300'
check_eq "the edits left two groups and the new sticky timeout" 3 "$(grep -cxE -- "$marks" <<<"$edited")"
quorin_stop
check_eq "the edited daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "it leaves nothing of ours" "" "$(ours)"

lab_log "--- a fresh daemon on the final tables"
quorin_start
check_eq "the state equals that of a fresh daemon" "$(kcanon)" "$edited"
quorin_stop
check_eq "the fresh daemon leaves nothing of ours either" "" "$(ours)"

[ "$LAB_FAILS" -eq 0 ] || sed 's/^/#   /' "$QUORIN_CMD_LOG" | tail -n 40
lab_done
