# privbus.sh -- sourced by the tour and the benchmarks.
#
# privbus_start: starts a private session bus (dbus-daemon with a config of
#   its own, listening in a fresh temporary directory) and sets
#   privbus_address, privbus_pid and privbus_dir. The machine's own buses
#   are never used.
# privbus_stop: stops that daemon by its PID and removes the directory.
#   Callers put it in their exit trap.
# echo_service_start BUILD DIR: starts the benchmarks' C echo service of
#   the build in BUILD on that bus, its output in DIR/service.out, sets
#   servicepid (the caller stops it) and waits until it is ready; exits
#   the script when it does not start.

privbus_start() {
    privbus_dir=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-bus.XXXXXX")
    cat > "$privbus_dir/bus.conf" <<CONF
<busconfig>
  <type>session</type>
  <listen>unix:path=$privbus_dir/bus.sock</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
    <allow user="*"/>
  </policy>
  <limit name="max_incoming_bytes">1000000000</limit>
  <limit name="max_outgoing_bytes">1000000000</limit>
  <limit name="max_message_size">100000000</limit>
  <limit name="max_match_rules_per_connection">50000</limit>
</busconfig>
CONF
    dbus-daemon --config-file="$privbus_dir/bus.conf" --fork \
	--print-address=1 --print-pid=1 > "$privbus_dir/bus.out"
    privbus_address=$(sed -n 1p "$privbus_dir/bus.out")
    privbus_pid=$(sed -n 2p "$privbus_dir/bus.out")
}

privbus_stop() {
    [ -n "${privbus_pid:-}" ] && kill "$privbus_pid" 2>/dev/null || true
    [ -n "${privbus_dir:-}" ] && rm -rf "$privbus_dir"
    privbus_pid=
}

echo_service_start() {
    "$1/echo_service" "$privbus_address" > "$2/service.out" &
    servicepid=$!
    for i in $(seq 100); do
	grep -q ready "$2/service.out" 2>/dev/null && break
	sleep 0.05
    done
    grep -q ready "$2/service.out" || { echo "echo service did not start"; exit 1; }
}
