#!/bin/bash
# Lab test of the configuration service: cfgserver and cfgctl in a network
# namespace of their own with a private /tmp. The exchanges of
# tests/data/cfgserver-*.txt are replayed against the server (one check per
# section); the starts it must refuse are in tests/data/cfgserver-refusals.txt.
# The 30 s transaction limit is replayed on a second server meanwhile.

. "$(dirname "$0")/lib.sh"
lab_start cfgserver "$@"
lab_netns s

DATA=$LAB_SRC/tests/data
SOCK=/tmp/cfgserver.socket
export PATH=$LAB_BIN:$PATH

# start_server LOG STORE SOCKET: starts cfgserver and waits until it answers.
start_server() {
    lab_spawn s "$1" cfgserver -f "$2" -s "$3"
    SRV_PID=$LAB_LAST_PID
    lab_wait_for 5 cfgctl -s "$3" dump
}

# The replayer: "NAME> LINE" sends a line on connection NAME (opened at its
# first use, as uid 65534 when the name begins with "nobody") and prints it
# with every line that comes back up to the answer, as "NAME< LINE" without
# its "error" text ("EOF" when the server closed). "<c*N>" in a line stands
# for N times c, in both directions. "NAME close" closes a connection, "$ COMMAND" runs a shell
# command in the test's directory and prints its output.
cat >"$LAB_DIR/replay.py" <<'EOF_PY'
import json, os, re, socket, subprocess, sys
sys.stdout.reconfigure(line_buffering=True)
conns = {}  # name: socket, its reader
def answer(reader):
    try:
        line = reader.readline()
    except OSError:
        line = b""
    if not line.endswith(b"\n"):
        return "EOF"
    msg = json.loads(line)
    msg.pop("error", None)
    text = json.dumps(msg, separators=(",", ":"), sort_keys=True)
    return re.sub(r"(.)\1{9,}", lambda m: "<%s*%d>" % (m.group(1), len(m.group(0))), text)
for line in open(sys.argv[2]).read().splitlines():
    send, close = re.match(r"(\w+)> (.*)", line), re.match(r"(\w+) close$", line)
    if line.startswith(("## ", "$ ")) or close:
        print(line)
    if close:
        for end in conns.pop(close.group(1)):
            end.close()
    elif line.startswith("$ "):
        subprocess.run(["bash", "-c", line[2:]], stdin=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    elif send:
        name, text = send.groups()
        if name not in conns:
            os.seteuid(65534 if name.startswith("nobody") else 0)
            s = socket.socket(socket.AF_UNIX)
            s.connect(sys.argv[1])
            os.seteuid(0)
            conns[name] = s, s.makefile("rb")
        try:
            conns[name][0].sendall(re.sub(r"<(.)\*(\d+)>", lambda m: m.group(1) * int(m.group(2)), text).encode() + b"\n")
        except OSError:
            pass
        print(line)
        got = '"event"'
        while '"event"' in got:  # notifications come before the answer
            got = answer(conns[name][1])
            print(name + "< " + got)
EOF_PY
# replay FILE SOCKET: replays tests/data/FILE into FILE.out; compare FILE
# checks each "## " section of it.
replay() { lab_exec s python3 replay.py "$2" "$DATA/$1" >"$1.out" 2>&1; }
compare() {
    local title
    while IFS= read -r title; do
        check_eq "${title#\#\# }" "$(section "$title" "$DATA/$1")" "$(section "$title" "$1.out")"
    done < <(grep '^## ' "$DATA/$1")
}
section() { awk -v t="$1" '/^## / { on = $0 == t; next } on && NF && !/^#/' "$2"; }

start_server expiry.log store2.json "$LAB_DIR/s2.sock"
lab_spawn s cfgserver-expiry.txt.out python3 replay.py "$LAB_DIR/s2.sock" "$DATA/cfgserver-expiry.txt"
EXPIRY=$LAB_LAST_PID
check "cfgserver starts on a missing store" start_server server1.log store.json $SOCK
replay cfgserver-requests.txt $SOCK
compare cfgserver-requests.txt

while IFS='|' read -r setup store socket why after; do
    out=$(eval "$setup" && timeout 5 cfgserver -f "$store" -s "$socket" 2>&1; echo "status $?")
    check "cfgserver refuses $store, $socket: status 1, \"$why\"" \
        eval 'grep -qx "status 1" <<<"$out" && grep -qF "$why" <<<"$out" && eval "$after"'
done < <(grep -v '^#' "$DATA/cfgserver-refusals.txt")

# A volatile table whose writer is still connected when the server is killed.
lab_spawn s held.log python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1])
s.sendall(b"{\"op\":\"replace\",\"table\":\"Held\",\"rows\":[{\"x\":1}],\"volatile\":true}\n")
print(s.recv(99).decode(), flush=True); time.sleep(600)' $SOCK
check "a volatile table holds its rows while its writer is connected" \
    lab_wait_for 5 bash -c 'cfgctl dump Held | grep -q x'
# Acknowledged changes survive kill -9: a stream of adds until the server dies.
(i=0; while cfgctl add --create Burst n=$((++i)) >/dev/null 2>&1; do echo $i >>acked; done) &
BURST=$!
lab_wait_for 20 bash -c "[ \$(wc -l <acked) -ge 100 ]"
kill -KILL "$SRV_PID"
wait "$SRV_PID" "$BURST" 2>/dev/null
printf 'half written' >store.json.tmp  # as a kill during a write leaves it
start_server server2.log store.json $SOCK
replay cfgserver-restart.txt $SOCK
compare cfgserver-restart.txt

lab_stop "$SRV_PID" TERM
check_eq "SIGTERM stops the server with status 0 and removes its socket" "0 gone" "$LAB_STATUS $(test -e $SOCK || echo gone)"
wait "$EXPIRY"
compare cfgserver-expiry.txt
lab_done
