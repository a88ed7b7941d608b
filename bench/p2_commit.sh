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
# program started directly (bench/spawnlines, no shell: the tools' own
# cost) and once each through "sh -c". Their exit statuses must be quorin's.
# quorin runs its "ip rule"/"ip route" commands in-process over rtnetlink;
# the tools' own cost starts an ip process for each of them.
#
# Command batch: N rule appends to a scratch mangle chain through the
# command queue (runlines -t), against the same lines started directly and
# through "sh -c".
#
# Each comparison runs ROUNDS times, the three ways interleaved and in
# another order each round; the best time of each way counts. Beside the
# wall time each figure has the processor time (user + system) of the way
# and the programs it started: on a busy machine the wall times swing, the
# processor times much less.
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

# veth_link NS NAME ADDRESS: a link with that address, up, and its peer
# "pNAME" in the same namespace (a veth pair: not every kernel has dummy
# links).
veth_link() {
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
    for i in $(seq "$DEVICES"); do veth_link "$1" wan$i 10.$i.0.2/24 || return 1; done
    veth_link "$1" lan0 192.168.1.1/24 || return 1
    default_routes "$1" || return 1
    lab_exec "$1" iptables -t mangle -N LOADB_PRE &&
        lab_exec "$1" iptables -t mangle -A PREROUTING -j LOADB_PRE
}

# main_routes NS: the namespace's main table without link-state flags.
main_routes() { lab_exec "$1" ip -4 route show table main | sed 's/ linkdown//'; }

SC_NETSTATD_ARGS=""
scenario_start >/dev/null
for i in $(seq 4 "$DEVICES"); do veth_link r wan$i 10.$i.0.2/24 || fail "cannot add wan$i"; done
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

# cpu_us FILE CMD...: runs the command with its output in FILE; prints the
# processor time (user + system) that it and its children took, in us.
cpu_us() {
    local out=$1 TIMEFORMAT='%3U %3S' t
    shift
    t=$({ time "$@" >"$out" 2>/dev/null; } 2>&1) || return 1
    awk '{ printf "%d\n", ($1 + $2) * 1e6 }' <<<"$t"
}

# figures WAY N WALL CPU: a way's times in round N (microseconds), kept as
# LAB_DIR/WAY.N.wall and .cpu; the ways of the commit keep their commands'
# times in LAB_DIR/WAY.N.
figures() { echo "$3" >"$LAB_DIR/$1.$2.wall" && echo "$4" >"$LAB_DIR/$1.$2.cpu"; }

# quorin_commit N: quorin started on the configuration until it is quiet,
# then stopped; LAB_DIR/quorin.N holds the command log of its start.
quorin_commit() {
    local before tries=0 cpu
    before=$(wc -l <"$QUORIN_CMD_LOG")
    QUORIN_CMD_LOG_TIMES=1 lab_spawn r "$LAB_DIR/quorin.$1.log" "$LAB_BIN/quorin" -p "$LAB_DIR"
    SC_QUORIN_PID=$LAB_LAST_PID
    lab_wait_for 10 log_grew "$before" || { echo "# quorin ran no command"; return 1; }
    # A large commit outlasts one settle (10 s).
    until settle "$before" >/dev/null; do
        tries=$((tries + 1))
        [ $tries -lt 12 ] || { echo "# quorin did not settle"; return 1; }
    done
    tail -n +$((before + 1)) "$QUORIN_CMD_LOG" >"$LAB_DIR/quorin.$1"
    # Its processor time and that of the commands it ran, start-up included.
    cpu=$(sed 's/.*) //' /proc/"$SC_QUORIN_PID"/stat | awk -v hz="$(getconf CLK_TCK)" \
        '{ printf "%d\n", ($12 + $13 + $14 + $15) * 1e6 / hz }')
    # Its removal of the policy runs as many commands as the commit.
    lab_stop "$SC_QUORIN_PID" TERM 120
    figures quorin "$1" "$(awk -F'\t' '{ split($NF, t, " "); if (NR == 1) first = t[1]; last = t[2] }
                                      END { print last - first }' "$LAB_DIR/quorin.$1")" "$cpu"
    # The next start, and the twins, begin from the state quorin found.
    [ "$(kstate)" == "$empty" ] || { echo "# quorin left state behind:"; diff <(echo "$empty") <(kstate) | head -5; return 1; }
}
log_grew() { [ "$(wc -l <"$QUORIN_CMD_LOG")" -gt "$1" ]; }

