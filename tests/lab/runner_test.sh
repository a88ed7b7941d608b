#!/bin/bash
# The command runner against the real kernel, inside a namespace of its own:
# idempotent rule pairs, ipsets, "2> /dev/null", and an injection attempt.

. "$(dirname "$0")/lib.sh"
lab_init runner
lab_private_tmp "$@"
lab_netns r

export QUORIN_CMD_LOG=$LAB_DIR/audit.log
export KOR_TRACELEVEL=1  # failed commands are logged with their error output
run() { lab_exec r "$LAB_BIN/runlines" "$@" 2>>"$LAB_DIR/runner.log"; }
quiet() { "$@" >/dev/null 2>&1; }
mangle() { lab_exec r iptables-save -t mangle | grep -E '^-A|^:TESTCH'; }

pair='iptables -t mangle -C TESTCH -p tcp --dport 80 -j MARK --set-mark 256 2> /dev/null || iptables -t mangle -A TESTCH -p tcp --dport 80 -j MARK --set-mark 256'
run "iptables -t mangle -N TESTCH ; iptables -t mangle -A PREROUTING -j TESTCH" "$pair" "$pair"
check_eq "a checked pair run twice leaves one rule" \
"-A PREROUTING -j TESTCH
-A TESTCH -p tcp -m tcp --dport 80 -j MARK --set-xmark 0x100/0xffffffff" "$(mangle | grep '^-A')"
check_eq "the rule was added only after the failed check" \
"1 ${pair%% 2>*}
0 ${pair##*|| }
0 ${pair%% 2>*}" "$(grep ' TESTCH -p tcp' "$QUORIN_CMD_LOG")"

run "ipset create lb_t hash:ip,port,ip timeout 60 -exist" "ipset create lb_t hash:ip,port,ip timeout 60 -exist"
check "ipset -exist twice gives one set" quiet lab_exec r ipset list lb_t -name
check_eq "the set has its type and timeout" "Type: hash:ip,port,ip" "$(lab_exec r ipset list lb_t | grep '^Type')"

run "ip rule add fwmark 256 table 256 prio 20000 2> /dev/null" "ip rule add fwmark 256 table 256 prio 20000 2> /dev/null"
check_eq "ip rule added once, the second failure silent" 1 "$(lab_exec r ip rule | grep -c 'fwmark 0x100 lookup 256')"
check "discarded error output is not logged" bash -c "! grep -q 'File exists' '$LAB_DIR/runner.log'"
run "iptables -t mangle -N TESTCH"
check "other error output is logged" grep -q 'status 1: iptables -t mangle -N TESTCH: .*exists' "$LAB_DIR/runner.log"

lab_exec r ip link add up0 type veth peer name up1
lab_exec r ip link set up0 up
lab_exec r ip link set up1 up
lab_exec r ip addr add 10.9.0.1/24 dev up0
run "ip route replace default via 10.9.0.2 dev up0 table 256;/sbin/ip route show table 256"
check_eq "route in the member table" "default via 10.9.0.2 dev up0" "$(lab_exec r ip route show table 256 | sed "s/ *$//")"

run "iptables -t mangle -N a;touch /tmp/owned" 'iptables -t mangle -N b$(touch /tmp/owned2)' \
    "ip netns exec $(lab_ns r) touch /tmp/owned3"
check "no file from the injected command" test ! -e /tmp/owned
check "no file from the command substitution" test ! -e /tmp/owned2
has_chain() { lab_exec r iptables -t mangle -L "$1" -n >/dev/null 2>&1; }
not() { ! "$@"; }
check "the chain test sees an existing chain" has_chain TESTCH
check "the refused lines created no chain" not has_chain a
check "nor the one with a command substitution" not has_chain 'b$(touch'
check "ip netns exec starts no other program" test ! -e /tmp/owned3
check "the refusal was logged with the line" grep -q 'refused command line: "iptables -t mangle -N a;touch /tmp/owned"' "$LAB_DIR/runner.log"
check "every command run was iptables, ipset or ip" \
    bash -c "[ -s '$QUORIN_CMD_LOG' ] && ! awk '{print \$2}' '$QUORIN_CMD_LOG' | grep -vxE 'iptables|ipset|ip|/sbin/ip'"

lab_done
