#!/bin/bash
# Lab test of netstatd and its bus names: a second netstatd on the same bus
# (in another network namespace, so past the instance lock) exits 1 and
# names the owner; a netstatd whose names another program holds, or that
# the bus's policy does not let own them, says why, keeps retrying and takes
# them once it may. None of them crashes.

. "$(dirname "$0")/lib.sh"
lab_start netstatd_names "$@"

D=$LAB_DIR
export PATH=$LAB_BIN:$PATH
lab_netns r
lab_netns r2
lab_dbus r || exit 1
BUS=$DBUS_SYSTEM_BUS_ADDRESS

# owner_pid NAME: the PID of the name's owner on the bus, or nothing.
owner_pid() {
    local unique
    unique=$(lab_exec r dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.GetNameOwner "string:$1" 2>/dev/null | sed -n 's/^ *string "\(.*\)"$/\1/p')
    [ -n "$unique" ] && lab_exec r dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
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
    mkdir -p "$D/$1"
    lab_spawn "${NS:-r}" "$D/$1.log" "$2" -n -p "$D/$1" "${@:3}"
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
mkdir "$D/bin" && cp "$LAB_BIN/netstatd" "$D/bin/holder"
NS=r2 start holder "$D/bin/holder"
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
grep -v '<include>' "$D/bus.conf" | sed "s|$D/bus.socket|$D/bus2.socket|" >"$D/bus2.conf"
lab_spawn r "$D/bus2.log" dbus-daemon --nofork --nopidfile --config-file="$D/bus2.conf"
BUS2_PID=$LAB_LAST_PID
lab_wait_for 5 test -S "$D/bus2.socket" || { echo "FAIL: the second bus did not start"; exit 1; }
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$D/bus2.socket
start refused netstatd
check "under a bus without our policy netstatd logs the bus's refusal" \
    lab_wait_for 5 grep -q "cannot own com.mirandel.network.IPv4Address: org.freedesktop.DBus.Error.AccessDenied: .*not allowed to own" refused.log
# The policy arrives: the bus reads its configuration again on SIGHUP.
cp "$D/bus.conf" "$D/bus2.conf.new"
sed -i "s|$D/bus.socket|$D/bus2.socket|" "$D/bus2.conf.new"
mv "$D/bus2.conf.new" "$D/bus2.conf"
kill -HUP "$BUS2_PID"
check "... keeps retrying and takes its names once the policy allows it" lab_wait_for 10 owns "$refused"
check "... without having ended" lab_running "$refused"
lab_stop "$refused"
check_eq "SIGTERM ends it with status 0" 0 "$LAB_STATUS"
export DBUS_SYSTEM_BUS_ADDRESS=$BUS
lab_done
