#!/bin/bash
# P5: what the daemons cost while nothing happens, and what a large main
# table costs them. First quorin, netstatd and cfgserver on the router of
# bench/router.sh, left alone for a minute: each one's CPU time (utime +
# stime) over the window and its resident set. Then 100,000 routes added to
# the main table at once (ip -batch): netstatd reports each one on the bus
# and quorin copies each into every member's table. Each daemon counts as
# busy until its CPU time has not grown for 2 s; then their resident sets,
# and the copies missing from or left over in each member table.
#   sudo bench/p5_idle.sh        (bench/run runs it with the others)

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/router.sh"
bench_init p5 "$@"
WINDOW=$(bench_size 60 2)
ROUTES=$(bench_size 100000 500)

bench_router || exit 1
sleep 1
names=(quorin netstatd cfgserver)
pids=("$SC_QUORIN_PID" "$SC_NETSTATD_PID" "$SC_CFG_PID")
for i in 0 1 2; do
    [ "$(cat /proc/"${pids[i]}"/comm)" = "${names[i]}" ] || { echo "FAIL: ${names[i]} is not PID ${pids[i]}"; exit 1; }
done

# joined VALUE...: the values with " / " between them; below LIMIT VALUE...:
# "met" when every value is below the limit.
joined() { local IFS=/; sed 's|/| / |g' <<<"$*"; }
below() { python3 -c "import sys; print('met' if all(float(v) < $1 for v in sys.argv[2:]) else 'missed')" "$@"; }

mapfile -t cpu < <(python3 "$here_bench/watch.py" cpu "$WINDOW" quorin:"${pids[0]}" netstatd:"${pids[1]}" \
    cfgserver:"${pids[2]}" | cut -d' ' -f2)
[ "${#cpu[@]}" = 3 ] || { echo "FAIL: no CPU times"; exit 1; }
rss=()
for pid in "${pids[@]}"; do rss+=("$(bench_rss "$pid")"); done
bench_row P5 "idle ${WINDOW} s: CPU of quorin / netstatd / cfgserver" "$(joined "${cpu[@]}") % of a core" \
    "< 0.1 % each" "$(below 0.1 "${cpu[@]}")"
bench_row P5 "idle: RSS of quorin / netstatd / cfgserver" "$(joined "${rss[@]}") MB" "< 8 MB each" \
    "$(below 8 "${rss[@]}")"

# A large main table: /28 networks from 100.64.0.0 on, through the three
# gateways in turn.
python3 - "$ROUTES" >"$LAB_DIR/routes" <<'PY'
import ipaddress, sys
base = int(ipaddress.ip_address("100.64.0.0"))
for i in range(int(sys.argv[1])):
    print("route add %s/28 via 10.%d.0.1" % (ipaddress.ip_address(base + 16 * i), i % 3 + 1))
PY
seconds() { python3 -c "print('-' if '$2' == '-' else '%.1f' % (float('$2') - float('$1')))"; }
lab_spawn r "$LAB_DIR/busy" python3 "$here_bench/watch.py" quiet 2 900 pid:"${pids[0]}" pid:"${pids[1]}"
watcher=$LAB_LAST_PID
start=$(bench_now)
batch=$EPOCHREALTIME
lab_exec r ip -batch "$LAB_DIR/routes" || { echo "FAIL: ip -batch"; exit 1; }
batch=$(seconds "$batch" "$EPOCHREALTIME")
wait "$watcher" || echo "# the daemons were still busy after 900 s"
quorin_busy=$(seconds "$start" "$(sed -n '1s/.* //p' "$LAB_DIR/busy")")
netstatd_busy=$(seconds "$start" "$(sed -n '2s/.* //p' "$LAB_DIR/busy")")
# The copies of the added routes in each member's table.
copies=$(lab_exec r ip -4 route show table all | awk '/^100\.(6[4-9]|[7-9][0-9]|1[01][0-9]|12[0-7])\./ &&
    match($0, / table [0-9]+/) { t = substr($0, RSTART + 7, RLENGTH - 7); if (t >= 256) n[t]++ }
    END { for (t in n) printf "%s%d", (s++ ? " / " : ""), n[t] }')
echo "# $ROUTES routes added in $batch s; copies in the member tables: ${copies:-none}"
rss=()
for pid in "${pids[@]:0:2}"; do rss+=("$(bench_rss "$pid")"); done
all_copied=missed
[ "$copies" = "$ROUTES / $ROUTES / $ROUTES" ] && all_copied=met
bench_row P5 "$ROUTES routes added: netstatd busy / quorin busy; copies in the member tables" \
    "$netstatd_busy / $quorin_busy s; ${copies:-none}" "every route in each of the 3 tables" "$all_copied"
# Every member table against the main table: nothing missing, nothing left over.
tables=$(lab_exec r ip rule show | sed -n 's/.*from 10\.[123]\.0\.2 lookup \([0-9]*\).*/\1/p' | sort -un)
verdict=met
mirror=$(bench_copies $tables) || verdict=missed
bench_row P5 "$ROUTES routes added: copies in the 3 member tables against main" "$mirror" "0 missing, 0 extra" \
    "$verdict"
bench_row P5 "with $ROUTES routes: RSS of netstatd / quorin" "$(joined "${rss[1]}" "${rss[0]}") MB" "-" "-"
quorin_stop
