#!/bin/bash
# Membership changes break no connection: the three-ISP router with netstatd
# as packaged (-m) and quorin on docs/demo-config.json (tcp/80 split
# 50/30/20, not sticky). The client opens 100 new connections a second
# (internet.py rate: connect, read the ISP's greeting, close) while the
# changes of tests/data/membership-churn.txt are made one after another
# (50 of them, 20 with QUORIN_SANITIZE): addresses removed and added back,
# links down and up, rows deleted and added back, shares set. Each waits
# for its effect (the uplink's source rule gone or back) and for the daemon
# to settle.
#
# Which connections must live: all but those whose conntrack entry a change
# deleted while they were open (the entries of an uplink that left the
# split, which quorin deletes with "conntrack -D --mark", among them those
# sent into a cable that was down before quorin took its member out; or the
# kernel's NAT entries of an address that went). "conntrack -E" in the
# router tells them: their DESTROY event comes from user space or with time
# left, while an entry that ran out (as one after a reset does) has none.
# Connections are short, so few of them straddle a change. Every other one
# is broken when it was reset, refused or not answered within 2 s ("lost"),
# or when its connect and greeting took more than 800 ms: a lost SYN, SYN-ACK
# or handshake ACK is sent again after 1 s, nothing else on an idle lab
# takes that long.
#
# Marks: a poll of "conntrack -L" in the router every 0.2 s, and the mark of
# every NEW event, must show no tcp/80 entry whose mark is 0 or names no
# member (a member's mark is the fwmark of its policy rule, any seen during
# the run).
#
# The figures (connections, broken ones by the kind of the change that came
# last before them) are printed as "#" lines.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start membership_churn "$@"
SLOW=1 CHANGES=${CHURN_CHANGES:-50}
[ -n "${QUORIN_SANITIZE:-}" ] && SLOW=3 CHANGES=${CHURN_CHANGES:-20}
dir=$LAB_DIR/churn
mkdir "$dir"

scenario_routed -m
cfg load "$LAB_SRC/docs/demo-config.json" >/dev/null
quorin_start
has_rule() { lab_exec r ip rule show | grep -q "from 10\.$1\.0\.2 lookup"; }
lacks_rule() { ! has_rule "$1"; }
check "every uplink is a member" lab_wait_for 10 eval 'has_rule 1 && has_rule 2 && has_rule 3'

declare -A shares
row_of() { cfg dump BalancingInterfaces | jq --arg d "wan$1" '.BalancingInterfaces | map(.Interface) | index($d)'; }
# change KIND N [SHARE]: one change of the list; fails when its effect on
# the uplink's source rule is not seen.
change() {
    local i=$2
    case $1 in
    address-out) lab_exec r ip addr del 10.$i.0.2/24 dev wan$i ;;
    address-back) lab_exec r ip addr add 10.$i.0.2/24 dev wan$i && sc_default_route add "$i" ;;
    link-out) lab_exec u$i ip link set up$i down ;;
    link-back) lab_exec u$i ip link set up$i up ;;
    row-out)
        shares[$i]=$(cfg dump BalancingInterfaces | jq --arg d "wan$i" '.BalancingInterfaces[] | select(.Interface == $d) | .UsagePercent')
        cfg del BalancingInterfaces "$(row_of "$i")" >/dev/null ;;
    row-back) cfg add BalancingInterfaces BalancingGroupId=1 Interface="wan$i" UsagePercent="${shares[$i]}" >/dev/null ;;
    share) cfg set BalancingInterfaces "$(row_of "$i")" UsagePercent="$3" >/dev/null ;;
    esac || return 1
    case $1 in
    *-out) lab_wait_for $((5 * SLOW)) lacks_rule "$i" ;;
    *-back) lab_wait_for $((10 * SLOW)) has_rule "$i" ;;
    esac
}

# poll: until the stop file exists, the fwmarks of the policy rules
# (churn/marks) and the tcp/80 entries whose mark is none of them
# ("PORT MARK", churn/unmarked).
poll() {
    local marks m
    while [ ! -e "$dir/stop" ]; do
        marks=" "
        for m in $(lab_exec r ip rule show | sed -n 's/.*fwmark \(0x[0-9a-f]*\) lookup.*/\1/p'); do marks+="$((m)) "; done
        echo "$marks" >>"$dir/marks"
        lab_exec r conntrack -L -p tcp --dport 80 2>/dev/null | sed -n 's/.* sport=\([0-9]*\) dport=80 .* mark=\([0-9]*\).*/\1 \2/p' |
            awk -v m="$marks" 'index(m, " " $2 " ") == 0' >>"$dir/unmarked"
        sleep 0.2
    done
}

