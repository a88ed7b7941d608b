#!/bin/bash
# Lab test of the configuration service: cfgserver and cfgctl on sockets under
# a private /tmp (see docs/cfg-protocol.md).

. "$(dirname "$0")/lib.sh"
lab_init cfgserver
lab_private_tmp "$@"

SRV=$LAB_BIN/cfgserver
CTL=$LAB_BIN/cfgctl
D=$LAB_DIR
STORE=$D/store.json
SOCK=$D/cfg.sock
EXAMPLE=$LAB_SRC/docs/example-config.json

ctl() { "$CTL" -s "$SOCK" "$@"; }
nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$CTL" -s "$SOCK" "$@"; }
norm() { python3 -c 'import json,sys; print(json.dumps(json.load(open(sys.argv[1]) if sys.argv[1:] else sys.stdin), sort_keys=True))' "$@"; }

# start_server LOG [STORE SOCKET]: starts cfgserver and waits until it answers.
start_server() {
    "$SRV" -f "${2:-$STORE}" -s "${3:-$SOCK}" >"$1" 2>&1 &
    SRV_PID=$!
    LAB_PIDS+=("$SRV_PID")
    lab_wait_for 5 "$CTL" -s "${3:-$SOCK}" dump
}

# raw LINE...: sends raw request lines on one connection, prints each answer
# compactly without its "error" text.
cat >"$D/raw.py" <<'EOF'
import json, socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.sendall("".join(line + "\n" for line in sys.argv[2:]).encode())
s.shutdown(socket.SHUT_WR)
data = b""
while chunk := s.recv(65536):
    data += chunk
for line in data.decode().splitlines():
    msg = json.loads(line)
    msg.pop("error", None)
    print(json.dumps(msg, separators=(",", ":"), sort_keys=True))
EOF
raw() { python3 "$D/raw.py" "$SOCK" "$@"; }
busy() { [ "$(raw '{"op":"del","table":"Nope","index":0}')" = '{"code":2}' ]; }
quiet() { "$@" >/dev/null 2>&1; }
kill9() { kill -9 "$1" && wait "$1"; } 2>/dev/null

lab_log "--- start, socket mode"
check "server starts on a missing store" start_server "$D/server1.log"
check_eq "socket is created mode 0600" 600 "$(stat -c %a "$SOCK")"

# A second server: a raw client holds a transaction on it past the 30 s limit
# while the rest runs, with a row added inside; once $D/go appears it tries
# another change and its end.
SRV1_PID=$SRV_PID
start_server "$D/server2.log" "$D/store2.json" "$D/s2.sock"
SRV2_PID=$SRV_PID
SRV_PID=$SRV1_PID
python3 - "$D/s2.sock" "$D/go" >"$D/hold.out" <<'EOF' &
import os, socket, sys, time
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
f = s.makefile("rw")
def ask(line):
    f.write(line + "\n"); f.flush()
    return f.readline().strip()
print(ask('{"op":"begin"}'), ask('{"op":"add","table":"T","row":{"v":"Held"}}'), flush=True)
for _ in range(1200):
    if os.path.exists(sys.argv[2]):
        break
    time.sleep(0.1)
print(ask('{"op":"add","table":"T","row":{"v":"Late"}}'), flush=True)
print(ask('{"op":"end"}'), flush=True)
print(ask('{"op":"end"}'), flush=True)
EOF
HOLDER=$!
lab_wait_for 3 grep -q code "$D/hold.out"
HOLD_START=$(date +%s%N)  # just after the begin was answered
out=$("$CTL" -s "$D/s2.sock" add T x=1 2>&1)
check "a held transaction refuses the changes of others" grep -q "2 (RC_BUSY)" <<<"$out"

