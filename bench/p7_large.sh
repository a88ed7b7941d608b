#!/bin/bash
# P7: a very large main table. 1,000,000 routes in the main table (one
# "ip -batch", through wan1 and wan2 in turn, netstatd as packaged), then
# quorin started with wan1 and wan2 in one group: the time from its start
# until both member tables hold a copy of every main route (and nothing
# else), and the peak resident set (VmHWM) of quorin and of netstatd over
# the whole run. A quorin that ends on the way, or member tables that stop
# growing before they are complete, is reported as a failure (exit 1).
#   sudo bench/p7_large.sh        (bench/run runs it; ctest does not: it
#                                  needs minutes and a few GB of memory)
# BENCH_TINY=1 runs it at 2,000 routes.

. "$(dirname "$0")/lib.sh"
bench_init p7 "$@"
ROUTES=${BENCH_ROUTES:-$(bench_size 1000000 2000)}
LIMIT_S=900
ROUTES_PY=$here_bench/../tests/lab/routes.py

SC_NETSTATD_ARGS=-m SC_NETSTATD_DEBUG=""
scenario_start >/dev/null
unset QUORIN_CMD_LOG
for i in 1 2; do sc_default_route add $i; done
lab_wait_for 10 sc_status_written 2 || { echo "FAIL: netstatd did not write the gateways"; exit 1; }
cat >"$LAB_DIR/config.json" <<'JSON'
{"Balancing": [{"Verbose": 0, "StickyTimeout": 120}],
 "BalancingGroups": [{"Id": 1, "ClientInterface": "lan0", "Sticky": 0, "Autobalance": 0, "Enable": 1}],
 "BalancingInterfaces": [{"BalancingGroupId": 1, "Interface": "wan1", "UsagePercent": 50},
                         {"BalancingGroupId": 1, "Interface": "wan2", "UsagePercent": 50}],
 "BalancingServices": [{"Id": 1, "BalancingGroupId": 1, "Proto": "tcp", "DstPortStart": 80, "DstPortEnd": 80}]}
JSON
cfg load "$LAB_DIR/config.json" >/dev/null

# Peak memory of netstatd from here on, of quorin from its start.
PEAK_PIDS=$LAB_DIR/peak.pids
echo "$SC_NETSTATD_PID" >"$PEAK_PIDS"
lab_spawn r "$LAB_DIR/peak.out" python3 "$here_bench/watch.py" peak "$PEAK_PIDS" "$LAB_DIR/peak"
PEAK_WATCHER=$LAB_LAST_PID

lab_exec r python3 "$ROUTES_PY" make "$ROUTES" 0 20.0.0.0 10.1.0.1=wan1,10.2.0.1=wan2 |
    awk '{ print "route add " $1 " via " $2 " dev " $3 }' >"$LAB_DIR/main.batch"
batch=$EPOCHREALTIME
lab_exec r ip -batch "$LAB_DIR/main.batch" || { echo "FAIL: cannot load the main table"; exit 1; }
batch=$(python3 -c "print('%.1f' % ($EPOCHREALTIME - $batch))")
netstatd_s=$(bench_quiet 2 "$LIMIT_S" "$SC_NETSTATD_PID" "$LAB_DBUS_PID") || echo "# netstatd still busy"
main=$(lab_exec r ip -4 route show table main | grep -vc '^default')
echo "# $ROUTES routes loaded in $batch s; netstatd quiet after $netstatd_s s; $main main routes but the default"

