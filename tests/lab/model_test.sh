#!/bin/bash
# The balancing model against the real tools: a sticky group of two members
# with one service, built through the model with the real command runner,
# leaves exactly its steady chain, policy rules, member tables and ipsets in
# the kernel; a second commit changes nothing; a changed member table is
# rebuilt; the teardown leaves nothing of ours behind. Everything runs in a
# network namespace of its own with a private /tmp.

. "$(dirname "$0")/lib.sh"
lab_init model
lab_private_tmp "$@"

PROBE=$LAB_BIN/model_probe
D=$LAB_DIR
if [ ! -x "$PROBE" ]; then
    echo "FAIL: $PROBE is missing"
    exit 1
fi
export QUORIN_CMD_LOG=$D/commands.log

# The router r1 with two uplinks to u1 and a client side towards c1.
lab_netns r1
lab_netns u1
lab_netns c1
lab_veth r1 wan1 u1 up1 || exit 1
lab_veth r1 wan2 u1 up2 || exit 1
lab_veth r1 lan0 c1 cl0 || exit 1
lab_exec r1 ip addr add 10.0.1.2/24 dev wan1
lab_exec r1 ip addr add 10.0.2.2/24 dev wan2
lab_exec r1 ip addr add 192.168.1.1/24 dev lan0
lab_exec u1 ip addr add 10.0.1.1/24 dev up1
lab_exec u1 ip addr add 10.0.2.1/24 dev up2

# The platform firewall's chain, traversed before routing.
lab_exec r1 iptables -t mangle -N LOADB_PRE
lab_exec r1 iptables -t mangle -A PREROUTING -j LOADB_PRE

# The mangle table without comments and counters.
mangle() { lab_exec r1 iptables-save -t mangle | grep -v '^#' | sed 's/ \[[0-9]*:[0-9]*\]$//'; }
rules() { lab_exec r1 ip rule show; }
table() { lab_exec r1 ip route show table "$1" 2>/dev/null; }
# Name, type, timeout, references and entry count of every set.
sets() {
    lab_exec r1 ipset list | sed -n -e '/^Name:/p' -e '/^Type:/p' -e '/^References:/p' -e '/^Number of entries:/p' \
        -e 's/^Header: .*\( timeout [0-9]*\).*/Header:\1/p'
}
# member NAME: the table and hash the probe printed last for that member.
member() { grep "^member $1 " "$D/probe.out" | tail -n1; }
# seen TEXT: the probe has printed that line.
seen() { grep -qx "$1" "$D/probe.out"; }
sha() { printf '%s' "$1" | sha256sum | cut -d' ' -f1; }
show_log() {
    lab_log "probe output:"
    sed 's/^/#   /' "$D/probe.out"
    lab_log "commands run (exit status first):"
    sed 's/^/#   /' "$D/commands.log" 2>/dev/null
}

mangle_before=$(mangle)
rules_before=$(rules)

lab_log "--- first commit"
lab_spawn r1 "$D/probe.out" "$PROBE" 1 lan0 1 0 tcp:80 wan1,10.0.1.1,10.0.1.2,60 wan2,10.0.2.1,10.0.2.2,40
PROBE_PID=$LAB_LAST_PID
if ! lab_wait_for 20 seen "committed 1 next=258"; then
    echo "FAIL: model: the probe did not commit"
    show_log
    exit 1
fi

steady_mangle='*mangle
:PREROUTING ACCEPT
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
-A WAN2LAN -j RETURN
COMMIT'
steady_rules='0:	from all lookup local
32762:	from 10.0.2.2 lookup 257
32763:	from all fwmark 0x101 lookup 257
32764:	from 10.0.1.2 lookup 256
32765:	from all fwmark 0x100 lookup 256
32766:	from all lookup main
32767:	from all lookup default'
steady_sets='Name: lb_wan1
Type: hash:ip,port,ip
Header: timeout 120
References: 2
Number of entries: 0
Name: lb_wan2
Type: hash:ip,port,ip
Header: timeout 120
References: 2
Number of entries: 0'

