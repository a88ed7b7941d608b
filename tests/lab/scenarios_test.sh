#!/bin/bash
# End to end: tables written with cfgctl drive quorin, and after every step
# the router's kernel holds what the tables mean and nothing else. The steps
# and the expected states are in scenarios.txt beside this script:
#
#   ## TEXT          a heading
#   cfg ARGS / edit ARGS / start / stop
#                    cfgctl alone, cfgctl then wait for the daemon, start
#                    quorin, SIGTERM it (it must end with 0)
#   leaves MARK GW DEV   a packet with that mark is routed there
#   expect TEXT      the lines up to "." are what quorin added to the
#                    kernel state ("ours" of scenario.sh)
#
# LAB_RECORD=FILE writes the steps with the states found into FILE, to
# review when the daemon's output changes on purpose.

. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/scenario.sh"
lab_start scenarios "$@"
scenario_start

leaves() { lab_exec r ip route get 198.51.100.7 mark "$1" | grep -q " via $2 dev $3 "; }
record() { [ -z "${LAB_RECORD:-}" ] || printf '%s\n' "$@" >>"$LAB_RECORD"; }
what=
while IFS= read -r line; do
    if [ -n "$what" ]; then
        [ "$line" = . ] || { want+=${want:+$'\n'}$line; continue; }
        now=$(ours)
        record "$now" .
        check_eq "$what" "$want" "$now"
        what=
        continue
    fi
    record "$line"
    case $line in
    '## '*) lab_log "--- ${line#'## '}" ;;
    cfg\ * | edit\ *) eval "$line" >/dev/null ;;
    start) quorin_start ;;
    stop) quorin_stop; check_eq "the daemon ends with status 0" 0 "$LAB_STATUS" ;;
    leaves\ *) read -r _ mark gw dev <<<"$line"; check "mark $mark leaves through $dev" leaves "$mark" "$gw" "$dev" ;;
    expect\ *) what=${line#expect } want= ;;
    esac
done <"$LAB_SRC/tests/lab/scenarios.txt"
lab_done
