#!/bin/bash
# A random series of table edits (groups, uplinks, services, status rows,
# gateways, interface mappings; random_edits.py draws them) through one
# long-running daemon. Every five edits its kernel state is compared with
# that of a fresh daemon started on a copy of the tables in a twin lab: this
# script again, run with LAB_TWIN=1 as a child with a namespace prefix, a
# private /tmp (the daemon's configuration socket is fixed at
# /tmp/cfgserver.socket), a bus, cfgserver and netstatd -n of its own. The
# twin reads a tables document a line from standard input, starts a fresh
# daemon on it (without remembered numbers), and answers with its kcanon,
# "== left", its exit status and what it left behind after SIGTERM, and
# "== end"; it is asked ahead, while the edits are made. The two must agree
# up to member numbers and the order of equal rules (kcanon). The copy has
# the rows of groups and services in the order in which the long-running
# daemon created them, so that the fresh one builds them in the same order
# (see random_edits.py).
#
# Only every third comparison (every tenth in the long run) is followed by a
# restart of the long-running daemon, in turn with SIGTERM and with SIGKILL
# and the service's firewall step: in between, what the daemon carries from
# earlier states shows. After a restart every member has the routing table
# and mark it had before, and the state is again that of a fresh daemon.
#
#   LAB_SEED=N     replays the series of seed N (the seed is printed first)
#   LAB_LONG=1     500 edits, 100 comparisons and 10 restarts instead of 30, 6 and 2

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start random_edits "$@"
# From the checkout as lab_private_tmp keeps it reachable: one below /tmp
# is covered by the private /tmp.

# add_lan1: a second LAN interface that groups may balance.
add_lan1() { lab_veth r lan1 c cl1 && lab_exec r ip addr add 192.168.2.1/24 dev lan1; }

if [ -n "${LAB_TWIN:-}" ]; then
    exec 5<&0 </dev/null
    scenario_start >&2
    add_lan1 >&2 || exit 1
    while read -r -u 5 tables; do
        cfg load - <<<"$tables" >/dev/null
        rm -f "$LAB_DIR/quorin.numbers"
        quorin_start >&2
        kcanon
        quorin_stop
        printf '== left\nstatus %s\n%s\n== end\n' "$LAB_STATUS" "$(ours)"
    done
    exit 0
fi

SEED=${LAB_SEED:-$((RANDOM * 32768 + RANDOM))}
echo "# seed $SEED: replay with LAB_SEED=$SEED"
EDITS=$LAB_SRC/tests/lab/random_edits.py
python3 "$EDITS" "$SEED" $([ -n "${LAB_LONG:-}" ] && echo 500 50 || echo 30 15) >"$LAB_DIR/plan" ||
    { echo "FAIL: no edits"; exit 1; }
# The twin reaches the checkout and the programs where this run does: below
# /tmp, its own private /tmp would hide them.
coproc TWIN {
    exec env -u LAB_IN_MOUNTNS LAB_TWIN=1 LAB_PREFIX="${LAB_PREFIX}w" QUORIN_BIN="$LAB_BIN" QUORIN_SRC="$LAB_SRC" \
        bash "$LAB_SRC/tests/lab/random_edits_test.sh"
}
lab_adopt "$TWIN_PID"
LAB_NETNS+=("${LAB_PREFIX}w-"{r,c,u1,u2,u3})
exec 3>&"${TWIN[1]}" 4<&"${TWIN[0]}"
scenario_start
add_lan1 || exit 1

# ask TABLES: the twin starts a fresh daemon on TABLES (a JSON document);
# answer reads its kcanon into FRESH, its exit status and what it left into
# FRESH_LEFT.
ask() { echo "$1" >&3; ASKED=$1 PENDING=1; }
answer() {
    local reply
    reply=$(sed '/^== end$/q' <&4)
    FRESH=${reply%%$'\n== left'*}
    FRESH_LEFT=$(sed '1,/^== left$/d; /^== end$/d' <<<"$reply")
    PENDING=
}

# compare WHEN: the kernel state (in RUNNING) is that of the fresh daemon
# last asked for.
compare() {
    [ -z "$PENDING" ] || answer
    RUNNING=$(kcanon)
    # Daemons that were slow under load get one more chance to finish.
    [ "$RUNNING" == "$FRESH" ] || { settle; ask "$ASKED"; answer; RUNNING=$(kcanon); }
    check_eq "$1: the kernel state equals that of a fresh daemon" "$FRESH" "$RUNNING"
    check_eq "$1: the fresh daemon ends with status 0 and leaves nothing" "status 0" "$FRESH_LEFT"
}

# numbers: "N DEVICE/GROUP" for each member number in the kernel state.
numbers() { kstate | python3 "$LAB_SRC/tests/lab/kcanon.py" numbers; }

# restart SIGNAL: the long-running daemon ends with SIGNAL (after SIGKILL,
# the service's firewall step removes what it left) and starts again; every
# member keeps its number.
restart() {
    local before
    before=$(numbers)
    lab_stop "$SC_QUORIN_PID" "$1"
    check_eq "after edit $edits: SIG$1 ends the long-running daemon" "$([ "$1" = KILL ] && echo 137 || echo 0)" \
        "$LAB_STATUS"
    [ "$1" = KILL ] && lab_exec r "$LAB_BIN/quorin-firewall" prepare >/dev/null
    quorin_start
    check_eq "after edit $edits and SIG$1: every member has the number it had" "$before" "$(numbers)"
}

{ read -r start; cat >"$LAB_DIR/plan.steps"; } <"$LAB_DIR/plan"
cfg load - <<<"$start" >/dev/null
quorin_start
edits=0 since=() split=0 compared=0 restarted=
while IFS=$'\t' read -r -u 5 line tables; do
    case $line in
    ask) ask "$tables"; continue ;;
    restart*)
        restarted=${line#restart }
        since+=("$line")
        lab_log "$line"
        restart "$restarted"
        continue ;;
    compare) ;;
    *)
        edits=$((edits + 1))
        since+=("$edits: $line")
        lab_log "edit ${since[-1]}"
        read -r -a args <<<"$line"
        edit "${args[@]}"
        continue ;;
    esac
    compare "after edit $edits${restarted:+ and SIG$restarted}"
    if [ -z "$restarted" ]; then
        compared=$((compared + 1))
        grep -q -- '-m mark --mark T(.* -j MARK' <<<"$RUNNING" && split=$((split + 1))
    fi
    if [ "$LAB_FAILS" -gt 0 ]; then
        echo "# (in a diff above, \"<\" lines are the fresh daemon's only or those from before the restart,"
        echo "# \">\" lines the long-running daemon's)"
        echo "# seed $SEED, edit $edits; the edits since the last good comparison, and the tables in the order"
        echo "# in which the fresh daemon read them:"
        printf '#   %s\n' "${since[@]}"
        echo "#   $ASKED"
        break
    fi
    since=() restarted=
done 5<"$LAB_DIR/plan.steps"

# The series did not wander off into states with nothing to balance: a
# group split between members in a quarter of the comparisons at least.
check "a split between members in $split of $compared comparisons" [ $((4 * split)) -ge "$compared" ]
quorin_stop
check_eq "the long-running daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "it leaves nothing of ours" "" "$(ours)"
lab_done
