#!/bin/sh
# Client-side benchmark: Echo calls with a short string to the C echo
# service (bench/echo_service.c) over a private message bus, one call at
# a time, in four forms measured in the same run (bench/client_calls.tcl):
#
#   plain    dbus call -signature s, synchronous
#   proxy    the same call through a proxy, typed from introspection
#   handler  dbus call -handler, the loop driven by vwait
#   yield    dbus call -yield, awaited in a coroutine
#
# Each pair (proxy and plain, yield and handler) runs in one process, its
# two forms taking turns in bursts of calls, so that the machine's other
# load falls on both alike. Prints calls per second and CPU time per call
# for each form, then each pair's ratios of call rates and CPU per call,
# with the rate's target (0.9: the layer above costs at most a tenth).
#
# Usage: bench/run-client.sh ?seconds-per-pair? ?rounds?
#   Each pair is measured rounds times (default 3) for the given seconds
#   (default 3), and the median round counts.
# Uses the build that scripts/build.sh makes in ./build; installs nothing.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-3}
rounds=${2:-3}
build="$top/build"

"$top/scripts/build.sh" "$build"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-bench.XXXXXX")
servicepid=
. "$top/scripts/privbus.sh"
cleanup() {
    [ -n "$servicepid" ] && kill "$servicepid" 2>/dev/null || true
    privbus_stop
    rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

# A bus of our own: never the machine's session or system bus.
privbus_start
address=$privbus_address

echo_service_start "$build" "$tmp"

echo "vantrel client-side benchmark: median of $rounds rounds of $seconds s per pair, $(nproc) cores"
echo "libdbus $(pkg-config --modversion dbus-1), Tcl $(echo 'puts [info patchlevel]' | tclsh)"
echo
# Each round runs each pair in one process, the two forms taking turns
# in bursts; a round's ratios compare forms measured side by side.
raw="$tmp/raw"
: > "$raw"
for round in $(seq "$rounds"); do
    for pair in "proxy plain" "yield handler"; do
	# shellcheck disable=SC2086
	tclsh "$top/bench/client_calls.tcl" "$build" "$address" "$seconds" $pair |
	    sed "s/^/$round /" >> "$raw"
    done
done

# Lines "round form calls N wall S cpu S": the median rate and CPU per
# call of each form, and the median of each pair's per-round ratios.
awk '
    function median(a, cnt,    i, j, t) {
	for (i = 1; i <= cnt; i++) for (j = i + 1; j <= cnt; j++)
	    if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
	return cnt % 2 ? a[(cnt + 1) / 2] : (a[cnt / 2] + a[cnt / 2 + 1]) / 2
    }
    { rate[$1, $2] = $4 / $6; cpu[$1, $2] = $8 / $4 * 1e6
      if ($1 > rounds) rounds = $1
      if (!($2 in seen)) { seen[$2] = 1; order[m++] = $2 } }
    END {
	printf "%-8s %10s %12s\n", "form", "calls/s", "cpu-us/call"
	for (i = 0; i < m; i++) {
	    f = order[i]
	    for (r = 1; r <= rounds; r++) { x[r] = rate[r, f]; y[r] = cpu[r, f] }
	    printf "%-8s %10.0f %12.1f\n", f, median(x, rounds), median(y, rounds)
	}
	print ""
	print "Each form against its peer, measured side by side (calls/s ratio:"
	print "higher is better; CPU ratio: the form'"'"'s CPU per call over the"
	print "peer'"'"'s, lower is better), medians of the rounds'"'"' ratios"
	printf "%-16s %8s %8s  %s\n", "pair", "rate", "cpu", "target"
	split("proxy plain yield handler", p, " ")
	for (i = 1; i <= 4; i += 2) {
	    a = p[i]; b = p[i + 1]
	    for (r = 1; r <= rounds; r++) {
		x[r] = rate[r, a] / rate[r, b]; y[r] = cpu[r, a] / cpu[r, b]
	    }
	    rr = median(x, rounds)
	    printf "%-16s %8.2f %8.2f  %s (>=0.9)\n", a "/" b, rr, median(y, rounds),
		(rr >= 0.9 ? "met" : "MISSED")
	}
    }' "$raw"