# replay WAY N [-s]: quorin's commands of its first commit in a fresh twin
# namespace, each program started directly (or through sh -c with -s);
# fails unless every exit status is quorin's.
replay() {
    local ns=twin-$1$2 out=$LAB_DIR/$1.$2 cpu
    twin "$ns" || return 1
    [ "$(main_routes "$ns")" == "$(main_routes r)" ] || { echo "# the twin's main table differs"; return 1; }
    cpu=$(cpu_us "$out" lab_exec "$ns" "$LAB_BIN/spawnlines" "${@:3}" <"$LAB_DIR/commit.lines") || return 1
    ip netns del "$(lab_ns "$ns")"
    [ "$(sed '/^us /d; s/ .*//' "$out")" == "$(cut -d' ' -f1 "$LAB_DIR/quorin.1")" ] ||
        { echo "# the $1 replay's exit statuses differ from quorin's"; return 1; }
    figures "$1" "$2" "$(sed -n 's/^us //p' "$out")" "$cpu"
}

# rotated N WAYS...: the ways rotated by N, so that on a machine whose load
# drifts no way always runs first.
rotated() {
    local n=$1
    shift
    local ways=("$@")
    printf '%s\n' "${ways[@]:n % ${#ways[@]}}" "${ways[@]:0:n % ${#ways[@]}}"
}

# compare LIMIT WAYS...: the first way against the second (the tools' own
# cost) by the best wall time and the best processor time of the rounds:
# prints "#" lines with every round's times (and, for the commit, the time
# of each program's commands) and then "FIGURE<tab>VERDICT", the target met
# when the ratio of the wall times is at most LIMIT.
compare() {
    python3 - "$LAB_DIR" "$ROUNDS" "$@" <<'PY'
import collections, os, sys
lab, rounds, limit, ways = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4:]
names = {"quorin": "quorin", "queue": "queue", "direct": "direct", "shell": "sh -c"}
path = lambda *parts: os.path.join(lab, ".".join(str(p) for p in parts))
read = lambda w, kind, n: int(open(path(w, n, kind)).read())
best = {w: {k: min(range(1, rounds + 1), key=lambda n: read(w, k, n)) for k in ("wall", "cpu")} for w in ways}
val = lambda w, k: read(w, k, best[w][k])
for w in ways:
    print("# %-6s wall %s ms; cpu %s ms" % (names[w], *(" ".join("%.0f" % (read(w, k, n) / 1000) for n in range(1, rounds + 1))
                                                      for k in ("wall", "cpu"))))
if ways[0] == "quorin":
    # The commands' own times in the best rounds, by program: quorin's
    # stamps, the launcher's times in the order of quorin's commands.
    kinds = [l.split(" ")[1] + (" in-process" if "\tin-process" in l else "") for l in open(path("quorin", 1))]
    per = collections.defaultdict(collections.Counter)
    for k, l in zip(kinds, open(path("quorin", best["quorin"]["wall"]))):
        start, end = map(int, l.split("\t")[-1].split())
        per["quorin"][k] += end - start
    for w in ways[1:]:
        for k, l in zip(kinds, open(path(w, best[w]["wall"]))):
            per[w][k] += int(l.split()[1])
    print("# where the time went, ms (commands: %s)" % ", ".join(names[w] for w in ways))
    for k, n in sorted(collections.Counter(kinds).items()):
        print("#   %-20s %4d: %s" % (k, n, "  ".join("%6.0f" % (per[w][k] / 1000) for w in ways)))
    print("#   quorin between its commands: %.0f" % ((val("quorin", "wall") - sum(per["quorin"].values())) / 1000))
