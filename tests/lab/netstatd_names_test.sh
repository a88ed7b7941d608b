#!/bin/bash
# netstatd and its bus names: a second netstatd (its own PID directory, so
# the PID file does not stop it) must end with status 1 and name the owner,
# never crash, and leave the first one its names; a netstatd on a bus whose
# policy does not let it own them must say what the policy says and keep
# trying, and take the names once the policy allows it.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start netstatd_names "$@"
lab_netns r
lab_dbus r || exit 1
mkdir -p "$LAB_DIR/a" "$LAB_DIR/b"

lab_spawn r "$LAB_DIR/a.log" "$LAB_BIN/netstatd" -n -m -p "$LAB_DIR/a"
FIRST=$LAB_LAST_PID
check "the first netstatd takes its names" lab_wait_for 5 bus_owned com.mirandel.network.IPv4Route
timeout 10 ip netns exec "$LAB_PREFIX-r" "$LAB_BIN/netstatd" -n -m -p "$LAB_DIR/b" >"$LAB_DIR/b.log" 2>&1
check_eq "a second netstatd ends with status 1, not by a signal" 1 "$?"
check "it names the owner's PID and program" grep -q "is owned by PID $FIRST (netstatd)" "$LAB_DIR/b.log"
check "it says why it ends" grep -q "another netstatd owns the names; exiting" "$LAB_DIR/b.log"
check "the first one still runs" lab_running "$FIRST"
check "and still owns the names" bus_owned com.mirandel.network.IPv4Route
lab_stop "$FIRST"

# A bus without our policy file: nobody may own the names.
cp "$LAB_DIR/bus.conf" "$LAB_DIR/bus.with-policy.conf"
sed -i '/<include>/d' "$LAB_DIR/bus.conf"
lab_dbus_restart r
lab_spawn r "$LAB_DIR/c.log" "$LAB_BIN/netstatd" -n -m -p "$LAB_DIR/a"
DENIED=$LAB_LAST_PID
denied() { grep -q 'not allowed to own the service "com.mirandel.network.IPv4Address" due to security policies' "$LAB_DIR/c.log"; }
check "without its policy netstatd logs what the policy forbids" lab_wait_for 5 denied
sleep 1
check "and keeps running" lab_running "$DENIED"
# The bus reads its configuration again on SIGHUP.
cp "$LAB_DIR/bus.with-policy.conf" "$LAB_DIR/bus.conf"
kill -HUP "$LAB_DBUS_PID"
check "once the policy allows it, it takes the names" lab_wait_for 10 bus_owned com.mirandel.network.IPv4Route
lab_stop "$DENIED" TERM
check_eq "it ends with status 0" 0 "$LAB_STATUS"
lab_done
