#!/bin/bash
# P4: how fast and how sparingly quorin follows its tables. cfgserver runs
# with its request trace (bench/cfgtrace.py), which stamps every request by
# the service's monotonic clock as it takes it up: cfgctl's set starts a
# trial, quorin's next read (its dump of the followed tables) ends it. Then
# a burst of edits over one connection: how often quorin read the table,
# when it was quiet again (its last read or command, the command log stamps
# each command), and whether its kernel state is that of a fresh quorin
# started on the final tables (kcanon, as tests/lab/random_edits_test.sh
# compares them).
#   sudo bench/p4_config.sh        (bench/run runs it with the others)

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/router.sh"
bench_init p4 "$@"
TRIALS=$(bench_size 100 3)
EDITS=$(bench_size 1000 100)
TABLE=BalancingInterfaces
TRACE=$LAB_DIR/cfgserver.log

bench_router traced || exit 1
ms() { python3 -c "print('%.0f' % ((float('$2') - float('$1')) * 1000))"; }

# Latency: wan1's share between 40 and 50 %, each change a commit of its own.
since=$(bench_now)
for i in $(seq "$TRIALS"); do
    before=$(wc -l <"$QUORIN_CMD_LOG")
    cfg set $TABLE 0 UsagePercent=$((i % 2 ? 40 : 50)) >/dev/null || { echo "FAIL: cfgctl set"; exit 1; }
    settle "$before" >/dev/null
done
mapfile -t delays < <(python3 "$here_bench/cfgtrace.py" latency "$TRACE" $TABLE "$since")
[ "${#delays[@]}" = "$TRIALS" ] || { echo "FAIL: ${#delays[@]} reads for $TRIALS changes"; exit 1; }
p50=$(bench_pct 50 "${delays[@]}")
p99=$(bench_pct 99 "${delays[@]}")
echo "# set -> read, $TRIALS trials: ${delays[*]} ms"
bench_row P4 "cfgctl set -> quorin's read of the table starts, p50 / p99 ($TRIALS trials)" "$p50 / $p99 ms" \
    "p50 <= 5 ms, p99 <= 50 ms" "$(python3 -c "print('met' if $p50 <= 5 and $p99 <= 50 else 'missed')")"

# Burst: every edit answered before the next is sent, as fast as the
# service takes them.
since=$(bench_now)
lines=$(wc -l <"$QUORIN_CMD_LOG")
python3 "$here_bench/cfgtrace.py" burst /tmp/cfgserver.socket $TABLE UsagePercent "$EDITS" ||
    { echo "FAIL: the burst of edits"; exit 1; }
python3 "$here_bench/watch.py" quiet 1 120 "$QUORIN_CMD_LOG" "$TRACE" >/dev/null ||
    echo "# quorin was not quiet within 120 s"
read -r reads first last last_read < <(python3 "$here_bench/cfgtrace.py" reads "$TRACE" $TABLE "$since")
[ -n "$last_read" ] && [ "$last_read" != - ] || { echo "FAIL: quorin did not read the burst"; exit 1; }
# The end of quorin's last command, or its last read when it ran none after.
quiet_at=$(tail -n +$((lines + 1)) "$QUORIN_CMD_LOG" | awk -F'\t' -v t="$last_read" '
    { split($NF, s, " "); if (s[2] / 1e6 > t) t = s[2] / 1e6 } END { printf "%.6f\n", t }')
echo "# burst: $EDITS edits in $(ms "$first" "$last") ms, quorin read the table $reads times and ran" \
    "$(($(wc -l <"$QUORIN_CMD_LOG") - lines)) commands"

running=$(kcanon)
quorin_stop
quorin_start >/dev/null
fresh=$(kcanon)
quorin_stop
matches=no
[ "$running" == "$fresh" ] && matches=yes
[ $matches = yes ] || diff <(echo "$fresh") <(echo "$running") | sed 's/^/# fresh < > running: /'
bench_row P4 "burst of $EDITS edits of $TABLE: quorin's reads of it" "$reads / $EDITS" \
    "far fewer than the edits (<= 1/10)" "$([ $((reads * 10)) -le "$EDITS" ] && echo met || echo missed)"
bench_row P4 "burst: last edit -> quorin quiet; state as a fresh quorin's" \
    "$(ms "$last" "$quiet_at") ms; state matches: $matches" "state matches" \
    "$([ $matches = yes ] && echo met || echo missed)"
