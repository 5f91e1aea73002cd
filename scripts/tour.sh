#!/bin/sh
# Builds the extension and runs the tour (examples/tour.tcl) against a
# private session bus that this script starts and stops itself.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" "$top/build"

dir=$(mktemp -d /tmp/vantrel-tour.XXXXXX)
cat > "$dir/bus.conf" <<CONF
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
cleanup() {
    kill "$pid" 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT INT TERM

status=0
env -u DBUS_STARTER_ADDRESS -u DBUS_STARTER_BUS_TYPE \
    DBUS_SESSION_BUS_ADDRESS="$address" TCLLIBPATH="$top/build" \
    tclsh "$top/examples/tour.tcl" || status=$?
exit $status
