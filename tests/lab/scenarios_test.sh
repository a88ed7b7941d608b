#!/bin/bash
# End to end: tables written with cfgctl drive quorin, and after every step
# the router's kernel holds what the tables mean, nothing more.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_init scenarios
lab_private_tmp "$@"
scenario_start

# mangle CHAIN: the rules of one chain, as iptables -S prints them.
mangle() { lab_exec r iptables -t mangle -S "$1" 2>/dev/null | grep '^-A'; }
count() { grep -c -- "$1" <<<"$2"; }
alive() { kill -0 "$SC_QUORIN_PID" 2>/dev/null; }
not() { ! "$@"; }
quiet() { "$@" >/dev/null 2>&1; }

lab_log "--- the example configuration: wan1 60 %, \$\$(WAN2) = wan2 40 %, sticky, tcp/80"
cfg load "$LAB_SRC/docs/example-config.json"
quorin_start
check_eq "mangle chains and rules of the example" \
':PREROUTING ACCEPT
:INPUT ACCEPT
:FORWARD ACCEPT
:OUTPUT ACCEPT
:POSTROUTING ACCEPT
:LOADBALANCING1 -
:LOADB_PRE -
:WAN2LAN -
-A PREROUTING -j LOADB_PRE
-A LOADBALANCING1 -j CONNMARK --restore-mark --nfmask 0xffffffff --ctmask 0xffffffff
-A LOADBALANCING1 -m set --match-set lb_wan2 src,dst,dst -j MARK --set-xmark 0x101/0xffffffff
-A LOADBALANCING1 -m set --match-set lb_wan1 src,dst,dst -j MARK --set-xmark 0x100/0xffffffff
-A LOADBALANCING1 -m mark ! --mark 0x0 -j RETURN
-A LOADBALANCING1 -p tcp -m tcp --dport 80 -m state --state NEW -j MARK --set-xmark 0x100/0xffffffff
-A LOADBALANCING1 -p tcp -m mark --mark 0x100 -m tcp --dport 80 -m state --state NEW -m statistic --mode random --probability 0.39999999991 -j MARK --set-xmark 0x101/0xffffffff
-A LOADBALANCING1 -m mark --mark 0x100 -j SET --add-set lb_wan1 src,dst,dst
-A LOADBALANCING1 -m mark --mark 0x101 -j SET --add-set lb_wan2 src,dst,dst
-A LOADBALANCING1 -j CONNMARK --save-mark --nfmask 0xffffffff --ctmask 0xffffffff
-A LOADBALANCING1 -j RETURN
-A LOADB_PRE -i wan2 -j WAN2LAN
-A LOADB_PRE -i wan1 -j WAN2LAN
-A LOADB_PRE -i lan0 -j LOADBALANCING1
-A WAN2LAN -j CONNMARK --restore-mark --nfmask 0xffffffff --ctmask 0xffffffff
-A WAN2LAN -i wan2 -m state --state NEW -j MARK --set-xmark 0x101/0xffffffff
-A WAN2LAN -i wan1 -m state --state NEW -j MARK --set-xmark 0x100/0xffffffff
-A WAN2LAN -j CONNMARK --save-mark --nfmask 0xffffffff --ctmask 0xffffffff
-A WAN2LAN -j RETURN' "$(kstate | sed -n '/== mangle/,/== rules/p' | sed '1d;$d')"
check_eq "policy rules, member tables and sets of the example" \
'== rules
from all lookup local
from 10.2.0.2 lookup 257
from all fwmark 0x101 lookup 257
from 10.1.0.2 lookup 256
from all fwmark 0x100 lookup 256
from all lookup main
from all lookup default
== routes
default via 10.1.0.1 dev wan1 table 256
default via 10.2.0.1 dev wan2 table 257
== sets
set lb_wan1 timeout 600
set lb_wan2 timeout 600' "$(kstate | sed -n '/== rules/,$p')"
check "mark 257 leaves through wan2" \
    bash -c "ip netns exec $(lab_ns r) ip route get 198.51.100.7 mark 257 | grep -q 'via 10.2.0.1 dev wan2'"

lab_log "--- a third uplink: wan3 with 20 %"
edit add StatusNetifWatch Name=wan3 Addr=10.3.0.2
edit add DefaultWANGateway InterfaceName=wan3 GatewayAddress=10.3.0.1
edit add BalancingInterfaces BalancingGroupId=1 Interface=wan3 UsagePercent=20
chain=$(mangle LOADBALANCING1)
check_eq "three members mark new connections in WAN2LAN" 3 "$(count '-m state --state NEW -j MARK' "$(mangle WAN2LAN)")"
check_eq "the service splits over three marks" 3 "$(count '--dport 80 -m state --state NEW' "$chain")"
check_eq "wan3 has its table" "default via 10.3.0.1 dev wan3 table 258" "$(kstate | grep 'dev wan3 table')"
check "wan3 has its policy rules" bash -c "ip netns exec $(lab_ns r) ip rule | grep -q 'from 10.3.0.2 lookup 258'"
check_eq "three sets" 3 "$(kstate | grep -c '^set lb_')"

