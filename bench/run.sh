#!/bin/sh
# Method-call benchmark: synchronous Echo calls from Tcl ([dbus call]),
# from a raw libdbus C client and from python3-dbus, against one echo
# service written in C, over a private message bus. Prints calls per
# second and each client's own CPU time per call, then Tcl's ratios
# against the C client and python, then the resident memory of the Tcl
# client before and after 100,000 calls.
#
# Usage: bench/run.sh ?seconds-per-measurement? ?rounds?
#   Each client is measured rounds times (default 3) for the given
#   seconds (default 1.5), the clients taking turns, and the median
#   round counts: the machine's other load then affects every client
#   alike.
# Uses the build that scripts/build.sh makes in ./build; installs nothing.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-1.5}
rounds=${2:-3}
build="$top/build"
python=/usr/bin/python3

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

havepython=1
$python -c "import dbus" 2>/dev/null || havepython=0

echo "vantrel method-call benchmark: median of $rounds rounds of $seconds s, $(nproc) cores"
echo "libdbus $(pkg-config --modversion dbus-1), Tcl $(echo 'puts [info patchlevel]' | tclsh)"
echo
clients="c tcl"
[ $havepython = 1 ] && clients="c tcl python"
raw="$tmp/raw"
: > "$raw"
for workload in none string dict bytes ints; do
    for round in $(seq "$rounds"); do
	for client in $clients; do
	    case $client in
	    c) out=$("$build/echo_client" "$address" $workload "$seconds") ;;
	    tcl) out=$(tclsh "$top/bench/echo_client.tcl" "$build" "$address" \
		    $workload "$seconds") ;;
	    python) out=$($python "$top/bench/echo_client.py" "$address" \
		    $workload "$seconds") ;;
	    esac
	    echo "$workload $client $out" >> "$raw"
	done
    done
done

# One line per workload and client: median calls/s, median CPU us/call.
results="$tmp/results"
awk '
    { rate = $4 / $6; cpu = $8 / $4 * 1e6; k = $1 " " $2
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
printf '%-8s %-7s %10s %12s\n' workload client calls/s cpu-us/call
awk '{ printf "%-8s %-7s %10.0f %12.1f\n", $1, $2, $3, $4 }' "$results"
echo
echo "Tcl against the others (calls/s ratio: higher is better;"
echo "CPU ratio: Tcl's CPU per call over the peer's, lower is better)"
printf '%-8s %8s %8s %8s %8s  %-14s %s\n' workload rate/C rate/py cpu/C cpu/py "vs C" "vs python"
awk '
    { rate[$1, $2] = $3; cpu[$1, $2] = $4
      if (!seen[$1]++) order[n++] = $1 }
    END {
	for (i = 0; i < n; i++) {
	    w = order[i]
	    target = (w == "none" || w == "string") ? 0.9 : 0.7
	    rc = rate[w, "tcl"] / rate[w, "c"]
	    cc = cpu[w, "tcl"] / cpu[w, "c"]
	    vc = sprintf("%s (>=%.1f)", rc >= target ? "met" : "MISSED", target)
	    if ((w, "python") in rate) {
		rp = sprintf("%8.2f", rate[w, "tcl"] / rate[w, "python"])
		cp = sprintf("%8.2f", cpu[w, "tcl"] / cpu[w, "python"])
		vp = rate[w, "tcl"] > rate[w, "python"] ? "ahead" : "BEHIND"
	    } else {
		rp = sprintf("%8s", "-"); cp = rp; vp = "-"
	    }
	    printf "%-8s %8.2f %s %8.2f %s  %-14s %s\n", w, rc, rp, cc, cp, vc, vp
	}
    }' "$results"

echo
tclsh "$top/bench/echo_client.tcl" "$build" "$address" memory 100000 | awk '{
    printf "Tcl client RSS after 1,000 warm-up calls: %d KiB; after %d more calls\n", $2, $6
    printf "without arguments: %d KiB (half-way: %d KiB; change %+d KiB)\n", $4, $8, $4 - $2 }'
