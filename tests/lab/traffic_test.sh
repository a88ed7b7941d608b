#!/bin/bash
# Real connections through the router: a client behind lan0, three ISPs that
# all hold the same server address, netstatd and quorin on
# docs/demo-config.json (tcp/80 split 50/30/20). Where a connection went is
# what the server that answered it says.
#
# The cases below run in turn on the one live group: its "Autobalance" is
# changed in place, and an uplink is taken out by taking its link down.
# Shares are weights among the members that are up: an uplink whose weight
# is p (0 for an uplink that is out: it must get no connection) must carry
# a count of N connections within 4.5 standard deviations of N p, plus 1 %
# of N for the whole percents that the rules' probabilities are rounded to
# (at most 0.5 % each). A correct daemon fails this test about once in
# 10,000 runs. The bounds are about +-80 to +-120 connections for the N
# chosen (a spread of 2000 takes about 5 s), so a count must move by more
# than that to fail. The faults they are there for move a count by more: a
# re-mark taken of all connections instead of those left, by 126 in each
# 50/30/20 case; a member that is out still counted in the sums, by 135 or
# more; swapped shares, or rules that an "Autobalance" change did not
# rebuild, by 180 or more.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start traffic "$@"
scenario_routed

# N, the group's "Autobalance", then for wan1..wan3 the share its member
# must have, "-" for an uplink that is out during the spread.
CASES="2000 0 50 30 20
1500 0 -  30 20
1500 0 50 -  20
2000 1 33 33 33
1500 1 33 33 -
2000 0 50 30 20"

before=$(kfull)
cfg load "$LAB_SRC/docs/demo-config.json" >/dev/null
quorin_start

# within SHARES COUNTS: checks a split against the shares (one per uplink,
# "-" when it is out), as the header says; prints one line per uplink and
# fails when a count is outside its bound or a connection was lost.
within() {
    awk -v shares="$1" -v got="$2" 'BEGIN {
        n = split(shares, share, " "); m = split(got, w, " ")
        for (i = 1; i < m; i += 2) count[w[i]] = w[i + 1]
        for (i = 1; i <= n; i++) sum += share[i] == "-" ? 0 : share[i]
        total = count["u1"] + count["u2"] + count["u3"]; ok = count["lost"] == 0 && total > 0
        for (i = 1; i <= n; i++) {
            p = share[i] == "-" ? 0 : share[i] / sum; c = count["u" i] + 0
            bound = p == 0 ? 0 : 4.5 * sqrt(total * p * (1 - p)) + 0.01 * total
            printf "# u%d: %4d of %d, expected %.1f, allowed %d..%d\n", i, c, total, total * p, total * p - bound, total * p + bound
            ok = ok && c >= total * p - bound && c <= total * p + bound
        }
        exit !ok }'
}

# uplink I down|up: wan I's link goes down, or up again with its default
# route back in the main table (the kernel dropped it); returns once
# netstatd has written the gateways (2 or 3) and the daemon has settled.
uplink() {
    local lines gateways=2
    lines=$(wc -l <"$QUORIN_CMD_LOG")
    lab_exec r ip link set "wan$1" "$2"
    if [ "$2" = up ]; then
        gateways=3
        lab_wait_for 5 sc_default_route add "$1" || echo "# the default route through wan$1 could not be added"
    fi
    lab_wait_for 5 sc_status_written $gateways || echo "# netstatd did not write the gateways after wan$1 $2"
    settle "$lines"
}

mode=0
while read -r n auto shares <&3; do
    if [ "$auto" != "$mode" ]; then
        lab_log "--- \"Autobalance\" $auto, set on the live group"
        edit set BalancingGroups 0 Autobalance="$auto"
        mode=$auto
    fi
    out=$(awk '{ for (i = 1; i <= NF; i++) if ($i == "-") print i }' <<<"$shares")
    [ -z "$out" ] || uplink "$out" down
    what="shares $(tr -s ' ' / <<<"$shares")${out:+, wan$out out}"
    lab_log "--- $n connections, $what"
    check "$what: each uplink's count is within its bound; none lost" within "$shares" "$(spread "$n")"
    [ -z "$out" ] || uplink "$out" up
done 3<<<"$CASES"

lab_log "--- SIGTERM"
quorin_stop
check_eq "the daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "mangle, policy rules, every routing table and the sets are as before quorin started" \
    "$before" "$(kfull)"

lab_done