lab_log "--- load and dump"
check "load the example configuration" ctl load "$EXAMPLE"
check_eq "dump gives back the example tables" "$(norm "$EXAMPLE")" "$(ctl dump | norm)"
check_eq "the store file holds them" "$(norm "$EXAMPLE")" "$(norm "$STORE")"
check_eq "dump of one table" '{"InterfaceMapping": [{"LogicalName": "WAN2", "PhysicalName": "wan2"}]}' \
    "$(ctl dump InterfaceMapping | norm)"
check_eq "dump of a missing table reads as empty" '{"Nope": []}' "$(ctl dump Nope | norm)"
check_eq "dump of a list of tables" '{"code":0,"tables":{"InterfaceMapping":[{"LogicalName":"WAN2","PhysicalName":"wan2"}],"Nope":[]}}' \
    "$(raw '{"op":"dump","tables":["InterfaceMapping","Nope"]}')"

lab_log "--- changes and typing"
check_eq "add prints the new index" 0 "$(ctl add T a=1 b=x c=-7 d=007 e=1.5 f= g=-)"
check_eq "add appends" 1 "$(ctl add T a=2)"
check_eq "decimal integers are integers, the rest texts" \
    '{"T": [{"a": 1, "b": "x", "c": -7, "d": 7, "e": "1.5", "f": "", "g": "-"}, {"a": 2}]}' "$(ctl dump T | norm)"
ctl set T 1 b=y a=z
check_eq "set changes only the named columns" '[{"a": "z", "b": "y"}]' "$(ctl dump T | python3 -c 'import json,sys; print(json.dumps(json.load(sys.stdin)["T"][1:], sort_keys=True))')"
ctl del T 0
check_eq "del removes the row" '{"T": [{"a": "z", "b": "y"}]}' "$(ctl dump T | norm)"
out=$(ctl del T 5 2>&1)
check_eq "del out of range exits 1" 1 $?
check "and names code 4" grep -q "4 (RC_NOT_FOUND)" <<<"$out"
check_eq "replace, count, read and find" \
    "$(printf '%s\n' '{"code":0}' '{"code":0,"count":2}' '{"code":0,"row":{"k":"2"}}' \
        '{"code":0,"index":0,"row":{"k":1}}' '{"code":0,"index":1,"row":{"k":"2"}}' '{"code":4}')" \
    "$(raw '{"op":"replace","table":"T","rows":[{"k":1},{"k":"2"}]}' '{"op":"count","table":"T"}' \
        '{"op":"read","table":"T","index":1}' '{"op":"find","table":"T","column":"k","value":"1"}' \
        '{"op":"find","table":"T","column":"k","value":2}' '{"op":"read","table":"T","index":2}')"
check_eq "load leaves the tables it does not name alone" 1 "$(ctl dump Balancing | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["Balancing"]))')"

lab_log "--- notifications"
"$CTL" -s "$SOCK" watch >"$D/watch-all.out" 2>&1 &
W1=$!
"$CTL" -s "$SOCK" watch B >"$D/watch-b.out" 2>&1 &
W2=$!
LAB_PIDS+=("$W1" "$W2")
sleep 0.5
printf '%s' '{"A":[{"x":1}],"B":[{"y":2}]}' >"$D/ab.json"
ctl load "$D/ab.json"
check "a load notifies each table it changes" lab_wait_for 2 bash -c "grep -qx A '$D/watch-all.out' && grep -qx B '$D/watch-all.out'"
ctl load "$D/ab.json"  # changes nothing
ctl add C z=1 >/dev/null
check "a single add notifies its table" lab_wait_for 2 grep -qx C "$D/watch-all.out"
check_eq "one line per changed table, none for an unchanged load" "$(printf 'A\nB\nC')" "$(cat "$D/watch-all.out")"
check_eq "the table watch saw its table only" B "$(cat "$D/watch-b.out")"
lab_stop "$W1"
lab_stop "$W2"

