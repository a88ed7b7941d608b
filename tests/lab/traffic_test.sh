#!/bin/bash
# Real connections through the router: a client behind lan0, three ISPs that
# all hold the same server address, netstatd and quorin on
# docs/demo-config.json (tcp/80 split 50/30/20). Where a connection went is
# what the server that answered it says.
#
# The cases below run in turn on the one live group: its "Autobalance" is
# changed in place, and an uplink is taken out by taking its link down.
# Shares are weights among the members that are up: the first of them marks
# every new connection, and each later one re-marks, of the connections that
# still carry that mark, its share of the sum of the first member's, its own
# and the later members' shares, as a whole percent rounded as the daemon
# rounds it. That yields each uplink's exact probability p (0 for an uplink
# that is out: it must get no connection), and its count of N connections is
# binomial(N, p). Each count whose p is neither 0 nor 1 must lie in the
# central interval whose two tails hold at most 1e-4 / K of the exact
# binomial distribution, K being the number of such counts in the whole run:
# a correct daemon fails this test less than once in 10,000 runs. The intervals are about ±4.5
# standard deviations, ±78 to ±101 connections for the N chosen (a spread of
# 2000 takes about 5 s), so a count must move by more than that to fail. The
# faults they are there for move a count by more: a re-mark taken of all
# connections instead of those left, by 126 in each 50/30/20 case; a member
# that is out still counted in the sums, by 135 or more; swapped shares, or
# rules that an "Autobalance" change did not rebuild, by 180 or more.

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
K=$(awk '{ up = 0; for (i = 3; i <= NF; i++) up += $i != "-"; if (up > 1) k += up } END { print k }' <<<"$CASES")

before=$(kfull)
cfg load "$LAB_SRC/docs/demo-config.json" >/dev/null
quorin_start

# within SHARES COUNTS: checks a split against the exact probabilities of
# the shares (one per uplink, "-" when it is out), as the header says; prints
# one line per uplink and fails when a count is outside its interval or a
# connection was lost.
within() {
    python3 - "$1" "$2" "$K" <<'PY'
import itertools, math, struct, sys
def f32(x): return struct.unpack("f", struct.pack("f", x))[0]
shares = sys.argv[1].split()
counts = dict(zip(*[iter(sys.argv[2].split())] * 2))
alpha = 1e-4 / int(sys.argv[3])
n = sum(int(v) for v in counts.values())
up = [i for i, s in enumerate(shares) if s != "-"]
probs, left, rest = [0.0] * len(shares), 1.0, sum(int(shares[i]) for i in up)
for i in up[1:]:
    # Single precision, the division first; half away from zero.
    percent = math.floor(f32(f32(100.0 / rest) * int(shares[i])) + 0.5)
    probs[i] = left * (1.0 if percent >= 100 else percent / 100)
    left -= probs[i]
    rest -= int(shares[i])
probs[up[0]] = left
def interval(p):
    if p <= 0 or p >= 1:
        return (0, 0) if p <= 0 else (n, n)
    pmf = [math.exp(math.lgamma(n + 1) - math.lgamma(k + 1) - math.lgamma(n - k + 1)
                    + k * math.log(p) + (n - k) * math.log(1 - p)) for k in range(n + 1)]
    # The first count from each end whose tail, up to it, holds more than alpha / 2.
    lo = next(k for k, tail in zip(range(n + 1), itertools.accumulate(pmf)) if tail > alpha / 2)
    hi = next(k for k, tail in zip(range(n, -1, -1), itertools.accumulate(reversed(pmf))) if tail > alpha / 2)
    return lo, hi
ok = counts.get("lost") == "0"
for i, p in enumerate(probs):
    lo, hi = interval(p)
    got = int(counts.get("u%d" % (i + 1), 0))
    ok &= lo <= got <= hi
    print("# u%d: %4d of %d, expected %.1f, allowed %d..%d" % (i + 1, got, n, n * p, lo, hi))
sys.exit(0 if ok else 1)
PY
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
