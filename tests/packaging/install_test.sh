#!/bin/bash
# Install test: "cmake --install" with DESTDIR puts every file of the service
# where it belongs and nothing else, for the usual prefix and another one,
# and the systemd units name the programs where they were installed. Needs
# no root; QUORIN_BUILD names a built tree.

SRC=$(cd "$(dirname "$0")/../.." && pwd)
# Only the check helpers of the lab library; nothing here needs a namespace.
. "$SRC/tests/lab/lib.sh"
LAB_NAME=install
BUILD=${QUORIN_BUILD:-$SRC/build}
[ -x "$BUILD/bin/quorin" ] || { echo "FAIL: install: no built tree in $BUILD (set QUORIN_BUILD)"; exit 1; }

STAGE=$(mktemp -d "${TMPDIR:-/tmp}/quorin-install.XXXXXX") || exit 1
trap 'rm -rf "$STAGE"' EXIT
trap 'exit 130' INT TERM HUP

# The installed files below the prefix; "x" marks those that must be
# executable.
LAYOUT='x bin/cfgctl
- lib/systemd/system/cfgserver.service
- lib/systemd/system/netstatd.service
- lib/systemd/system/quorin.service
x libexec/quorin/quorin-firewall
x sbin/cfgserver
x sbin/netstatd
x sbin/quorin
- share/dbus-1/system.d/com.mirandel.network.conf'

# installed ROOT: every file below ROOT (the DESTDIR) by its installed path,
# as in LAYOUT.
installed() {
    local f
    (cd "$1" && find . ! -type d | sed 's|^\.||' | LC_ALL=C sort) | while read -r f; do
        if [ -x "$1$f" ]; then echo "x $f"; else echo "- $f"; fi
    done
}

# install_into DESTDIR PREFIX
install_into() {
    DESTDIR=$1 cmake --install "$BUILD" --prefix "$2" >"$1.log" 2>&1 || { sed 's/^/#   /' "$1.log"; return 1; }
}

same_as_source() { cmp -s "$SRC/$1" "$2"; }

# unit_lines P: the lines each unit must hold, as "UNIT LINE", for prefix P.
unit_lines() {
    cat <<LINES
cfgserver.service ExecStart=$1/sbin/cfgserver -f /var/lib/quorin/config.json
cfgserver.service StateDirectory=quorin
netstatd.service ExecStart=$1/sbin/netstatd
netstatd.service Type=dbus
netstatd.service BusName=com.mirandel.network.IPv4Route
netstatd.service Wants=cfgserver.service
netstatd.service After=dbus.service cfgserver.service
quorin.service ExecStartPre=$1/libexec/quorin/quorin-firewall prepare
quorin.service ExecStart=$1/sbin/quorin
quorin.service ExecStopPost=$1/libexec/quorin/quorin-firewall clean
quorin.service Requires=netstatd.service
quorin.service Wants=cfgserver.service
quorin.service After=netstatd.service cfgserver.service network-pre.target
quorin.service KillMode=mixed
LINES
    for unit in cfgserver netstatd quorin; do
        printf '%s.service %s\n' $unit Restart=on-failure $unit RestartSec=2 \
            $unit StartLimitIntervalSec=60 $unit StartLimitBurst=5 $unit PrivateTmp=no
    done
}

for prefix in /usr /opt/quorin; do
    root=$STAGE/root$(echo "$prefix" | tr / _)
    units=$prefix/lib/systemd/system
    lab_log "--- cmake --install --prefix $prefix, DESTDIR=$root"
    check "prefix $prefix: the install succeeds" install_into "$root" "$prefix"
    check_eq "prefix $prefix: these files with these modes and nothing else" \
        "${LAYOUT// / $prefix/}" "$(installed "$root")"
    check "prefix $prefix: the firewall step as in the source" \
        same_as_source packaging/quorin-firewall "$root$prefix/libexec/quorin/quorin-firewall"
    check "prefix $prefix: the bus policy as in the source" \
        same_as_source packaging/dbus/com.mirandel.network.conf "$root$prefix/share/dbus-1/system.d/com.mirandel.network.conf"

    missing=$(unit_lines "$prefix" | while read -r unit line; do
        grep -qxF -- "$line" "$root$units/$unit" || echo "$unit: $line"
    done)
    check_eq "prefix $prefix: the units' programs, ordering and restarts" "" "$missing"
    check_eq "prefix $prefix: no placeholder left in the units" "" "$(grep -H '@[A-Z_]*@' "$root$units"/*.service)"

    if command -v systemd-analyze >/dev/null; then
        # Programs and units are looked up below the staging root; the
        # units ours refer to (dbus.socket, sysinit.target) are not there.
        check_eq "prefix $prefix: systemd-analyze verify finds nothing" "" \
            "$(SYSTEMD_UNIT_PATH=$units: systemd-analyze verify --root="$root" --recursive-errors=no \
                --man=no --generators=no "$root$units"/*.service 2>&1 || echo "exit status $?")"
    else
        echo "SKIP: install: systemd-analyze is not installed; the units were not verified"
    fi
done

lab_done