LATENCY=$(python3 - "$CTL" "$SOCK" <<'EOF'
import os, select, subprocess, sys, time
ctl, sock = sys.argv[1], sys.argv[2]
watch = subprocess.Popen([ctl, "-s", sock, "watch", "Lat"], stdout=subprocess.PIPE)
fd, buf = watch.stdout.fileno(), b""
def readline(timeout):
    global buf
    end = time.monotonic() + timeout
    while b"\n" not in buf:
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return None
        chunk = os.read(fd, 4096)
        if not chunk:
            return None
        buf += chunk
    line, buf = buf.split(b"\n", 1)
    return line.decode()
def add(n):
    return subprocess.Popen([ctl, "-s", sock, "add", "Lat", "n=%d" % n], stdout=subprocess.DEVNULL)
for i in range(20):  # until the subscription is in place
    add(i).wait()
    if readline(0.5) == "Lat":
        break
times = []
for i in range(10):
    t0 = time.monotonic()
    p = add(100 + i)
    line = readline(2.0)
    times.append((time.monotonic() - t0) * 1000 if line == "Lat" else 9999)
    p.wait()
watch.kill()
times.sort()
print("%.1f %.1f %.1f" % (times[0], times[len(times) // 2], times[-1]))
EOF
)
read -r LAT_MIN LAT_MED LAT_MAX <<<"$LATENCY"
lab_log "change to watch line, cfgctl add start included (ms): min $LAT_MIN median $LAT_MED max $LAT_MAX"
check "every change reaches cfgctl watch within 50 ms" python3 -c "import sys; sys.exit(not float('${LAT_MAX:-9999}') < 50)"

lab_log "--- transactions"
"$CTL" -s "$SOCK" hold 3 2>"$D/hold3.err" &
HOLD=$!
check "hold begins a transaction" lab_wait_for 3 busy
out=$(ctl add T x=1 2>&1)
check_eq "another client's add is refused with exit 1" 1 $?
check "and names code 2" grep -q "2 (RC_BUSY)" <<<"$out"
check "reads go on during the transaction" quiet ctl dump T
wait "$HOLD"
check_eq "hold ends its transaction and exits 0" 0 $?
check "changes are accepted after it" quiet ctl add T x=1
"$CTL" -s "$SOCK" hold 30 2>"$D/hold30.err" &
HOLD=$!
lab_wait_for 3 busy
kill9 "$HOLD"
check "the transaction ends when its holder is killed" lab_wait_for 2 ctl add T x=2
TXOUT=$(python3 - "$SOCK" "$STORE" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
f = s.makefile("rw")
def ask(line):
    f.write(line + "\n"); f.flush()
    return f.readline().strip()
stored = lambda: "TxRow" in open(sys.argv[2]).read()
ask('{"op":"begin"}'); ask('{"op":"add","table":"Tx","row":{"v":"TxRow"}}')
print("inside:", stored(), ask('{"op":"count","table":"Tx"}'))
print("end:", ask('{"op":"end"}'), stored())
ask('{"op":"begin"}'); ask('{"op":"add","table":"Tx","row":{"v":"TxGone"}}')
EOF
)
check_eq "changes are written at the end of the transaction" \
    "$(printf '%s\n' 'inside: False {"code":0,"count":1}' 'end: {"code":0} True')" "$TXOUT"
lab_wait_for 2 quiet ctl add T x=4  # once the holder's disconnect is seen
check_eq "changes of a disconnected holder are rolled back" "0 1" \
    "$(echo $(grep -c TxGone "$STORE"; ctl dump Tx | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["Tx"]))'))"

lab_log "--- peers"
chmod 666 "$SOCK"
out=$(nobody add T x=3 2>&1)
check_eq "non-root add exits 1" 1 $?
check "and names code 5" grep -q "5 (RC_DENIED)" <<<"$out"
out=$(nobody hold 1 2>&1)
check "non-root transaction refused with code 5" grep -q "5 (RC_DENIED)" <<<"$out"
check "non-root dump works" quiet nobody dump T
chmod 600 "$SOCK"

lab_log "--- second server, malformed and oversized requests"
"$SRV" -f "$D/other.json" -s "$SOCK" 2>"$D/second.log"
check_eq "a second server on the same socket exits 1" 1 $?
check "and says why" grep -q "another server answers" "$D/second.log"
check "the first one still serves" quiet ctl dump T
DEEP=$(printf '[%.0s' $(seq 65))$(printf ']%.0s' $(seq 65))
check_eq "malformed requests get code 6, the next is served" \
    "$(printf '{"code":6}\n%.0s' $(seq 9))"$'\n''{"code":0,"count":1,"id":5}' \
    "$(raw 'not json' '[1]' '{"table":"T"}' '{"op":"nosuch"}' '{"op":"add","table":"T","row":{"a":1.5}}' \
        '{"op":"add","table":"T"}' '{"op":"read","table":"T","index":-1}' \
        '{"op":"add","table":"T","row":{"a":9223372036854775808}}' '{"op":"count","table":"A","id":'"$DEEP"'}' \
        '{"op":"count","table":"A","id":5}')"
BIGOUT=$(python3 - "$SOCK" <<'EOF'
import json, socket, sys
def conn():
    s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); return s
def answer(s):
    data = b""
    try:
        while b"\n" not in data and (chunk := s.recv(65536)):
            data += chunk
    except OSError:
        pass
    return json.loads(data.split(b"\n")[0]).get("code") if data else None
other, big, near = conn(), conn(), conn()
near.sendall(b'{"op":"count","table":"' + b"x" * ((4 << 20) - 40) + b'"}\n')
try:
    big.sendall(b'{"op":"count","table":"' + b"x" * (5 << 20) + b'"}\n')
except OSError:
    pass
code = answer(big)
try:
    closed = big.recv(1) == b""
except OSError:
    closed = True
other.sendall(b'{"op":"count","table":"A"}\n')
print(answer(near), code, closed, answer(other))
EOF
)
check_eq "a line under 4 MiB is served; a longer one gets code 6 and its connection closed; others unaffected" \
    "0 6 True 0" "$BIGOUT"

lab_log "--- socket paths that are not ours"
NOBODY=$(id -u nobody)
mkdir -m 1777 "$D/sticky"
mkdir -m 0777 "$D/open"
mkdir -m 0755 "$D/theirs"
chown nobody "$D/theirs"
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$D/sticky/cfg.sock"
chown nobody "$D/sticky/cfg.sock"  # as if nobody had bound it while no server ran
: >"$D/file.sock"
ln -s "$SOCK" "$D/link.sock"
while IFS='|' read -r path why; do
    timeout 5 "$SRV" -f "$D/other.json" -s "$path" 2>"$D/refused.log"
    check_eq "cfgserver refuses $path: exit 1" 1 $?
    check "and says: $why" grep -q "$why" "$D/refused.log"
done <<EOF
$D/sticky/cfg.sock|is a socket of uid $NOBODY, not ours
$D/open/cfg.sock|others may write the directory $D/open and it is not sticky
$D/theirs/cfg.sock|the directory $D/theirs belongs to uid $NOBODY
$D/file.sock|exists and is not a socket
$D/link.sock|exists and is not a socket
EOF
check "the socket of another user is left in place" test -S "$D/sticky/cfg.sock"

lab_log "--- broken stores"
printf '{"T": [{"a": 1},' >"$D/bad.json"
cp "$D/bad.json" "$D/bad.orig"
"$SRV" -f "$D/bad.json" -s "$D/bad.sock" 2>"$D/bad.log"
check_eq "a store that does not parse: exit 1" 1 $?
check "with a clear error" grep -q "bad.json is not valid JSON" "$D/bad.log"
check "the store is left unchanged" cmp -s "$D/bad.json" "$D/bad.orig"
check "and no socket is created" test ! -e "$D/bad.sock"
printf '{"T": [{"a": 1.5}]}' >"$D/bad2.json"
"$SRV" -f "$D/bad2.json" -s "$D/bad.sock" 2>"$D/bad2.log"
check_eq "a store with a value that is neither integer nor text: exit 1" 1 $?

lab_log "--- persistence under kill -9"
: >"$D/acked"
(for i in $(seq 1 3000); do ctl add Burst n="$i" >/dev/null 2>&1 && echo "$i" >>"$D/acked"; done) &
BURST=$!
lab_wait_for 20 bash -c "[ \$(wc -l <'$D/acked') -ge 100 ]"
kill9 "$SRV_PID"
kill "$BURST"
wait "$BURST" 2>/dev/null
lab_log "acknowledged adds before kill -9: $(wc -l <"$D/acked")"
check "the store parses and holds every acknowledged row" python3 - "$STORE" "$D/acked" <<'EOF'
import json, sys
rows = {r["n"] for r in json.load(open(sys.argv[1]))["Burst"]}
acked = {int(x) for x in open(sys.argv[2]).read().split()}
sys.exit(not acked or not acked <= rows)
EOF
printf 'half written' >"$STORE.tmp"  # as a kill during a write leaves it
check "a restart replaces the stale socket" start_server "$D/server3.log"
check "and says so" grep -q "replaced stale socket" "$D/server3.log"
check "it removes the stale temporary file and says so" \
    bash -c "test ! -e '$STORE.tmp' && grep -q 'removed $STORE.tmp, left by a write' '$D/server3.log'"
check_eq "the restarted server serves the stored rows" "$(norm "$STORE")" "$(ctl dump | norm)"
ln -s "$D/planted" "$STORE.tmp"
check "a change with a link planted as the temporary file is written" quiet ctl add T x=6
check "through no link: the link's target is not created" test ! -e "$D/planted"
check "the store holds the change" grep -q '"x": 6' "$STORE"
check "and the planting is logged" grep -q "$STORE.tmp was there before the write" "$D/server3.log"

lab_log "--- transaction limit of 30 s"
while [ $(($(date +%s%N) - HOLD_START)) -lt 31000000000 ]; do sleep 0.2; done
check "the holder is still connected after 30 s" kill -0 "$HOLDER"
check "a change is accepted after 30 s" quiet "$CTL" -s "$D/s2.sock" add T x=1
touch "$D/go"
wait "$HOLDER"
EXPIRED='{"code":4,"error":"the transaction timed out and was rolled back"}'
check_eq "its late change and end get code 4, a second end finds no transaction" \
    "$(printf '%s\n' '{"code":0} {"code":0,"index":0}' "$EXPIRED" "$EXPIRED" '{"code":4,"error":"no transaction held"}')" \
    "$(cat "$D/hold.out")"
check_eq "the transaction's changes were rolled back" 0 "$(grep -c 'Held\|Late' "$D/store2.json")"
lab_stop "$SRV2_PID"

lab_log "--- cfgctl exit codes, SIGTERM"
for args in "" "bogus" "add T" "add T =1" "add T x" "set T x a=1" "del T" "hold" "hold abc" "dump A B"; do
    # shellcheck disable=SC2086
    ctl $args >/dev/null 2>"$D/usage.err"
    check_eq "cfgctl ${args:-(no command)}: usage error exits 2" 2 $?
done
check "usage goes to stderr" grep -q "usage: cfgctl" "$D/usage.err"
lab_stop "$SRV_PID" TERM
check_eq "SIGTERM stops the server with status 0" 0 "$LAB_STATUS"
check "and removes its socket" test ! -e "$SOCK"
out=$(ctl dump 2>&1)
check_eq "cfgctl exits 1 when the server cannot be reached" 1 $?
check "with one clear line" grep -qx "cfgctl: cannot reach cfgserver at $SOCK: .*" <<<"$out"

lab_done
