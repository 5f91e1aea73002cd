#!/bin/sh
# Runs the serving benchmarks (signals dispatched to handlers, method
# calls served) against a private dbus-daemon that this script starts
# and stops by its PID; the machine's own buses are never used. These
# are wall-clock rates; bench/run-instructions.sh signals counts the
# instructions per signal of dbus listen and dbus bind against a raw
# libdbus receiver, which a busy machine does not disturb.
#
# Usage: bench/run-serving.sh ?signals|methods|all? ?count?
#        (default: all, 20000; builds first)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
count=${2:-20000}
case $which in
    signals|methods|all) ;;
    *) echo "usage: $0 ?signals|methods|all? ?count?" >&2; exit 2 ;;
esac
"$top/scripts/build.sh" "$top/build"

. "$top/scripts/privbus.sh"
trap privbus_stop EXIT INT TERM
privbus_start

export DBUS_SESSION_BUS_ADDRESS="$privbus_address"
unset DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE 2>/dev/null || true
export TCLLIBPATH="$top/build"
if [ "$which" != methods ]; then
    tclsh "$top/bench/serve_signals.tcl" "$count"
fi
if [ "$which" != signals ]; then
    tclsh "$top/bench/serve_methods.tcl" "$count"
fi
