#!/bin/bash
# Lab test of netstatd under a burst of routes: a routing daemon loads
# 100,000 routes through three uplinks with one "ip -batch", then takes
# 50,000 of them away with another. An unprivileged listener records the
# route signals; applied in order, they must give the kernel's main table
# after each batch. Run twice: with the event buffer as shipped, and with
# a buffer so small that the kernel drops events, where netstatd must read
# the table again, report every difference and say so (IPv4RoutesReread).

. "$(dirname "$0")/lib.sh"
lab_start netstatd_burst "$@"

D=$LAB_DIR
export PATH=$LAB_BIN:$PATH
ROUTES=${BURST_ROUTES:-100000}

lab_netns r
lab_netns p
for i in 1 2 3; do
    lab_veth r d$i p u$i || exit 1
    lab_exec r ip addr add 10.$i.0.2/24 dev d$i
done
lab_dbus r || exit 1

# The batches: route n is 16.0.0.0/24 + n, through uplink n mod 3.
awk -v n="$ROUTES" 'BEGIN { for (i = 0; i < n; i++)
    printf "route add %d.%d.%d.0/24 via 10.%d.0.1\n", 16 + int(i / 65536), int(i / 256) % 256, i % 256, i % 3 + 1 }' >add.batch
awk 'NR % 2 == 0 { sub(/^route add/, "route del"); print }' add.batch >del.batch

# replay LOG: the routes that the signals of the log leave, applied in
# order, as "destination/length gateway" lines, sorted. rereads LOG: the
# number of IPv4RoutesReread signals in it.
cat >replay.awk <<'EOF_AWK'
function flush() {
    if (member == "NewIPv4Route") routes[args[1] "/" args[2] " " args[3]] = 1
    else if (member == "RemovedIPv4Route") delete routes[args[1] "/" args[2] " " args[3]]
    member = ""; n = 0
}
/^[a-z]/ { flush() }
/^signal .*interface=com\.mirandel\.network\.IPv4Route; member=/ { member = $0; sub(/.*member=/, "", member) }
member != "" && /^   (string|byte|uint32) / { v = $2; gsub(/"/, "", v); args[++n] = v }
END { flush(); for (r in routes) if (r !~ / 0\.0\.0\.0$/) print r }
EOF_AWK
replay() { awk -f replay.awk "$1" | sort; }
rereads() { grep -c 'member=IPv4RoutesReread' "$1"; }
# The kernel's main-table routes through a gateway, in the same form.
kernel() { lab_exec r ip -4 route show table main | awk '$2 == "via" { print $1, $3 }' | sort; }
# quiet LOG: waits until the listener has heard nothing more for two seconds
# (a minute at most).
quiet() {
    local size=-1 end=$((SECONDS + 60))
    while [ "$(stat -c %s "$1")" != "$size" ] && [ $SECONDS -lt $end ]; do
        size=$(stat -c %s "$1")
        sleep 2
    done
}

start_listener() {
    lab_spawn r "$1" setpriv --reuid=65534 --regid=65534 --clear-groups dbus-monitor --system "type='signal',interface='com.mirandel.network.IPv4Route'"
    LISTENER_PID=$LAB_LAST_PID
    lab_wait_for 5 eval "lab_exec r dbus-send --system --type=signal /probe com.mirandel.network.IPv4Route.Probe; grep -q member=Probe $1" ||
        { echo "FAIL: the listener does not hear signals"; exit 1; }
}
start_netstatd() {
    lab_spawn r "$1" netstatd -m -n -p "$D" "${@:2}"
    NETSTATD_PID=$LAB_LAST_PID
    lab_wait_for 5 eval 'lab_exec r dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:com.mirandel.network.IPv4Route | grep -q true' ||
        { echo "FAIL: netstatd did not take its names"; sed 's/^/#   /' "$1"; exit 1; }
}

# burst NAME FILES NETSTATD-ARGS...: both batches against a fresh netstatd.
burst() {
    local name=$1 log=$2.log signals=$2.signals
    start_listener "$signals"
    start_netstatd "$log" "${@:3}"
    lab_exec r ip -batch add.batch
    quiet "$signals"
    check_eq "$name: after $ROUTES adds the signals give the main table ($(kernel | wc -l) routes)" \
        "$(kernel)" "$(replay "$signals")"
    lab_exec r ip -batch del.batch
    quiet "$signals"
    check_eq "$name: after $((ROUTES / 2)) deletes the signals give the main table ($(kernel | wc -l) routes)" \
        "$(kernel)" "$(replay "$signals")"
    lab_log "$name: $(grep -c 'events were lost' "$log") lost-events resyncs, $(rereads "$signals") IPv4RoutesReread," \
        "$(grep -c member=NewIPv4Route "$signals") NewIPv4Route, $(grep -c member=RemovedIPv4Route "$signals") RemovedIPv4Route"
    check "$name: every lost-events resync is followed by IPv4RoutesReread(254)" \
        eval '[ "$(rereads "$signals")" -ge "$(grep -c "events were lost" "$log")" ] &&
            ! grep -A1 member=IPv4RoutesReread "$signals" | grep "^   uint32" | grep -vq "uint32 254"'
    lab_stop "$NETSTATD_PID"
    check_eq "$name: SIGTERM ends netstatd with status 0" 0 "$LAB_STATUS"
    lab_stop "$LISTENER_PID"
    lab_exec r ip route flush table main proto boot
}

burst "as shipped" shipped
burst "small event buffer" small -e 65536
check "with the small buffer the kernel dropped events and netstatd read the table again" \
    grep -q 'events were lost' small.log
lab_done
