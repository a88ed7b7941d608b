#!/bin/bash
# P3: an uplink's address removed until that member's service and policy
# rules are gone, with the in-process command path. The kernel's own event
# stream times both ends: "ip -ts monitor" stamps the address removal and the
# deletion of the member's last policy rule (the service rules go before
# it). The same command lines run alone through the command queue give the
# part that is the lines' own cost.
#   sudo bench/p3_events.sh        (bench/run runs it with the others)

. "$(dirname "$0")/lib.sh"
bench_init p3 "$@"
TRIALS=$(bench_size 20 2)

# netstatd as the packaged service runs it.
SC_NETSTATD_ARGS="-m" SC_NETSTATD_DEBUG=""
scenario_start >/dev/null
lab_exec r ip route add default via 10.1.0.1 dev wan1 metric 101
lab_exec r ip route add default via 10.2.0.1 dev wan2 metric 102
lab_exec r ip route add default via 10.3.0.1 dev wan3 metric 103
cat >"$LAB_DIR/config.json" <<'JSON'
{"Balancing": [{"Verbose": 0, "StickyTimeout": 120}],
 "BalancingGroups": [{"Id": 1, "ClientInterface": "lan0", "Sticky": 0, "Autobalance": 0, "Enable": 1}],
 "BalancingInterfaces": [{"BalancingGroupId": 1, "Interface": "wan1", "UsagePercent": 50},
                         {"BalancingGroupId": 1, "Interface": "wan2", "UsagePercent": 30},
                         {"BalancingGroupId": 1, "Interface": "wan3", "UsagePercent": 20}],
 "BalancingServices": [{"Id": 1, "BalancingGroupId": 1, "Proto": "tcp", "DstPortStart": 80, "DstPortEnd": 80}]}
JSON
sleep 0.5
cfg load "$LAB_DIR/config.json" >/dev/null
quorin_start
# The benchmark measures the daemon as it runs on a router: without debug
# output.
quorin_stop
lab_spawn r "$LAB_DIR/quorin.bench.log" "$LAB_BIN/quorin" -p "$LAB_DIR"
SC_QUORIN_PID=$LAB_LAST_PID
has_rule() { lab_exec r ip rule show | grep -q "from $1 lookup"; }
lab_wait_for 10 has_rule 10.3.0.2 || { echo "FAIL: quorin did not start"; exit 1; }
settle

MON=$LAB_DIR/monitor.log
lab_spawn r "$MON" ip -ts monitor address rule route
sleep 0.3

# stamp PATTERN [FROM_LINE]: the time (seconds) of the first monitor event
# from that line on whose text matches the pattern.
stamp() {
    tail -n +"${2:-1}" "$MON" | sed -n "/$1/{s/^\[\([^]]*\)\].*/\1/p;q}" |
        python3 -c 'import sys, datetime
t = sys.stdin.read().strip()
print(datetime.datetime.fromisoformat(t).timestamp() if t else "")'
}
lines_of_monitor() { wc -l <"$MON"; }
stamped() { [ -n "$(stamp "$1" "$2")" ]; }
ms() { python3 -c "print('%.1f' % ((float('$2') - float('$1')) * 1000))"; }
# alone LINE...: microseconds the lines take when run alone through the
# command queue in the router namespace.
alone() { lab_exec r "$LAB_BIN/runlines" -t "$@"; }

# Scratch objects in the router of the same kinds as a member's: a mark rule
# in a chain and two policy rules of a table nobody uses.
scratch_chain=BENCH
lab_exec r iptables -t mangle -N $scratch_chain
service_match=" -m mark --mark 256 -p tcp --dport 80 -m state --state new  -m statistic --mode random --probability 0.29 -j MARK --set-mark 9999"

removal=()
removal_alone=()
for i in $(seq "$TRIALS"); do
    from=$(($(lines_of_monitor) + 1))
    lab_exec r ip addr del 10.3.0.2/24 dev wan3
    if ! lab_wait_for 5 stamped "Deleted.*from 10\.3\.0\.2 lookup" "$from"; then
        echo "# trial $i: the member's rules were not removed"
        continue
    fi
    removal+=("$(ms "$(stamp "Deleted.*inet 10\.3\.0\.2\/" "$from")" "$(stamp "Deleted.*from 10\.3\.0\.2 lookup" "$from")")")
    lab_exec r ip addr add 10.3.0.2/24 dev wan3
    lab_exec r ip route add default via 10.3.0.1 dev wan3 metric 103
    lab_wait_for 5 has_rule 10.3.0.2
    settle >/dev/null
    # The same command lines alone: the service rule, then both policy rules.
    lab_exec r iptables -t mangle -A $scratch_chain ${service_match}
    lab_exec r ip rule add fwmark 9999 table 9999
    lab_exec r ip rule add from 10.254.0.1 table 9999
    us=$(alone " iptables  -t mangle -D $scratch_chain$service_match" \
        "ip rule del fwmark 9999 table 9999;ip rule del from 10.254.0.1 table 9999")
    removal_alone+=("$(python3 -c "print('%.1f' % ($us / 1000))")")
done

p50=$(bench_pct 50 "${removal[@]}")
p95=$(bench_pct 95 "${removal[@]}")
alone50=$(bench_pct 50 "${removal_alone[@]}")
on_top=$(python3 -c "print('%.1f' % ($p50 - $alone50))")
echo "# address removal -> rules gone, $TRIALS trials: ${removal[*]} ms; the lines alone: ${removal_alone[*]} ms"
echo "# quorin's part: p50 $on_top ms over the lines' own $alone50 ms"
bench_row P3 "address removed -> member's rules gone, p50 / p95 ($TRIALS trials)" "$p50 / $p95 ms" \
    "p50 <= 10 ms" "$(python3 -c "print('met' if $p50 <= 10 else 'missed')")"
lab_exec r iptables -t mangle -F $scratch_chain
lab_exec r iptables -t mangle -X $scratch_chain
quorin_stop
