#!/bin/sh
# Installs the Debian packages the build, the tests and the tour need
# (groff and man for the checks of the manual page), each only when it
# is missing. Optional groups on the command line add the packages of
# one more job:
#   fuzz     clang and libFuzzer, for tests/fuzz/run.sh
#   broker   dbus-broker, for scripts/test.sh --broker
#   deb      debhelper, dpkg-dev and lintian, for scripts/debian.sh
#   tk       Tk and Xvfb, for the bus browser's test
#   shot     xwd and netpbm, for scripts/screenshot.sh
#
# Usage: scripts/deps.sh ?fuzz? ?broker? ?deb? ?tk? ?shot?
set -eu
want="cmake g++ make pkg-config tcl tcl-dev libdbus-1-dev libexpat1-dev \
	dbus-daemon dbus-bin python3 python3-dbus python3-gi python3-dbusmock \
	tcl-thread libglib2.0-bin util-linux procps playerctl groff-base man-db"
for group in "$@"; do
    case $group in
	fuzz) want="$want clang libclang-rt-dev" ;;
	broker) want="$want dbus-broker" ;;
	deb) want="$want debhelper dpkg-dev build-essential lintian" ;;
	tk) want="$want tk8.6 xvfb" ;;
	shot) want="$want x11-apps netpbm" ;;
	*) echo "deps.sh: unknown group \"$group\": must be fuzz, broker, deb, tk or shot" >&2
	   exit 2 ;;
    esac
done
need=""
for pkg in $want; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed"; then
	need="$need $pkg"
    fi
done
if [ -n "$need" ]; then
    echo "installing:$need"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq $need
fi
