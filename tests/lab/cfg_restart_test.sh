#!/bin/bash
# cfgserver restarts under a running quorin: no rule of a member that the
# tables still describe may disappear at any moment, and afterwards the
# kernel holds what a fresh daemon writes on the final tables (kcanon, as in
# random_edits_test.sh). Two restarts on the example configuration (a clean
# stop and start of the service is cfgserver_test.sh's):
#   1. kill -9, with uplink and service rows added while the service is away
#      (through a second server on the same store, on another socket);
#   2. kill -9 in the middle of a burst of edits, restarted at once; the
#      server is stopped (SIGSTOP) for a moment before, so that the daemon
#      likely waits for an answer when the kill comes.
# A watcher polls the chain LOADBALANCING1 and the policy rules during each
# restart and records every moment where wan1 or wan2, whose rows never
# change, lacks its address rule, its mark rule or any chain rule with its
# mark. (Rules that a commit deletes and inserts again, such as the sticky
# match, keep the member's mark in the chain through its other rules.)

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start cfg_restart "$@"
scenario_start

STORE=$LAB_DIR/store.json

# connections: how often the running daemon connected to the service.
connections() { grep -c "connected to the configuration service" "$LAB_DIR/quorin.$SC_RUN.log"; }
more_connections() { [ "$(connections)" -gt "$1" ]; }

# restart NAME SIGNAL [CMD...]: with the watcher running, ends cfgserver with
# SIGNAL, runs CMD while it is away, starts it again on the same store and
# waits until the daemon has connected again and is quiet.
restart() {
    local n
    n=$(connections)
    lab_spawn r "$LAB_DIR/watch.$1.out" python3 "$LAB_DIR/watch.py" "$LAB_DIR/watch.$1.stop"
    WATCH_PID=$LAB_LAST_PID
    lab_stop "$SC_CFG_PID" "$2"
    "${@:3}"
    lab_spawn r "$LAB_DIR/cfgserver.$1.log" "$LAB_BIN/cfgserver" -f "$STORE"
    SC_CFG_PID=$LAB_LAST_PID
    lab_wait_for 5 cfg dump || echo "# cfgserver did not start again"
    lab_wait_for 10 more_connections "$n" || echo "# quorin did not connect again"
    lab_log "$1: quorin connected $(($(connections) - n)) more times"
}

cat >"$LAB_DIR/watch.py" <<'EOF'
import os, re, subprocess, sys, time
stop, members = sys.argv[1], {"wan1": "10.1.0.2", "wan2": "10.2.0.2"}
def run(*cmd):
    return subprocess.run(cmd, capture_output=True, text=True).stdout
polls = 0
while not os.path.exists(stop):
    rules, chain = run("ip", "rule", "show"), run("iptables", "-t", "mangle", "-S", "LOADBALANCING1")
    for dev, addr in members.items():
        table = re.search(r"from %s lookup (\d+)$" % re.escape(addr), rules, re.M)
        missing = [] if table else ["from %s rule" % addr]
        if table:
            mark = "0x%x" % int(table.group(1))
            if not re.search(r"fwmark %s lookup %s$" % (mark, table.group(1)), rules, re.M):
                missing.append("fwmark rule")
            if not re.search(r"%s(?![0-9a-f])" % mark, chain):
                missing.append("chain rule with mark " + mark)
        if missing:
            print("%.3f %s lacks %s" % (time.time(), dev, ", ".join(missing)), flush=True)
    polls += 1
print("polls", polls, flush=True)
EOF

# watch_stop NAME: once the daemon is quiet, the watcher's findings are
# checked; it must have polled throughout.
watch_stop() {
    settle "$(wc -l <"$QUORIN_CMD_LOG")"
    touch "$LAB_DIR/watch.$1.stop"
    wait "$WATCH_PID"
    local polls
    polls=$(sed -n 's/^polls //p' "$LAB_DIR/watch.$1.out")
    check "$1: the watcher polled throughout (${polls:-0} times)" test "${polls:-0}" -ge 10
    check_eq "$1: no rule of wan1 or wan2 was ever missing" "" "$(grep -v '^polls' "$LAB_DIR/watch.$1.out")"
}

# same_as_fresh NAME: the running daemon's kernel state equals that of a
# fresh daemon on the tables as they are now; the fresh one goes on running.
same_as_fresh() {
    local running
    running=$(kcanon)
    check "$1: quorin still runs" lab_running "$SC_QUORIN_PID"
    quorin_stop
    quorin_start
    check_eq "$1: the state equals that of a fresh daemon" "$(kcanon)" "$running"
}

cfg load "$LAB_SRC/docs/example-config.json" >/dev/null
quorin_start

lab_log "--- 1. kill -9, rows added while the service is away"
aside() {
    local srv
    lab_spawn r "$LAB_DIR/aside.log" "$LAB_BIN/cfgserver" -f "$STORE" -s "$LAB_DIR/aside.sock"
    srv=$LAB_LAST_PID
    lab_wait_for 5 cfg -s "$LAB_DIR/aside.sock" dump
    while read -r table row; do
        cfg -s "$LAB_DIR/aside.sock" add "$table" $row >/dev/null
    done <<'ROWS'
StatusNetifWatch Name=wan3 Addr=10.3.0.2
DefaultWANGateway InterfaceName=wan3 GatewayAddress=10.3.0.1
BalancingInterfaces BalancingGroupId=1 Interface=wan3 UsagePercent=20
BalancingServices Id=2 BalancingGroupId=1 Proto=udp DstPortStart=53 DstPortEnd=53
ROWS
    lab_stop "$srv"
}
restart away KILL aside
watch_stop away
check "away: wan3 became a member" grep -q "set lb_wan3" <<<"$(kstate)"
check "away: the udp service has its rules" grep -q -- "-p udp .*--dport 53" <<<"$(kstate)"
same_as_fresh away

lab_log "--- 2. kill -9 in the middle of a burst of edits"
burst() {
    local i
    for i in $(seq 1 45); do
        case $((i % 3)) in
        0) cfg set Balancing 0 Verbose=$((i % 2)) ;;
        1) cfg set StatusNetifWatch 2 Addr=$([ $((i % 2)) = 1 ] && echo 0.0.0.0 || echo 10.3.0.2) ;;
        2) cfg set BalancingServices 1 DstPortEnd=$((53 + i % 2)) ;;
        esac >/dev/null 2>&1
        echo "$i" >>"$LAB_DIR/burst.done"
        sleep 0.03
    done
}
burst &
BURST=$!
lab_wait_for 10 bash -c "[ \$(wc -l <'$LAB_DIR/burst.done' 2>/dev/null || echo 0) -ge 15 ]"
kill -STOP "$SC_CFG_PID"
sleep 0.3
restart burst KILL
wait "$BURST"
watch_stop burst
same_as_fresh burst
lab_done