# Closed connections leave the table after 1 s instead of 120 s: the polls
# stay short, and so do the deletions of a member's entries, whose events
# "conntrack -E" loses when a few hundred come at once.
lab_exec r sysctl -qw net.netfilter.nf_conntrack_tcp_timeout_time_wait=1
lab_spawn r "$dir/events" conntrack -E -e NEW,DESTROY -p tcp --dport 80 -o timestamp -b 16777216
EVENTS_PID=$LAB_LAST_PID
poll &
POLL_PID=$!
LAB_PIDS+=("$POLL_PID")
lab_spawn c "$dir/rate" python3 "$LAB_SRC/tests/lab/internet.py" rate 100 $((60 * SLOW + 60)) "$dir/stop"
RATE_PID=$LAB_LAST_PID
sleep 1

failed=0 n=0
while [ "$n" -lt "$CHANGES" ]; do
    while read -r kind i share && [ "$n" -lt "$CHANGES" ]; do
        n=$((n + 1))
        before=$(wc -l <"$QUORIN_CMD_LOG")
        t0=$(date +%s.%N)
        change "$kind" "$i" "$share" || { failed=$((failed + 1)); echo "# change $n ($kind wan$i) took no effect"; }
        settle "$before" >/dev/null
        echo "$t0 $kind wan$i $(date +%s.%N)" >>"$dir/changes"
    done < <(grep -v '^#' "$LAB_SRC/tests/data/membership-churn.txt" | grep .)
done
sleep 1
touch "$dir/stop"
wait "$RATE_PID" "$POLL_PID" 2>/dev/null
sleep 0.3
lab_stop "$EVENTS_PID" INT
# A lost event only makes the connection check stricter.
grep -q ENOBUFS "$dir/events" && lab_log "conntrack -E lost events"
check_eq "all $CHANGES changes took effect" 0 "$failed"

read -r broken unmarked < <(python3 - "$dir" <<'PY'
import collections, re, sys
d = sys.argv[1]
rows = [l.split() for l in open(d + "/rate") if not l.startswith("#")]
changes = [l.split() for l in open(d + "/changes")]
marks = {int(m) for l in open(d + "/marks") for m in l.split()}
ended, bad = collections.defaultdict(list), {}
for line in open(d + "/events"):
    m = re.search(r"\[(NEW|DESTROY)\] tcp\s+6 (\d+ )?(\S+) .*? sport=(\d+) dport=80 .* mark=(\d+)", line)
    if not m:
        continue
    port, mark = m.group(4), int(m.group(5))
    if m.group(1) == "DESTROY" and ("[USERSPACE]" in line or int(m.group(2) or 0) > 0):
        ended[port].append(float(line[1:line.index("]")]))
    if m.group(1) == "NEW" and mark not in marks:
        bad[port] = mark
for line in open(d + "/unmarked"):
    port, mark = line.split()
    if int(mark) not in marks:
        bad[port] = int(mark)
sick = [r for r in rows if r[1] == "lost" or float(r[2]) > 800]
# Its entry deleted while it was still open.
cut = lambda r: any(float(r[0]) <= t <= float(r[0]) + float(r[2]) / 1000 for t in ended[r[3]])
broken = [r for r in sick if not cut(r)]
isps = collections.Counter(r[1] for r in rows)
print("# %d connections (%s); %d lost, %d slower than 800 ms; %d of them ended by a change" % (
    len(rows), ", ".join("%s %d" % kv for kv in sorted(isps.items())), isps["lost"],
    sum(r[1] != "lost" for r in sick), len(sick) - len(broken)), file=sys.stderr)
def last_change(r):
    before = [c for c in changes if float(c[0]) <= float(r[0])]
    return " ".join(before[-1][1:3]) if before else "before the first change"
kinds = collections.Counter(last_change(r).split()[0] for r in broken)
print("# broken, by the change before them: %s" % (", ".join("%s %d" % kv for kv in sorted(kinds.items())) or "none"),
      file=sys.stderr)
for r in broken[:10]:
    print("#   %s %s %s ms port %s, after %s" % (r[0], r[1], r[2], r[3], last_change(r)), file=sys.stderr)
print("# member marks %s; entries without one: %s" % (" ".join(map(str, sorted(marks))),
      " ".join("%s:%d" % kv for kv in list(bad.items())[:10]) or "none"), file=sys.stderr)
print(len(broken), len(bad))
PY
)
lab_log "$broken broken connections in $CHANGES changes, made in $(awk '{ t += $4 - $1 } END { printf "%.1f", t }' "$dir/changes") s"
check_eq "no connection that should live was reset, refused, lost or delayed" 0 "$broken"
check_eq "no tcp/80 conntrack entry without a member's mark" 0 "$unmarked"
lab_done
