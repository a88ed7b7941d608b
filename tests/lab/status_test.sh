#!/bin/bash
# quorin-status against the real daemon: the three-ISP lab with netstatd as
# packaged (-m: addresses and links come from the kernel), cfgserver, and
# quorin on docs/demo-config.json (tcp/80 split 50/30/20), its state file in
# the lab's PID directory.
#
#   - all in: exit status 0; the effective shares are what the rules'
#     probabilities make of the base's connections (0.30 to wan2, then 0.29
#     of the rest to wan3: 49.7/30/20.3);
#   - 2000 new connections since the last call, and 300 over --interval: the
#     new connections of each uplink by the rules' counters lie within 4
#     standard deviations of what the client counted for its ISP (a count
#     taken from the wrong rule, or the base's taken without its re-marks,
#     is off by far more), and the totals add up;
#   - every reason for an uplink to be out shows, with exit status 1: an
#     address removed, a lost carrier, an UplinkHealth row "down" written
#     with cfgctl, a refused row (Interface "wan+"); --prometheus then passes
#     promtool check metrics; mended, exit status 0 again;
#   - the kernel changed behind quorin's back: one line per disagreement, the
#     steps of tests/data/status-disagreements.txt;
#   - exit status 2, with the reason on standard error: cfgserver cannot be
#     reached; quorin stopped (its state file gone, or left behind).

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start status "$@"
scenario_routed -m
cfg load "$LAB_SRC/docs/demo-config.json" >/dev/null
quorin_start
STATE=$LAB_DIR/quorin.state

# status ARGS...: quorin-status in the router; its exit status in STATUS,
# its standard error in LAB_DIR/status.err.
status() {
    lab_exec r "$LAB_BIN/quorin-status" -p "$LAB_DIR" "$@" 2>"$LAB_DIR/status.err"
    STATUS=$?
}
json() { status --json >"$LAB_DIR/status.json"; jq -r "$1" "$LAB_DIR/status.json"; }
uplinks() { json '.groups[0].uplinks[] | "\(.device) \(.in) \(.reason)"'; }
uplinks_are() { [ "$(uplinks)" = "$1" ]; }

check "quorin writes its state file" lab_wait_for 5 test -s "$STATE" || lab_done
all_in=$'wan1 true \nwan2 true \nwan3 true '
check "quorin has every uplink in" lab_wait_for 5 uplinks_are "$all_in"
status >"$LAB_DIR/status.txt"
check_eq "all in and the kernel agrees: exit status 0" 0 "$STATUS"
check_eq "the effective shares are what the rules' probabilities make" "wan1 0.497 wan2 0.3 wan3 0.203 status 0" \
    "$(json '(.groups[0].uplinks[] | "\(.device) \(.share_effective)"), "status \(.status)"' | xargs)"

# measured SPREAD: each uplink's new connections (quorin-status --json, in
# LAB_DIR/status.json) lie within 4 standard deviations of the client's
# counts of the spread; prints them.
measured() {
    jq -r '.groups[0].uplinks[] | "\(.device) \(.new_connections) \(.share_effective)"' "$LAB_DIR/status.json" |
        awk -v spread="$1" 'BEGIN { n = split(spread, w, " "); for (i = 1; i < n; i += 2) c[w[i]] = w[i + 1]
                                    total = c["u1"] + c["u2"] + c["u3"] }
            { isp = "u" substr($1, 4); d = $2 - c[isp]; bound = 4 * sqrt(total * $3 * (1 - $3))
              printf "# %s: %d by the rules, %d by the client, allowed %.0f apart\n", $1, $2, c[isp], bound
              if (d > bound || -d > bound) bad = 1 }
            END { exit bad || c["lost"] != 0 || total == 0 }'
}
lab_log "--- 2000 new connections since the last call"
split=$(spread 2000)
json . >/dev/null
check "the rules' counts of each uplink match the client's" measured "$split"
before=$(jq '[.groups[0].uplinks[].new_connections_total] | add' "$LAB_DIR/status.json")
lab_log "--- 300 new connections over --interval 6"
# It reads the counters at once, then after 6 s: the spread (about 1 s)
# starts well after the first reading.
status --json --interval 6 >"$LAB_DIR/status.json" &
sleep 1.5
split=$(spread 300)
wait $!
check "the rules' counts over the interval match the client's" measured "$split"
check_eq "the totals add what each call counted" "$((before + 300))" \
    "$(jq '[.groups[0].uplinks[].new_connections_total] | add' "$LAB_DIR/status.json")"

