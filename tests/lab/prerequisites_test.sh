#!/bin/bash
# The router's prerequisites, against the real kernel, with quorin at its
# default log level: a router without LOADB_PRE gets the error line of the
# failed hook and the warning with its fix, and real connections all take
# the main table's uplink; LOADB_PRE created while quorin runs gets quorin's
# jumps within seconds, and the connections spread over the uplinks; strict
# rp_filter on an uplink and forwarding off are warnings too, and the state
# file names each problem while it lasts. A clean stop removes the file.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start prerequisites "$@"
scenario_routed
lab_exec r iptables -t mangle -D PREROUTING -j LOADB_PRE
lab_exec r iptables -t mangle -X LOADB_PRE

LOG=$LAB_DIR/quorin.log
STATE=$LAB_DIR/quorin.state
logged() { grep -qE "$1" "$LOG"; }
problems() { jq -r '[.problems[].check] | join(" ")' "$STATE" 2>/dev/null; }
problems_are() { [ "$(problems)" = "$1" ]; }

cfg load "$LAB_SRC/docs/demo-config.json" >/dev/null
lab_spawn r "$LOG" "$LAB_BIN/quorin" -p "$LAB_DIR"
QPID=$LAB_LAST_PID
lab_wait_for 5 sc_made_wan2lan 0 || echo "# quorin did not create WAN2LAN"
settle

lab_log "--- no LOADB_PRE"
check "the hook that fails is an error line: command, exit status, error text" logged \
    " ERROR .* command failed with status [1-9][0-9]*: iptables -t mangle -A LOADB_PRE -i lan0 -j LOADBALANCING1: .+"
check "one warning says LOADB_PRE is missing and how to make it" lab_wait_for 3 logged \
    " WARNING .* LOADB_PRE is missing: new connections are not balanced; run \"iptables -t mangle -N LOADB_PRE; "
check "the state file names the problem" lab_wait_for 3 problems_are chain
check "100 connections all take the main table's uplink" through "$(spread 100)" u1

lab_log "--- LOADB_PRE made while quorin runs"
lab_exec r iptables -t mangle -N LOADB_PRE
lab_exec r iptables -t mangle -A PREROUTING -j LOADB_PRE
hooked() { lab_exec r iptables -t mangle -S LOADB_PRE | grep -qx -- "-A LOADB_PRE -i lan0 -j LOADBALANCING1"; }
check "quorin writes its jumps into it within 5 s" lab_wait_for 5 hooked
check "a line says it is there now" logged " INFO .* LOADB_PRE exists now"
check "the problem is gone from the state file" lab_wait_for 3 problems_are ""
check_eq "one line of the jumps written again" 1 "$(grep -c "LOADB_PRE lacked 4 of quorin's jumps" "$LOG")"
check "300 connections spread over all three uplinks" through "$(spread 300)" u1 u2 u3

lab_log "--- strict rp_filter on wan2, forwarding off"
lab_exec r sysctl -qw net.ipv4.conf.wan2.rp_filter=1
check "a warning names wan2 and the fix" lab_wait_for 3 logged \
    " WARNING .* rp_filter is strict on wan2: replies balanced there are dropped; set net.ipv4.conf.wan2.rp_filter=2"
lab_exec r sysctl -qw net.ipv4.ip_forward=0
check "a warning says forwarding is off" lab_wait_for 3 logged " WARNING .* forwarding is off"
check "the state file names both" lab_wait_for 3 problems_are "forwarding rp_filter"
check_eq "each warning once" "1 1 1" "$(for w in "LOADB_PRE is missing" "strict on wan2" "forwarding is off"; do
    grep -c "WARNING .*$w" "$LOG"; done | xargs)"

lab_log "--- SIGTERM"
ours=$(lab_mangle r | grep -cE -- '^-A (WAN2LAN|LOADBALANCING1) |^-A LOADB_PRE .*-j (WAN2LAN|LOADBALANCING1)$')
lab_stop "$QPID" TERM
check_eq "quorin ends with status 0 and removes the state file" "0 gone" \
    "$LAB_STATUS $([ -e "$STATE" ] && echo there || echo gone)"
check "its last line counts what it removed as the kernel had it ($ours mangle rules)" logged \
    " INFO quorin quorin:[0-9]+ stop: removed 2 chains, $ours mangle rules, 6 policy rules, 3 routing tables, 3 sets$"
lab_done
