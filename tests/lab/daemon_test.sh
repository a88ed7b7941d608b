#!/bin/bash
# Process tests of the quorin daemon: options and usage text, the PID file and
# the single-instance check, daemonizing, the stop signals, a missing system
# bus, and the WAN2LAN chain that the first commit creates and shutdown
# removes. Everything runs in a network namespace of its own, with a private
# /tmp (so /tmp/cfgserver.socket is ours) and a private message bus.

. "$(dirname "$0")/lib.sh"
lab_init daemon
lab_private_tmp "$@"

Q=$LAB_BIN/quorin
D=$LAB_DIR
if [ ! -x "$Q" ]; then
    echo "FAIL: $Q is missing"
    exit 1
fi

# Until the private bus runs, a bus address that leads nowhere: no instance
# of the daemon may ever reach the machine's own system bus.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$D/no-bus.socket"
unset KOR_TRACELEVEL

lab_netns r1
lab_dbus r1 || exit 1

# q NAME ARGS...: runs the daemon in the namespace in the foreground; its
# standard output and error are in $D/NAME.out and $D/NAME.err, its status in
# Q_STATUS.
q() {
    local name=$1
    shift
    lab_exec r1 "$Q" "$@" >"$D/$name.out" 2>"$D/$name.err"
    Q_STATUS=$?
}

# Texts compared byte for byte, final line feed included.
printf '%s\n' \
    "Usage: quorin [options]" \
    " Options:" \
    "  -h: Print this help" \
    "  -b: Start as daemon instead of starting in foreground" \
    "  -d: Enable debug output" \
    "  -p <filepath>: PID file path (default: /var/run)" >"$D/usage.txt"
same() { cmp -s "$1" "$2"; }
empty() { [ ! -s "$1" ]; }
show_diff() { diff "$1" "$2" | sed 's/^/#   /'; }

# pid_of_file FILE: the PID written in a PID file.
pid_of_file() { head -n1 "$1" 2>/dev/null | tr -cd '0-9'; }
no_daemon() { [ -z "$(daemon_pids)" ]; }
not_running() { ! lab_running "$1"; }
# ms_now: milliseconds of the monotonic-enough wall clock.
ms_now() { echo $(($(date +%s%N) / 1000000)); }
# daemon_pids: the quorin processes that run in the namespace.
daemon_pids() {
    local pid
    for pid in $(ip netns pids "$(lab_ns r1)"); do
        lab_running "$pid" && [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = quorin ] && echo "$pid"
    done
}

lab_log "--- help and options"
q help -h
check_eq "-h exits 0" 0 "$Q_STATUS"
check "-h prints the usage text on standard error" same "$D/usage.txt" "$D/help.err"
same "$D/usage.txt" "$D/help.err" || show_diff "$D/usage.txt" "$D/help.err"
check "-h prints nothing on standard output" empty "$D/help.out"

q help_first -h -d -p "$D/x"
check_eq "options after -h are not looked at: status 0" 0 "$Q_STATUS"
check "options after -h are not looked at: nothing echoed" empty "$D/help_first.out"

q debug_help -d -h
check_eq "-d -h exits 0" 0 "$Q_STATUS"
check_eq "-d -h echoes the debug option first" "Debug mode on" "$(cat "$D/debug_help.out")"
check "-d -h then prints the usage text" same "$D/usage.txt" "$D/debug_help.err"

q two_p -p "$D/first" -p "$D/second" -h
check_eq "two -p: both paths echoed in order" \
    "$(printf 'PID file path: %s\nPID file path: %s' "$D/first" "$D/second")" "$(cat "$D/two_p.out")"

q unknown -x
check_eq "an unknown option exits 1" 1 "$Q_STATUS"
{ echo "$Q: invalid option -- 'x'"; echo "Unknown option: 63"; cat "$D/usage.txt"; } >"$D/unknown.expected"
check "an unknown option: getopt's diagnostic, the code 63, the usage text" same "$D/unknown.expected" "$D/unknown.err"
same "$D/unknown.expected" "$D/unknown.err" || show_diff "$D/unknown.expected" "$D/unknown.err"
check "an unknown option prints nothing on standard output" empty "$D/unknown.out"