check_eq "the mangle table holds the steady chain, WAN2LAN and the jumps" "$steady_mangle" "$(mangle)"
check_eq "policy rules by mark and by source address for both members" "$steady_rules" "$(rules)"
check_eq "table 256 holds the default route through wan1" "default via 10.0.1.1 dev wan1 " "$(table 256)"
check_eq "table 257 holds the default route through wan2" "default via 10.0.2.1 dev wan2 " "$(table 257)"
check_eq "one set per member, named by the sticky rules" "$steady_sets" "$(sets)"
check_eq "the fingerprint of wan1 is the SHA-256 of its table listing" \
    "member wan1 table 256 hash $(sha "$(table 256)
")" "$(member wan1)"
check_eq "the fingerprint of wan2 is the SHA-256 of its table listing" \
    "member wan2 table 257 hash $(sha "$(table 257)
")" "$(member wan2)"
check "a packet with mark 256 leaves through wan1" \
    bash -c "ip netns exec $(lab_ns r1) ip route get 198.51.100.7 mark 256 | grep -q 'via 10.0.1.1 dev wan1'"
check "a packet from the address of wan2 leaves through wan2" \
    bash -c "ip netns exec $(lab_ns r1) ip route get 198.51.100.7 from 10.0.2.2 | grep -q 'via 10.0.2.1 dev wan2'"

lab_log "--- second commit without change"
kill -USR1 "$PROBE_PID"
check "the probe committed again" lab_wait_for 20 seen "committed 2 next=258"
check_eq "the chain is unchanged" "$steady_mangle" "$(mangle)"
check_eq "the policy rules are unchanged" "$steady_rules" "$(rules)"
check_eq "the sets are unchanged" "$steady_sets" "$(sets)"

lab_log "--- a changed member table is rebuilt"
lab_exec r1 ip route add table 256 203.0.113.0/24 via 10.0.1.1 dev wan1
kill -USR2 "$PROBE_PID"
check "the probe refreshed and asks for a route sync" lab_wait_for 20 seen "refreshed 1 sync=1"
check_eq "table 256 has its default route again, the added route kept" \
    "default via 10.0.1.1 dev wan1 
203.0.113.0/24 via 10.0.1.1 dev wan1 " "$(table 256)"
check_eq "the new fingerprint of wan1 is that of the new listing" \
    "member wan1 table 256 hash $(sha "$(table 256)
")" "$(member wan1)"
check_eq "wan2 was left alone" "default via 10.0.2.1 dev wan2 " "$(table 257)"
# wan1's rules and jump are written anew, so they move to the head of
# WAN2LAN, LOADB_PRE and the rule list; nothing else changes.
check_eq "the same mangle rules after the rebuild" "$(sort <<<"$steady_mangle")" "$(mangle | sort)"
check_eq "the same policy rules after the rebuild" "$(cut -f2 <<<"$steady_rules" | sort)" "$(rules | cut -f2 | sort)"
check "the mark rule of wan1 is back at position 2 of WAN2LAN" \
    bash -c "ip netns exec $(lab_ns r1) iptables -t mangle -S WAN2LAN 2 | grep -q -- '-i wan1 '"

lab_log "--- teardown"
lab_stop "$PROBE_PID" TERM
check_eq "the probe ends with status 0" 0 "$LAB_STATUS"
check "the probe tore the model down" seen "destroyed"
check_eq "no chain, rule or jump of ours is left" "$mangle_before" "$(mangle)"
check_eq "no policy rule of ours is left" "$rules_before" "$(rules)"
check_eq "table 256 is gone" "" "$(table 256)"
check_eq "table 257 is gone" "" "$(table 257)"
check_eq "no set is left" "" "$(lab_exec r1 ipset list -n)"

[ "$LAB_FAILS" -eq 0 ] || show_log
lab_done
