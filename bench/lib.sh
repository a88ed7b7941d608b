# Shared helpers of the benchmarks. Each bench/pN_*.sh is a program of its
# own: it builds its lab with tests/lab/lib.sh (namespaces, private /tmp and
# bus, cleanup on every exit) and reports its figures as rows:
#
#   . "$(dirname "$0")/lib.sh"
#   bench_init NAME "$@"     # lab_init + private /tmp; BENCH_TINY=1 shrinks sizes
#   bench_row P1 "what was measured" "figure" "target" "verdict"
#
# A row goes to stdout as one tab-separated line that starts with "ROW";
# bench/run gathers the rows of every benchmark into one table. With
# BENCH_TINY=1 (ctest) a benchmark runs once at a tiny size, so that it keeps
# working; its figures then mean nothing and targets are not judged.

here_bench=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here_bench/../tests/lab/lib.sh"
. "$here_bench/../tests/lab/scenario.sh"
BENCH_TINY=${BENCH_TINY:-0}

bench_init() {
    lab_init "$1"
    shift
    lab_private_tmp "$@"
    # A checkout below /tmp is reached through the place lab_private_tmp
    # kept for it.
    here_bench=$LAB_SRC/bench
}

# bench_size FULL TINY: the size to use in this run.
bench_size() { if [ "$BENCH_TINY" = 1 ]; then echo "$2"; else echo "$1"; fi; }

# bench_row ID WHAT FIGURE TARGET VERDICT: one row of the table. The verdict
# ("met", "missed" or "-") is left out of tiny runs.
bench_row() {
    local verdict=$5
    [ "$BENCH_TINY" = 1 ] && verdict="(tiny run)"
    printf 'ROW\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "$verdict"
}

# bench_pct P VALUE...: the P-th percentile (nearest rank) of the values.
bench_pct() {
    python3 - "$@" <<'PY'
import sys
p, v = float(sys.argv[1]), sorted(float(x) for x in sys.argv[2:])
print("%.1f" % v[min(len(v) - 1, int(round(p / 100 * (len(v) - 1))))] if v else "nan")
PY
}

# bench_now: the monotonic clock in seconds, the clock of cfgserver's
# request stamps and of bench/watch.py.
bench_now() { python3 -c 'import time; print("%.6f" % time.monotonic())'; }

# bench_copies TABLE...: the member tables against the main table (the
# default route aside; destination, gateway and device compared) as one
# figure, "M / M missing, E / E extra" in the order given; fails when any
# copy is missing or extra.
bench_copies() {
    local out status
    out=$(lab_exec r python3 "$here_bench/../tests/lab/routes.py" compare "$@")
    status=$?
    grep '^#' <<<"$out" >&2
    grep -v '^#' <<<"$out" | awk '{ m = m (NR > 1 ? " / " : "") $4; e = e (NR > 1 ? " / " : "") $6 }
        END { printf "%s missing, %s extra\n", m, e }'
    return "$status"
}

# bench_quiet SECONDS LIMIT PID...: waits until the processes and the route
# count rested for SECONDS (LIMIT at most); prints the seconds waited.
bench_quiet() { lab_exec r python3 "$here_bench/../tests/lab/routes.py" quiet "$@"; }
