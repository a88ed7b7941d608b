# The router of the configuration and idle benchmarks (bench/p4_*, p5_*):
# the lab scenario with a default route through every uplink, netstatd
# writing the status tables, the tables of bench/router.json (one group
# balancing four services over wan1..3 by 50/30/20, sticky) and quorin as it
# runs on a router. Source it after lib.sh.

# bench_router [traced]: the router; with "traced" cfgserver logs every
# request with its time (LAB_DIR/cfgserver.log, see bench/cfgtrace.py).
# netstatd runs as the packaged service runs it: without debug output,
# following the main table's routes only (-m). Returns once quorin has set
# up every uplink and settled.
bench_router() {
    SC_NETSTATD_ARGS=-m SC_NETSTATD_DEBUG=""
    scenario_start >/dev/null
    if [ "${1:-}" = traced ]; then
        lab_stop "$SC_CFG_PID"
        lab_spawn r "$LAB_DIR/cfgserver.log" env KOR_TRACELEVEL=2 "$LAB_BIN/cfgserver" -f "$LAB_DIR/store.json"
        SC_CFG_PID=$LAB_LAST_PID
        lab_wait_for 5 cfg dump || { echo "FAIL: the traced cfgserver did not start"; return 1; }
    fi
    scenario_default_routes
    lab_wait_for 10 sc_status_written 3 || { echo "FAIL: netstatd did not write the gateways"; return 1; }
    cfg load "$here_bench/router.json" >/dev/null
    bench_quorin
}

# bench_quorin: quorin without debug output, its command log lines stamped
# with their start and end (QUORIN_CMD_LOG_TIMES); returns once the policy
# rules of all three uplinks are there and it has settled.
bench_quorin() {
    lab_spawn r "$LAB_DIR/quorin.bench.log" env QUORIN_CMD_LOG_TIMES=1 "$LAB_BIN/quorin" -p "$LAB_DIR"
    SC_QUORIN_PID=$LAB_LAST_PID
    lab_wait_for 10 bench_uplinks_ruled || { echo "FAIL: quorin did not set up the uplinks"; return 1; }
    settle >/dev/null
}

bench_uplinks_ruled() {
    local rules i
    rules=$(lab_exec r ip rule show)
    for i in 1 2 3; do grep -q "from 10.$i.0.2 lookup" <<<"$rules" || return 1; done
}

# bench_rss PID: the process's resident set in MB, one decimal.
bench_rss() { awk '/^VmRSS:/ { printf "%.1f\n", $2 / 1024 }' /proc/"$1"/status; }
