#!/bin/bash
# The command runner against the real kernel, inside a namespace of its own:
# the lines of tests/data/runner-lines.txt (checked pairs, ipsets, routes,
# "2> /dev/null" and injection attempts) run twice through the command queue
# must leave the kernel state, files, command log and error log of
# tests/data/runner-expected.txt: nothing of the refused lines runs.

. "$(dirname "$0")/lib.sh"
lab_start runner "$@"
lab_netns r
lab_exec r ip link add up0 type veth peer name up1
lab_exec r ip link set up0 up
lab_exec r ip addr add 10.9.0.1/24 dev up0

export QUORIN_CMD_LOG=$LAB_DIR/commands.log
export KOR_TRACELEVEL=1  # the failures that lines absorb are logged too
for run in 1 2; do
    sed "s/@NS@/$(lab_ns r)/" "$LAB_SRC/tests/data/runner-lines.txt" |
        lab_exec r "$LAB_BIN/runlines" 2>>"$LAB_DIR/errors.log"
done
state() {
    echo "== kernel"
    lab_mangle r
    lab_exec r ip rule show
    lab_exec r ip route show table 256
    lab_exec r ipset list -t | grep -E '^(Name|Type):'
    echo "== files in /tmp"
    ls /tmp | grep -v '^lab\.'
    echo "== commands run, with their status"
    cat "$QUORIN_CMD_LOG"
    echo "== errors logged"
    sed -E "s/^[0-9-]+ [0-9:.]+ ([A-Z]+) [^ ]+ [^ ]+ /\1 /; s/$(lab_ns r)/@NS@/" "$LAB_DIR/errors.log"
}
check_eq "two runs leave the expected state" "$(grep -v "^# " "$LAB_SRC/tests/data/runner-expected.txt")" "$(state)"
lab_done
