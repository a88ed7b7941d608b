#!/bin/bash
# P2: the cost of quorin's commits against the cost of the tools they run.
#
# First commit: quorin starts on 8 uplinks x 64 services (one group) and
# writes the whole policy. The command log with QUORIN_CMD_LOG_TIMES=1
# stamps every command's start and end on the monotonic clock: the commit
# runs from the first command's start to the last command's end (the copy
# of the main table into the member tables after netstatd's answer
# included). The same commands, as the log lists them, then run in a fresh
# twin of the router's namespace (same devices, addresses and routes, empty
# policy), so that they do the same work from the same state: once each
# program started directly (tests/tools/spawnlines, no shell: the tools' own
# cost) and once each through "sh -c". Their exit statuses must be quorin's.
# quorin runs its "ip rule"/"ip route" commands in-process over rtnetlink;
# the tools' own cost starts an ip process for each of them.
#
# Command batch: N rule appends to a scratch mangle chain through the
# command queue (runlines -t), against the same lines started directly and
# through "sh -c".
#
# Each comparison runs ROUNDS times, the three ways interleaved; the best
# time of each way counts.
#   sudo bench/p2_commit.sh        (bench/run runs it with the others)

. "$(dirname "$0")/lib.sh"
bench_init p2 "$@"
UPLINKS=$(bench_size 8 2)
SERVICES=$(bench_size 64 4)
LINES=$(bench_size 300 20)
ROUNDS=$(bench_size 3 1)
# The router has wan1..wan3 from the scenario; more uplinks are added.
DEVICES=$((UPLINKS > 3 ? UPLINKS : 3))

fail() { echo "FAIL: p2: $*"; exit 1; }

# default_routes NS: a default route through every uplink's gateway.
default_routes() {
    local i
    for i in $(seq "$DEVICES"); do
        lab_exec "$1" ip route add default via 10.$i.0.1 dev wan$i metric $((100 + i)) || return 1
    done
}

# uplink NS NAME ADDRESS: a link with that address, up, and its peer "pNAME"
# in the same namespace (the kernel here has veth, not dummy links).
uplink() {
    lab_exec "$1" ip link add "$2" type veth peer name "p$2" &&
        lab_exec "$1" ip link set "p$2" up &&
        lab_exec "$1" ip link set "$2" up &&
        lab_exec "$1" ip addr add "$3" dev "$2"
}

# twin NAME: a namespace with the router's links, addresses, routes and
# LOADB_PRE hook, and none of quorin's policy.
twin() {
    local i
    lab_netns "$1"
    for i in $(seq "$DEVICES"); do uplink "$1" wan$i 10.$i.0.2/24 || return 1; done
    uplink "$1" lan0 192.168.1.1/24 || return 1
    default_routes "$1" || return 1
    lab_exec "$1" iptables -t mangle -N LOADB_PRE &&
        lab_exec "$1" iptables -t mangle -A PREROUTING -j LOADB_PRE
}

# main_routes NS: the namespace's main table without link-state flags.
main_routes() { lab_exec "$1" ip -4 route show table main | sed 's/ linkdown//'; }

SC_NETSTATD_ARGS=""
scenario_start >/dev/null
for i in $(seq 4 "$DEVICES"); do uplink r wan$i 10.$i.0.2/24 || fail "cannot add wan$i"; done
default_routes r || fail "cannot add the default routes"
lab_wait_for 10 sc_status_written "$DEVICES" || fail "netstatd did not write the gateways"

python3 - "$UPLINKS" "$SERVICES" >"$LAB_DIR/config.json" <<'PY'
import json, sys
uplinks, services = int(sys.argv[1]), int(sys.argv[2])
shares = [100 // uplinks + (1 if i < 100 % uplinks else 0) for i in range(uplinks)]
print(json.dumps({
    "Balancing": [{"Verbose": 0, "StickyTimeout": 120}],
    "BalancingGroups": [{"Id": 1, "ClientInterface": "lan0", "Sticky": 0, "Autobalance": 0, "Enable": 1}],
    "BalancingInterfaces": [{"BalancingGroupId": 1, "Interface": "wan%d" % (i + 1), "UsagePercent": s}
                            for i, s in enumerate(shares)],
    # Single ports and ranges, tcp and udp.
    "BalancingServices": [{"Id": i + 1, "BalancingGroupId": 1, "Proto": "udp" if i % 4 == 3 else "tcp",
                           "DstPortStart": 1000 + 10 * i, "DstPortEnd": 1000 + 10 * i + (5 if i % 2 else 0)}
                          for i in range(services)]}))
PY
cfg load "$LAB_DIR/config.json" >/dev/null || fail "cfgctl load failed"
empty=$(kstate)

# quorin_commit N: quorin started on the configuration until it is quiet,
# then stopped; LAB_DIR/commit.N holds the command log of its start.
quorin_commit() {
    local before
    before=$(wc -l <"$QUORIN_CMD_LOG")
    QUORIN_CMD_LOG_TIMES=1 lab_spawn r "$LAB_DIR/quorin.$1.log" "$LAB_BIN/quorin" -p "$LAB_DIR"
    SC_QUORIN_PID=$LAB_LAST_PID
    lab_wait_for 10 log_grew "$before" || return 1
    settle "$before" >/dev/null || return 1
    tail -n +$((before + 1)) "$QUORIN_CMD_LOG" >"$LAB_DIR/commit.$1"
    quorin_stop
    # The next start, and the twins, begin from the state quorin found.
    [ "$(kstate)" == "$empty" ]
}
log_grew() { [ "$(wc -l <"$QUORIN_CMD_LOG")" -gt "$1" ]; }

# commit_figures FILE: "COMMANDS IN_PROCESS SPAN_US BUSY_US": the commit's
# commands, how many ran in-process, the span from the first start to the
# last end, and the time spent inside commands.
commit_figures() {
    awk -F'\t' '{ split($NF, t, " "); n++; if ($2 == "in-process") ip++
                  if (n == 1 || t[1] < first) first = t[1]; if (t[2] > last) last = t[2]; busy += t[2] - t[1] }
                END { printf "%d %d %d %d\n", n, ip, last - first, busy }' "$1"
}

