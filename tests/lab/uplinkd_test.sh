#!/bin/bash
# Lab test of uplinkd in the three-ISP lab (tests/lab/scenario.sh), with
# netstatd writing the status tables and no quorin: the main table's default
# route goes through wan1, so only uplinkd's own rules and tables can take
# the probes of wan2 and wan3 out of their uplinks. Each ISP counts the echo
# requests it gets, by source. A drop rule at an ISP takes its uplink down
# and back up; bad rows are refused while the good ones are probed; a
# restarted cfgserver gets the verdicts again; SIGTERM clears the verdicts
# and the kernel state, SIGKILL leaves the verdicts to cfgserver to clear.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start uplinkd "$@"
SC_NETSTATD_ARGS=-m scenario_start
scenario_internet
scenario_default_routes
for i in 1 2 3; do
    lab_exec u$i iptables -A INPUT -p icmp --icmp-type echo-request -s 10.$i.0.2
    lab_exec u$i iptables -A INPUT -p icmp --icmp-type echo-request ! -s 10.$i.0.2
done
# Three uplinks to probe, wan3 through InterfaceMapping, and two rows to refuse.
cfg load "$LAB_SRC/tests/lab/uplinkd.json" >/dev/null
# verdicts_are LIST: UplinkHealth's rows are "NAME STATE REASON," in that order.
verdicts() { cfg dump UplinkHealth | jq -r '.UplinkHealth[] | "\(.Name) \(.State) \(.Reason),"' | tr -d '\n'; }
verdicts_are() { [ "$(verdicts)" = "$1" ]; }
# requests ISP: echo requests the ISP got from its own uplink, and from others.
requests() { lab_exec "$1" iptables -nvxL INPUT | awk '/icmptype 8/ { printf "%s ", $1 }'; }
# start: uplinkd (scenario.sh's uplinkd_start waits for a row per tracking
# row, and two of ours are refused).
start() {
    lab_spawn r "$LAB_DIR/uplinkd.log" "$LAB_BIN/uplinkd" -p "$LAB_DIR"
    SC_UPLINKD_PID=$LAB_LAST_PID
}

start
ALL_UP="wan1 up ,wan2 up ,wan3 up ,"
# A little over the promise (3 s down, 1.5 s up); more for a sanitized build.
LIMIT=$([ -n "${QUORIN_SANITIZE:-}" ] && echo 8 || echo 4)
check "three uplinks probed and up" lab_wait_for 5 verdicts_are "$ALL_UP"
sleep 1
for i in 1 2 3; do
    check "ISP u$i gets echo requests from its own uplink only ($(requests u$i))" \
        eval '[[ $(requests u'$i') =~ ^[1-9][0-9]*\ 0\ $ ]]'
done
check_eq "the rows refused, each with its error line" \
    "ReadUplinkTracking: UplinkTracking row 3 skipped: Interface \"wan2\" is tracked by an earlier row
ReadUplinkTracking: UplinkTracking row 4 skipped: Targets \"198.18.0.1 x\" is not 1 to 16 blank-separated dotted quads" \
    "$(grep -o 'ReadUplinkTracking: .*' "$LAB_DIR/uplinkd.log")"

lab_exec u2 iptables -I INPUT -p icmp --icmp-type echo-request -j DROP
check "a dead upstream takes wan2 down within 3 s (and a little)" lab_wait_for $LIMIT verdicts_are "wan1 up ,wan2 down probes,wan3 up ,"
check "one line says so" grep -q "uplink wan2 is down (probes: 8 failed rounds, loss [0-9]* %, rtt [0-9]* ms)" \
    "$LAB_DIR/uplinkd.log"
lab_exec u2 iptables -D INPUT -p icmp --icmp-type echo-request -j DROP
check "wan2 comes back up after 5 good rounds" lab_wait_for $LIMIT verdicts_are "$ALL_UP"
check "one line says so" grep -q "uplink wan2 is up (loss [0-9]* %, rtt [0-9]* ms)" "$LAB_DIR/uplinkd.log"

# A new address for wan1 (the kernel drops table M's route with the old one):
# the probes follow it, and wan1 stays up.
lab_exec u1 iptables -A INPUT -p icmp --icmp-type echo-request -s 10.1.0.3
lab_exec r ip addr flush dev wan1
lab_exec r ip addr add 10.1.0.3/24 dev wan1
new_source() { [ "$(lab_exec u1 iptables -nvxL INPUT | awk '/10\.1\.0\.3/ { print $1 }')" -ge 3 ]; }
check "wan1's probes leave from its new address" lab_wait_for 3 new_source
check_eq "wan1 stays up" "$ALL_UP" "$(verdicts)"

lab_stop "$SC_CFG_PID" TERM
lab_spawn r "$LAB_DIR/cfgserver.2.log" "$LAB_BIN/cfgserver" -f "$LAB_DIR/store.json"
check "a restarted cfgserver gets the verdicts again" lab_wait_for 5 verdicts_are "$ALL_UP"

rules() { lab_exec r ip rule show | grep -c 'fwmark 0x7e0000.. lookup 21139292'; }
tables() { lab_exec r ip route show table all | grep -c 'table 21139292'; }
check_eq "uplinkd's three rules and tables are there" "3 3" "$(rules) $(tables)"
lab_stop "$SC_UPLINKD_PID" TERM
check_eq "SIGTERM: status 0, no verdicts, no rules, no tables" "0 . 0 0" "$LAB_STATUS .$(verdicts) $(rules) $(tables)"

start
check "uplinkd probes again" lab_wait_for 5 verdicts_are "$ALL_UP"
lab_stop "$SC_UPLINKD_PID" KILL
check "SIGKILL: cfgserver empties the verdicts" lab_wait_for 2 verdicts_are ""
start
check "the next start removes the rules the killed one left" \
    lab_wait_for 5 grep -q "removed 3 policy rules that an earlier run left behind" "$LAB_DIR/uplinkd.log"
lab_done
