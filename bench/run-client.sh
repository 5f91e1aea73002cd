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
# Prints calls per second and CPU time per call for each form, then two
# ratios of call rates: proxy against plain and yield against handler,
# each with its target (0.9: the layer above costs at most a tenth).
#
# Usage: bench/run-client.sh ?seconds-per-measurement? ?rounds?
#   Each form is measured rounds times (default 3) for the given seconds
#   (default 1.5), the forms taking turns, and the median round counts.
# Uses the build that scripts/build.sh makes in ./build; installs nothing.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-1.5}
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

"$build/echo_service" "$address" > "$tmp/service.out" &
servicepid=$!
for i in $(seq 100); do
    grep -q ready "$tmp/service.out" 2>/dev/null && break
    sleep 0.05
done
grep -q ready "$tmp/service.out" || { echo "echo service did not start"; exit 1; }

echo "vantrel client-side benchmark: median of $rounds rounds of $seconds s, $(nproc) cores"
echo "libdbus $(pkg-config --modversion dbus-1), Tcl $(echo 'puts [info patchlevel]' | tclsh)"
echo
raw="$tmp/raw"
: > "$raw"
for round in $(seq "$rounds"); do
    for form in plain proxy handler yield; do
	out=$(tclsh "$top/bench/client_calls.tcl" "$build" "$address" $form "$seconds")
	echo "$form $out" >> "$raw"
    done
done

# One line per form: median calls/s, median CPU us/call.
results="$tmp/results"
awk '
    { rate = $3 / $5; cpu = $7 / $3 * 1e6; k = $1
      n[k]++; r[k, n[k]] = rate; c[k, n[k]] = cpu
      if (!(k in seen)) { seen[k] = 1; order[m++] = k } }
    function median(a, k, cnt,    i, j, t, v) {
	for (i = 1; i <= cnt; i++) v[i] = a[k, i]
	for (i = 1; i <= cnt; i++) for (j = i + 1; j <= cnt; j++)
	    if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
	return cnt % 2 ? v[(cnt + 1) / 2] : (v[cnt / 2] + v[cnt / 2 + 1]) / 2
    }
    END { for (i = 0; i < m; i++) { k = order[i]
	printf "%s %.6f %.6f\n", k, median(r, k, n[k]), median(c, k, n[k]) } }
' "$raw" > "$results"
printf '%-8s %10s %12s\n' form calls/s cpu-us/call
awk '{ printf "%-8s %10.0f %12.1f\n", $1, $2, $3 }' "$results"
echo
echo "Each form against its peer (calls/s ratio: higher is better;"
echo "CPU ratio: the form's CPU per call over the peer's, lower is better)"
printf '%-16s %8s %8s  %s\n' pair rate cpu target
awk '
    { rate[$1] = $2; cpu[$1] = $3 }
    END {
	split("proxy plain yield handler", p, " ")
	for (i = 1; i <= 4; i += 2) {
	    a = p[i]; b = p[i + 1]
	    rr = rate[a] / rate[b]
	    printf "%-16s %8.2f %8.2f  %s (>=0.9)\n", a "/" b, rr, cpu[a] / cpu[b],
		(rr >= 0.9 ? "met" : "MISSED")
	}
    }' "$results"
