#!/bin/sh
# Connect/close cycles: descriptors and memory of Tcl against python3-dbus,
# both against one private bus. Usage: bench/connect_cycles.sh ?cycles?
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/privbus.sh"
trap privbus_stop EXIT INT TERM
privbus_start
export DBUS_SESSION_BUS_ADDRESS="$privbus_address"
cycles=${1:-1000}
TCLLIBPATH="$top/build" tclsh "$top/bench/connect_cycles.tcl" "$cycles"
/usr/bin/python3 "$top/bench/connect_cycles.py" "$cycles"
