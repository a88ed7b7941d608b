#!/bin/bash
# Process tests of the quorin daemon in a network namespace of its own, with
# a private /tmp and message bus: each "$ COMMAND" of
# tests/data/daemon-runs.txt (options, daemonizing and the PID file, the stop
# and fatal signals, a missing bus) must print what follows it.

. "$(dirname "$0")/lib.sh"
lab_start daemon "$@"

export PATH=$LAB_BIN:$PATH
lab_netns r1
lab_dbus r1 || exit 1
mkdir first run fg

quorin() { lab_exec r1 "$LAB_BIN/quorin" "$@"; }
# pid_file: the daemon of run/quorin.pid, once it is there; ended at cleanup.
pid_file() {
    lab_wait_for 5 test -s run/quorin.pid && DPID=$(tr -cd 0-9 <run/quorin.pid) && lab_adopt "$DPID" &&
        echo "run/quorin.pid names $(cat /proc/"$DPID"/comm)"
}
# daemons: how many quorin processes run in the namespace.
daemons() { for pid in $(ip netns pids "$(lab_ns r1)"); do lab_running "$pid" && cat /proc/"$pid"/comm; done | grep -c '^quorin$'; }
# stop_with SIGNAL: a daemon in the foreground over a stale PID file that
# nobody holds, ended by the signal once it runs: its status, what it logged
# of its end, and the PID file left.
stop_with() {
    echo 99999 >fg/quorin.pid
    lab_spawn r1 fg.log "$LAB_BIN/quorin" -p "$LAB_DIR/fg"
    lab_wait_for 5 grep -q "not reachable" fg.log  # right before its main loop
    lab_stop "$LAB_LAST_PID" "$1"
    echo "status $LAB_STATUS"
    grep -o -e "run: exiting" -e "fatal signal.*" fg.log
    ls fg
}

# second PROGRAM ARGS...: PROGRAM runs, then a second one with the same
# arguments; what the second printed, and its status. The first one holds
# its lock once its socket is listed.
second() {
    lab_spawn r1 first.log "$@"
    local pid=$LAB_LAST_PID
    lab_wait_for 5 sh -c "ip netns exec $(lab_ns r1) ss -xl | grep -q '@kor.instance/$1'"
    lab_exec r1 "$@" >second.log 2>&1
    echo "status $?"
    normal second.log | sed "s/(PID $pid)/(PID of the first)/"
    lab_stop "$pid"
}

# normal FILE: without time stamps, source lines and the test's directories.
normal() { sed -E "s/^[0-9-]+ [0-9:.]+ ([A-Z]+) [^ ]+ [^ ]+ /\1 /; s|$LAB_DIR/||g; s|$LAB_BIN/||g" "$1"; }
# run CMD EXPECTED: in this shell, not a subshell: helpers keep what they learn.
run() { eval "$1" </dev/null >out.txt 2>&1; check_eq "$1" "$2" "$(normal out.txt)"; }
lab_steps "$LAB_SRC/tests/data/daemon-runs.txt" run
lab_done
