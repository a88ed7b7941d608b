#!/bin/bash
# Sandbox test: each unit, rendered as "cmake --install --prefix /usr"
# would render it, rates at or under its limit in tests/data/unit-exposure.txt
# by "systemd-analyze security --offline=true". Needs no root and no build.

SRC=$(cd "$(dirname "$0")/../.." && pwd)
. "$SRC/tests/lab/lib.sh"
LAB_NAME=units_security
command -v systemd-analyze >/dev/null || { echo "SKIP: $LAB_NAME: systemd-analyze is not installed"; exit 77; }
DIR=$(mktemp -d "${TMPDIR:-/tmp}/quorin-units.XXXXXX") || exit 1
trap 'rm -rf "$DIR"' EXIT
trap 'exit 130' INT TERM HUP

while read -r unit limit; do
    [[ -z $unit || $unit == '#'* ]] && continue
    sed -e 's|@SBINDIR@|/usr/sbin|g; s|@LIBEXECDIR@|/usr/libexec|g' "$SRC/packaging/systemd/$unit.in" >"$DIR/$unit"
    report=$(systemd-analyze security --offline=true --no-pager "$DIR/$unit" 2>&1)
    score=$(sed -n "s/.*Overall exposure level for $unit: \([0-9.]*\) .*/\1/p" <<<"$report")
    # On failure, the settings that still cost something.
    check "$unit rates ${score:-nothing} (at most $limit)" \
        awk -v s="$score" -v l="$limit" 'BEGIN { exit !(s != "" && s + 0 <= l + 0) }' ||
        grep -e '✗' -e 'rror' <<<"$report" | sed 's/^/#   /'
done <"$SRC/tests/data/unit-exposure.txt"
lab_done
