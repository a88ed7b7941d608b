#!/bin/bash
# The daemons in their units' sandboxes: the three-ISP lab of the failover
# test, with cfgserver, netstatd, quorin and uplinkd each started through
# tests/lab/sandboxed, which gives it the capability bounding set, the
# read-only system and the writable paths of its unit (LAB_DIR stands in for
# /run, where they are started with -p LAB_DIR). Each must still do its
# whole job with real connections: the split over the uplinks by their
# shares (below), a main route copied into the member tables, an uplink
# whose ISP stops answering taken out by the probes and back in once
# mended, a sticky group, and a clean stop.
#
# The cases below run in turn on the one live group: its "Autobalance" is
# changed in place, and an uplink is taken out by taking its link down.
# Shares are weights among the members that are up: an uplink whose weight
# is p (0 for an uplink that is out: it must get no connection) must carry
# a count of N connections within 4.5 standard deviations of N p, plus 1 %
# of N for the whole percents that the rules' probabilities are rounded to
# (at most 0.5 % each). A correct daemon fails this test about once in
# 10,000 runs. The bounds are about +-80 to +-120 connections for the N
# chosen (a spread of 2000 takes about 5 s), so a count must move by more
# than that to fail. The faults they are there for move a count by more: a
# re-mark taken of all connections instead of those left, by 126 in each
# 50/30/20 case; a member that is out still counted in the sums, by 135 or
# more; swapped shares, or rules that an "Autobalance" change did not
# rebuild, by 180 or more.
#
# Each daemon also talks to a service manager of the lab's own (a datagram
# socket per daemon as NOTIFY_SOCKET, a 2 s watchdog): READY from each,
# quorin's status line, and watchdog feeds from each loop.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start sandbox "$@"

DAEMONS="cfgserver netstatd quorin uplinkd"

