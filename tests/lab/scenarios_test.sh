#!/bin/bash
# End to end: tables written with cfgctl drive quorin, and after every step
# the router's kernel holds what the tables mean and nothing else. The
# expected states follow from the model: members are numbered 256 on in the
# order the daemon first sees them, a changed row makes a new member with a
# new number at the end of its group, and every change of members or
# services rebuilds the group chain from its members in list order.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_init scenarios
lab_private_tmp "$@"
scenario_start

alive() { kill -0 "$SC_QUORIN_PID" 2>/dev/null; }
# leaves MARK GATEWAY DEVICE: the router routes a packet with that mark there.
leaves() { lab_exec r ip route get 198.51.100.7 mark "$1" | grep -q " via $2 dev $3 "; }
# chain NAME / others NAME: the rules of one chain, and the rest of ours.
chain() { ours | grep -- "^-A $1 "; }
others() { ours | grep -v -- "^-A $1 "; }
R='--nfmask 0xffffffff --ctmask 0xffffffff'
M=0xffffffff

lab_log "--- the example: wan1 60 % and \$\$(WAN2) = wan2 40 %, sticky, tcp/80"
cfg load "$LAB_SRC/docs/example-config.json" >/dev/null
quorin_start
check_eq "the whole state of the example" "== mangle
:PREROUTING ACCEPT
:INPUT ACCEPT
:FORWARD ACCEPT
:OUTPUT ACCEPT
:POSTROUTING ACCEPT
:LOADBALANCING1 -
:LOADB_PRE -
:WAN2LAN -
-A PREROUTING -j LOADB_PRE
-A LOADBALANCING1 -j CONNMARK --restore-mark $R
-A LOADBALANCING1 -m set --match-set lb_wan2 src,dst,dst -j MARK --set-xmark 0x101/$M
-A LOADBALANCING1 -m set --match-set lb_wan1 src,dst,dst -j MARK --set-xmark 0x100/$M
-A LOADBALANCING1 -m mark ! --mark 0x0 -j RETURN
-A LOADBALANCING1 -p tcp -m tcp --dport 80 -m state --state NEW -j MARK --set-xmark 0x100/$M
-A LOADBALANCING1 -p tcp -m mark --mark 0x100 -m tcp --dport 80 -m state --state NEW -m statistic --mode random --probability 0.39999999991 -j MARK --set-xmark 0x101/$M
-A LOADBALANCING1 -m mark --mark 0x100 -j SET --add-set lb_wan1 src,dst,dst
-A LOADBALANCING1 -m mark --mark 0x101 -j SET --add-set lb_wan2 src,dst,dst
-A LOADBALANCING1 -j CONNMARK --save-mark $R
-A LOADBALANCING1 -j RETURN
-A LOADB_PRE -i wan2 -j WAN2LAN
-A LOADB_PRE -i wan1 -j WAN2LAN
-A LOADB_PRE -i lan0 -j LOADBALANCING1
-A WAN2LAN -j CONNMARK --restore-mark $R
-A WAN2LAN -i wan2 -m state --state NEW -j MARK --set-xmark 0x101/$M
-A WAN2LAN -i wan1 -m state --state NEW -j MARK --set-xmark 0x100/$M
-A WAN2LAN -j CONNMARK --save-mark $R
-A WAN2LAN -j RETURN
== rules
from all lookup local
from 10.2.0.2 lookup 257
from all fwmark 0x101 lookup 257
from 10.1.0.2 lookup 256
from all fwmark 0x100 lookup 256
from all lookup main
from all lookup default
== routes
default via 10.1.0.1 dev wan1 table 256
main copied to table 256
default via 10.2.0.1 dev wan2 table 257
main copied to table 257
== sets
set lb_wan1 hash:ip,port,ip timeout 600
set lb_wan2 hash:ip,port,ip timeout 600" "$(kstate)"
check "mark 256 leaves through wan1" leaves 256 10.1.0.1 wan1
check "mark 257 leaves through wan2" leaves 257 10.2.0.1 wan2

