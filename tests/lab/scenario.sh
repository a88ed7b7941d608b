# Scenario harness: a router namespace with three uplinks and a LAN side,
# a private /tmp and message bus, the platform's LOADB_PRE chain, cfgserver
# on /tmp/cfgserver.socket and quorin -d. Source after lib.sh, then call
# scenario_start.
#
#   router r: wan1 10.1.0.2 -> u1 10.1.0.1, wan2 10.2.0.2 -> u2 10.2.0.1,
#             wan3 10.3.0.2 -> u3 10.3.0.1, lan0 192.168.1.1 -> client c

scenario_start() {
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
    lab_exec r iptables -t mangle -N LOADB_PRE
    lab_exec r iptables -t mangle -A PREROUTING -j LOADB_PRE
    lab_dbus r || exit 1
    export QUORIN_CMD_LOG=$LAB_DIR/cmd.log
    : >"$QUORIN_CMD_LOG"
    SC_EMPTY=$(kstate)
    lab_spawn r "$LAB_DIR/cfgserver.log" "$LAB_BIN/cfgserver" -f "$LAB_DIR/store.json"
    SC_CFG_PID=$LAB_LAST_PID
    lab_wait_for 5 cfg dump || { echo "FAIL: cfgserver did not start"; exit 1; }
}

cfg() { lab_exec r "$LAB_BIN/cfgctl" "$@"; }

# quorin_start: a daemon in debug mode, its log in LAB_DIR/quorin.N.log.
quorin_start() {
    SC_RUN=$((${SC_RUN:-0} + 1))
    lab_spawn r "$LAB_DIR/quorin.$SC_RUN.log" "$LAB_BIN/quorin" -d -p "$LAB_DIR"
    SC_QUORIN_PID=$LAB_LAST_PID
    lab_wait_for 5 grep -q 'WAN2LAN' "$QUORIN_CMD_LOG"
    settle
}

quorin_stop() {
    lab_stop "$SC_QUORIN_PID" TERM
}

# settle: waits until the daemon has run no command for 400 ms (at most 10 s).
settle() {
    local last=-1 now stable=0 i
    for i in $(seq 1 100); do
        now=$(wc -l <"$QUORIN_CMD_LOG")
        if [ "$now" = "$last" ]; then
            stable=$((stable + 1))
            [ "$stable" -ge 4 ] && return 0
        else
            stable=0
        fi
        last=$now
        sleep 0.1
    done
    return 1
}

# edit CFGCTL-ARGS...: one change through cfgctl, then wait for the daemon.
edit() {
    cfg "$@" >/dev/null || echo "# cfgctl $* failed"
    sleep 0.1
    settle
}

# kstate: everything of ours in the router's kernel, one section each:
# mangle rules and chains, policy rules, routes of tables 256 and up, sets.
kstate() {
    echo "== mangle"
    lab_exec r iptables-save -t mangle | grep -E '^(:|-A)' | sed 's/ \[[0-9]*:[0-9]*\]$//'
    echo "== rules"
    lab_exec r ip rule show | cut -f2
    echo "== routes"
    lab_exec r ip route show table all | grep -E ' table [0-9]+' | sed 's/ *$//' | sort
    echo "== sets"
    lab_exec r ipset list 2>/dev/null |
        awk '/^Name:/ {name = $2} /^Header:/ {t = ""; for (i = 1; i < NF; i++) if ($i == "timeout") t = $(i + 1);
             print "set " name " timeout " t}'
}

# normalized: kstate with every member number replaced by the interface that
# holds it (taken from its WAN2LAN mark rule) and every section sorted, so
# that two daemons that numbered differently compare equal.
normalized() {
    kstate | python3 -c '
import re, sys
text = sys.stdin.read()
owner = {}
for m in re.finditer(r"-A WAN2LAN -i (\S+) .*--set-xmark 0x([0-9a-f]+)/", text):
    owner[int(m.group(2), 16)] = m.group(1)
def num(n):
    return "T(" + owner[n] + ")" if n in owner else str(n)
text = re.sub(r"0x([0-9a-f]+)(?=[/ \n])", lambda m: num(int(m.group(1), 16)) if int(m.group(1), 16) >= 256 else m.group(0), text)
text = re.sub(r"(table |lookup )(\d+)", lambda m: m.group(1) + num(int(m.group(2))), text)
out = []
for section in text.split("== "):
    if section:
        head, _, body = section.partition("\n")
        out.append("== " + head + "\n" + "\n".join(sorted(l for l in body.split("\n") if l)))
print("\n".join(out))
'
}

# ours: the lines of kstate that the daemon put there (anything not in the
# state before the daemon started).
ours() { diff <(echo "$SC_EMPTY") <(kstate) | grep '^>' ; }