# until_complete EXPECTED: polls the member tables (from quorin's policy
# rules) until each holds EXPECTED routes, quorin ends, or neither quorin
# nor the tables moved for 20 s (LIMIT_S at most); prints
# "complete|ended|stalled|limit SECONDS COUNT..." with the seconds since
# quorin's start.
until_complete() {
    lab_exec r python3 - "$1" "$SC_QUORIN_PID" "$LIMIT_S" "$QUORIN_START" <<'PY'
import re, subprocess, sys, time
expected, pid, limit, start = int(sys.argv[1]), sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
def alive():
    try:
        with open("/proc/%s/stat" % pid) as f:
            stat = f.read().rsplit(")", 1)[1].split()
        return stat[0] not in "ZX", int(stat[11]) + int(stat[12])
    except OSError:
        return False, None
def counts():
    rules = subprocess.run(["ip", "rule", "show"], capture_output=True, text=True).stdout
    tables = sorted(set(re.findall(r"from 10\.[12]\.0\.2 lookup (\d+)", rules)), key=int)
    return [int(subprocess.run("ip -4 route show table %s | wc -l" % t, shell=True, capture_output=True,
                               text=True).stdout) for t in tables]
seen, calm = None, time.time()
while True:
    running, cpu = alive()
    now = counts()
    took = time.time() - start
    if len(now) == 2 and all(n == expected for n in now):
        verdict = "complete"
    elif not running:
        verdict = "ended"
    elif took > limit:
        verdict = "limit"
    else:
        if (cpu, now) != seen:
            seen, calm = (cpu, now), time.time()
        if time.time() - calm < 20:
            time.sleep(0.5)
            continue
        verdict = "stalled"
    print(verdict, "%.1f" % took, *now)
    break
PY
}

QUORIN_START=$EPOCHREALTIME
lab_spawn r "$LAB_DIR/quorin.log" "$LAB_BIN/quorin" -p "$LAB_DIR"
SC_QUORIN_PID=$LAB_LAST_PID
echo "$SC_QUORIN_PID" >>"$PEAK_PIDS"
read -r verdict took counts < <(until_complete $((main + 1)))
status=
if [ "$verdict" = ended ]; then
    wait "$SC_QUORIN_PID" 2>/dev/null
    status=$?
fi
sleep 0.5
rm -f "$PEAK_PIDS"
wait "$PEAK_WATCHER"
peak() { awk -v p="$1" '$1 == p { printf "%.1f", $2 / 1024 }' "$LAB_DIR/peak"; }
quorin_mb=$(peak "$SC_QUORIN_PID") netstatd_mb=$(peak "$SC_NETSTATD_PID")

case $verdict in
complete)
    figure="$took s" ;;
ended)
    figure="FAILED: quorin ended with status $status after $took s (member tables: ${counts:-none})"
    grep -E 'ERROR|error|exit' "$LAB_DIR/quorin.log" | tail -n 3 | sed 's/^/# quorin: /'
    grep 'ERROR' "$LAB_DIR/netstatd.log" | tail -n 3 | sed 's/^/# netstatd: /' ;;
*)
    figure="FAILED: member tables $verdict at ${counts:-none} of $((main + 1)) routes after $took s" ;;
esac
bench_row P7 "$ROUTES main routes, quorin started with 2 members: until both member tables are complete" \
    "$figure" "complete" "$([ "$verdict" = complete ] && echo met || echo missed)"
if [ "$verdict" = complete ]; then
    verdict_copies=met
    copies=$(bench_copies $(lab_exec r ip rule show | sed -n 's/.*from 10\.[12]\.0\.2 lookup \([0-9]*\).*/\1/p' |
        sort -un)) || verdict_copies=missed
    bench_row P7 "  the copies against the main table" "$copies" "0 missing, 0 extra" "$verdict_copies"
fi
bench_row P7 "  peak memory (VmHWM) of quorin / netstatd" "${quorin_mb:-?} / ${netstatd_mb:-?} MB" "-" "-"
[ "$verdict" = complete ] || { echo "FAIL: p7: the member tables were not completed ($verdict)"; exit 1; }
[ "${verdict_copies:-met}" = met ] || { echo "FAIL: p7: the member tables differ from the main table"; exit 1; }
quorin_stop
[ "$LAB_STATUS" = 0 ] || { echo "FAIL: quorin ended with status $LAB_STATUS"; exit 1; }