status -s "$LAB_DIR/none.socket" --json >/dev/null
check_eq "cfgserver unreachable: exit status 2, saying why" "2 cannot reach cfgserver" \
    "$STATUS $(grep -o 'cannot reach cfgserver' "$LAB_DIR/status.err")"

lab_log "--- every reason for an uplink to be out"
lab_exec r ip addr del 10.3.0.2/24 dev wan3
lab_exec u2 ip link set up2 down
cfg add --create UplinkHealth Name=wan1 State=down Reason=loss LossPercent=100 RttMs=0 Since="$(date +%s)" >/dev/null
cfg add BalancingInterfaces BalancingGroupId=1 Interface=wan+ UsagePercent=10 >/dev/null
out=$'wan1 false probes\nwan2 false link\nwan3 false address\nwan+ false refused'
check "quorin has each uplink out for its reason" lab_wait_for 10 uplinks_are "$out"
settle >/dev/null
json . >/dev/null
check_eq "out: exit status 1; the probes' loss; the refused row; the kernel agrees" "1 100 1 0" \
    "$STATUS $(jq -r '"\(.groups[0].uplinks[0].probes.loss_percent) \([.refused[] | select(.table == "BalancingInterfaces"
        and (.text | contains("wan+")))] | length) \(.disagreements | length)"' "$LAB_DIR/status.json")"
status --prometheus >"$LAB_DIR/status.prom"
check "--prometheus passes promtool check metrics" promtool check metrics <"$LAB_DIR/status.prom"
check "--prometheus gives the reason" grep -qxF 'quorin_uplink_in{group="1",uplink="wan2",reason="link"} 0' \
    "$LAB_DIR/status.prom"

lab_log "--- mended"
lab_exec r ip addr add 10.3.0.2/24 dev wan3
sc_default_route add 3
lab_exec u2 ip link set up2 up
cfg del BalancingInterfaces 3 >/dev/null
cfg del UplinkHealth 0 >/dev/null
check "quorin has every uplink in again" lab_wait_for 10 uplinks_are "$all_in"
settle >/dev/null
status >/dev/null
check_eq "in again and the kernel agrees: exit status 0" 0 "$STATUS"

lab_log "--- the split made anew between two calls"
# The new rules' counters may pass the old ones' before the next call.
spread 100 >/dev/null
status >/dev/null
cfg set BalancingInterfaces 1 UsagePercent=40 >/dev/null
settle >/dev/null
split=$(spread 300)
json . >/dev/null
check "the counts of the new rules match the client's" measured "$split"
cfg set BalancingInterfaces 1 UsagePercent=30 >/dev/null
settle >/dev/null

lab_log "--- the kernel changed behind quorin's back"
# quorin writes its jumps into LOADB_PRE again within a second of their
# loss: held stopped, it leaves every change for quorin-status to see.
kill -STOP "$SC_QUORIN_PID"
disagree() {
    lab_exec r sh -c "$1"
    json '.disagreements[]' >/dev/null
    check_eq "$1: exit status 1 and the disagreements" "1"$'\n'"$2" "$STATUS"$'\n'"$(jq -r '.disagreements[]' "$LAB_DIR/status.json")"
}
lab_steps "$LAB_SRC/tests/data/status-disagreements.txt" disagree
kill -CONT "$SC_QUORIN_PID"

lab_log "--- quorin stopped"
cp "$STATE" "$LAB_DIR/state.kept"
quorin_stop
status >/dev/null
check_eq "no state file: exit status 2, saying why" "2 quorin.state" "$STATUS $(grep -o 'quorin.state' "$LAB_DIR/status.err")"
cp "$LAB_DIR/state.kept" "$STATE"
status --prometheus >"$LAB_DIR/status.prom"
check_eq "a state file left behind: exit status 2, quorin_up 0" "2 is not running quorin_up 0" \
    "$STATUS $(grep -o 'is not running' "$LAB_DIR/status.err") $(grep '^quorin_up ' "$LAB_DIR/status.prom")"
lab_done