lab_log "--- a third uplink: wan3 20 %, its status and gateway first"
prev=$(ours)
edit add StatusNetifWatch Name=wan3 Addr=10.3.0.2
edit add DefaultWANGateway InterfaceName=wan3 GatewayAddress=10.3.0.1
check_eq "status and gateway alone change nothing" "$prev" "$(ours)"
edit add BalancingInterfaces BalancingGroupId=1 Interface=wan3 UsagePercent=20
check_eq "wan3 is member 258; it re-marks 20 of the remaining 60 %" ":LOADBALANCING1 -
:WAN2LAN -
-A LOADBALANCING1 -j CONNMARK --restore-mark $R
-A LOADBALANCING1 -m set --match-set lb_wan3 src,dst,dst -j MARK --set-xmark 0x102/$M
-A LOADBALANCING1 -m set --match-set lb_wan2 src,dst,dst -j MARK --set-xmark 0x101/$M
-A LOADBALANCING1 -m set --match-set lb_wan1 src,dst,dst -j MARK --set-xmark 0x100/$M
-A LOADBALANCING1 -m mark ! --mark 0x0 -j RETURN
-A LOADBALANCING1 -p tcp -m tcp --dport 80 -m state --state NEW -j MARK --set-xmark 0x100/$M
-A LOADBALANCING1 -p tcp -m mark --mark 0x100 -m tcp --dport 80 -m state --state NEW -m statistic --mode random --probability 0.39999999991 -j MARK --set-xmark 0x101/$M
-A LOADBALANCING1 -p tcp -m mark --mark 0x100 -m tcp --dport 80 -m state --state NEW -m statistic --mode random --probability 0.33000000007 -j MARK --set-xmark 0x102/$M
-A LOADBALANCING1 -m mark --mark 0x100 -j SET --add-set lb_wan1 src,dst,dst
-A LOADBALANCING1 -m mark --mark 0x101 -j SET --add-set lb_wan2 src,dst,dst
-A LOADBALANCING1 -m mark --mark 0x102 -j SET --add-set lb_wan3 src,dst,dst
-A LOADBALANCING1 -j CONNMARK --save-mark $R
-A LOADBALANCING1 -j RETURN
-A LOADB_PRE -i wan3 -j WAN2LAN
-A LOADB_PRE -i wan2 -j WAN2LAN
-A LOADB_PRE -i wan1 -j WAN2LAN
-A LOADB_PRE -i lan0 -j LOADBALANCING1
-A WAN2LAN -j CONNMARK --restore-mark $R
-A WAN2LAN -i wan3 -m state --state NEW -j MARK --set-xmark 0x102/$M
-A WAN2LAN -i wan2 -m state --state NEW -j MARK --set-xmark 0x101/$M
-A WAN2LAN -i wan1 -m state --state NEW -j MARK --set-xmark 0x100/$M
-A WAN2LAN -j CONNMARK --save-mark $R
-A WAN2LAN -j RETURN
from 10.3.0.2 lookup 258
from all fwmark 0x102 lookup 258
from 10.2.0.2 lookup 257
from all fwmark 0x101 lookup 257
from 10.1.0.2 lookup 256
from all fwmark 0x100 lookup 256
default via 10.1.0.1 dev wan1 table 256
main copied to table 256
default via 10.2.0.1 dev wan2 table 257
main copied to table 257
default via 10.3.0.1 dev wan3 table 258
main copied to table 258
set lb_wan1 hash:ip,port,ip timeout 600
set lb_wan2 hash:ip,port,ip timeout 600
set lb_wan3 hash:ip,port,ip timeout 600" "$(ours)"
check "mark 258 leaves through wan3" leaves 258 10.3.0.1 wan3

lab_log "--- a share changed: wan1 60 -> 20 %"
edit set BalancingInterfaces 0 UsagePercent=20
check_eq "wan1 is a new member 259 behind wan3; wan2 is the base now" ":LOADBALANCING1 -
:WAN2LAN -
-A LOADBALANCING1 -j CONNMARK --restore-mark $R
-A LOADBALANCING1 -m set --match-set lb_wan1 src,dst,dst -j MARK --set-xmark 0x103/$M
-A LOADBALANCING1 -m set --match-set lb_wan3 src,dst,dst -j MARK --set-xmark 0x102/$M
-A LOADBALANCING1 -m set --match-set lb_wan2 src,dst,dst -j MARK --set-xmark 0x101/$M
-A LOADBALANCING1 -m mark ! --mark 0x0 -j RETURN
-A LOADBALANCING1 -p tcp -m tcp --dport 80 -m state --state NEW -j MARK --set-xmark 0x101/$M
-A LOADBALANCING1 -p tcp -m mark --mark 0x101 -m tcp --dport 80 -m state --state NEW -m statistic --mode random --probability 0.20000000019 -j MARK --set-xmark 0x102/$M
-A LOADBALANCING1 -p tcp -m mark --mark 0x101 -m tcp --dport 80 -m state --state NEW -m statistic --mode random --probability 0.25000000000 -j MARK --set-xmark 0x103/$M
-A LOADBALANCING1 -m mark --mark 0x101 -j SET --add-set lb_wan2 src,dst,dst
-A LOADBALANCING1 -m mark --mark 0x102 -j SET --add-set lb_wan3 src,dst,dst
-A LOADBALANCING1 -m mark --mark 0x103 -j SET --add-set lb_wan1 src,dst,dst
-A LOADBALANCING1 -j CONNMARK --save-mark $R
-A LOADBALANCING1 -j RETURN
-A LOADB_PRE -i wan1 -j WAN2LAN
-A LOADB_PRE -i wan3 -j WAN2LAN
-A LOADB_PRE -i wan2 -j WAN2LAN
-A LOADB_PRE -i lan0 -j LOADBALANCING1
-A WAN2LAN -j CONNMARK --restore-mark $R
-A WAN2LAN -i wan1 -m state --state NEW -j MARK --set-xmark 0x103/$M
-A WAN2LAN -i wan3 -m state --state NEW -j MARK --set-xmark 0x102/$M
-A WAN2LAN -i wan2 -m state --state NEW -j MARK --set-xmark 0x101/$M
-A WAN2LAN -j CONNMARK --save-mark $R
-A WAN2LAN -j RETURN
from 10.1.0.2 lookup 259
from all fwmark 0x103 lookup 259
from 10.3.0.2 lookup 258
from all fwmark 0x102 lookup 258
from 10.2.0.2 lookup 257
from all fwmark 0x101 lookup 257
default via 10.2.0.1 dev wan2 table 257
main copied to table 257
default via 10.3.0.1 dev wan3 table 258
main copied to table 258
default via 10.1.0.1 dev wan1 table 259
main copied to table 259
set lb_wan1 hash:ip,port,ip timeout 600
set lb_wan2 hash:ip,port,ip timeout 600
set lb_wan3 hash:ip,port,ip timeout 600" "$(ours)"
check "mark 259 leaves through wan1" leaves 259 10.1.0.1 wan1

