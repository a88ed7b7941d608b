#!/bin/bash
# Crash and restart: a quorin killed with SIGKILL leaves its chains, policy
# rules, tables and sets behind; the firewall step of the service
# (quorin-firewall prepare) removes them and nothing that is somebody
# else's, and a new quorin then writes the state of a fresh start again,
# every rule once. Started by hand without that step, quorin removes the
# same itself and names each thing (open_connections_test.sh has its
# connections). A firewall reload that flushes mangle takes the
# platform's hook away; the restart its reload hook asks for brings the hook
# and the balancing back.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start crash_restart "$@"
scenario_start

# firewall ARGS: the firewall step from the source tree, in the router.
firewall() { lab_exec r "$LAB_BIN/quorin-firewall" "$@"; }
duplicates() { LC_ALL=C sort | uniq -d; }

lab_log "--- somebody else's rules, tables, sets and chains, each like quorin's in one way"
check_eq "their rules, tables, sets and chains are in place" "" "$(grep -v '^#' "$LAB_SRC/tests/lab/crash_restart.theirs" |
    while read -r line; do lab_exec r $line 2>&1 || echo "$line"; done)"
table100=$(lab_exec r ip route show table 100)
# What was there before quorin ran now holds all of these: "ours" shows
# quorin's state and every line of theirs that went.
SC_EMPTY=$(kstate)

lab_log "--- a fresh start on the example tables"
cfg load "$LAB_SRC/docs/example-config.json" >/dev/null
quorin_start
fresh_ours=$(ours)
fresh_canon=$(kcanon)
fresh_mangle=$(lab_mangle r)
check "the fresh start balances" grep -q '^-A LOADB_PRE -i lan0 -j LOADBALANCING1$' <<<"$fresh_mangle"

lab_log "--- SIGKILL"
lab_stop "$SC_QUORIN_PID" KILL
check_eq "quorin died of SIGKILL" 137 "$LAB_STATUS"
check_eq "everything it wrote is left behind" "$fresh_ours" "$(ours)"

lab_log "--- quorin-firewall prepare"
check_eq "prepare names each thing it removed and exits 0" "$(cat "$LAB_SRC/tests/lab/crash_restart.prepare"; echo status 0)" \
    "$(firewall prepare; echo "status $?")"
check_eq "nothing of quorin's is left; the hook and all of theirs are there" "" "$(ours)"
check_eq "their table 100 is as it was" "$table100" "$(lab_exec r ip route show table 100)"
check_eq "prepare again finds nothing to do and exits 0" "status 0" "$(firewall prepare; echo "status $?"; ours)"

lab_log "--- quorin again"
quorin_start
check_eq "the state of the fresh start" "$fresh_canon" "$(kcanon)"
check_eq "the mangle table of the fresh start, rule for rule" "$fresh_mangle" "$(lab_mangle r)"
check_eq "no mangle rule twice" "" "$(lab_mangle r | duplicates)"
check_eq "no policy rule twice" "" "$(lab_exec r ip rule show | cut -f2 | duplicates)"

lab_log "--- SIGKILL again, then quorin started by hand, without the firewall step"
lab_stop "$SC_QUORIN_PID" KILL
quorin_start
check_eq "it names each thing it removed, as the firewall step does" \
    "$(sed 's/$/, left by an earlier quorin/' "$LAB_SRC/tests/lab/crash_restart.prepare")" \
    "$(grep -o 'start: .*, left by an earlier quorin' "$LAB_DIR/quorin.$SC_RUN.log" | cut -c8-)"
check_eq "the state of the fresh start" "$fresh_canon" "$(kcanon)"
check_eq "the mangle table of the fresh start, rule for rule" "$fresh_mangle" "$(lab_mangle r)"

lab_log "--- a firewall reload: mangle flushed, then the reload hook"
lab_exec r iptables -t mangle -F
lab_exec r iptables -t mangle -X
# systemctl as the hook calls it; the test then does what systemd does on
# try-restart of quorin.service: stop, ExecStopPost, ExecStartPre, start.
check_eq "the hook asks systemd to restart quorin if it runs" "try-restart quorin.service" \
    "$(QUORIN_SYSTEMCTL=echo firewall reloaded)"
quorin_stop
firewall clean >/dev/null
check_eq "prepare puts the platform's hook back" "created chain LOADB_PRE
added rule -A PREROUTING -j LOADB_PRE" "$(firewall prepare)"
quorin_start
check_eq "the balancing is back as it was, without their flushed chains" \
    "$(grep -v -e OTHER -e LOADBALANCINGX <<<"$fresh_canon")" "$(kcanon)"

lab_done