q noarg -d -p
check_eq "-p without its path exits 1" 1 "$Q_STATUS"
{ echo "$Q: option requires an argument -- 'p'"; echo "Unknown option: 63"; cat "$D/usage.txt"; } >"$D/noarg.expected"
check "-p without its path: getopt's diagnostic, the code 63, the usage text" same "$D/noarg.expected" "$D/noarg.err"
same "$D/noarg.expected" "$D/noarg.err" || show_diff "$D/noarg.expected" "$D/noarg.err"
check_eq "options before the error are still echoed" "Debug mode on" "$(cat "$D/noarg.out")"

lab_log "--- daemonizing and the PID file"
mkdir -p "$D/first" "$D/run"
q daemon -b -p "$D/first" -p "$D/run"
check_eq "the starting process of -b exits 0" 0 "$Q_STATUS"
check_eq "-b echoes Daemonize: 1 before the paths" \
    "$(printf 'Daemonize: 1\nPID file path: %s\nPID file path: %s' "$D/first" "$D/run")" "$(cat "$D/daemon.out")"
check "the daemon writes its PID file in the last -p directory" lab_wait_for 5 test -s "$D/run/quorin.pid"
check "and none in the first one" test ! -e "$D/first/quorin.pid"
DPID=$(pid_of_file "$D/run/quorin.pid")
[ -n "$DPID" ] && lab_adopt "$DPID"
check "the PID file names a running quorin" test "$(cat /proc/"${DPID:-0}"/comm 2>/dev/null)" = quorin

q second -p "$D/run"
check_eq "a second instance in the foreground exits 1" 1 "$Q_STATUS"
check "and says another process is running" grep -q "Another process is already running. Exiting..." "$D/second.err"
q second_b -b -p "$D/run"
check_eq "a second instance with -b exits 1 before daemonizing" 1 "$Q_STATUS"
check "and says so on the console" grep -q "Another process is already running. Exiting..." "$D/second_b.err"
check_eq "the second instances leave the first one's PID file alone" "$DPID" "$(pid_of_file "$D/run/quorin.pid")"
check_eq "only one daemon runs" "$DPID" "$(daemon_pids)"

T0=$(ms_now)
kill -TERM "${DPID:-0}" 2>/dev/null
lab_gone 3 "${DPID:-0}"
T1=$(ms_now)
check "SIGTERM ends the daemon" not_running "${DPID:-0}"
check "within about a second ($((T1 - T0)) ms)" test $((T1 - T0)) -le 1500
check "and removes its PID file" test ! -e "$D/run/quorin.pid"

lab_log "--- stop signals in the foreground"
mkdir -p "$D/fg"
for sig in TERM INT QUIT; do
    # A stale PID file, held by nobody: it does not block the start, and the
    # shutdown removes it also in the foreground.
    echo 99999 >"$D/fg/quorin.pid"
    lab_spawn r1 "$D/fg-$sig.log" "$Q" -p "$D/fg"
    FPID=$LAB_LAST_PID
    # The configuration client reports the missing service right before
    # the main loop begins.
    lab_wait_for 5 grep -q "not reachable" "$D/fg-$sig.log"
    sleep 0.3
    T0=$(ms_now)
    lab_stop "$FPID" "$sig"
    T1=$(ms_now)
    check_eq "SIG$sig: exit status 0" 0 "$LAB_STATUS"
    check "SIG$sig: the loop ends within about a second ($((T1 - T0)) ms)" test $((T1 - T0)) -le 1500
    check "SIG$sig: run: exiting is logged" grep -q "run: exiting" "$D/fg-$sig.log"
    check "SIG$sig: the stale PID file is removed" test ! -e "$D/fg/quorin.pid"
done

lab_log "--- missing system bus"
mkdir -p "$D/nobus"
echo 99999 >"$D/nobus/quorin.pid"
DBUS_SYSTEM_BUS_ADDRESS="unix:path=$D/nonexistent.socket" q nobus -p "$D/nobus"
check_eq "without a system bus the daemon exits 1" 1 "$Q_STATUS"
check "it logs the bus error" grep -q "ERROR quorin main:.*nonexistent.socket" "$D/nobus.err"
check "it does not log run: exiting" bash -c "! grep -q 'run: exiting' '$D/nobus.err'"
check "the PID file is removed on this path too" test ! -e "$D/nobus/quorin.pid"

