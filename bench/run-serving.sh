#!/bin/sh
# Runs the serving benchmarks (signals dispatched to handlers, method
# calls served) against a private dbus-daemon that this script starts
# and stops by its PID; the machine's own buses are never used.
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

dir=$(mktemp -d)
cat > "$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$dir/bus.sock</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
out=$(dbus-daemon --config-file="$dir/bus.conf" --fork --print-address=1 --print-pid=1)
address=$(echo "$out" | sed -n 1p)
pid=$(echo "$out" | sed -n 2p)
trap 'kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT INT TERM

export DBUS_SESSION_BUS_ADDRESS="$address"
unset DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE 2>/dev/null || true
export TCLLIBPATH="$top/build"
if [ "$which" != methods ]; then
    tclsh "$top/bench/serve_signals.tcl" "$count"
fi
if [ "$which" != signals ]; then
    tclsh "$top/bench/serve_methods.tcl" "$count"
fi
