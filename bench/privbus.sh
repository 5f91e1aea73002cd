# privbus.sh -- sourced by the bench runners: starts a private session
# bus in a temporary directory, exports its address, and stops it by PID
# when the runner exits.
privbus_dir=$(mktemp -d /tmp/vantrel-bench.XXXXXX)
cat > "$privbus_dir/bus.conf" <<CONF
<busconfig>
  <type>session</type>
  <listen>unix:path=$privbus_dir/bus.sock</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  <limit name="max_incoming_bytes">1000000000</limit>
  <limit name="max_outgoing_bytes">1000000000</limit>
  <limit name="max_message_size">100000000</limit>
</busconfig>
CONF
privbus_out=$(dbus-daemon --config-file="$privbus_dir/bus.conf" --fork \
    --print-address=1 --print-pid=1)
DBUS_SESSION_BUS_ADDRESS=$(echo "$privbus_out" | sed -n 1p)
privbus_pid=$(echo "$privbus_out" | sed -n 2p)
export DBUS_SESSION_BUS_ADDRESS
unset DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE
privbus_stop() {
    kill "$privbus_pid" 2>/dev/null || true
    rm -rf "$privbus_dir"
}
trap privbus_stop EXIT INT TERM
