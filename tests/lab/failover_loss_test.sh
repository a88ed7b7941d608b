#!/bin/bash
# Random loss that a working uplink has is no failure: 5 % of the packets
# that wan1's ISP receives and 5 % of those it sends are lost for 60 s
# (LAB_LONG=1: 10 minutes), with uplinkd on its defaults (8 missed rounds in
# a row take an uplink out; with one target a round misses 9.75 % of the
# time, so 8 in a row come about once in 10^8 rounds). Meanwhile the client
# streams UDP through u1 and opens new connections. Nothing may change:
# UplinkHealth keeps wan1 up since before the loss, its member keeps its
# rules (the kernel's event stream shows none of them go), quorin logs no
# leave, and the UDP flow stays with u1. The loss the flow and the
# connections saw is printed, and uplinkd's own figure for it.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start failover_loss "$@"
SECONDS_LOST=$([ -n "${LAB_LONG:-}" ] && echo 600 || echo 60)

scenario_failover "$LAB_SRC/tests/lab/failover.json"
check "uplinkd reports wan1 up" lab_wait_for 10 health_is wan1 up
since=$(health_rows | awk '$1 == "wan1" { print $5 }')
# loss -I|-D: 5 % of what u1 receives and of what it sends is lost, or no more.
loss() {
    for chain in INPUT OUTPUT; do lab_exec u1 iptables "$1" $chain -m statistic --mode random --probability 0.05 -j DROP; done
}

lab_log "--- 5 % loss each way on u1 for $SECONDS_LOST s"
from=$(sc_mark)
lab_spawn c "$LAB_DIR/udp" python3 "$LAB_SRC/tests/lab/internet.py" udp u1 $((SECONDS_LOST + 2))
udp_pid=$LAB_LAST_PID
lab_wait_for 10 grep -q '^# port' "$LAB_DIR/udp" || echo "# no UDP flow through u1"
loss -I
lab_spawn c "$LAB_DIR/rate" python3 "$LAB_SRC/tests/lab/internet.py" rate 10 "$SECONDS_LOST"
wait "$LAB_LAST_PID"
loss -D
wait "$udp_pid"

answers=$(grep -vc '^#' "$LAB_DIR/udp")
lab_log "UDP flow: $answers answers to $(((SECONDS_LOST + 2) * 50)) datagrams;" \
    "connections: $(grep -c ' lost ' "$LAB_DIR/rate") of $(wc -l <"$LAB_DIR/rate") failed (2 s);" \
    "uplinkd: $(health_rows | awk '$1 == "wan1" { print "loss " $3 " %, rtt " $4 " ms" }')"
check_eq "UplinkHealth keeps wan1 up, unchanged since before the loss" "wan1 up $since" \
    "$(health_rows | awk '$1 == "wan1" { print $1, $2, $5 }')"
check "none of wan1's member rules went" test -z "$(sc_stamp "$(sc_rule_gone 10.1.0.2)" "$from")"
check "quorin logged no leave" bash -c "! grep -q 'leaves the split' '$SC_QUORIN_LOG'"
check_eq "the UDP flow stayed with u1" "u1" "$(grep -v '^#' "$LAB_DIR/udp" | cut -d' ' -f2 | sort -u)"
# Each datagram and its answer cross the loss once: about 90 % come back.
check "the UDP flow lost no more than random loss explains" test "$answers" -ge $(((SECONDS_LOST + 2) * 50 * 8 / 10))
check "every uplink carries connections" through "$(spread 100)" u1 u2 u3

lab_done
