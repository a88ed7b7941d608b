#!/bin/bash
# The command runner against the real kernel, inside a namespace of its own:
# the lines of tests/data/runner-lines.txt (checked pairs, ipsets, routes,
# conntrack flushes, "2> /dev/null" and injection attempts) run twice
# through the command queue must leave the kernel state, files, command log
# and error log of tests/data/runner-expected.txt: nothing of the refused
# lines runs. The connection-tracking table holds TCP and UDP entries of
# marks that the flushes name, and of marks that differ from those in a bit.

. "$(dirname "$0")/lib.sh"
lab_start runner "$@"
lab_netns r
lab_exec r ip link add up0 type veth peer name up1
lab_exec r ip link set up0 up
lab_exec r ip addr add 10.9.0.1/24 dev up0

entry() {
    local state=()
    [ "$1" = tcp ] && state=(--state ESTABLISHED)
    lab_exec r conntrack -I -p "$1" -s 10.9.0.1 -d 10.9.0.2 --sport "$2" --dport 80 "${state[@]}" \
        --timeout 300 --mark "$3" >/dev/null 2>&1
}
port=1000
for mark in 257 257 257 258 0 65793 4294967295; do
    for proto in tcp udp; do entry "$proto" $((port += 1)) "$mark"; done
done
check_eq "the namespace tracks the 14 flows of the test" 14 "$(lab_exec r conntrack -L 2>/dev/null | grep -c mark=)"

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
    lab_exec r conntrack -L 2>/dev/null | sed -n 's/.* mark=\([0-9]*\).*/\1/p' | sort -n | xargs echo conntrack marks
    echo "== files in /tmp"
    ls /tmp | grep -v '^lab\.'
    echo "== commands run, with their status"
    cat "$QUORIN_CMD_LOG"
    echo "== errors logged"
    sed -E "s/^[0-9-]+ [0-9:.]+ ([A-Z]+) [^ ]+ [^ ]+ /\1 /; s/$(lab_ns r)/@NS@/" "$LAB_DIR/errors.log"
}
check_eq "two runs leave the expected state" "$(grep -v "^# " "$LAB_SRC/tests/data/runner-expected.txt")" "$(state)"
lab_done