# replay N [-s]: quorin's commands of commit 1 in a fresh twin namespace,
# started directly (or through sh -c with -s); prints the microseconds and
# fails unless every exit status is quorin's.
replay() {
    local ns=twin$1$2 out
    twin "$ns" || return 1
    [ "$(main_routes "$ns")" == "$(main_routes r)" ] || { echo "# the twin's main table differs"; return 1; }
    out=$(lab_exec "$ns" "$LAB_BIN/spawnlines" $2 <"$LAB_DIR/commit.lines")
    ip netns del "$(lab_ns "$ns")"
    [ "$(grep -v '^us ' <<<"$out")" == "$(cat "$LAB_DIR/commit.statuses")" ] ||
        { echo "# the replay's exit statuses differ from quorin's"; return 1; }
    sed -n 's/^us //p' <<<"$out"
}

# best VALUE...: the smallest value.
best() { printf '%s\n' "$@" | sort -n | head -1; }
ms() { python3 -c "print('%.0f' % ($1 / 1000))"; }

q_span=() q_busy=() direct=() shell=()
for round in $(seq "$ROUNDS"); do
    quorin_commit "$round" || fail "quorin's commit $round did not settle or left state behind"
    read -r commands in_process span busy < <(commit_figures "$LAB_DIR/commit.$round")
    if [ "$round" = 1 ]; then
        cut -f1 "$LAB_DIR/commit.1" | cut -d' ' -f2- >"$LAB_DIR/commit.lines"
        cut -d' ' -f1 "$LAB_DIR/commit.1" >"$LAB_DIR/commit.statuses"
        first_commands=$commands
    fi
    [ "$commands" = "$first_commands" ] || fail "commit $round ran $commands commands, commit 1 $first_commands"
    d=$(replay "$round") || fail "the direct replay broke"
    s=$(replay "$round" -s) || fail "the replay through sh -c broke"
    q_span+=("$span") q_busy+=("$busy") direct+=("$d") shell+=("$s")
    echo "# commit, round $round: quorin $span us (inside commands $busy us), direct $d us, sh -c $s us"
done
q=$(best "${q_span[@]}") d=$(best "${direct[@]}") s=$(best "${shell[@]}")
ratio=$(bench_ratio "$q" "$d")
echo "# quorin's commit: $commands commands, $in_process of them ip commands in-process (the tools' own cost starts ip for them)"
bench_row P2 "first commit, $UPLINKS uplinks x $SERVICES services: $commands commands ($in_process ip in-process), best of $ROUNDS" \
    "quorin $(ms "$q") ms; tools direct $(ms "$d") ms; sh -c $(ms "$s") ms; quorin/direct ${ratio}x" \
    "<= 1.2x the tools' own cost" "$(python3 -c "print('met' if $ratio <= 1.2 else 'missed')")"

# The command batch: rule appends to a scratch chain, the chain emptied
# after each way.
chain=BENCH
lab_exec r iptables -t mangle -N $chain || fail "cannot create the scratch chain"
for i in $(seq "$LINES"); do
    echo "iptables -t mangle -A $chain -i lan0 -p tcp --dport $((1000 + i)) -j MARK --set-mark $((256 + i % 8))"
done >"$LAB_DIR/batch.lines"
# batch WAY...: runs the batch (runlines -t, or spawnlines with its
# options) and prints its microseconds; fails unless every rule is there.
batch() {
    local us
    if [ "$1" = runlines ]; then
        us=$(lab_exec r env -u QUORIN_CMD_LOG "$LAB_BIN/runlines" -t <"$LAB_DIR/batch.lines")
    else
        us=$(lab_exec r "$LAB_BIN/spawnlines" "${@:2}" <"$LAB_DIR/batch.lines" | sed -n 's/^us //p')
    fi
    [ "$(lab_exec r iptables -t mangle -S $chain | grep -c -- "^-A $chain ")" = "$LINES" ] || return 1
    lab_exec r iptables -t mangle -F $chain
    echo "$us"
}
b_runner=() b_direct=() b_shell=()
for round in $(seq "$ROUNDS"); do
    r_us=$(batch runlines) || fail "the batch through the command queue broke"
    d_us=$(batch spawnlines) || fail "the direct batch broke"
    s_us=$(batch spawnlines -s) || fail "the batch through sh -c broke"
    b_runner+=("$r_us") b_direct+=("$d_us") b_shell+=("$s_us")
    echo "# batch, round $round: command queue $r_us us, direct $d_us us, sh -c $s_us us"
done
lab_exec r iptables -t mangle -X $chain
r_us=$(best "${b_runner[@]}") d_us=$(best "${b_direct[@]}") s_us=$(best "${b_shell[@]}")
ratio=$(bench_ratio "$r_us" "$d_us")
bench_row P2 "$LINES iptables lines, command queue vs. the tools' own cost, best of $ROUNDS" \
    "queue $(ms "$r_us") ms; direct $(ms "$d_us") ms; sh -c $(ms "$s_us") ms; queue/direct ${ratio}x" \
    "<= 1.2x the tools' own cost" "$(python3 -c "print('met' if $ratio <= 1.2 else 'missed')")"