wall = val(ways[0], "wall") / val(ways[1], "wall")
cpu = val(ways[0], "cpu") / val(ways[1], "cpu")
print("; ".join("%s %.0f ms (cpu %.0f)" % (names[w], val(w, "wall") / 1000, val(w, "cpu") / 1000) for w in ways)
      + "; %s/direct %.2fx (cpu %.2fx)\t%s" % (names[ways[0]], wall, cpu, "met" if wall <= limit else "missed"))
PY
}

# row ID WHAT LIMIT WAYS...: the comparison's row, its "#" lines before it;
# the target is the first way at most LIMIT times the direct one.
row() {
    local figure verdict
    compare "${@:3}" >"$LAB_DIR/compare.out" || return 1
    grep '^#' "$LAB_DIR/compare.out"
    IFS=$'\t' read -r figure verdict < <(grep -v '^#' "$LAB_DIR/compare.out")
    bench_row "$1" "$2" "$figure" "$4 <= ${3}x direct" "$verdict"
}

for round in $(seq "$ROUNDS"); do
    # quorin runs first in the first round: the replays repeat its commands.
    for way in $(rotated $((round - 1)) quorin direct shell); do
        case $way in
        quorin)
            quorin_commit "$round" || fail "quorin's commit $round broke"
            [ "$round" = 1 ] && cut -f1 "$LAB_DIR/quorin.1" | cut -d' ' -f2- >"$LAB_DIR/commit.lines"
            [ "$(wc -l <"$LAB_DIR/quorin.$round")" = "$(wc -l <"$LAB_DIR/commit.lines")" ] ||
                fail "quorin's commit $round ran another number of commands than its first"
            ;;
        direct) replay direct "$round" || fail "the direct replay broke" ;;
        shell) replay shell "$round" -s || fail "the replay through sh -c broke" ;;
        esac
    done
done
commands=$(wc -l <"$LAB_DIR/commit.lines")
in_process=$(grep -c $'\tin-process' "$LAB_DIR/quorin.1")
row P2 "first commit, $UPLINKS uplinks x $SERVICES services: $commands commands, $in_process of them ip in quorin's process (direct and sh -c start ip), best of $ROUNDS" \
    0.1 quorin direct shell || fail "the commit's figures are incomplete"

# The command batch: rule appends to a scratch chain, emptied after each way.
chain=BENCH
lab_exec r iptables -t mangle -N $chain || fail "cannot create the scratch chain"
for i in $(seq "$LINES"); do
    echo "iptables -t mangle -A $chain -i lan0 -p tcp --dport $((1000 + i)) -j MARK --set-mark $((256 + i % 8))"
done >"$LAB_DIR/batch.lines"
# batch WAY N: the batch through the command queue (runlines -t, without the
# command log), or started directly or through sh -c (spawnlines); fails
# unless every rule is there.
batch() {
    local out=$LAB_DIR/$1.$2.out cpu
    case $1 in
    queue) cpu=$(cpu_us "$out" lab_exec r env -u QUORIN_CMD_LOG "$LAB_BIN/runlines" -t <"$LAB_DIR/batch.lines") ;;
    direct) cpu=$(cpu_us "$out" lab_exec r "$LAB_BIN/spawnlines" <"$LAB_DIR/batch.lines") ;;
    shell) cpu=$(cpu_us "$out" lab_exec r "$LAB_BIN/spawnlines" -s <"$LAB_DIR/batch.lines") ;;
    esac || return 1
    [ "$(lab_exec r iptables -t mangle -S $chain | grep -c -- "^-A $chain ")" = "$LINES" ] || return 1
    lab_exec r iptables -t mangle -F $chain
    figures "$1" "$2" "$(tail -1 "$out" | sed 's/^us //')" "$cpu"
}
for round in $(seq "$ROUNDS"); do
    for way in $(rotated $((round - 1)) queue direct shell); do
        batch "$way" "$round" || fail "the $way batch broke"
    done
done
lab_exec r iptables -t mangle -X $chain
row P2 "$LINES iptables lines: command queue (runlines -t) against direct and sh -c, best of $ROUNDS" \
    0.1 queue direct shell || fail "the batch's figures are incomplete"
