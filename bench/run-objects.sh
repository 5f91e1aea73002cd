#!/bin/sh
# Exported-object benchmark, against a private message bus that this
# script starts and stops by its PID (the machine's own buses are never
# used):
#
#  - Properties.Get of one string property, answered by an exported
#    object from its stored value, by a plain dbus method handler
#    returning the same value, and by a python3-dbus service; all three
#    are called by the same C client written against libdbus
#    (bench/props_client.c), with a window of calls outstanding. For each
#    it prints the calls answered per second and the processor time the
#    service spent per call (from /proc), then the ratios between them.
#  - Introspect of an exported object with 50 methods and 20 properties:
#    the Tcl service's processor time per Introspect, in microseconds.
#
# Usage: bench/run-objects.sh ?seconds-per-measurement? ?rounds? ?window?
#   (default 1.5 s, 3 rounds, 16 calls outstanding). The services take
#   turns and the median round counts, so that the machine's other load
#   affects each alike. Builds into ./build first; installs nothing.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-1.5}
rounds=${2:-3}
window=${3:-16}
build="$top/build"
python=/usr/bin/python3

"$top/scripts/build.sh" "$build"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-bench.XXXXXX")
tclpid=
pypid=
. "$top/scripts/privbus.sh"
cleanup() {
    [ -n "$tclpid" ] && kill "$tclpid" 2>/dev/null || true
    [ -n "$pypid" ] && kill "$pypid" 2>/dev/null || true
    privbus_stop
    rm -rf "$tmp"
}
trap cleanup EXIT INT TERM

privbus_start
DBUS_SESSION_BUS_ADDRESS=$privbus_address
export DBUS_SESSION_BUS_ADDRESS
unset DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE 2>/dev/null || true

TCLLIBPATH="$build" tclsh "$top/bench/serve_objects.tcl" > "$tmp/tcl.out" &
tclpid=$!
$python "$top/bench/serve_objects.py" > "$tmp/py.out" &
pypid=$!
for i in $(seq 200); do
    [ -s "$tmp/tcl.out" ] && [ -s "$tmp/py.out" ] && break
    sleep 0.05
done
tclname=$(sed -n 1p "$tmp/tcl.out")
pyname=$(sed -n 1p "$tmp/py.out")
case "$tclname$pyname" in
    :*:*) ;;
    *) echo "the services did not start: '$tclname' '$pyname'"; exit 1 ;;
esac

# Processor time (user and system, in clock ticks) a process has used;
# the services' command names (tclsh, python3) hold no blanks.
cpu() {
    awk '{ print $14 + $15 }' "/proc/$1/stat"
}

# measure LABEL PID DEST PATH WORKLOAD: one round of one service.
measure() {
    before=$(cpu "$2")
    out=$("$build/props_client" "$privbus_address" "$3" "$4" "$5" \
	"$seconds" "$window")
    after=$(cpu "$2")
    case $out in
	calls*) echo "$1 $out cpu $((after - before))" >> "$tmp/raw" ;;
	*) echo "$1: $out"; exit 1 ;;
    esac
}

: > "$tmp/raw"
for round in $(seq "$rounds"); do
    measure object "$tclpid" "$tclname" /obj get
    measure plain "$tclpid" "$tclname" /plain get
    measure python "$pypid" "$pyname" /obj get
    measure introspect "$tclpid" "$tclname" /big introspect
done

echo "vantrel exported-object benchmark: median of $rounds rounds of $seconds s," \
    "$window calls outstanding, $(nproc) cores"
echo "libdbus $(pkg-config --modversion dbus-1), Tcl $(echo 'puts [info patchlevel]' | tclsh)"
echo
# One line per service: median calls/s, median service CPU us per call.
awk -v tick="$(getconf CLK_TCK)" '
    { k = $1; rate = $3 / $5; cpu = $7 / tick / $3 * 1e6
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
' "$tmp/raw" > "$tmp/results"

echo "Properties.Get of a string property, answered by"
printf '  %-34s %10s %16s\n' "" calls/s service-us/call
awk '
    $1 == "object" { label = "an exported object (stored value)" }
    $1 == "plain"  { label = "a plain dbus method handler" }
    $1 == "python" { label = "a python3-dbus service" }
    $1 != "introspect" { printf "  %-34s %10.0f %16.1f\n", label, $2, $3 }
' "$tmp/results"
echo
echo "Ratios (calls/s: higher is better; service CPU per call: lower is better)"
awk '
    { rate[$1] = $2; cpu[$1] = $3 }
    END {
	printf "  %-22s calls/s %6.2f   CPU per call %6.2f\n", "object / plain handler",
	    rate["object"] / rate["plain"], cpu["object"] / cpu["plain"]
	printf "  %-22s calls/s %6.2f   CPU per call %6.2f\n", "object / python3-dbus",
	    rate["object"] / rate["python"], cpu["object"] / cpu["python"]
	printf "  %-22s calls/s %6.2f   CPU per call %6.2f\n", "plain / python3-dbus",
	    rate["plain"] / rate["python"], cpu["plain"] / cpu["python"]
    }' "$tmp/results"
echo
awk '$1 == "introspect" {
    printf "Introspect of an object with 50 methods and 20 properties:\n"
    printf "  %.0f calls/s, %.1f us of the Tcl service'"'"'s CPU per Introspect\n", $2, $3
}' "$tmp/results"
