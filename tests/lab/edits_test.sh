#!/bin/bash
# After a long series of mixed edits, the kernel holds exactly what a fresh
# daemon started on the final tables writes: nothing is left over from an
# earlier state. Table numbers and the order of equal rules may differ;
# entries whose objects are re-created are moved to the end of their table
# so that the members keep the order of the table (which fixes the shares).

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_init edits
lab_private_tmp "$@"
scenario_start

cfg load "$LAB_SRC/docs/example-config.json"
quorin_start

lab_log "--- edits"
edit add StatusNetifWatch Name=wan3 Addr=10.3.0.2
edit add DefaultWANGateway InterfaceName=wan3 GatewayAddress=10.3.0.1
edit add BalancingInterfaces BalancingGroupId=1 Interface=wan3 UsagePercent=20
edit set StatusNetifWatch 1 Addr=0.0.0.0
edit set StatusNetifWatch 1 Addr=10.2.0.2
edit del BalancingInterfaces 1
edit add BalancingInterfaces BalancingGroupId=1 'Interface=$$(WAN2)' UsagePercent=40
edit add BalancingServices Id=2 BalancingGroupId=1 Proto=udp DstPortStart=53 DstPortEnd=53
edit del BalancingServices 0
edit add BalancingServices Id=3 BalancingGroupId=1 Proto=tcp DstPortStart=443 DstPortEnd=443 DstIP=203.0.113.9
edit set BalancingGroups 0 Sticky=0
edit del BalancingInterfaces 0
edit add BalancingInterfaces BalancingGroupId=1 Interface=wan1 UsagePercent=30
edit set BalancingGroups 0 ClientInterface=lan1 Sticky=1
edit add BalancingGroups Id=2 Enable=1 ClientInterface=lan0 Sticky=0 Autobalance=1
edit add BalancingInterfaces BalancingGroupId=2 Interface=wan3 UsagePercent=100
edit add BalancingServices Id=4 BalancingGroupId=2 Proto=tcp SrcPortStart=1024 SrcPortEnd=2048
edit set Balancing 0 StickyTimeout=300
edit add StatusNetifWatch Name=wan9 Addr=10.9.0.2
edit set DefaultWANGateway 1 GatewayAddress=10.2.0.254
edit set StatusNetifWatch 1 Addr=0.0.0.0

after_edits=$(normalized)
[ -n "${LAB_VERBOSE:-}" ] && sed "s/^/#   /" <<<"$after_edits"
check "the edits left two group chains" bash -c "grep -q ':LOADBALANCING2 -' <<<'$after_edits'"
quorin_stop
check_eq "the edited daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "it leaves nothing of ours" "" "$(ours)"

lab_log "--- a fresh daemon on the final tables"
: >"$QUORIN_CMD_LOG"
quorin_start
check_eq "the kernel state equals that of a fresh daemon" "$(normalized)" "$after_edits"
quorin_stop
check_eq "the fresh daemon leaves nothing of ours either" "" "$(ours)"

lab_done
