#!/bin/bash
# The runner's in-process ip commands against the real ip: the lines of
# tests/data/ip-lines.txt (every ip form the daemon writes, in success and
# in failure) run through runlines in-process in one namespace and with
# QUORIN_CMD_REAL_IP=1 in an identical twin; the exit statuses, error texts,
# "ip rule show" and "ip route show table all" must agree. Then 600 routes
# are added, 300 again, and flushed (a dump of several datagrams), both ways.
# runlines runs its lines as one batch: runs of in-process lines are sent
# many at a time, failures in their middle. How long the two ways take is
# for bench/p2_commit.sh to measure.

. "$(dirname "$0")/lib.sh"
lab_start ip_inprocess "$@"
export KOR_TRACELEVEL=1  # failed commands are logged with their error text

twin() {
    lab_netns "$1"
    lab_exec "$1" ip link add up0 address 02:00:00:00:00:01 type veth peer name up1 address 02:00:00:00:00:02
    lab_exec "$1" ip link set up0 up
    lab_exec "$1" ip link set up1 up
    lab_exec "$1" ip addr add 10.9.0.1/24 dev up0
    lab_exec "$1" ip -6 route add table 100 2001:db8::/64 dev up0
}
# run NS REAL_IP: the lines of standard input through the runner.
run() {
    QUORIN_CMD_REAL_IP=$2 QUORIN_CMD_LOG=$LAB_DIR/$1.log QUORIN_CMD_LOG_TIMES=1 \
        lab_exec "$1" "$LAB_BIN/runlines" 2>>"$LAB_DIR/$1.err"
}
state() {
    sed -E 's/\t(in-process|[0-9]+ [0-9]+).*$//' "$LAB_DIR/$1.log"
    sed -E 's/^[0-9-]+ [0-9:.]+ ([A-Z]+) [^ ]+ [^ ]+ /\1 /' "$LAB_DIR/$1.err"
    lab_exec "$1" ip rule show
    # IPv6 only where the lines write it: the kernel adds its local,
    # anycast and multicast routes and the link-local ones in their own
    # time, in either twin.
    lab_exec "$1" ip -4 route show table all
    lab_exec "$1" ip -6 route show table all | grep -v -e ' table local' -e '^fe80::'
}
routes() {
    for i in $(seq 1 "$1"); do echo "ip route add table $2 10.$((i / 250 + 100)).$((i % 250)).0/24 via 10.9.0.2"; done
}

# n runs the lines in-process, r with the real ip.
for ns in n r; do twin $ns; done
for way in "n 0" "r 1"; do grep -v '^#' "$LAB_SRC/tests/data/ip-lines.txt" | run $way; done
check_eq "in-process and real ip agree on every line" "$(state r)" "$(state n)"
check_eq "every ip line ran in-process, none in the twin" "0 0" \
    "$(grep ' ip ' "$LAB_DIR/n.log" | grep -vc $'\tin-process\t') $(grep -c 'in-process' "$LAB_DIR/r.log")"
# The commands of one batch share its start: runs of them went out together.
check "the in-process lines ran in batches" test "$(grep -c $'\tin-process\t' "$LAB_DIR/n.log")" -gt \
    "$((2 * $(sed -n 's/.*\tin-process\t\([0-9]*\) .*/\1/p' "$LAB_DIR/n.log" | sort -u | wc -l)))"
# Then 300 of them again, each refused: more failures in a row than one
# send of a batch carries.
for way in "n 0" "r 1"; do { routes 600 300; routes 300 300; echo ip route flush table 300; } | run $way; done
check_eq "600 routes added, 300 refused, all flushed agree" "$(state r)" "$(state n)"
check "the flush emptied the table" test -z "$(lab_exec n ip route show table 300)"
lab_done
