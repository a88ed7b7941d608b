#!/bin/bash
# The runner's iptables batches against one process per command: the lines
# of tests/data/iptables-lines.txt (every iptables form the daemon writes, in
# success and in failure) run as one batch in one namespace and with
# QUORIN_CMD_BATCH=0 in an identical twin; the exit statuses, error texts and
# "iptables-save -t mangle" must agree, and every command of the batch must
# have gone through the transaction. Then a second batch after somebody else
# changed the table, and a batch the kernel refuses (a set that does not
# exist), both ways. The renderings of tests/data/iptables-renderings.txt
# are checked against real iptables. Last, the ipset batches against one
# ipset a line: the lines of tests/data/ipset-lines.txt (successes and
# failures in the middle of a batch), both ways in two more twins; the
# exit statuses, error texts and the sets left must agree, and the batch
# must have carried the lines out together.

. "$(dirname "$0")/lib.sh"
lab_start iptables_batch "$@"
export KOR_TRACELEVEL=1  # failed commands are logged with their error text

twin() {
    lab_netns "$1"
    lab_exec "$1" iptables -t mangle -N LOADB_PRE
    lab_exec "$1" iptables -t mangle -A PREROUTING -j LOADB_PRE
    for set in lb_up0 lb_up1; do lab_exec "$1" ipset create $set hash:ip,port,ip timeout 60; done
}
# run NS BATCH: the lines of standard input through the runner; an empty
# line ends a batch.
run() {
    QUORIN_CMD_BATCH=$2 QUORIN_CMD_LOG=$LAB_DIR/$1.log lab_exec "$1" "$LAB_BIN/runlines" 2>>"$LAB_DIR/$1.err"
}
# state NS: what the runner logged, and the namespace's mangle table and sets.
state() {
    sed 's/\tbatch$//' "$LAB_DIR/$1.log"
    sed -E 's/^[0-9-]+ [0-9:.]+ ([A-Z]+) [^ ]+ [^ ]+ /\1 /' "$LAB_DIR/$1.err"
    lab_exec "$1" iptables-save -t mangle | sed -E '/^#/d; s/ \[[0-9]+:[0-9]+\]$//'
    lab_exec "$1" ipset list -t | grep -E '^(Name|Type|Header):' | sed 's/ initval .*//' | paste - - - | sort
}
unbatched() { grep -vc $'\tbatch$' "$LAB_DIR/$1.log"; }

for ns in b s; do twin $ns; done
for way in "b 1" "s 0"; do grep -v '^#' "$LAB_SRC/tests/data/iptables-lines.txt" | run $way; done
check_eq "one transaction and one process per command agree on every line" "$(state s)" "$(state b)"
check_eq "every command ran in a transaction" "0" "$(unbatched b)"

# Somebody else changes the table between two batches of one runner.
for way in "b 1" "s 0"; do
    : >"$LAB_DIR/${way% *}.log"
    mkfifo "$LAB_DIR/fifo"
    run $way <"$LAB_DIR/fifo" &
    runner=$!
    exec 3>"$LAB_DIR/fifo"
    printf '%s\n' "iptables -t mangle -N OTHER" "iptables -t mangle -A OTHER -p tcp -j RETURN" "" >&3
    lab_wait_for 5 grep -q 'OTHER -p tcp' "$LAB_DIR/${way% *}.log"
    lab_exec "${way% *}" iptables -t mangle -D OTHER -p tcp -j RETURN
    lab_exec "${way% *}" iptables -t mangle -A OTHER -p udp -j RETURN
    printf '%s\n' "iptables -t mangle -D OTHER -p tcp -j RETURN" \
        "iptables -t mangle -C OTHER -p udp -j RETURN || iptables -t mangle -A OTHER -p udp -j RETURN" \
        "iptables -t mangle -A OTHER -j RETURN" >&3
    exec 3>&-
    wait $runner
    rm "$LAB_DIR/fifo"
done
check_eq "a table changed by somebody else between two batches" "$(state s)" "$(state b)"
check_eq "both batches ran as transactions" "0" "$(unbatched b)"

# A loop from PREROUTING: the kernel refuses the block, every
# command runs again one at a time.
for way in "b 1" "s 0"; do
    : >"$LAB_DIR/${way% *}.log"
    printf '%s\n' "iptables -t mangle -A OTHER -p icmp -j RETURN" \
        "iptables -t mangle -A LOADB_PRE -j LOADB_PRE" \
        "iptables -t mangle -D OTHER -m mark --mark 257 -j SET --add-set lb_up1 src,dstport,dst 2> /dev/null" \
        "iptables -t mangle -A OTHER -p udp -j RETURN" | run $way
done
check_eq "a refused transaction" "$(state s)" "$(state b)"
check_eq "whose commands ran one at a time" "4" "$(unbatched b)"

# The renderings against real iptables.
lab_exec s iptables -t mangle -N RENDER
while IFS= read -r line; do
    spec=${line% => *} want=${line#* => }
    [ "$want" = REFUSED ] && continue
    # shellcheck disable=SC2086
    lab_exec s iptables -t mangle -A RENDER $spec
    echo "$want => $(lab_exec s iptables -t mangle -S RENDER | tail -n 1 | sed 's/^-A RENDER //')"
    lab_exec s iptables -t mangle -F RENDER
done < <(grep -v '^#' "$LAB_SRC/tests/data/iptables-renderings.txt") >"$LAB_DIR/renderings"
check_eq "real iptables renders the rules as the table says" \
    "$(sed -E 's/(.*) => (.*)/\1 => \1/' "$LAB_DIR/renderings")" "$(cat "$LAB_DIR/renderings")"

# The ipset batches, in twins of their own.
for ns in ib is; do
    lab_netns $ns
    lab_exec $ns ipset create lb_haship hash:ip
    lab_exec $ns ipset create lb_inuse hash:ip,port,ip
    lab_exec $ns iptables -t mangle -A PREROUTING -m set --match-set lb_inuse src,dst,dst -j ACCEPT
done
for way in "ib 1" "is 0"; do grep -v '^#' "$LAB_SRC/tests/data/ipset-lines.txt" | run $way; done
check_eq "one batch and one ipset a line agree on every line" "$(state is)" "$(state ib)"
check_eq "every ipset line ran in the batch, none alone" "$(grep -c . "$LAB_DIR/is.log") 0" \
    "$(grep -c $'\tbatch$' "$LAB_DIR/ib.log") $(grep -c $'\tbatch' "$LAB_DIR/is.log")"
lab_done
