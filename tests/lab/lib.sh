# Shared helpers for the lab tests. Source it from a test script:
#
#   . "$(dirname "$0")/lib.sh"
#   lab_start mytest "$@"    # checks root, sets up cleanup traps and re-runs
#                            # the script in a private mount namespace
#                            # (lab_init mytest; lab_private_tmp "$@")
#   lab_netns r1             # creates namespace "<prefix>-r1", removed at exit
#   lab_veth r1 a0 p1 b0     # veth pair a0 in r1 <-> b0 in p1
#   lab_spawn r1 out.log cmd # starts a process in the namespace, killed at exit
#   check "what" cmd...      # prints PASS/FAIL lines and counts failures
#   lab_done                 # exits 0 when every check passed
#
# LAB_KEEP=DIR copies the test's LAB_DIR (its logs and files) into DIR at
# the end.
#
# Namespaces carry a prefix unique to the test run, so parallel runs and the
# machine's own namespaces never meet.

LAB_BIN=${QUORIN_BIN:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/bin}
LAB_SRC=${QUORIN_SRC:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
LAB_FAILS=0
LAB_CHECKS=0
LAB_PIDS=()
LAB_NETNS=()
LAB_NAME=lab

lab_log() { printf '# %s\n' "$*"; }

lab_init() {
    LAB_NAME=$1
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIP: $LAB_NAME needs root"
        exit 77
    fi
    LAB_PREFIX=${LAB_PREFIX:-q$$}
    trap lab_cleanup EXIT
    trap 'exit 130' INT TERM HUP
}

# lab_start NAME "$@": how a test begins, lab_init and lab_private_tmp.
lab_start() {
    lab_init "$1"
    lab_private_tmp "${@:2}"
}

# Re-executes the calling script inside a new mount namespace with a private,
# empty /tmp, unless that already happened; then works in LAB_DIR. Until a
# test starts its own message bus (lab_dbus), the system bus's address leads
# nowhere: no program may ever reach the machine's own bus. The programs log
# as they do by default.
lab_private_tmp() {
    if [ -z "${LAB_IN_MOUNTNS:-}" ]; then
        trap - EXIT
        LAB_IN_MOUNTNS=1 LAB_PREFIX=${LAB_PREFIX:-q$$} exec unshare --mount --propagation private \
            bash "$0" "$@"
    fi
    # The tree under test may itself live below /tmp: keep the machine's /tmp
    # reachable at a place of our own before covering it.
    if [[ $LAB_BIN == /tmp/* || $LAB_SRC == /tmp/* ]]; then
        LAB_OLDTMP=$(mktemp -d /run/quorin-lab.XXXXXX) && mount --bind /tmp "$LAB_OLDTMP" ||
            { echo "FAIL: cannot keep /tmp reachable"; exit 1; }
        [[ $LAB_BIN == /tmp/* ]] && LAB_BIN=$LAB_OLDTMP${LAB_BIN#/tmp}
        [[ $LAB_SRC == /tmp/* ]] && LAB_SRC=$LAB_OLDTMP${LAB_SRC#/tmp}
    fi
    mount -t tmpfs -o mode=1777 lab-tmp /tmp || { echo "FAIL: cannot mount a private /tmp"; exit 1; }
    LAB_DIR=$(mktemp -d /tmp/lab.XXXXXX)
    chmod 755 "$LAB_DIR"
    # The working directory may have been covered by the new /tmp.
    cd "$LAB_DIR" || exit 1
    export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$LAB_DIR/no-bus.socket"
    unset KOR_TRACELEVEL
}

lab_ns() { printf '%s-%s' "$LAB_PREFIX" "$1"; }

# lab_netns NAME: a namespace of the test's, lo up. "ip netns add" that
# runs beside another one's add or delete can fail, or leave a name that
# cannot be entered yet: it is tried again, up to 5 times, and a failure
# says what ip said.
lab_netns() {
    local ns=$LAB_PREFIX-$1 try err
    lab_guard
    echo "$ns" >>"$LAB_GUARD"
    LAB_NETNS+=("$ns")
    for try in 1 2 3 4 5; do
        err=$( { ip netns add "$ns" && ip netns exec "$ns" ip link set lo up; } 2>&1) && return 0
        ip netns del "$ns" 2>/dev/null
        sleep 0.2
    done
    echo "FAIL: cannot create namespace $ns: $err"
    exit 1
}

# lab_sweep: removes what earlier runs left when neither they nor their
# watchers removed it (both killed): the namespaces of the default prefix
# q<PID>- (a twin's q<PID>w-) whose PID runs no more, and their watchers'
# lists. Nothing of a run that still runs, nothing with another name.
lab_sweep() {
    local pid ns
    for ns in $(ip netns list 2>/dev/null | sed -n 's/^\(q[0-9][0-9]*w\{0,1\}-[^ ]*\).*/\1/p') \
        $(cd /run && ls -d quorin-lab.q*.netns 2>/dev/null); do
        pid=${ns#quorin-lab.} pid=${pid%%[-.]*} pid=${pid#q} pid=${pid%w}
        [ -d /proc/"$pid" ] && continue
        [[ $ns == quorin-lab.* ]] && rm -f "/run/$ns" || lab_netns_del "$ns"
    done
}

lab_netns_del() {
    echo "# removing namespace $1, left by an earlier run"
    ip netns pids "$1" 2>/dev/null | xargs -r kill -KILL 2>/dev/null
    ip netns del "$1" 2>/dev/null
}

# lab_guard: once per test, a watcher outside the test's process tree that
# removes the namespaces listed in LAB_GUARD when the test is gone without
# its cleanup (killed by a timeout or SIGKILL); after a cleanup the list is
# gone and it has nothing to do.
lab_guard() {
    [ -z "${LAB_GUARD:-}" ] || return 0
    lab_sweep
    LAB_GUARD=/run/quorin-lab.$LAB_PREFIX.netns
    : >"$LAB_GUARD"
    setsid -f bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done
        [ -f "$2" ] || exit 0
        while read -r ns; do
            ip netns pids "$ns" 2>/dev/null | xargs -r kill -KILL 2>/dev/null
            ip netns del "$ns" 2>/dev/null
        done <"$2"
        rm -f "$2"' lab-guard "$$" "$LAB_GUARD" </dev/null >/dev/null 2>&1
}

# lab_veth NS1 IF1 NS2 IF2: a veth pair between two lab namespaces, both ends up.
lab_veth() {
    ip link add "$2" netns "$LAB_PREFIX-$1" type veth peer name "$4" netns "$LAB_PREFIX-$3" || return 1
    lab_exec "$1" ip link set "$2" up
    lab_exec "$3" ip link set "$4" up
}

# lab_exec NS cmd...: runs a command in a lab namespace.
lab_exec() { ip netns exec "$LAB_PREFIX-$1" "${@:2}"; }

# lab_spawn NS LOG cmd...: starts a background process in a lab namespace; its
# PID is in LAB_LAST_PID and it is ended at cleanup.
lab_spawn() {
    ip netns exec "$LAB_PREFIX-$1" "${@:3}" >"$2" 2>&1 &
    LAB_LAST_PID=$!
    LAB_PIDS+=("$LAB_LAST_PID")
}

# lab_stop PID [SIGNAL [SECONDS]]: ends one process (SIGKILL after 5 s) and
# waits for it; its status is in LAB_STATUS.
lab_stop() {
    # Quietly: bash reports a job that a signal ended on its own stderr.
    {
        kill -"${2:-TERM}" "$1"
        lab_gone "${3:-5}" "$1" || kill -KILL "$1"
        wait "$1"
    } 2>/dev/null
    LAB_STATUS=$?
}

# lab_wait_for SECONDS cmd...: polls until the command succeeds.
lab_wait_for() {
    local i
    for i in $(seq 1 $(($1 * 20))); do
        "${@:2}" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    return 1
}

# lab_result WHAT STATUS: counts one check and prints its PASS or FAIL line.
lab_result() {
    LAB_CHECKS=$((LAB_CHECKS + 1))
    [ "$2" = 0 ] && echo "PASS: $LAB_NAME: $1" && return
    echo "FAIL: $LAB_NAME: $1"
    LAB_FAILS=$((LAB_FAILS + 1))
    return 1
}

# check WHAT CMD...: the command must succeed.
check() {
    "${@:2}"
    lab_result "$1" $?
}

# check_eq WHAT EXPECTED ACTUAL: compares two texts and shows a diff on failure.
check_eq() {
    [ "$2" == "$3" ]
    lab_result "$1" $? || diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/#   /'
}

# lab_cleanup: ends every process started, the last started first, and
# removes the namespaces.
lab_cleanup() {
    local i ns
    # A second signal must not cut the cleanup short.
    trap '' INT TERM HUP
    for ((i = ${#LAB_PIDS[@]} - 1; i >= 0; i--)); do
        lab_stop "${LAB_PIDS[i]}" TERM 3
    done
    for ns in "${LAB_NETNS[@]}"; do
        ip netns pids "$ns" 2>/dev/null | xargs -r kill -KILL 2>/dev/null
        ip netns del "$ns" 2>/dev/null
    done
    [ -z "${LAB_GUARD:-}" ] || rm -f "$LAB_GUARD"
    [ -z "${LAB_KEEP:-}" ] || [ -z "${LAB_DIR:-}" ] || cp -r "$LAB_DIR" "$LAB_KEEP"/
    if [ -n "${LAB_OLDTMP:-}" ]; then
        umount -l "$LAB_OLDTMP" 2>/dev/null
        rmdir "$LAB_OLDTMP" 2>/dev/null
    fi
}

# lab_done: the test's last line and exit status; after a failure, first what
# lab_on_failure (when a test or its harness defines one) shows of the logs.
lab_done() {
    [ "$LAB_FAILS" -eq 0 ] && echo "OK: $LAB_NAME: $LAB_CHECKS checks passed" && exit 0
    ! declare -F lab_on_failure >/dev/null || lab_on_failure
    echo "FAILED: $LAB_NAME: $LAB_FAILS of $LAB_CHECKS checks failed"
    exit 1
}

# lab_dbus NS: starts a private message bus in a lab namespace, listening on
# a socket in LAB_DIR (call lab_private_tmp first), and exports
# DBUS_SYSTEM_BUS_ADDRESS to it: programs started afterwards take it for the
# system bus and never reach the machine's own. Its policy is that of a
# Debian system bus (signals and replies for everyone, names and method calls
# only where a policy file opens them; root may monitor), with our
# network-status policy file included as it is shipped. The bus's PID is in
# LAB_DBUS_PID; it is ended at cleanup.
lab_dbus() {
    local sock=$LAB_DIR/bus.socket
    sed -e "s|@SOCKET@|$sock|" -e "s|@SRC@|$LAB_SRC|" "$LAB_SRC/tests/lab/bus.conf" >"$LAB_DIR/bus.conf"
    lab_dbus_run "$1" "$LAB_DIR/bus.log" || return 1
    export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$sock"
}

# lab_dbus_restart NS: ends the private message bus (SIGTERM) and starts it
# again on the same socket; the new bus's PID is in LAB_DBUS_PID.
lab_dbus_restart() {
    lab_stop "$LAB_DBUS_PID"
    LAB_DBUS_RUNS=$((${LAB_DBUS_RUNS:-1} + 1))
    lab_dbus_run "$1" "$LAB_DIR/bus.$LAB_DBUS_RUNS.log"
}

lab_dbus_run() {
    local sock=$LAB_DIR/bus.socket
    rm -f "$sock"
    lab_spawn "$1" "$2" dbus-daemon --nofork --nopidfile --config-file="$LAB_DIR/bus.conf" --print-address=1
    LAB_DBUS_PID=$LAB_LAST_PID
    if ! lab_wait_for 5 test -S "$sock"; then
        echo "FAIL: the private message bus did not start"
        sed 's/^/#   /' "$2"
        return 1
    fi
    chmod 666 "$sock"
}

# lab_steps FILE FUNCTION: replays a file of steps, each a line "$ COMMAND"
# followed by its expected lines ("#" lines and blank lines are left out):
# calls FUNCTION COMMAND EXPECTED for each, in this shell.
lab_steps() {
    local line cmd= want=
    while IFS= read -r line; do
        [[ $line == '#'* || -z $line ]] && continue
        [[ $line == '$ '* ]] || { want+=${want:+$'\n'}$line; continue; }
        [ -z "$cmd" ] || "$2" "$cmd" "$want"
        cmd=${line#\$ } want=
    done < <(cat "$1"; echo '$ end')
}

# lab_mangle NS: the namespace's mangle table, chains and rules only, without
# counters.
lab_mangle() { lab_exec "$1" iptables-save -t mangle | sed -n 's/ \[[0-9]*:[0-9]*\]$//; /^[:-]/p'; }

# lab_adopt PID: a process that is not our child (a daemon that forked away
# from us) is ended at cleanup like the spawned ones.
lab_adopt() { LAB_PIDS+=("$1"); }

# lab_running PID: the process exists and has not ended; a zombie that its
# new parent has not reaped yet counts as ended.
lab_running() {
    local state
    state=$(sed -n 's/^[0-9]* (.*) \([A-Z]\).*/\1/p' /proc/"$1"/stat 2>/dev/null)
    [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

# lab_gone SECONDS PID: waits until a process that is not our child has
# ended; fails when it still runs after that time.
lab_gone() { lab_wait_for "$1" lab_ended "$2"; }
lab_ended() { ! lab_running "$1"; }
