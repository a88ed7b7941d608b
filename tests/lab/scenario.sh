# Scenario harness for end-to-end lab tests: a router namespace with three
# uplinks and a LAN side, a private /tmp and message bus, the platform's
# LOADB_PRE chain, cfgserver on /tmp/cfgserver.socket, the network-status
# service netstatd and quorin -d. netstatd runs with -n (it leaves the status
# tables to the test) unless SC_NETSTATD_ARGS says otherwise.
#
#   router r: wan1 10.1.0.2 -> u1 10.1.0.1    lan0 192.168.1.1 -> c 192.168.1.10
#             wan2 10.2.0.2 -> u2 10.2.0.1
#             wan3 10.3.0.2 -> u3 10.3.0.1
#
# In a test, source it after lib.sh:
#   lab_start NAME "$@"; scenario_start
#   cfg load FILE; quorin_start; edit set TABLE 0 COL=VAL; kstate; ours; kcanon
# scripts/lab builds the same lab and opens a shell in the router namespace.

# scenario_links: the namespaces, the links and their addresses: the client
# c on lan0, the router r, and the ISP uI of every uplink wanI.
scenario_links() {
    local i
    lab_netns r
    lab_netns c
    for i in 1 2 3; do
        lab_netns u$i
        lab_veth r wan$i u$i up$i || exit 1
        lab_exec r ip addr add 10.$i.0.2/24 dev wan$i
        lab_exec u$i ip addr add 10.$i.0.1/24 dev up$i
    done
    lab_veth r lan0 c cl0 || exit 1
    lab_exec r ip addr add 192.168.1.1/24 dev lan0
    lab_exec c ip addr add 192.168.1.10/24 dev cl0
}

# scenario_start: the namespaces, links, LOADB_PRE hook, bus and cfgserver.
scenario_start() {
    scenario_links
    lab_exec r iptables -t mangle -N LOADB_PRE
    lab_exec r iptables -t mangle -A PREROUTING -j LOADB_PRE
    lab_dbus r || exit 1
    export QUORIN_CMD_LOG=$LAB_DIR/cmd.log
    : >"$QUORIN_CMD_LOG"
    SC_EMPTY=$(kstate)
    lab_spawn r "$LAB_DIR/cfgserver.log" "$LAB_BIN/cfgserver" -f "$LAB_DIR/store.json"
    SC_CFG_PID=$LAB_LAST_PID
    lab_wait_for 5 cfg dump || { echo "FAIL: cfgserver did not start"; exit 1; }
    netstatd_start ${SC_NETSTATD_ARGS--n}
}

# netstatd_start [ARGS]: the network-status service on the lab bus, in debug
# mode unless SC_NETSTATD_DEBUG is set empty; returns once it owns its names.
netstatd_start() {
    lab_spawn r "$LAB_DIR/netstatd.log" "$LAB_BIN/netstatd" ${SC_NETSTATD_DEBUG--d} -p "$LAB_DIR" "$@"
    SC_NETSTATD_PID=$LAB_LAST_PID
    lab_wait_for 5 bus_owned com.mirandel.network.IPv4Route ||
        { echo "FAIL: netstatd did not take its names"; sed 's/^/#   /' "$LAB_DIR/netstatd.log"; exit 1; }
}

# bus_owned NAME: somebody owns that name on the lab bus.
bus_owned() {
    lab_exec r dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}

cfg() { lab_exec r "$LAB_BIN/cfgctl" "$@"; }

# scenario_internet: the same "internet" address 198.18.0.1 (benchmarking
# range) in every ISP namespace, with a server that names its ISP; the
# router forwards and masquerades out of every uplink, and the client routes
# through it.
scenario_internet() {
    local i
    lab_exec r sysctl -qw net.ipv4.ip_forward=1
    for i in 1 2 3; do lab_exec r iptables -t nat -A POSTROUTING -o wan$i -j MASQUERADE; done
    scenario_servers
}

# scenario_servers: the server 198.18.0.1 in every ISP, and the client's
# default route through the router.
scenario_servers() {
    local i
    lab_exec c ip route add default via 192.168.1.1
    for i in 1 2 3; do
        lab_exec u$i ip addr add 198.18.0.1/32 dev lo
        lab_spawn u$i "$LAB_DIR/server$i.log" python3 "$LAB_SRC/tests/lab/internet.py" serve u$i
    done
    for i in 1 2 3; do
        lab_wait_for 5 sc_listening u$i || { echo "FAIL: the server of u$i did not start"; exit 1; }
    done
}

