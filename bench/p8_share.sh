#!/bin/bash
# P8: a share changed until the last rule of the new split is written. The
# router of bench/router.sh (three uplinks, four services, cfgserver with its
# request trace) and quorin as it runs on a router, its command log stamped
# (QUORIN_CMD_LOG_TIMES=1, the monotonic clock, as cfgserver's stamps). Each
# trial sets wan1's UsagePercent to 40 or 50 with cfgctl and waits until
# quorin is quiet: the time runs from cfgserver's stamp of the set to the
# end of the last command quorin ran after it. After each trial the
# re-marking rules in the kernel must carry the probabilities of the new
# shares.
#   sudo bench/p8_share.sh        (bench/run runs it with the others)

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/router.sh"
bench_init p8 "$@"
TRIALS=$(bench_size 20 2)
TRACE=$LAB_DIR/cfgserver.log
TABLE=BalancingInterfaces

bench_router traced || exit 1

# expected WAN1: the probabilities of the re-marking rules with wan1 at
# WAN1 %, wan2 30 % and wan3 20 %, sorted, one rule of each later member per
# service: a member's rule takes its share of what the base and the members
# from it on share, in whole percents.
expected() {
    python3 -c "s = [$1, 30, 20]
print(*sorted(['%.2f' % (s[k] / (s[0] + sum(s[k:]))) for k in (1, 2)] * 4))"
}
in_kernel() { lab_exec r iptables -t mangle -S | sed -n 's/.*--probability \([0-9.]*\).*/\1/p' | xargs printf '%.2f\n' | sort | xargs; }

since=$(bench_now)
first=$(($(wc -l <"$QUORIN_CMD_LOG") + 1))
right=0
for i in $(seq "$TRIALS"); do
    share=$((i % 2 ? 40 : 50))
    before=$(wc -l <"$QUORIN_CMD_LOG")
    cfg set $TABLE 0 UsagePercent=$share >/dev/null || { echo "FAIL: cfgctl set"; exit 1; }
    settle "$before" >/dev/null
    if [ "$(in_kernel)" == "$(expected $share)" ]; then
        right=$((right + 1))
    else
        echo "# trial $i: wan1 at $share %: the kernel has $(in_kernel), not $(expected $share)"
    fi
done

# For each set of the table by cfgctl, the ms until the end of quorin's last
# command that started after it (and before the next set).
tail -n +"$first" "$QUORIN_CMD_LOG" >"$LAB_DIR/trials.log"
mapfile -t delays < <(python3 - "$TRACE" $TABLE "$since" "$LAB_DIR/trials.log" <<PY
import sys
sys.path.insert(0, "$here_bench")
from cfgtrace import requests
sets = [r[0] for r in requests(sys.argv[1], sys.argv[2], float(sys.argv[3])) if not r[1] and r[2] == "set"]
runs = [tuple(int(t) / 1e6 for t in line.rsplit("\t", 1)[1].split()) for line in open(sys.argv[4]) if "\t" in line]
for k, edit in enumerate(sets):
    until = sets[k + 1] if k + 1 < len(sets) else float("inf")
    ends = [end for start, end in runs if edit <= start < until]
    print("%.1f" % ((max(ends) - edit) * 1000) if ends else "none")
PY
)
[ "${#delays[@]}" = "$TRIALS" ] && [[ " ${delays[*]} " != *" none "* ]] ||
    { echo "FAIL: ${#delays[@]} commits for $TRIALS changes: ${delays[*]}"; exit 1; }
p50=$(bench_pct 50 "${delays[@]}")
p95=$(bench_pct 95 "${delays[@]}")
echo "# set -> last rule written, $TRIALS trials: ${delays[*]} ms"
bench_row P8 "share change, 3 uplinks: cfgctl set of UsagePercent -> last rule written, p50 / p95 ($TRIALS trials)" \
    "$p50 / $p95 ms; new probabilities in the kernel after $right of $TRIALS" "p50 <= 30 ms" \
    "$(python3 -c "print('met' if $p50 <= 30 and $right == $TRIALS else 'missed')")"
quorin_stop
