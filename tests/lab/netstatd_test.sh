#!/bin/bash
# Lab test of netstatd alone: the real program against the kernel of a
# network namespace, with a private message bus and configuration service.
# A monitor records every signal of the three interfaces. Each step of
# tests/data/netstatd-steps.txt runs a command and must give the signals and
# status tables written below it; then the bus policy against a forged
# signal, daemon mode, and the bus names: their owner, another program that
# holds them, a policy that refuses them. None of them crashes netstatd.

. "$(dirname "$0")/lib.sh"
lab_start netstatd "$@"

export PATH=$LAB_BIN:$PATH

lab_netns r1
lab_netns p1
lab_veth r1 d1 p1 u1
lab_veth r1 d2 p1 u2
lab_dbus r1 || exit 1
r1() { lab_exec r1 "$@"; }
p1() { lab_exec p1 "$@"; }
nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

# The monitor's log as one line per signal: member and arguments.
cat >signals.awk <<'EOF_AWK'
function flush() { if (line != "") print line; line = "" }
/^[a-z]/ { flush() }
/^signal .*interface=com\.mirandel\.network\./ { match($0, /member=[A-Za-z0-9]+/); line = substr($0, RSTART + 7, RLENGTH - 7) }
line != "" && /^   (string|boolean|byte|uint32) / { v = $0; sub(/^   [a-z0-9]+ /, "", v); gsub(/"/, "", v); line = line " " v }
END { flush() }
EOF_AWK
signals() { awk -f signals.awk "${1:-$MONITOR}"; }
# start_monitor LOG [USER...]: records the signals; returns once a probe
# signal, which root may send, shows that it listens.
start_monitor() {
    lab_spawn r1 "$1" "${@:2}" dbus-monitor --system "type='signal',interface='com.mirandel.network.IPv4Address'" \
        "type='signal',interface='com.mirandel.network.InterfaceStatus'" "type='signal',interface='com.mirandel.network.IPv4Route'"
    lab_wait_for 5 probe "$1"
}
probe() {
    r1 dbus-send --system --type=signal /probe com.mirandel.network.IPv4Address.NewIPv4Address string:"$1" string:-
    signals "$1" | grep -Fxq "NewIPv4Address $1 -"
}

start_cfgserver() { lab_spawn r1 cfgserver.log cfgserver -f store.json; CFG_PID=$LAB_LAST_PID; }
start_netstatd() { lab_spawn r1 netstatd.log netstatd -d -p "$LAB_DIR" "$@"; NETSTATD_PID=$LAB_LAST_PID; }
restart_netstatd() { lab_stop "$NETSTATD_PID"; start_netstatd "$@"; }
restart_cfgserver() { lab_stop "$CFG_PID"; rm store.json; start_cfgserver; }
# restart_bus: netstatd waits (stopped) until the new bus has a monitor, so
# that what it publishes on reconnecting cannot come before it.
restart_bus() {
    kill -STOP "$NETSTATD_PID"
    lab_stop "$LAB_DBUS_PID"
    rm -f bus.socket
    lab_dbus r1 && MONITOR=monitor2.log && start_monitor $MONITOR
    # An unprivileged listener gets only what the bus lets through; a
    # monitor sees every message, also those the bus refuses to deliver.
    start_monitor listener.log setpriv --reuid=65534 --regid=65534 --clear-groups
    kill -CONT "$NETSTATD_PID"
}
# hold SECONDS: another client holds a transaction; returns once it does.
# Its end: kill $HOLD_PID (the service rolls it back).
hold() {
    lab_spawn r1 hold.log cfgctl hold "$1"
    HOLD_PID=$LAB_LAST_PID
    lab_wait_for 3 eval 'cfgctl del NoSuchTable 0 2>&1 | grep -q RC_BUSY'
}
# routes TABLE: GetIPv4RoutesFromTable, one route a line.
routes() {
    ${AS:-} dbus-send --system --print-reply --dest=com.mirandel.network.IPv4Route /com/mirandel/network/IPv4Route \
        com.mirandel.network.IPv4Route.GetIPv4RoutesFromTable uint32:"$1" | sed -n 's/^ *string "\(.*\)"$/\1/p' | paste -d' ' - - - - -
}
tables() {
    cfgctl dump 2>/dev/null | jq -r '"netif " + ([.StatusNetifWatch[]? | .Name + "=" + .Addr] | join(" ")),
        "gateways " + ([.DefaultWANGateway[]? | .InterfaceName + "=" + .GatewayAddress] | join(" "))'
}
# step COMMAND EXPECTED: runs the command, then waits (at most 5 s) until its
# output, the signals since (sorted, unless the command ends in "# in this
# order"; without probes) and the tables are as expected.
step() {
    local from want=$2 monitor=$MONITOR order=sort
    [[ $1 == *'# in this order' ]] && order=cat
    from=$(signals | wc -l)
    eval "$1" </dev/null >out.txt 2>&1  # in this shell: helpers keep their PIDs
    [ "$MONITOR" = "$monitor" ] || from=0
    observed() { cat out.txt; signals | tail -n +$((from + 1)) | grep -v ' -$' | $order; tables; }
    lab_wait_for 5 eval '[ "$(observed)" == "$want" ]'
    check_eq "$1" "$want" "$(observed)"
}

start_cfgserver
lab_wait_for 5 cfgctl dump || { echo "FAIL: cfgserver did not start"; exit 1; }
MONITOR=monitor1.log
start_monitor $MONITOR
r1 ip addr add 10.8.0.9/24 dev d2
lab_steps "$LAB_SRC/tests/data/netstatd-steps.txt" step

nobody dbus-send --system --type=signal /com/mirandel/network/IPv4Address \
    com.mirandel.network.IPv4Address.RemovedIPv4Address string:x string:y
lab_wait_for 5 probe listener.log
check "an unprivileged listener hears netstatd but not a signal forged by another user" \
    eval 'signals listener.log | grep -q "^NewIPv4Address d2" && ! signals listener.log | grep -q "x y"'

lab_stop "$NETSTATD_PID"
check_eq "SIGTERM ends netstatd with status 0" 0 "$LAB_STATUS"
check_eq "no errors logged but the planned ones" "" \
    "$(grep " ERROR " netstatd.log | grep -v "went away\|cannot connect\|bus: \|cannot write")"

mkdir run
r1 netstatd -b -n -p "$LAB_DIR/run"
check "-b leaves a PID file" lab_wait_for 5 test -s run/netstatd.pid
DAEMON_PID=$(tr -cd 0-9 <run/netstatd.pid)
lab_adopt "$DAEMON_PID"
check "the daemon serves the bus" lab_wait_for 5 eval 'routes 254 | grep -q d1'
r1 netstatd -n -p "$LAB_DIR/run" 2>/dev/null
check_eq "a second instance exits 1" 1 $?
kill -TERM "$DAEMON_PID"
check "SIGTERM ends the daemon, which removes its PID file" eval 'lab_gone 5 "$DAEMON_PID" && [ ! -e run/netstatd.pid ]'

# The bus names: a second netstatd on the same bus (in another network
# namespace, so past the instance lock) exits 1 and names the owner; a
# netstatd whose names another program holds, or that the bus's policy does
# not let own them, says why, keeps retrying and takes them once it may.
lab_netns r2
BUS=$DBUS_SYSTEM_BUS_ADDRESS

# owner_pid NAME: the PID of the name's owner on the bus, or nothing.
owner_pid() {
    local unique
    unique=$(lab_exec r1 dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.GetNameOwner "string:$1" 2>/dev/null | sed -n 's/^ *string "\(.*\)"$/\1/p')
    [ -n "$unique" ] && lab_exec r1 dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.GetConnectionUnixProcessID "string:$unique" 2>/dev/null | awk '/uint32/ { print $2 }'
}
# owns PID: that process owns all three names.
owns() {
    local name
    for name in IPv4Address InterfaceStatus IPv4Route; do
        [ "$(owner_pid com.mirandel.network.$name)" = "$1" ] || return 1
    done
}
# start NAME PROGRAM ARGS...: a netstatd (or a copy under another program
# name) with a PID directory of its own, in namespace NS (default r); its
# PID is in the variable NAME.
start() {
    mkdir -p "$LAB_DIR/$1"
    lab_spawn "${NS:-r1}" "$LAB_DIR/$1.log" "$2" -n -p "$LAB_DIR/$1" "${@:3}"
    printf -v "$1" %s "$LAB_LAST_PID"
}
# ended PID: waits (10 s at most) until our child has ended; its status is
# in STATUS.
ended() { lab_wait_for 10 lab_ended "$1" && { wait "$1"; STATUS=$?; }; }

start first netstatd
check "the first netstatd takes its names" lab_wait_for 5 owns "$first"
NS=r2 start second netstatd
check "a second netstatd ends" ended "$second"
check_eq "... with status 1, not killed by a signal" 1 "${STATUS:-}"
check "... and logs the PID and program of the names' owner" \
    grep -q "is owned by .*, PID $first (netstatd)" second.log
check "the first keeps its names and runs on" eval 'owns "$first" && lab_running "$first"'
lab_stop "$first"
check_eq "SIGTERM ends the first with status 0" 0 "$LAB_STATUS"

# Another program holds the names: a copy of netstatd under another name.
mkdir "$LAB_DIR/bin" && cp "$LAB_BIN/netstatd" "$LAB_DIR/bin/holder"
NS=r2 start holder "$LAB_DIR/bin/holder"
lab_wait_for 5 owns "$holder"
start waiting netstatd
check "a netstatd whose names another program owns logs its PID and name" \
    lab_wait_for 5 grep -q "is owned by .*, PID $holder (holder); retrying" waiting.log
lab_stop "$holder"
check "... and takes the names once that program has ended" lab_wait_for 5 owns "$waiting"
check "... without having ended" lab_running "$waiting"
lab_stop "$waiting"
check_eq "SIGTERM ends it with status 0" 0 "$LAB_STATUS"

# A bus whose policy lacks ours: the names are refused.
grep -v '<include>' "$LAB_DIR/bus.conf" | sed "s|$LAB_DIR/bus.socket|$LAB_DIR/bus2.socket|" >"$LAB_DIR/bus2.conf"
lab_spawn r1 "$LAB_DIR/bus2.log" dbus-daemon --nofork --nopidfile --config-file="$LAB_DIR/bus2.conf"
BUS2_PID=$LAB_LAST_PID
lab_wait_for 5 test -S "$LAB_DIR/bus2.socket" || { echo "FAIL: the second bus did not start"; exit 1; }
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$LAB_DIR/bus2.socket
start refused netstatd
check "under a bus without our policy netstatd logs the bus's refusal" \
    lab_wait_for 5 grep -q "cannot own com.mirandel.network.IPv4Address: org.freedesktop.DBus.Error.AccessDenied: .*not allowed to own" refused.log
# The policy arrives: the bus reads its configuration again on SIGHUP.
cp "$LAB_DIR/bus.conf" "$LAB_DIR/bus2.conf.new"
sed -i "s|$LAB_DIR/bus.socket|$LAB_DIR/bus2.socket|" "$LAB_DIR/bus2.conf.new"
mv "$LAB_DIR/bus2.conf.new" "$LAB_DIR/bus2.conf"
kill -HUP "$BUS2_PID"
check "... keeps retrying and takes its names once the policy allows it" lab_wait_for 10 owns "$refused"
check "... without having ended" lab_running "$refused"
lab_stop "$refused"
check_eq "SIGTERM ends it with status 0" 0 "$LAB_STATUS"
export DBUS_SYSTEM_BUS_ADDRESS=$BUS
lab_done