lab_log "--- wan2 loses its address (status 0.0.0.0)"
edit set StatusNetifWatch 1 Addr=0.0.0.0
check_eq "wan2's member is gone; wan3 is the base" ":LOADBALANCING1 -
:WAN2LAN -
-A LOADBALANCING1 -j CONNMARK --restore-mark $R
-A LOADBALANCING1 -m set --match-set lb_wan1 src,dst,dst -j MARK --set-xmark 0x103/$M
-A LOADBALANCING1 -m set --match-set lb_wan3 src,dst,dst -j MARK --set-xmark 0x102/$M
-A LOADBALANCING1 -m mark ! --mark 0x0 -j RETURN
-A LOADBALANCING1 -p tcp -m tcp --dport 80 -m state --state NEW -j MARK --set-xmark 0x102/$M
-A LOADBALANCING1 -p tcp -m mark --mark 0x102 -m tcp --dport 80 -m state --state NEW -m statistic --mode random --probability 0.20000000019 -j MARK --set-xmark 0x103/$M
-A LOADBALANCING1 -m mark --mark 0x102 -j SET --add-set lb_wan3 src,dst,dst
-A LOADBALANCING1 -m mark --mark 0x103 -j SET --add-set lb_wan1 src,dst,dst
-A LOADBALANCING1 -j CONNMARK --save-mark $R
-A LOADBALANCING1 -j RETURN
-A LOADB_PRE -i wan1 -j WAN2LAN
-A LOADB_PRE -i wan3 -j WAN2LAN
-A LOADB_PRE -i lan0 -j LOADBALANCING1
-A WAN2LAN -j CONNMARK --restore-mark $R
-A WAN2LAN -i wan1 -m state --state NEW -j MARK --set-xmark 0x103/$M
-A WAN2LAN -i wan3 -m state --state NEW -j MARK --set-xmark 0x102/$M
-A WAN2LAN -j CONNMARK --save-mark $R
-A WAN2LAN -j RETURN
from 10.1.0.2 lookup 259
from all fwmark 0x103 lookup 259
from 10.3.0.2 lookup 258
from all fwmark 0x102 lookup 258
default via 10.3.0.1 dev wan3 table 258
main copied to table 258
default via 10.1.0.1 dev wan1 table 259
main copied to table 259
set lb_wan1 hash:ip,port,ip timeout 600
set lb_wan3 hash:ip,port,ip timeout 600" "$(ours)"

lab_log "--- a service added, then the first one deleted"
rest=$(others LOADBALANCING1)
edit add BalancingServices Id=2 BalancingGroupId=1 SrcIP= DstIP=192.0.2.53 Proto=udp \
    SrcPortStart=0 SrcPortEnd=0 DstPortStart=53 DstPortEnd=53