lab_log "--- a share changed: wan1 60 -> 20 %"
edit set BalancingInterfaces 0 UsagePercent=20
chain=$(mangle LOADBALANCING1)
check_eq "still three marks for the service" 3 "$(count '--dport 80 -m state --state NEW' "$chain")"
check "wan1 is a new member with a new table" bash -c "ip netns exec $(lab_ns r) ip rule | grep -q 'from 10.1.0.2 lookup 259'"
check_eq "the old table of wan1 is gone" "" "$(kstate | grep 'table 256')"
check_eq "no policy rule names the old number" 0 "$(kstate | grep -c 'lookup 256')"

lab_log "--- wan2 goes down (status 0.0.0.0)"
edit set StatusNetifWatch 1 Addr=0.0.0.0
check_eq "wan2 marks nothing any more" 0 "$(count 'wan2' "$(mangle WAN2LAN)")"
check_eq "no policy rule for wan2" 0 "$(kstate | grep -c '10.2.0.2')"
check_eq "no table for wan2" 0 "$(kstate | grep -c 'dev wan2')"
check_eq "the set of wan2 is gone" 0 "$(kstate | grep -c 'lb_wan2')"
check_eq "the service splits over the two others" 2 "$(count '--dport 80 -m state --state NEW' "$(mangle LOADBALANCING1)")"

lab_log "--- a service added and deleted"
before=$(kstate)
edit add BalancingServices Id=2 BalancingGroupId=1 Proto=udp DstPortStart=53 DstPortEnd=53 SrcPortStart=0 SrcPortEnd=0
check_eq "udp/53 splits over both members" 2 "$(count '--dport 53 -m state --state NEW' "$(mangle LOADBALANCING1)")"
edit del BalancingServices 1
check_eq "udp/53 rules are gone" 0 "$(count '--dport 53' "$(mangle LOADBALANCING1)")"
check_eq "the state is what it was before" "$before" "$(kstate)"

lab_log "--- shell syntax in configured names runs nothing"
edit add StatusNetifWatch 'Name=wan1;touch /tmp/owned' Addr=10.1.0.2
edit add StatusNetifWatch 'Name=$(touch /tmp/owned2)' Addr=10.1.0.2
edit add BalancingInterfaces BalancingGroupId=1 'Interface=wan1;touch /tmp/owned' UsagePercent=10
edit add BalancingInterfaces BalancingGroupId=1 'Interface=$(touch /tmp/owned2)' UsagePercent=10
edit add BalancingGroups Id=2 Enable=1 'ClientInterface=`touch /tmp/owned3`' Sticky=0 Autobalance=1
check "no file was created" not quiet ls /tmp/owned /tmp/owned2 /tmp/owned3
check "the daemon still runs" alive
check "only iptables, ipset and ip ran" \
    bash -c "awk '{print \$2}' '$QUORIN_CMD_LOG' | sort -u | grep -vxE 'iptables|ipset|ip|/sbin/ip' | wc -l | grep -qx 0"
edit del BalancingGroups 1
edit del BalancingInterfaces 3
edit del BalancingInterfaces 3

lab_log "--- the group disabled"
edit set BalancingGroups 0 Enable=0
check_eq "only WAN2LAN with its three rules stays" \
'-A WAN2LAN -j CONNMARK --restore-mark --nfmask 0xffffffff --ctmask 0xffffffff
-A WAN2LAN -j CONNMARK --save-mark --nfmask 0xffffffff --ctmask 0xffffffff
-A WAN2LAN -j RETURN' "$(ours | grep '^> -A' | sed 's/^> //')"
check_eq "nothing else of ours" ':WAN2LAN -' "$(ours | grep -v '^> -A' | sed 's/^> //')"

lab_log "--- enabled again, then everything deleted"
edit set BalancingGroups 0 Enable=1
check "the group is back" bash -c "ip netns exec $(lab_ns r) iptables -t mangle -S LOADBALANCING1 >/dev/null 2>&1"
printf '{"Balancing":[],"BalancingGroups":[],"BalancingInterfaces":[],"BalancingServices":[],"StatusNetifWatch":[],"DefaultWANGateway":[],"InterfaceMapping":[]}' >"$LAB_DIR/empty.json"
edit load "$LAB_DIR/empty.json"
check_eq "only WAN2LAN stays after everything is deleted" ':WAN2LAN - -A WAN2LAN -j CONNMARK --restore-mark --nfmask 0xffffffff --ctmask 0xffffffff -A WAN2LAN -j CONNMARK --save-mark --nfmask 0xffffffff --ctmask 0xffffffff -A WAN2LAN -j RETURN' "$(ours | sed 's/^> //' | tr '\n' ' ' | sed 's/ $//')"

lab_log "--- SIGTERM"
edit load "$LAB_SRC/docs/example-config.json"
check "the example is back" bash -c "ip netns exec $(lab_ns r) iptables -t mangle -S LOADBALANCING1 >/dev/null 2>&1"
quorin_stop
check_eq "the daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "nothing of ours is left in the kernel" "" "$(ours)"

[ "$LAB_FAILS" -eq 0 ] || grep -vE " (TRACE|DEBUG) " "$LAB_DIR/quorin.$SC_RUN.log" | tail -n 30 | sed "s/^/#   /"
lab_done
