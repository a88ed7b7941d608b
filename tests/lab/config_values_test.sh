#!/bin/bash
# Every value of tests/data/config-values.tsv goes through the configuration
# service into the daemon, each in the place where it would do harm (a device
# name as an uplink, a client interface and a status row; an address as an
# uplink's address and gateway; filters, protocol and ports in a service; a
# share; the sticky timeout). A refused value skips its row with an error line
# that names it; an accepted one does not. Whatever the value, the daemon
# keeps running and runs nothing but iptables, ipset and ip, and the command
# runner refuses none of its lines.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_init config_values
lab_private_tmp "$@"
scenario_start

# A configuration per kind of value (per value for the sticky timeout, of
# which there is one), the example plus every value of that kind in a row of
# its own; "cases" lists the configuration of each value.
python3 - "$LAB_SRC/docs/example-config.json" "$LAB_SRC/tests/data/config-values.tsv" "$LAB_DIR" <<'PY'
import copy, json, sys
base = json.load(open(sys.argv[1]))
def service(n, **columns):
    row = {"Id": 10 + n, "BalancingGroupId": 1, "SrcIP": "", "DstIP": "", "Proto": "tcp",
           "SrcPortStart": 0, "SrcPortEnd": 0, "DstPortStart": 443, "DstPortEnd": 443}
    row.update(columns)
    return row
def uplink(t, name, addr, gateway, percent):
    t["BalancingInterfaces"].append({"BalancingGroupId": 1, "Interface": name, "UsagePercent": percent})
    t["StatusNetifWatch"].append({"Name": name, "Addr": addr})
    t["DefaultWANGateway"].append({"InterfaceName": name, "GatewayAddress": gateway})
configs, cases = {}, []
for line in open(sys.argv[2]):
    line = line.rstrip("\n")
    if not line or line.startswith("#"):
        continue
    kind, verdict, value = line.split("\t", 2)
    key = kind + value if kind == "timeout" else kind
    t = configs.setdefault(key, copy.deepcopy(base))
    n = len(cases)
    if kind == "device":
        t["BalancingGroups"].append({"Id": 10 + n, "Enable": 1, "ClientInterface": value, "Sticky": 0, "Autobalance": 1})
        uplink(t, value, "10.9.0.2", "10.9.0.1", 10)
    elif kind == "address":
        uplink(t, "v%d" % n, value, value, 10)
    elif kind == "filter":
        t["BalancingServices"].append(service(n, SrcIP=value, DstIP=value))
    elif kind == "proto":
        t["BalancingServices"].append(service(n, Proto=value))
    elif kind == "port":
        t["BalancingServices"].append(service(n, SrcPortStart=int(value), SrcPortEnd=int(value),
                                              DstPortStart=int(value), DstPortEnd=int(value)))
    elif kind == "percent":
        uplink(t, "v%d" % n, "10.9.0.2", "10.9.0.1", int(value))
    elif kind == "timeout":
        t["Balancing"][0]["StickyTimeout"] = int(value)
    cases.append("%s\t%s\t%s" % (list(configs).index(key), verdict, value))
for i, t in enumerate(configs.values()):
    json.dump(t, open("%s/values-%d.json" % (sys.argv[3], i), "w"))
open("%s/cases" % sys.argv[3], "w").write("\n".join(cases) + "\n")
PY

cfg load "$LAB_SRC/docs/example-config.json" >/dev/null
quorin_start
log=$LAB_DIR/quorin.$SC_RUN.log
wrong=()
for config in $(cut -f1 "$LAB_DIR/cases" | uniq); do
    before=$(wc -l <"$log")
    edit load "$LAB_DIR/values-$config.json"
    if ! kill -0 "$SC_QUORIN_PID" 2>/dev/null; then
        wrong+=("configuration $config: the daemon ended")
        break
    fi
    # The reader's error line ends with the value in quotes and the reason.
    tail -n +"$((before + 1))" "$log" | grep -F -- " skipped: " >"$LAB_DIR/skipped"
    while IFS=$'\t' read -r n verdict value; do
        [ "$n" = "$config" ] || continue
        if grep -qF -- "\"$value\" " "$LAB_DIR/skipped"; then
            [ "$verdict" = refused ] || wrong+=("\"$value\" was refused")
        else
            [ "$verdict" = ok ] || wrong+=("\"$value\" was not refused")
        fi
    done <"$LAB_DIR/cases"
done
check_eq "every value got its verdict and the daemon ran on" "" "$(printf '%s\n' "${wrong[@]}")"
check_eq "only iptables, ipset and ip were run, and conntrack's flush in process" "" \
    "$(grep -vP '^\S+ (iptables|ipset|ip|/sbin/ip) |^0 conntrack -D --mark [1-9][0-9]*\tin-process$' "$QUORIN_CMD_LOG")"
check_eq "the command runner refused no line" "" "$(grep -F 'refused command line' "$log")"

edit load "$LAB_SRC/docs/example-config.json"
quorin_stop
check_eq "the daemon ends with status 0" 0 "$LAB_STATUS"
check_eq "nothing of ours is left" "" "$(ours)"

[ "$LAB_FAILS" -eq 0 ] || grep -E " ERROR " "$log" | tail -n 20 | sed "s/^/#   /"
lab_done