both="-A LOADBALANCING1 -j CONNMARK --restore-mark $R
-A LOADBALANCING1 -m set --match-set lb_wan1 src,dst,dst -j MARK --set-xmark 0x103/$M
-A LOADBALANCING1 -m set --match-set lb_wan3 src,dst,dst -j MARK --set-xmark 0x102/$M
-A LOADBALANCING1 -m mark ! --mark 0x0 -j RETURN
-A LOADBALANCING1 -p tcp -m tcp --dport 80 -m state --state NEW -j MARK --set-xmark 0x102/$M
-A LOADBALANCING1 -d 192.0.2.53/32 -p udp -m udp --dport 53 -m state --state NEW -j MARK --set-xmark 0x102/$M
-A LOADBALANCING1 -p tcp -m mark --mark 0x102 -m tcp --dport 80 -m state --state NEW -m statistic --mode random --probability 0.20000000019 -j MARK --set-xmark 0x103/$M
-A LOADBALANCING1 -d 192.0.2.53/32 -p udp -m mark --mark 0x102 -m udp --dport 53 -m state --state NEW -m statistic --mode random --probability 0.20000000019 -j MARK --set-xmark 0x103/$M
-A LOADBALANCING1 -m mark --mark 0x102 -j SET --add-set lb_wan3 src,dst,dst
-A LOADBALANCING1 -m mark --mark 0x103 -j SET --add-set lb_wan1 src,dst,dst
-A LOADBALANCING1 -j CONNMARK --save-mark $R
-A LOADBALANCING1 -j RETURN"
check_eq "the rules are rebuilt per member, then per service" "$both" "$(chain LOADBALANCING1)"
check_eq "nothing else changed" "$rest" "$(others LOADBALANCING1)"
edit del BalancingServices 0
check_eq "only the udp rules are left, in their places" "$(grep -v -- '-p tcp' <<<"$both")" "$(chain LOADBALANCING1)"
check_eq "nothing else changed" "$rest" "$(others LOADBALANCING1)"

lab_log "--- the group disabled"
edit set BalancingGroups 0 Enable=0
wan2lan=":WAN2LAN -
-A WAN2LAN -j CONNMARK --restore-mark $R
-A WAN2LAN -j CONNMARK --save-mark $R
-A WAN2LAN -j RETURN"
check_eq "only WAN2LAN with its three rules is left" "$wan2lan" "$(ours)"

lab_log "--- enabled again: new members, new numbers"
edit set BalancingGroups 0 Enable=1
check "wan1 is member 260" leaves 260 10.1.0.1 wan1
check "wan3 is member 261" leaves 261 10.3.0.1 wan3
check_eq "no number of the old group is left" "" "$(ours | grep -E '0x10[0-3]/|lookup 25[6-9]|table 25[6-9]')"

lab_log "--- shell syntax in configured names"
before=$(kstate)
cfg dump >"$LAB_DIR/tables.json"
for name in 'wan1;touch /tmp/owned' '$(touch${IFS}/tmp/owned)' 'x;touch${IFS}/tmp/owned' '`touch${IFS}/tmp/owned`'; do
    edit add StatusNetifWatch "Name=$name" Addr=10.9.0.2
    edit add BalancingInterfaces BalancingGroupId=1 "Interface=$name" UsagePercent=10
done
edit add InterfaceMapping LogicalName=LAN 'PhysicalName=lan0;touch /tmp/owned'
edit add BalancingGroups Id=2 Enable=1 'ClientInterface=$$(LAN)' Sticky=0 Autobalance=1
edit add BalancingGroups Id=3 Enable=1 'ClientInterface=$(touch${IFS}/tmp/owned)' Sticky=0 Autobalance=1
check "no file was created" bash -c '! ls /tmp/owned* 2>/dev/null | grep -q .'
check "the daemon still runs" alive
check_eq "it ran nothing but iptables, ipset and ip" "" \
    "$(awk '{ print $2 }' "$QUORIN_CMD_LOG" | sort -u | grep -vxE 'iptables|ipset|ip')"
edit load "$LAB_DIR/tables.json"
check_eq "without those rows the state is the one before" "$before" "$(kstate)"

lab_log "--- everything deleted"
echo '{"Balancing": [], "BalancingGroups": [], "BalancingInterfaces": [], "BalancingServices": [],
  "StatusNetifWatch": [], "DefaultWANGateway": [], "InterfaceMapping": []}' >"$LAB_DIR/empty.json"
edit load "$LAB_DIR/empty.json"
check_eq "only WAN2LAN is left" "$wan2lan" "$(ours)"

lab_log "--- SIGTERM with the example loaded"
edit load "$LAB_SRC/docs/example-config.json"
check "the example is back" bash -c "ip netns exec $(lab_ns r) iptables -t mangle -S LOADBALANCING1 >/dev/null 2>&1"
quorin_stop
check_eq "the daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "nothing of ours is left" "" "$(ours)"

[ "$LAB_FAILS" -eq 0 ] || grep -vE " (TRACE|DEBUG) " "$LAB_DIR/quorin.$SC_RUN.log" | tail -n 30 | sed "s/^/#   /"
lab_done
