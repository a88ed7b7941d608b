#!/bin/bash
# The runner's ipset batches against ipset alone: the lines of
# tests/data/ipset-lines.txt (successes and failures in the middle of a
# batch) run through runlines as one batch in one namespace and with
# QUORIN_CMD_BATCH=0, one ipset process a line, in a twin; the exit
# statuses, error texts and the sets left must agree, and the batch must
# have carried the lines out together.

. "$(dirname "$0")/lib.sh"
lab_start ipset_batch "$@"
export KOR_TRACELEVEL=1  # failed commands are logged with their error text

for ns in b s; do
    lab_netns $ns
    lab_exec $ns ipset create lb_haship hash:ip
    lab_exec $ns ipset create lb_inuse hash:ip,port,ip
    lab_exec $ns iptables -t mangle -A PREROUTING -m set --match-set lb_inuse src,dst,dst -j ACCEPT
done
for way in "b 1" "s 0"; do
    set -- $way
    grep -v '^#' "$LAB_SRC/tests/data/ipset-lines.txt" |
        QUORIN_CMD_BATCH=$2 QUORIN_CMD_LOG=$LAB_DIR/$1.log lab_exec "$1" "$LAB_BIN/runlines" 2>>"$LAB_DIR/$1.err"
done
state() {
    sed 's/\tbatch$//' "$LAB_DIR/$1.log"
    sed -E 's/^[0-9-]+ [0-9:.]+ ([A-Z]+) [^ ]+ [^ ]+ /\1 /' "$LAB_DIR/$1.err"
    lab_exec "$1" ipset list -t | grep -E '^(Name|Type|Header):' | sed 's/ initval .*//' | paste - - - | sort
}
check_eq "one batch and one ipset a line agree on every line" "$(state s)" "$(state b)"
check_eq "every line ran in the batch, none alone" "$(grep -c . "$LAB_DIR/s.log") 0" \
    "$(grep -c $'\tbatch$' "$LAB_DIR/b.log") $(grep -c $'\tbatch' "$LAB_DIR/s.log")"
lab_done
