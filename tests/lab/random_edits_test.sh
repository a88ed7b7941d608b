#!/bin/bash
# A random series of table edits (groups, uplinks, services, status rows,
# gateways, interface mappings; random_edits.py draws them) through one
# long-running daemon. Every five edits its kernel state is compared with
# that of a fresh daemon started on a copy of the tables in a twin router:
# namespaces with the same links, and a private /tmp of its own (the
# daemon's configuration socket is fixed at /tmp/cfgserver.socket) with its
# own bus, cfgserver and netstatd -n. The long-running daemon is never
# restarted, so what it carries from earlier states shows. The two must
# agree up to member numbers and the order of equal rules (kcanon). The
# copy has the rows of groups, uplinks and services in the order in which the
# long-running daemon created their objects, so that the fresh one builds
# them in the same order (see random_edits.py). Each fresh daemon, and at the
# end the long-running one, must leave nothing of ours after SIGTERM.
#
#   LAB_SEED=N     replays the series of seed N (the seed is printed first)
#   LAB_LONG=1     500 edits instead of 30
#   LAB_PLAN=FILE  the edits in FILE instead, one a line as a failure prints
#                  them, from the same tables on; FILE not in /tmp

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_init random_edits
[ -z "${LAB_PLAN:-}" ] || LAB_PLAN=$(realpath "$LAB_PLAN")
lab_private_tmp "$@"

SEED=${LAB_SEED:-$((RANDOM * 32768 + RANDOM))}
COUNT=$([ -n "${LAB_LONG:-}" ] && echo 500 || echo 30)
EVERY=5
if [ -n "${LAB_PLAN:-}" ]; then
    echo "# the edits of $LAB_PLAN"
    SEED="- (the edits of $LAB_PLAN)"
else
    echo "# seed $SEED: replay with LAB_SEED=$SEED"
fi

# add_lan1 PEER: a second LAN interface that groups may balance, in the
# router namespace, with its far end in PEER.
add_lan1() { lab_veth r lan1 "$1" cl1 && lab_exec r ip addr add 192.168.2.1/24 dev lan1; }

scenario_start
add_lan1 c || exit 1

# --- The twin router: namespaces "<prefix>w-r" and "<prefix>w-u", so that
# the harness's functions see it through "twin FUNCTION". Its processes run in
# a mount namespace of their own where TW_DIR is /tmp.
TW_DIR=$LAB_DIR/twin
twin() { LAB_PREFIX=${LAB_PREFIX}w "$@"; }
tw_in() { nsenter -t "$TW_HOLDER" -m -n "$@"; }
tw_cfg() { "$LAB_BIN/cfgctl" -s "$TW_DIR/cfgserver.socket" "$@"; }
# tw_spawn LOG CMD...: a process of the twin, ended at cleanup. nsenter and
# env hand on their process, so LAB_LAST_PID is that of CMD.
tw_spawn() {
    local log=$1
    shift
    nsenter -t "$TW_HOLDER" -m -n \
        env DBUS_SYSTEM_BUS_ADDRESS=unix:path=/tmp/bus.socket QUORIN_CMD_LOG=/tmp/cmd.log "$@" >"$log" 2>&1 &
    LAB_LAST_PID=$!
    lab_adopt "$LAB_LAST_PID"
}

twin_start() {
    local i bus=$DBUS_SYSTEM_BUS_ADDRESS
    mkdir -p "$TW_DIR"
    twin lab_netns r
    twin lab_netns u
    for i in 1 2 3; do
        twin lab_veth r wan$i u up$i && twin lab_exec r ip addr add 10.$i.0.2/24 dev wan$i || return 1
    done
    twin lab_veth r lan0 u cl0 && twin lab_exec r ip addr add 192.168.1.1/24 dev lan0 || return 1
    twin add_lan1 u || return 1
    twin lab_exec r iptables -t mangle -N LOADB_PRE
    twin lab_exec r iptables -t mangle -A PREROUTING -j LOADB_PRE
    TW_EMPTY=$(twin kstate)
    LAB_DIR=$TW_DIR twin lab_dbus r || return 1
    export DBUS_SYSTEM_BUS_ADDRESS=$bus
    twin lab_spawn r "$TW_DIR/holder.log" unshare --mount --propagation private \
        sh -c 'mount --bind "$0" /tmp && exec sleep infinity' "$TW_DIR"
    TW_HOLDER=$LAB_LAST_PID
    lab_wait_for 5 tw_in test -S /tmp/bus.socket || { echo "FAIL: no private /tmp for the twin"; return 1; }
    tw_spawn "$TW_DIR/cfgserver.log" "$LAB_BIN/cfgserver" -f /tmp/store.json
    lab_wait_for 5 tw_cfg dump || { echo "FAIL: the twin's cfgserver did not start"; return 1; }
    tw_spawn "$TW_DIR/netstatd.log" "$LAB_BIN/netstatd" -d -p /tmp -n
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=$TW_DIR/bus.socket lab_wait_for 5 twin bus_owned com.mirandel.network.IPv4Route ||
        { echo "FAIL: the twin's netstatd did not take its names"; return 1; }
}

