#!/bin/bash
# Every value of tests/data/config-values.tsv goes through the configuration
# service into the daemon, each in the place where it would do harm (a device
# name as an uplink, a client interface and a status row; an address as an
# uplink's address and gateway; filters, protocol and ports in a service; a
# share; the sticky timeout; ids and flags of groups and services; a second
# row of an uplink; a column name). A refused value skips its row with an
# error line that names it (a column name: a warning); an accepted one does
# not. Whatever the value, the daemon keeps running and runs nothing but
# iptables, ipset and ip, and the command runner refuses none of its lines.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start config_values "$@"
scenario_start

# A configuration per kind of value (per value for a setting of the base
# rows, such as the sticky timeout), the example plus every value of that
# kind in the places tests/data/config-values-places.json gives; "cases"
# lists the configuration of each value.
python3 - "$LAB_SRC/docs/example-config.json" "$LAB_SRC/tests/data/config-values-places.json" \
    "$LAB_SRC/tests/data/config-values.tsv" "$LAB_DIR" <<'PY'
import copy, json, re, sys
base, places = json.load(open(sys.argv[1])), json.load(open(sys.argv[2]))
configs, cases = {}, []
for line in open(sys.argv[3]).read().splitlines():
    if not line or line.startswith("#"):
        continue
    kind, verdict, value = line.split("\t", 2)
    place, n = places[kind], len(cases)
    key = kind + value if "set" in place else kind
    t = configs.setdefault(key, copy.deepcopy(base))
    number = lambda: int(value) if re.fullmatch("-?[0-9]{1,18}", value) else value
    fill = {"@VALUE": lambda: value, "@NUMBER": number, "@ID": lambda: 10 + n, "@NAME": lambda: "v%d" % n}
    filled = lambda cell: fill[cell]() if cell in fill else cell
    row = lambda cells: {filled(k): filled(v) for k, v in cells.items()}
    for table, cells in place.get("add", {}).items():
        t[table].append(row(cells))
    for table, cells in place.get("set", {}).items():
        t[table][0].update(row(cells))
    cases.append("%s\t%s\t%s" % (list(configs).index(key), verdict, value))
for i, t in enumerate(configs.values()):
    json.dump(t, open("%s/values-%d.json" % (sys.argv[4], i), "w"))
open("%s/cases" % sys.argv[4], "w").write("\n".join(cases) + "\n")
PY

cfg load "$LAB_SRC/docs/example-config.json" >/dev/null
quorin_start
log=$LAB_DIR/quorin.$SC_RUN.log
wrong=()
for config in $(cut -f1 "$LAB_DIR/cases" | uniq); do
    before=$(wc -l <"$log")
    edit load "$LAB_DIR/values-$config.json"
    lab_running "$SC_QUORIN_PID" || { wrong+=("configuration $config: the daemon ended"); break; }
    # The reader's error line ends with the value in quotes and the reason;
    # its warning about unknown columns names each in quotes.
    tail -n +"$((before + 1))" "$log" | grep -E -- " (skipped|ignored): " >"$LAB_DIR/skipped"
    while IFS=$'\t' read -r n verdict value; do
        [ "$n" = "$config" ] || continue
        grep -qF -- "\"$value\" " "$LAB_DIR/skipped" && got=refused || got=ok
        [ "$verdict" = "$got" ] || wrong+=("\"$value\" was $got, not $verdict")
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
lab_done