sc_listening() { lab_exec "$1" ss -Hltn 'sport = :80' | grep -q .; }

# scenario_default_routes: a default route through every uplink's gateway in
# the router's main table, with the metric dhcpcd gives (200 + the
# interface's index).
scenario_default_routes() {
    local i
    for i in 1 2 3; do sc_default_route add $i; done
}

# sc_default_route add|replace I [GATEWAY]: that default route through wanI
# (its gateway 10.I.0.1 unless GATEWAY; "-": none).
sc_default_route() {
    local index via=(via "${3:-10.$2.0.1}")
    [ "${3:-}" = - ] && via=()
    index=$(lab_exec r cat "/sys/class/net/wan$2/ifindex")
    lab_exec r ip route "$1" default "${via[@]}" dev "wan$2" metric $((200 + index))
}

# scenario_routed [ARGS]: scenario_start with netstatd on ARGS (none: as it
# is packaged), the internet and the default routes; returns once netstatd
# has written the three gateways.
scenario_routed() {
    SC_NETSTATD_ARGS="$*"
    scenario_start
    scenario_internet
    scenario_default_routes
    lab_wait_for 5 sc_status_written 3 || echo "# netstatd did not write the gateways"
}

# internet ARGS...: the lab's internet client in the client namespace (see
# tests/lab/internet.py): "internet spread N" prints how many of N new
# connections went through each ISP.
internet() { lab_exec c python3 "$LAB_SRC/tests/lab/internet.py" "$@"; }

# spread N [NS]: N new connections from the client namespace (c unless NS),
# counted on one line: "u1 N u2 N u3 N lost N".
spread() { lab_exec "${2:-c}" python3 "$LAB_SRC/tests/lab/internet.py" spread "$1" | xargs; }

# through SPLIT ISP...: exactly the ISPs named carried connections of a
# spread, and none was lost; prints the split.
through() {
    local split=$1 isp n
    shift
    echo "# $split"
    for isp in u1 u2 u3 lost; do
        n=$(sed -n "s/.*\b$isp \([0-9]*\).*/\1/p" <<<"$split")
        if [[ " $* " == *" $isp "* ]]; then [ "${n:-0}" -gt 0 ]; else [ "${n:-1}" = 0 ]; fi || return 1
    done
}

# sc_status_written N: netstatd has written N gateway rows.
sc_status_written() { [ "$(cfg dump DefaultWANGateway | grep -c GatewayAddress)" = "$1" ]; }

# kfull: everything of the router's policy that quorin may touch, complete:
# the mangle table without counters, the policy rules, every IPv4 routing
# table (quorin has no IPv6 state; link-local routes come and go) and the sets.
kfull() {
    lab_mangle r
    lab_exec r ip rule show
    lab_exec r ip -4 route show table all
    lab_exec r ipset list -t
}

# quorin_start: a daemon in debug mode on the tables as they are, its output
# in LAB_DIR/quorin.N.log; returns once its first commit has settled.
quorin_start() {
    local made
    made=$(grep -cP -- '-N WAN2LAN(\t|$)' "$QUORIN_CMD_LOG")
    SC_RUN=$((${SC_RUN:-0} + 1))
    lab_spawn r "$LAB_DIR/quorin.$SC_RUN.log" "$LAB_BIN/quorin" -d -p "$LAB_DIR"
    SC_QUORIN_PID=$LAB_LAST_PID
    lab_wait_for 5 sc_made_wan2lan "$made" || echo "# quorin did not create WAN2LAN"
    settle
}

sc_made_wan2lan() { [ "$(grep -cP -- '-N WAN2LAN(\t|$)' "$QUORIN_CMD_LOG")" -gt "$1" ]; }

# lab_on_failure: the last lines of the latest daemon's log but its debug
# and trace lines.
lab_on_failure() { grep -vE " (TRACE|DEBUG) " "$LAB_DIR/quorin.${SC_RUN:-0}.log" 2>/dev/null | tail -n 30 | sed 's/^/#   /'; }

# quorin_stop: SIGTERM to the daemon; its exit status is in LAB_STATUS.
quorin_stop() { lab_stop "$SC_QUORIN_PID" TERM; }