DBUS_SYSTEM_BUS_ADDRESS="unix:path=$D/nonexistent.socket" q nobus_b -b -p "$D/nobus"
check "with -b the daemon ends by itself" lab_wait_for 5 no_daemon
check "and leaves no PID file behind" test ! -e "$D/nobus/quorin.pid"

lab_log "--- WAN2LAN with a running configuration service"
ipt() { lab_exec r1 iptables -t mangle "$@"; }
# The platform's firewall chain that the balancing hooks into.
ipt -N LOADB_PRE
ipt -A PREROUTING -j LOADB_PRE
ipt -S >"$D/mangle.before"

lab_spawn r1 "$D/cfgserver.log" "$LAB_BIN/cfgserver" -f "$D/store.json" -s /tmp/cfgserver.socket
SRV_PID=$LAB_LAST_PID
check "the configuration service answers on /tmp/cfgserver.socket" \
    lab_wait_for 5 "$LAB_BIN/cfgctl" -s /tmp/cfgserver.socket dump

lab_spawn r1 "$D/debug.log" "$Q" -d -p "$D/run"
QPID=$LAB_LAST_PID
printf '%s\n' \
    "-N WAN2LAN" \
    "-A WAN2LAN -j CONNMARK --restore-mark --nfmask 0xffffffff --ctmask 0xffffffff" \
    "-A WAN2LAN -j CONNMARK --save-mark --nfmask 0xffffffff --ctmask 0xffffffff" \
    "-A WAN2LAN -j RETURN" >"$D/wan2lan.expected"
wan2lan_complete() {
    ipt -S WAN2LAN >"$D/wan2lan.actual" 2>&1
    same "$D/wan2lan.expected" "$D/wan2lan.actual"
}
check "quorin -d creates WAN2LAN with restore-mark, save-mark and RETURN in this order" \
    lab_wait_for 5 wan2lan_complete
same "$D/wan2lan.expected" "$D/wan2lan.actual" || show_diff "$D/wan2lan.expected" "$D/wan2lan.actual"
check_eq "and nothing else in the mangle table" \
    "$(sort "$D/mangle.before" "$D/wan2lan.expected")" "$(ipt -S | sort)"
check_eq "iptables-save shows the chain and its three rules" \
    "$(printf '%s\n' ":WAN2LAN - [0:0]" "$(tail -n +2 "$D/wan2lan.expected")")" \
    "$(lab_exec r1 iptables-save -t mangle | grep WAN2LAN | sed 's/ \[[0-9]*:[0-9]*\]$/ [0:0]/')"
check "debug mode reaches the controller" grep -q "setDebugMode: Debug mode is set to 1!" "$D/debug.log"
check "the first commit creates the chain" grep -q "init iptables system" "$D/debug.log"

# A change of a followed table reaches the controller through the loop.
"$LAB_BIN/cfgctl" -s /tmp/cfgserver.socket add Balancing Verbose=1 StickyTimeout=120 >/dev/null
check "a table change is delivered to the controller" \
    lab_wait_for 5 grep -q "loadFromConfig: Notification on table  Balancing received." "$D/debug.log"
check "no second init" test "$(grep -c "init iptables system" "$D/debug.log")" -eq 1

T0=$(ms_now)
lab_stop "$QPID" TERM
T1=$(ms_now)
check_eq "SIGTERM stops it with status 0" 0 "$LAB_STATUS"
check "within about a second ($((T1 - T0)) ms)" test $((T1 - T0)) -le 1500
check "the shutdown removes the chain" grep -q "cleanup iptables system" "$D/debug.log"
check "WAN2LAN is gone" bash -c "! ip netns exec $(lab_ns r1) iptables -t mangle -S WAN2LAN >/dev/null 2>&1"
check_eq "iptables-save names WAN2LAN no more" 0 "$(lab_exec r1 iptables-save -t mangle | grep -c WAN2LAN)"
check_eq "the mangle table is as before the start" "$(cat "$D/mangle.before")" "$(ipt -S)"
check "run: exiting is logged" grep -q "run: exiting" "$D/debug.log"
lab_stop "$SRV_PID"

lab_done
