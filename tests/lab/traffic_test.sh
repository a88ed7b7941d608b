#!/bin/bash
# Real connections through the router: a client behind lan0, three ISPs that
# all hold the same server address, netstatd and quorin on
# docs/demo-config.json (tcp/80 split 50/30/20). Where a connection went is
# what the server that answered it says.
#
# How many connections, and how far off a count may be: each scenario opens
# N = 2000 connections. The chain gives a connection to the first member,
# and each later member re-marks its probability (a whole percent, rounded)
# of what still carries the first member's mark; that yields each uplink's
# exact probability p. An uplink's count is then binomial(N, p). The test
# takes, for each of the 6 counts it checks (3 uplinks, 2 scenarios), the
# central interval whose two tails hold at most 1e-4 / 6 of the exact
# binomial distribution: a correct daemon fails this test less than once in
# 10,000 runs. The intervals are about ±4.5 standard deviations, ±80 to ±101
# connections: shares that are swapped, or a re-mark taken of all
# connections instead of those left, move a count by 120 or more.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_init traffic
lab_private_tmp "$@"
SC_NETSTATD_ARGS=""
scenario_start
scenario_internet
scenario_default_routes
lab_wait_for 5 sc_status_written 3 || echo "# netstatd did not write the three gateways"

N=2000
before=$(kfull)
cfg load "$LAB_SRC/docs/demo-config.json" >/dev/null
quorin_start

# within SHARES COUNTS: checks a split against the exact probabilities of
# the shares (in member order), as the header says; prints one line per
# uplink and fails when a count is outside its interval or one was lost.
within() {
    python3 - "$1" "$2" <<'PY'
import math, sys
shares = [int(x) for x in sys.argv[1].split()]
counts = dict(zip(*[iter(sys.argv[2].split())] * 2))
n = sum(int(v) for v in counts.values())
# Chance that a connection stays with the first member; the others re-mark.
first, cum, probs = 1.0, 0, []
for i, share in enumerate(shares):
    if i == 0:
        probs.append(None)
        continue
    remark = math.floor(100.0 / (100 - cum) * share + 0.5) / 100
    probs.append(first * remark)
    first *= 1 - remark
    cum += share
probs[0] = first
alpha = 1e-4 / 6
ok = counts.get("lost") == "0"
for i, p in enumerate(probs):
    pmf = [math.exp(math.lgamma(n + 1) - math.lgamma(k + 1) - math.lgamma(n - k + 1)
                    + k * math.log(p) + (n - k) * math.log(1 - p)) for k in range(n + 1)]
    lo, tail = 0, 0.0
    while tail + pmf[lo] <= alpha / 2:
        tail += pmf[lo]; lo += 1
    hi, tail = n, 0.0
    while tail + pmf[hi] <= alpha / 2:
        tail += pmf[hi]; hi -= 1
    got = int(counts.get("u%d" % (i + 1), 0))
    ok &= lo <= got <= hi
    print("# u%d: %4d of %d, expected %.1f, allowed %d..%d" % (i + 1, got, n, n * p, lo, hi))
sys.exit(0 if ok else 1)
PY
}

lab_log "--- $N connections, shares 50/30/20"
counts=$(spread $N)
check "each uplink's count is within its bound; none lost" within "50 30 20" "$counts"

lab_log "--- open connections keep their uplink when wan3's share changes"
internet hold 30 "$LAB_DIR/asked" >"$LAB_DIR/held" &
held_pid=$!
lab_wait_for 10 test -s "$LAB_DIR/held"
edit set BalancingInterfaces 2 UsagePercent=10
touch "$LAB_DIR/asked"
wait $held_pid
sed 's/^/# /' "$LAB_DIR/held"
# wan3's member was re-created with a new mark: its connections lose their
# table, the others must not notice.
kept=$(paste <(sed -n 1p "$LAB_DIR/held" | tr ' ' '\n') <(sed -n 2p "$LAB_DIR/held" | tr ' ' '\n') | awk '$1 != "u3"')
check "some connections went through u1 and u2" bash -c "grep -q '^u1' <<<'$kept' && grep -q '^u2' <<<'$kept'"
check_eq "every connection on u1 or u2 is still answered there" "" "$(awk '$1 != $2' <<<"$kept")"

lab_log "--- \"Autobalance\" 1: equal shares (the group is re-created to take it)"
edit del BalancingGroups 0
edit add BalancingGroups Id=1 ClientInterface=lan0 Sticky=0 Autobalance=1 Enable=1
counts=$(spread $N)
check "each uplink's count is within its bound; none lost" within "33 33 33" "$counts"

lab_log "--- a sticky group: later connections of a tuple follow the first"
edit set BalancingGroups 0 Sticky=1
sources=()
for i in $(seq 100 129); do
    lab_exec c ip addr add 192.168.1.$i/24 dev cl0
    sources+=(192.168.1.$i)
done
internet per-source 8 "${sources[@]}" >"$LAB_DIR/sticky"
sed 's/^/# /' "$LAB_DIR/sticky" | head -n 5
check_eq "all 8 connections of each source took one uplink" "" \
    "$(awk '{ for (i = 3; i <= NF; i++) if ($i != $2) { print; next } }' "$LAB_DIR/sticky")"
check "different sources still spread over the uplinks" \
    test "$(awk '{ print $2 }' "$LAB_DIR/sticky" | sort -u | grep -c '^u')" -ge 2

lab_log "--- SIGTERM"
quorin_stop
check_eq "the daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "mangle, policy rules, every routing table and the sets are as before quorin started" \
    "$before" "$(kfull)"

lab_done