# settle [LINES]: waits (at most 1 s) until the command log has grown beyond
# LINES, then until the daemon has run no command for 300 ms (at most 10 s).
settle() {
    local last=-1 now quiet=0 i
    lab_wait_for 1 sc_log_longer "${1:-0}"
    for i in $(seq 1 200); do
        now=$(wc -l <"$QUORIN_CMD_LOG")
        if [ "$now" = "$last" ]; then quiet=$((quiet + 1)); else quiet=0 last=$now; fi
        [ "$quiet" -ge 6 ] && return 0
        sleep 0.05
    done
    echo "# the daemon did not settle"
    return 1
}

sc_log_longer() { [ "$(wc -l <"$QUORIN_CMD_LOG")" -gt "$1" ]; }

# edit CFGCTL-ARGS...: one change through cfgctl, then wait for the daemon.
edit() {
    local before
    before=$(wc -l <"$QUORIN_CMD_LOG")
    cfg "$@" >/dev/null || echo "# cfgctl $* failed"
    settle "$before"
}

# kstate: the router's policy state, one section each: the mangle table
# without counters, the policy rules without priorities, the routes of
# tables 256 and up by table, and the sets with type and timeout. A table
# that holds a copy of every route of the main table but the default route,
# and no other route of that kind, shows "main copied to table N" in place of
# those copies.
kstate() {
    echo "== mangle"
    lab_mangle r
    echo "== rules"
    lab_exec r ip rule show | cut -f2
    echo "== routes"
    kroutes
    echo "== sets"
    lab_exec r ipset list -t | awk '/^Name:/ { n = $2 } /^Type:/ { t = $2 }
        /^Header:/ { h = ""; for (i = 2; i < NF; i++) if ($i == "timeout") h = " timeout " $(i + 1); print "set " n " " t h }' |
        LC_ALL=C sort
}

# kroutes: the routes section of kstate.
kroutes() {
    { lab_exec r ip route show table main; echo "=="; lab_exec r ip route show table all; } | python3 -c '
import re, sys
main, every = sys.stdin.read().split("==\n")
def same(route):  # a route as its copy shows it: where to, through what
    return re.sub(r" (table|proto|scope|src|metric) \S+", "", route).strip()
copied = sorted(same(l) for l in main.splitlines() if l.strip() and not l.startswith("default"))
tables = {}
for line in every.splitlines():
    m = re.search(r" table (\d+)", line)
    if m and int(m.group(1)) >= 256:
        tables.setdefault(int(m.group(1)), []).append(line.rstrip())
for t in sorted(tables):
    others = sorted(l for l in tables[t] if not l.startswith("default"))
    if copied and sorted(same(l) for l in others) == copied:
        others = ["main copied to table %d" % t]
    print(*[l for l in tables[t] if l.startswith("default")] + others, sep="\n")
'
}

# ours: what the daemon added to the state before it first ran, in kstate
# order, and "gone: " for each line of that state it removed.
ours() {
    local now
    now=$(kstate)
    grep -vxF -f <(printf '%s\n' "$SC_EMPTY") <<<"$now"
    LC_ALL=C comm -23 <(LC_ALL=C sort <<<"$SC_EMPTY") <(LC_ALL=C sort <<<"$now") | sed 's/^/gone: /'
}

# kcanon: kstate in a form that two daemons which numbered their members
# differently share. Every member number becomes T(device/group): the device
# of its default route and the group whose chain sets it; a number that
# neither names stays as it is. Rules, routes and sets are sorted; within a
# mangle chain only runs of rules that differ in nothing but their member
# (device, set, number) are sorted, so a rule in the wrong place still shows.
kcanon() { kstate | python3 "$LAB_SRC/tests/lab/kcanon.py"; }

# --- Failover: uplinkd, the kernel's event stream and the moments of a case.

# scenario_failover CONFIG: the failover lab: netstatd as packaged (-m, so
# Link comes from the kernel), the internet and default routes, CONFIG
# loaded, quorin, uplinkd, and the router's event stream (sc_monitor).
scenario_failover() {
    scenario_routed -m
    cfg load "$1" >/dev/null
    quorin_start
    SC_QUORIN_LOG=$LAB_DIR/quorin.$SC_RUN.log
    uplinkd_start
    sc_monitor
}