# fresh_state TABLES: the kcanon of a fresh daemon in the twin on TABLES (a
# JSON document), in FRESH; it is stopped again, and FRESH_LEFT holds its exit
# status and what it left behind.
fresh_state() {
    local pid
    tw_cfg load - <<<"$1" >/dev/null || echo "# the tables could not be loaded in the twin"
    : >"$TW_DIR/cmd.log"
    tw_spawn "$TW_DIR/quorin.$edits.log" "$LAB_BIN/quorin" -d -p /tmp
    pid=$LAB_LAST_PID
    lab_wait_for 5 grep -q -- '-N WAN2LAN$' "$TW_DIR/cmd.log" || echo "# the fresh daemon did not create WAN2LAN"
    QUORIN_CMD_LOG=$TW_DIR/cmd.log settle
    FRESH=$(twin kcanon)
    lab_stop "$pid" TERM
    FRESH_LEFT=$(echo "status $LAB_STATUS"; SC_EMPTY=$TW_EMPTY twin ours)
}

twin_start || exit 1

# --- The series.
if [ -n "${LAB_PLAN:-}" ]; then
    python3 "$LAB_SRC/tests/lab/random_edits.py" plan - <"$LAB_PLAN"
else
    python3 "$LAB_SRC/tests/lab/random_edits.py" plan "$SEED" "$COUNT"
fi >"$LAB_DIR/plan" || { echo "FAIL: no edits"; exit 1; }
{ read -r start; cat >"$LAB_DIR/edits"; } <"$LAB_DIR/plan"
cfg load - <<<"$start" >/dev/null
quorin_start

edits=0 since=() split=0 compared=0
total=$(wc -l <"$LAB_DIR/edits")
while IFS=$'\t' read -r -u 3 line copy; do
    edits=$((edits + 1))
    read -r -a args <<<"$line"
    since+=("$edits: $line")
    lab_log "edit ${since[-1]}"
    before=$(wc -l <"$QUORIN_CMD_LOG")
    cfg "${args[@]}" >/dev/null || check "edit $edits: cfgctl $line" false
    settle "$before"
    [ $((edits % EVERY)) -eq 0 ] || [ "$edits" -eq "$total" ] || continue

    fresh_state "$copy"
    running=$(kcanon)
    # Daemons that were slow under load get one more chance to finish.
    [ "$running" == "$FRESH" ] || { settle; fresh_state "$copy"; running=$(kcanon); }
    compared=$((compared + 1))
    [ -z "${LAB_VERBOSE:-}" ] || sed 's/^/#   /' <<<"$running"
    grep -q -- '-m mark --mark T(.* -j MARK' <<<"$running" && split=$((split + 1))
    check_eq "after edit $edits: the kernel state equals that of a fresh daemon" "$FRESH" "$running"
    check_eq "after edit $edits: the fresh daemon ends with status 0 and leaves nothing" "status 0" "$FRESH_LEFT"
    if [ "$LAB_FAILS" -gt 0 ]; then
        echo "# (in a diff above, \"<\" lines are the fresh daemon's only, \">\" lines the long-running one's)"
        echo "# seed $SEED, edit $edits; the edits since the last good comparison:"
        printf '#   %s\n' "${since[@]}"
        echo "# the tables, in the order in which the fresh daemon read them:"
        python3 -c 'import json, sys
for table, rows in json.load(sys.stdin).items(): print("#   %s: %s" % (table, json.dumps(rows)))' <<<"$copy"
        break
    fi
    since=()
done 3<"$LAB_DIR/edits"

# The series did not wander off into states with nothing to balance: a
# group split between members in a quarter of the comparisons at least.
[ -n "${LAB_PLAN:-}" ] ||
    check "a split between members in $split of $compared comparisons" [ $((4 * split)) -ge "$compared" ]
quorin_stop
check_eq "the long-running daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "it leaves nothing of ours" "" "$(ours)"
lab_done