# The programs as the scenario starts them: the daemons through their
# sandbox, the rest as they are.
mkdir "$LAB_DIR/bin"
for program in "$LAB_BIN"/*; do ln -s "$program" "$LAB_DIR/bin/"; done
for daemon in $DAEMONS; do
    rm "$LAB_DIR/bin/$daemon"
    cat >"$LAB_DIR/bin/$daemon" <<EOF
#!/bin/sh
export SANDBOX_SRC='$LAB_SRC' SANDBOX_WRITABLE='$LAB_DIR'
export NOTIFY_SOCKET='$LAB_DIR/notify.$daemon' WATCHDOG_USEC=2000000
exec '$LAB_SRC/tests/lab/sandboxed' $daemon '$LAB_BIN/$daemon' "\$@"
EOF
    chmod 755 "$LAB_DIR/bin/$daemon"
done
LAB_BIN=$LAB_DIR/bin

# The service manager: every datagram's lines, "DAEMON LINE", in NOTIFIED.
# Unix sockets need no namespace, and the lab's do not exist yet.
NOTIFIED=$LAB_DIR/notify.log
python3 -c '
import select, socket, sys
socks = {}
for name in sys.argv[2:]:
    s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    s.bind("%s/notify.%s" % (sys.argv[1], name))
    socks[s.fileno()] = (name, s)
with open(sys.argv[1] + "/notify.log", "a", buffering=1) as out:
    while True:
        for fd in select.select(list(socks), [], [])[0]:
            name, s = socks[fd]
            for line in s.recv(65536).decode().splitlines():
                out.write("%s %s\n" % (name, line))
' "$LAB_DIR" $DAEMONS >"$LAB_DIR/notify.out" 2>&1 &
LAB_PIDS+=($!)
lab_wait_for 5 test -S "$LAB_DIR/notify.uplinkd" || { echo "FAIL: the notify sockets are missing"; sed "s/^/#   /" "$LAB_DIR/notify.out"; exit 1; }

notified() { grep -qxF "$1 $2" "$NOTIFIED"; }
# status_is LINE: quorin's last status line.
status_is() { [ "$(sed -n 's/^quorin STATUS=//p' "$NOTIFIED" | tail -n 1)" = "$1" ]; }

scenario_routed -m
before=$(kfull)
cfg load "$LAB_SRC/tests/lab/failover.json" >/dev/null
quorin_start
uplinkd_start

lab_log "--- the sandboxes"
declare -A pids=([cfgserver]=$SC_CFG_PID [netstatd]=$SC_NETSTATD_PID [quorin]=$SC_QUORIN_PID [uplinkd]=$SC_UPLINKD_PID)
for daemon in $DAEMONS; do
    pid=${pids[$daemon]}
    # What the sandbox gives a process of this unit, and what the daemon has.
    want=$(SANDBOX_SRC=$LAB_SRC "$LAB_SRC/tests/lab/sandboxed" "$daemon" grep -E '^Cap(Bnd|Eff)' /proc/self/status)
    check_eq "$daemon runs with its unit's capabilities ($(grep CapBnd <<<"$want" | cut -f2))" \
        "$want" "$(grep -E '^Cap(Bnd|Eff)' "/proc/$pid/status")"
    check "$daemon sees the system read-only" \
        awk '$5 == "/" && $6 ~ /^ro/ { ro = 1 } END { exit !ro }' "/proc/$pid/mountinfo"
    check "$daemon told the manager it is ready" lab_wait_for 10 notified "$daemon" READY=1
done
check "quorin's status: every uplink in" lab_wait_for 5 status_is "1 group, 3 uplinks in, 0 out"

# N, the group's "Autobalance", then for wan1..wan3 the share its member
# must have, "-" for an uplink that is out during the spread.
CASES="2000 0 50 30 20
1500 0 -  30 20
1500 0 50 -  20
2000 1 33 33 33
1500 1 33 33 -
2000 0 50 30 20"

# within SHARES COUNTS: checks a split against the shares (one per uplink,
# "-" when it is out), as the header says; prints one line per uplink and
# fails when a count is outside its bound or a connection was lost.
within() {
    awk -v shares="$1" -v got="$2" 'BEGIN {
        n = split(shares, share, " "); m = split(got, w, " ")
        for (i = 1; i < m; i += 2) count[w[i]] = w[i + 1]
        for (i = 1; i <= n; i++) sum += share[i] == "-" ? 0 : share[i]
        total = count["u1"] + count["u2"] + count["u3"]; ok = count["lost"] == 0 && total > 0
        for (i = 1; i <= n; i++) {
            p = share[i] == "-" ? 0 : share[i] / sum; c = count["u" i] + 0
            bound = p == 0 ? 0 : 4.5 * sqrt(total * p * (1 - p)) + 0.01 * total
            printf "# u%d: %4d of %d, expected %.1f, allowed %d..%d\n", i, c, total, total * p, total * p - bound, total * p + bound
            ok = ok && c >= total * p - bound && c <= total * p + bound
        }
        exit !ok }'
}

# uplink I down|up: wan I's link goes down, or up again with its default
# route back in the main table (the kernel dropped it) and uplinkd's verdict
# up; returns once netstatd has written the gateways (2 or 3) and the
# daemon has settled.
uplink() {
    local lines gateways=2
    lines=$(wc -l <"$QUORIN_CMD_LOG")
    lab_exec r ip link set "wan$1" "$2"
    if [ "$2" = up ]; then
        gateways=3
        lab_wait_for 5 sc_default_route add "$1" || echo "# the default route through wan$1 could not be added"
        lab_wait_for 20 health_is "wan$1" up || echo "# uplinkd does not have wan$1 up again"
    fi
    lab_wait_for 5 sc_status_written $gateways || echo "# netstatd did not write the gateways after wan$1 $2"
    settle "$lines"
}

mode=0
while read -r n auto shares <&3; do
    if [ "$auto" != "$mode" ]; then
        lab_log "--- \"Autobalance\" $auto, set on the live group"
        edit set BalancingGroups 0 Autobalance="$auto"
        mode=$auto
    fi
    out=$(awk '{ for (i = 1; i <= NF; i++) if ($i == "-") print i }' <<<"$shares")
    [ -z "$out" ] || uplink "$out" down
    what="shares $(tr -s ' ' / <<<"$shares")${out:+, wan$out out}"
    lab_log "--- $n connections, $what"
    check "$what: each uplink's count is within its bound; none lost" within "$shares" "$(spread "$n")"
    [ -z "$out" ] || uplink "$out" up
done 3<<<"$CASES"

lab_log "--- a route copied"
lab_exec r ip route add 203.0.113.0/24 via 10.1.0.1 dev wan1
copied() { [ "$(lab_exec r ip route show table all 203.0.113.0/24 | grep -c ' table ')" = 3 ]; }
check "a new main route is copied into the three member tables" lab_wait_for 5 copied

lab_log "--- wan2's ISP stops answering"
lab_exec u2 iptables -I INPUT -j DROP
check "uplinkd has wan2 down" lab_wait_for 20 health_is wan2 down
check "quorin took wan2 out" lab_wait_for 5 status_is "1 group, 2 uplinks in, 1 out"
check "new connections avoid wan2" through "$(spread 300)" u1 u3
lab_exec u2 iptables -D INPUT -j DROP
check "uplinkd has wan2 up again" lab_wait_for 30 health_is wan2 up
check "quorin took wan2 back in" lab_wait_for 5 status_is "1 group, 3 uplinks in, 0 out"
check "new connections go through all three again" through "$(spread 600)" u1 u2 u3

lab_log "--- a sticky group: iptables' set match asks ipset on a raw socket"
edit set BalancingGroups 0 Sticky=1
mapfile -t sources < <(seq -f 192.168.1.%g 100 115)
for source in "${sources[@]}"; do lab_exec c ip addr add "$source/24" dev cl0; done
internet per-source 6 "${sources[@]}" >"$LAB_DIR/sticky"
check_eq "all 6 connections of each source took one uplink" "" \
    "$(awk '{ for (i = 3; i <= NF; i++) if ($i != $2) { print; next } }' "$LAB_DIR/sticky")"
check "different sources still spread over the uplinks" \
    test "$(awk '{ print $2 }' "$LAB_DIR/sticky" | sort -u | grep -c '^u')" -ge 2

# A right a daemon lacks may cost it only a part of its job (netstatd's
# event buffer), which it reports. A link taken down by the share cases can
# cost quorin a refused route of its member table (the gateway's row may
# change before the link's own row says down): that error is the kernel's.
check_eq "no daemon logged an error but a route refused through a link that is down" "" \
    "$(grep -H ' ERROR ' "$LAB_DIR"/{cfgserver,netstatd,quorin.*,uplinkd}.log | grep -v 'Device for nexthop is not up')"
for daemon in $DAEMONS; do
    check "$daemon fed the watchdog from its loop" test "$(grep -cxF "$daemon WATCHDOG=1" "$NOTIFIED")" -ge 2
done

lab_log "--- SIGTERM"
lab_exec r ip route del 203.0.113.0/24
lab_stop "$SC_UPLINKD_PID"
check_eq "uplinkd ends with status 0" 0 "$LAB_STATUS"
quorin_stop
check_eq "quorin ends with status 0" 0 "$LAB_STATUS"
check_eq "mangle, policy rules, every routing table and the sets are as before they started" "$before" "$(kfull)"

lab_done