# uplinkd_start: the probe service (platform/uplinkd) in debug mode on the
# "UplinkTracking" rows; returns once it has written a row for each of them.
uplinkd_start() {
    lab_spawn r "$LAB_DIR/uplinkd.log" "$LAB_BIN/uplinkd" -d -p "$LAB_DIR"
    SC_UPLINKD_PID=$LAB_LAST_PID
    lab_wait_for 10 sc_health_written ||
        { echo "# uplinkd wrote no UplinkHealth rows"; sed 's/^/#   /' "$LAB_DIR/uplinkd.log" | tail -n 20; }
}

sc_health_written() { [ "$(health_rows | wc -l)" -ge "$(cfg dump UplinkTracking | jq '.UplinkTracking | length')" ]; }

# health_rows: "NAME STATE LOSS RTT SINCE REASON" per row of UplinkHealth
# (the reason last: it may be empty).
health_rows() {
    cfg dump UplinkHealth | jq -r '.UplinkHealth[] | "\(.Name) \(.State) \(.LossPercent) \(.RttMs) \(.Since) \(.Reason)"'
}

# health_is NAME STATE: UplinkHealth gives that uplink that State.
health_is() { health_rows | grep -q "^$1 $2 "; }

# sc_monitor: "ip -ts monitor" of links, addresses and policy rules in the
# router, its lines in SC_MON; sc_mark prints where the lines from now on
# start, for sc_stamp.
sc_monitor() {
    SC_MON=$LAB_DIR/monitor.log
    lab_spawn r "$SC_MON" ip -ts monitor link address rule
    sleep 0.3
}
sc_mark() { echo $(($(wc -l <"$SC_MON") + 1)); }

# sc_stamp PATTERN [FROM]: the Unix time of the first monitor event from line
# FROM on whose text (after the stamp) matches the extended regex PATTERN;
# prints nothing when there is none.
sc_stamp() {
    tail -n +"${2:-1}" "$SC_MON" | python3 -c '
import datetime, re, sys
for line in sys.stdin:
    m = re.match(r"\[([^]]*)\] (.*)", line)
    if m and re.search(sys.argv[1], m.group(2)):
        print("%.6f" % datetime.datetime.fromisoformat(m.group(1)).timestamp())
        break' "$1"
}
sc_stamped() { [ -n "$(sc_stamp "$@")" ]; }

# Monitor patterns: the member of the uplink with address ADDR lost its
# source rule (the last of its rules to go), or got one.
sc_rule_gone() { echo "^Deleted [0-9]+:.*from ${1//./\\.} lookup"; }
sc_rule_made() { echo "^[0-9]+:.*from ${1//./\\.} lookup"; }

sc_now() { date +%s.%N; }
# sc_ms FROM TO: milliseconds between two Unix times, rounded.
sc_ms() { python3 -c "print(round((float('$2') - float('$1')) * 1000))"; }

# held_start: 30 TCP connections from the client through the router, held
# open in LAB_DIR/keep (internet.py keep); checks that 10 go through each ISP.
# KEEP_PID is the holder; touch "$keep/end" ends it.
held_start() {
    keep=$LAB_DIR/keep
    mkdir "$keep"
    lab_spawn c "$keep/rounds" python3 "$LAB_SRC/tests/lab/internet.py" keep 30 "$keep"
    KEEP_PID=$LAB_LAST_PID
    lab_wait_for 30 test -s "$keep/rounds"
    round=0
    check_eq "30 connections held, 10 through each ISP" "10 u1 10 u2 10 u3" \
        "$(head -n 1 "$keep/rounds" | xargs -n 1 | sort | uniq -c | xargs)"
}

# asked WHAT: asks every held connection again; checks that each answered
# through the ISP it had (a line "#SLOT WAS: ANSWER" for each that did not).
answered() { [ "$(wc -l <"$keep/rounds")" -gt "$1" ]; }
asked() {
    round=$((round + 1))
    touch "$keep/ask.$round"
    lab_wait_for 60 answered "$round"
    check_eq "$1: every open connection answers through its ISP" "" "$(awk -v r=$round '
        NR == r { for (i = 1; i <= NF; i++) { n = split($i, a, ">"); was[i] = a[n] } }
        NR == r + 1 { for (i = 1; i <= NF; i++) if ($i != was[i] || was[i] == "lost") printf "#%d %s: %s\n", i, was[i], $i }
        END { if (NR <= r) print "no answers" }' "$keep/rounds")"
}
