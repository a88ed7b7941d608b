#!/bin/bash
# The command runner's in-process "conntrack -D --mark N" against the real
# connection-tracking table of a namespace of its own: it deletes exactly
# the entries of that mark, TCP and UDP, and none whose mark differs in any
# bit. Which conntrack lines the runner refuses is in
# tests/data/unit-command-lines.txt.

. "$(dirname "$0")/lib.sh"
lab_start conntrack_flush "$@"
lab_netns r
export QUORIN_CMD_LOG=$LAB_DIR/commands.log

# entry PROTO SPORT MARK: one tracked flow 10.9.0.1 -> 10.9.0.2 of that mark.
entry() {
    local state=()
    [ "$1" = tcp ] && state=(--state ESTABLISHED)
    lab_exec r conntrack -I -p "$1" -s 10.9.0.1 -d 10.9.0.2 --sport "$2" --dport 80 "${state[@]}" \
        --timeout 300 --mark "$3" >/dev/null 2>&1
}
# marks: the marks of every entry, sorted, one line.
marks() { lab_exec r conntrack -L 2>/dev/null | sed -n 's/.* mark=\([0-9]*\).*/\1/p' | sort -n | tr '\n' ' '; }

port=1000
for mark in 257 257 257 258 0 65793 4294967295; do
    for proto in tcp udp; do entry "$proto" $((port += 1)) "$mark"; done
done
check_eq "the namespace tracks the flows of the test" "0 0 257 257 257 257 257 257 258 258 65793 65793 4294967295 4294967295 " "$(marks)"

lab_exec r "$LAB_BIN/runlines" "conntrack -D --mark 257" "conntrack -D --mark 4294967295" "conntrack -D --mark 259"
check_eq "only the entries of the two marks went" "0 0 258 258 65793 65793 " "$(marks)"
check_eq "each flush ran in process, with status 0 also when nothing matched" \
    "$(printf '0 conntrack -D --mark %s\tin-process\n' 257 4294967295 259)" "$(cat "$QUORIN_CMD_LOG")"
lab_done
