#!/bin/bash
# A random series of table edits (groups, uplinks, services, status rows,
# gateways, interface mappings; random_edits.py draws them) through one
# long-running daemon. Every five edits its kernel state is compared with
# that of a fresh daemon started on a copy of the tables in a twin lab: this
# script again, run with LAB_TWIN=1 as a child with a namespace prefix, a
# private /tmp (the daemon's configuration socket is fixed at
# /tmp/cfgserver.socket), a bus, cfgserver and netstatd -n of its own. The
# twin reads a tables document a line from standard input, starts a fresh
# daemon on it, and answers with its kcanon, "== left", its exit status and
# what it left behind after SIGTERM, and "== end". The long-running daemon is
# never restarted, so what it carries from earlier states shows. The two
# must agree up to member numbers and the order of equal rules (kcanon). The
# copy has the rows of groups, uplinks and services in the order in which
# the long-running daemon created their objects, so that the fresh one
# builds them in the same order (see random_edits.py).
#
#   LAB_SEED=N     replays the series of seed N (the seed is printed first)
#   LAB_LONG=1     500 edits and 100 comparisons instead of 30 and 6

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_init random_edits
SELF=$(realpath "$0")
lab_private_tmp "$@"

# add_lan1: a second LAN interface that groups may balance.
add_lan1() { lab_veth r lan1 c cl1 && lab_exec r ip addr add 192.168.2.1/24 dev lan1; }

if [ -n "${LAB_TWIN:-}" ]; then
    exec 5<&0 </dev/null
    scenario_start >&2
    add_lan1 >&2 || exit 1
    while read -r -u 5 tables; do
        cfg load - <<<"$tables" >/dev/null
        quorin_start >&2
        kcanon
        quorin_stop
        printf '== left\nstatus %s\n%s\n== end\n' "$LAB_STATUS" "$(ours)"
    done
    exit 0
fi

SEED=${LAB_SEED:-$((RANDOM * 32768 + RANDOM))}
echo "# seed $SEED: replay with LAB_SEED=$SEED"
python3 "$(dirname "$SELF")/random_edits.py" "$SEED" "$([ -n "${LAB_LONG:-}" ] && echo 500 || echo 30)" \
    >"$LAB_DIR/plan" || { echo "FAIL: no edits"; exit 1; }
coproc TWIN { exec env -u LAB_IN_MOUNTNS LAB_TWIN=1 LAB_PREFIX="${LAB_PREFIX}w" bash "$SELF"; }
lab_adopt "$TWIN_PID"
LAB_NETNS+=("${LAB_PREFIX}w-"{r,c,u1,u2,u3})
exec 3>&"${TWIN[1]}" 4<&"${TWIN[0]}"
scenario_start
add_lan1 || exit 1

# fresh_state TABLES: the kcanon of a fresh daemon of the twin on TABLES (a
# JSON document) in FRESH; its exit status and what it left in FRESH_LEFT.
fresh_state() {
    local reply
    echo "$1" >&3
    reply=$(sed '/^== end$/q' <&4)
    FRESH=${reply%%$'\n== left'*}
    FRESH_LEFT=$(sed '1,/^== left$/d; /^== end$/d' <<<"$reply")
}

{ read -r start; cat >"$LAB_DIR/edits"; } <"$LAB_DIR/plan"
cfg load - <<<"$start" >/dev/null
quorin_start
edits=0 since=() split=0 compared=0
total=$(wc -l <"$LAB_DIR/edits")
while IFS=$'\t' read -r -u 5 line copy; do
    edits=$((edits + 1))
    since+=("$edits: $line")
    lab_log "edit ${since[-1]}"
    read -r -a args <<<"$line"
    edit "${args[@]}"
    [ $((edits % 5)) -eq 0 ] || [ "$edits" -eq "$total" ] || continue

    fresh_state "$copy"
    running=$(kcanon)
    # Daemons that were slow under load get one more chance to finish.
    [ "$running" == "$FRESH" ] || { settle; fresh_state "$copy"; running=$(kcanon); }
    compared=$((compared + 1))
    grep -q -- '-m mark --mark T(.* -j MARK' <<<"$running" && split=$((split + 1))
    check_eq "after edit $edits: the kernel state equals that of a fresh daemon" "$FRESH" "$running"
    check_eq "after edit $edits: the fresh daemon ends with status 0 and leaves nothing" "status 0" "$FRESH_LEFT"
    if [ "$LAB_FAILS" -gt 0 ]; then
        echo "# (in a diff above, \"<\" lines are the fresh daemon's only, \">\" lines the long-running one's)"
        echo "# seed $SEED, edit $edits; the edits since the last good comparison, and the tables in the order"
        echo "# in which the fresh daemon read them:"
        printf '#   %s\n' "${since[@]}"
        echo "#   $copy"
        break
    fi
    since=()
done 5<"$LAB_DIR/edits"

# The series did not wander off into states with nothing to balance: a
# group split between members in a quarter of the comparisons at least.
check "a split between members in $split of $compared comparisons" [ $((4 * split)) -ge "$compared" ]
quorin_stop
check_eq "the long-running daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "it leaves nothing of ours" "" "$(ours)"
lab_done
