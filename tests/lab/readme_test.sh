#!/bin/bash
# The README's "Running" commands, read from README.md at run time (the
# indented block of that section) and run as written, from the checkout's
# root, inside a router namespace as an operator finds one: the LAN on lan0,
# the uplinks wan1..wan3 with their addresses and default routes, forwarding
# off, strict reverse-path filtering (conf.all and every uplink 1), no
# masquerading, no LOADB_PRE, a system bus that lets nobody own netstatd's
# names until a policy file in /etc/dbus-1/system.d does. Only each line that
# starts a daemon in the background is rewritten, to record the daemon's PID.
# The paths the commands write are private mounts: /etc/dbus-1/system.d and
# /tmp of the test's mount namespace, /var (with /var/run and /var/lib) of
# the commands' own.
#
# Then 300 new connections from the LAN client: every uplink must carry some
# and none may be lost (how well the split keeps the shares is the sandbox
# test's to say). A missing step shows: no LOADB_PRE, no bus policy,
# no store folder or no configuration put every connection on wan1, the main
# table's default; strict rp_filter loses those of wan2 and wan3; no
# forwarding or masquerading loses all.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start readme "$@"

[ "$LAB_SRC/build/bin" -ef "$LAB_BIN" ] ||
    { echo "SKIP: the README runs build/bin of the checkout, the programs under test are in $LAB_BIN"; exit 77; }

# The first indented block after "## Running", up to the next line of prose.
awk '/^## / { sec = $0 == "## Running"; next }
    !sec || done { next }
    /^    / { code = 1; printf "%s%s\n", blanks, substr($0, 5); blanks = ""; next }
    code && /^[[:space:]]*$/ { blanks = blanks "\n"; next }
    code { done = 1 }' "$LAB_SRC/README.md" >"$LAB_DIR/running"
check "README.md has the commands of \"Running\"" test -s "$LAB_DIR/running"

scenario_links
scenario_servers
scenario_default_routes
for i in 1 2 3; do lab_exec r sysctl -qw net.ipv4.conf.wan$i.rp_filter=1; done
lab_exec r sysctl -qw net.ipv4.ip_forward=0 net.ipv4.conf.all.rp_filter=1

# The lab's bus, its policy files read from /etc/dbus-1/system.d.
mount -t tmpfs readme-dbus /etc/dbus-1/system.d || { echo "FAIL: cannot cover /etc/dbus-1/system.d"; exit 1; }
sed -e "s|@SOCKET@|$LAB_DIR/bus.socket|" -e 's|<include>@SRC@/.*</include>|<includedir>/etc/dbus-1/system.d</includedir>|' \
    "$LAB_SRC/tests/lab/bus.conf" >"$LAB_DIR/bus.conf"
grep -q '<includedir>/etc/dbus-1/system.d<' "$LAB_DIR/bus.conf" || { echo "FAIL: tests/lab/bus.conf changed its include"; exit 1; }
lab_dbus_run r "$LAB_DIR/bus.log" || exit 1
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$LAB_DIR/bus.socket

# A line that ends in "&" (a comment after it aside) also records the PID.
{
    echo 'set -x'
    echo 'mount -t tmpfs readme-var /var && mkdir /var/run || exit 1'
    printf 'cd %q || exit 1\n' "$LAB_SRC"
    while IFS= read -r line; do
        code=${line%%[[:space:]]#*}
        [[ $code =~ [^\&]\&[[:space:]]*$ ]] && line="$code echo \$! >>$LAB_DIR/pids"
        printf '%s\n' "$line"
    done <"$LAB_DIR/running"
} >"$LAB_DIR/running.sh"
: >"$LAB_DIR/pids"
lab_spawn r "$LAB_DIR/running.log" bash "$LAB_DIR/running.sh"
runner=$LAB_LAST_PID
lab_wait_for 30 lab_ended "$runner"
check "the commands ran to their end within 30 s" lab_ended "$runner"
lab_stop "$runner"
unset 'LAB_PIDS[-1]' # ended and reaped: its PID is no longer ours
while read -r pid; do lab_adopt "$pid"; done <"$LAB_DIR/pids"
lab_log "daemons started: $(wc -l <"$LAB_DIR/pids")"

# quorin's policy is complete: a rule and a copy of the LAN's route per
# member, and the jump of lan0's new connections.
members() { [ "$(lab_exec r ip rule show | grep -c "fwmark .* lookup")" = "$1" ] &&
    [ "$(lab_exec r ip route show table all | grep -c '^192\.168\.1\.0/24 dev lan0 table')" = "$1" ] &&
    lab_exec r iptables -t mangle -C LOADB_PRE -i lan0 -j LOADBALANCING1 2>/dev/null; }
lab_wait_for 10 members 3 || sed 's/^/#   /' "$LAB_DIR/running.log" | tail -n 30

# 300 connections as 10 clients of 30 each: a lost one costs a second.
started=${#LAB_PIDS[@]}
for k in $(seq 10); do
    lab_spawn c "$LAB_DIR/spread.$k" python3 "$LAB_SRC/tests/lab/internet.py" spread 30
done
wait "${LAB_PIDS[@]:started}"
LAB_PIDS=("${LAB_PIDS[@]:0:started}")
split=$(awk '{ n[$1] += $2 } END { printf "u1 %d u2 %d u3 %d lost %d", n["u1"], n["u2"], n["u3"], n["lost"] }' "$LAB_DIR"/spread.*)
check "all three uplinks carry some of 300 connections, none lost" through "$split" u1 u2 u3

# What the README says next: quorin-status, in the daemons' own mount
# namespace (their /var), finds every uplink in and nothing amiss.
quorin=$(while read -r pid; do [ "$(cat /proc/"$pid"/comm)" != quorin ] || echo "$pid"; done <"$LAB_DIR/pids")
lab_exec r nsenter -t "$quorin" -m sh -c "cd $(printf %q "$LAB_SRC") && build/bin/quorin-status" >"$LAB_DIR/status.txt" 2>&1
check_eq "quorin-status: every uplink in, nothing amiss (exit status 0)" 0 "$?"
sed 's/^/#   /' "$LAB_DIR/status.txt"

lab_done
