#!/bin/bash
# Install test: "cmake --install" with DESTDIR, for the usual prefix and
# another one, installs the files of tests/data/daemon-install.txt with their
# modes and nothing else, the firewall step as built and the bus policy as
# in the source (the policy where the system bus reads it, whatever the
# prefix), and units that hold the lines listed there and pass systemd-analyze verify.
# Needs no root; QUORIN_BUILD names a built tree.

SRC=$(cd "$(dirname "$0")/../.." && pwd)
# Only the check helpers of the lab library; nothing here needs a namespace.
. "$SRC/tests/lab/lib.sh"
LAB_NAME=install
BUILD=${QUORIN_BUILD:-$SRC/build}
[ -x "$BUILD/bin/quorin" ] || { echo "FAIL: install: no built tree in $BUILD (set QUORIN_BUILD)"; exit 1; }
STAGE=$(mktemp -d "${TMPDIR:-/tmp}/quorin-install.XXXXXX") || exit 1
trap 'rm -rf "$STAGE"' EXIT
trap 'exit 130' INT TERM HUP

for prefix in /usr /opt/quorin; do
    root=$STAGE/root${prefix//\//_}
    units=$root$prefix/lib/systemd/system
    expected=$(sed "s|@PREFIX@|$prefix|g" "$SRC/tests/data/daemon-install.txt")
    DESTDIR=$root cmake --install "$BUILD" --prefix "$prefix" >"$root.log" 2>&1 || sed 's/^/#   /' "$root.log"
    check_eq "prefix $prefix: these files with these modes and nothing else" \
        "$(sed -n 's|^file ||p' <<<"$expected" | LC_ALL=C sort)" "$(find "$root" ! -type d -printf '%m /%P\n' | LC_ALL=C sort)"
    check "prefix $prefix: the firewall step as built and the bus policy as in the source" \
        eval 'cmp "$BUILD/bin/quorin-firewall" "$root$prefix/libexec/quorin/quorin-firewall" &&
            cmp "$SRC/packaging/dbus/com.mirandel.network.conf" "$root/usr/share/dbus-1/system.d/com.mirandel.network.conf"'
    check_eq "prefix $prefix: the units' programs, ordering and restarts, no placeholder left" "" \
        "$(sed -n 's|^unit ||p' <<<"$expected" | while read -r unit line; do
            grep -qxF -- "$line" "$units/$unit" || echo "$unit: $line"; done; grep -H '@[A-Z_]*@' "$units"/*.service)"
    if command -v systemd-analyze >/dev/null; then
        # Programs and units are looked up below the staging root; the
        # units ours refer to (dbus.socket, sysinit.target) are not there.
        check_eq "prefix $prefix: systemd-analyze verify finds nothing" "" \
            "$(SYSTEMD_UNIT_PATH=$prefix/lib/systemd/system: systemd-analyze verify --root="$root" --recursive-errors=no \
                --man=no --generators=no "$units"/*.service 2>&1 || echo "exit status $?")"
    else
        echo "SKIP: install: systemd-analyze is not installed; the units were not verified"
    fi
done
lab_done
