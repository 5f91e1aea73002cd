#!/bin/sh
# Connect/close cycles: descriptors and memory of Tcl against python3-dbus,
# both against one private bus. Usage: bench/connect_cycles.sh ?cycles?
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/bench/privbus.sh"
cycles=${1:-1000}
TCLLIBPATH="$top/build" tclsh "$top/bench/connect_cycles.tcl" "$cycles"
/usr/bin/python3 "$top/bench/connect_cycles.py" "$cycles"
