#!/bin/sh
# Builds the extension and runs the tour (examples/tour.tcl) against a
# private session bus that this script starts and stops itself.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" "$top/build"

. "$top/scripts/privbus.sh"
trap privbus_stop EXIT INT TERM
privbus_start

status=0
env -u DBUS_STARTER_ADDRESS -u DBUS_STARTER_BUS_TYPE \
    DBUS_SESSION_BUS_ADDRESS="$privbus_address" TCLLIBPATH="$top/build" \
    tclsh "$top/examples/tour.tcl" || status=$?
exit $status
