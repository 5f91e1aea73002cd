#!/bin/sh
# Instruction-count benchmarks: the work a client process does per
# operation, counted by callgrind, against peers measured in the same run
# on the same private bus. Wall-clock rates swing too much on a shared
# machine to compare clients by; instructions do not.
#
# Every client is run twice under callgrind with two operation counts,
# and the difference of its instructions is divided by the difference of
# the counts, so start-up (interpreter, package loading, connecting)
# cancels. Only the client process is counted: the bus daemon, the echo
# service and the signal sender run outside valgrind.
#
# Usage: bench/run-instructions.sh ?mode ...?
#   calls     synchronous Echo calls to bench/echo_service.c, five
#             workloads (the byte array twice for Tcl: as a list of
#             integers and, with dbus connect -bytes 1, as a byte
#             array): a raw libdbus C client (bench/echo_client.c),
#             python3-dbus (bench/echo_client.py) and the Tcl extension
#             (bench/echo_client.tcl); instructions per call and ratios
#             against raw libdbus
#   signals   org.bench.Tick(i, s) signals from one sender
#             (bench/signal_peer.c) dispatched to a handler: raw libdbus
#             (bench/signal_peer.c), python3-dbus (bench/serve_signals.py)
#             and Tcl with dbus listen and with dbus bind
#             (bench/signal_receiver.tcl); instructions per signal
#   bindings  the Tcl dbus bind receiver of the signals mode alone and
#             with 10,000 bindings that no signal matches: instructions
#             per signal and their ratio (what unrelated subscriptions
#             cost each signal)
#   peer      synchronous Echo calls of the Tcl client (bench/echo_client.tcl)
#             over the bus to bench/echo_service.c and over a peer
#             connection (dbus connect -peer 1) to bench/peer_service.tcl
#             (dbus connect -server, no bus in between), the workloads
#             of calls without the byte array ones: instructions per
#             call and the ratio of the peer path to the bus path
#   memory ?N?
#             resident size of the Tcl client after 1,000 warm-up calls
#             of each workload and after N more (default 100,000; takes
#             several minutes: it runs natively, the 64 KiB workloads
#             dominate); growth must stay under 1 MiB, else the
#             script exits with status 1
#   profile ?DIR?
#             per-call profiles of the Tcl client, one per workload and
#             one per signal receiver: inclusive and self instructions per
#             function and self instructions per library, each the
#             difference of two callgrind runs; written to DIR (default
#             build/profile) with the callgrind files themselves (for
#             callgrind_annotate --tree=both) and summarised on standard
#             output
#   Without a mode: calls and signals (a few minutes).
# Uses the build that scripts/build.sh makes in ./build; installs nothing.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
python=/usr/bin/python3

modes=
memcalls=100000
profdir="$build/profile"
while [ $# -gt 0 ]; do
    case $1 in
    calls|signals|bindings|peer)
	modes="$modes $1" ;;
    memory)
	modes="$modes memory"
	case ${2:-} in [0-9]*) memcalls=$2; shift ;; esac ;;
    profile)
	modes="$modes profile"
	case ${2:-} in ""|calls|signals|bindings|peer|memory|profile) ;; *) profdir=$2; shift ;; esac ;;
    *)
	echo "usage: $0 ?calls? ?signals? ?bindings? ?peer? ?memory ?N?? ?profile ?DIR??" >&2
	exit 2 ;;
    esac
    shift
done
[ -n "$modes" ] || modes="calls signals"

for tool in valgrind callgrind_annotate; do
    command -v $tool > /dev/null || { echo "$0: $tool is needed" >&2; exit 1; }
done
$python -c "import dbus" 2>/dev/null || {
    echo "$0: python3-dbus is needed for $python" >&2; exit 1; }

"$top/scripts/build.sh" "$build"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-instr.XXXXXX")
servicepid=
receiverpid=
peerpid=
. "$top/scripts/privbus.sh"
cleanup() {
    exec 3>&-
    [ -n "$receiverpid" ] && kill "$receiverpid" 2>/dev/null || true
    [ -n "$servicepid" ] && kill "$servicepid" 2>/dev/null || true
    [ -n "$peerpid" ] && kill "$peerpid" 2>/dev/null || true
    privbus_stop
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# A bus of our own: never the machine's session or system bus. The
# python receiver finds it as its session bus.
privbus_start
address=$privbus_address
export DBUS_SESSION_BUS_ADDRESS="$address"
unset DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE 2>/dev/null || true

echo_service_start "$build" "$tmp"

# The workloads: name, label, the two call counts, and the workload of
# the C and python clients in the same row (bytearray is the Tcl client's
# form of bytes, on a connection opened with -bytes 1).
workloads="none:no_arguments:200:1200:none
string:one_1_KiB_string:200:1200:string
dict:a{sv}_with_100_entries:20:120:dict
bytes:ay_of_64_KiB:20:120:bytes
bytearray:ay_of_64_KiB,_-bytes_1:20:120:bytes
ints:ai_of_10,000:10:60:ints"
# Signals received in the two runs of each receiver.
signals1=1000
signals2=6000

# counted NAME CMD ARG... -- runs the command under callgrind; its
# profile goes to $tmp/NAME.cg, its output to $tmp/NAME.out and .err.
counted() {
    name=$1
    shift
    if ! valgrind --tool=callgrind --callgrind-out-file="$tmp/$name.cg" \
	    "$@" > "$tmp/$name.out" 2> "$tmp/$name.err"; then
	echo "$0: failed under callgrind: $*" >&2
	grep -v '^==' "$tmp/$name.err" >&2 || true
	exit 1
    fi
}

# received NAME COUNT CMD ARG... -- runs a signal receiver under
# callgrind: waits for it to print its unique name, has COUNT signals
# queued for it, then lets it go and waits until it has handled them.
received() {
    name=$1
    count=$2
    shift 2
    rm -f "$tmp/go"
    mkfifo "$tmp/go"
    valgrind --tool=callgrind --callgrind-out-file="$tmp/$name.cg" \
	    "$@" < "$tmp/go" > "$tmp/$name.out" 2> "$tmp/$name.err" &
    receiverpid=$!
    exec 3> "$tmp/go"
    for i in $(seq 1200); do
	[ -s "$tmp/$name.out" ] && break
	kill -0 $receiverpid 2>/dev/null || break
	sleep 0.1
    done
    unique=$(sed -n 1p "$tmp/$name.out")
    case $unique in
    :*) ;;
    *) echo "$0: the receiver did not start: $*" >&2
       grep -v '^==' "$tmp/$name.err" >&2 || true
       exit 1 ;;
    esac
    "$build/signal_peer" send "$address" "$unique" "$count" > /dev/null
    echo go >&3
    exec 3>&-
    if ! wait $receiverpid; then
	receiverpid=
	echo "$0: failed under callgrind: $*" >&2
	grep -v '^==' "$tmp/$name.err" >&2 || true
	exit 1
    fi
    receiverpid=
}

# total NAME -- the instructions counted in $tmp/NAME.cg.
total() {
    sed -n 's/^totals: *//p' "$tmp/$1.cg"
}

# perop NAME N1 N2 -- instructions per operation of the runs NAME.N1
# and NAME.N2.
perop() {
    echo $(( ($(total "$1.$3") - $(total "$1.$2")) / ($3 - $2) ))
}

echoclient() {
    client=$1
    workload=$2
    n=$3
    case $client in
    c) counted "$client.$workload.$n" "$build/echo_client" "$address" \
	    "$workload" -count "$n" ;;
    python) counted "$client.$workload.$n" $python \
	    "$top/bench/echo_client.py" "$address" "$workload" -count "$n" ;;
    tcl) counted "$client.$workload.$n" tclsh "$top/bench/echo_client.tcl" \
	    "$build" "$address" "$workload" -count "$n" ;;
    tclpeer) counted "$client.$workload.$n" tclsh \
	    "$top/bench/echo_client.tcl" "$build" -peer "$peeraddress" \
	    "$workload" -count "$n" ;;
    esac
}

receiver() {
    how=$1
    n=$2
    case $how in
    c) received "recv-$how.$n" "$n" "$build/signal_peer" receive \
	    "$address" "$n" ;;
    python) received "recv-$how.$n" "$n" $python \
	    "$top/bench/serve_signals.py" receive "$n" ;;
    listen|bind) received "recv-$how.$n" "$n" tclsh \
	    "$top/bench/signal_receiver.tcl" "$build" "$address" $how "$n" ;;
    many) received "recv-$how.$n" "$n" tclsh \
	    "$top/bench/signal_receiver.tcl" "$build" "$address" bind "$n" \
	    $unrelated ;;
    esac
}

# cell N BASE ?NOTE? -- "ratio (instructions)" for a table cell.
cell() {
    awk -v n="$1" -v base="$2" -v note="${3:-}" '
    function commas(v,    s, r) {
	s = sprintf("%d", v); r = ""
	while (length(s) > 3) {
	    r = "," substr(s, length(s) - 2) r; s = substr(s, 1, length(s) - 3)
	}
	return s r
    }
    BEGIN {
	s = sprintf("%.2f (%s)", n / base, commas(n))
	if (note != "") s = s " " note
	printf "%s", s }'
}

echo "vantrel instruction counts (callgrind, client process only)"
echo "libdbus $(pkg-config --modversion dbus-1), Tcl $(echo 'puts [info patchlevel]' | tclsh)," \
    "python3-dbus $($python -c 'import dbus; print(dbus.__version__)'), $(valgrind --version)"

memoryfailed=0
for mode in $modes; do
case $mode in
calls)
    echo
    echo "Synchronous Echo calls: ratio to raw libdbus (instructions per call);"
    echo "each the difference of two runs (the counts given), divided."
    echo
    printf '| %-34s | %-16s | %-26s | %-34s |\n' "workload (sync Echo)" \
	"raw libdbus C" "python3-dbus" "Tcl extension"
    printf '|%s|%s|%s|%s|\n' ------------------------------------ \
	------------------ ---------------------------- \
	------------------------------------
    for row in $workloads; do
	IFS=: read workload label n1 n2 peer <<EOF
$row
EOF
	for n in $n1 $n2; do
	    for client in c python; do
		[ -f "$tmp/$client.$peer.$n.cg" ] || echoclient $client $peer $n
	    done
	    echoclient tcl $workload $n
	done
	c=$(perop c.$peer $n1 $n2)
	py=$(perop python.$peer $n1 $n2)
	tc=$(perop tcl.$workload $n1 $n2)
	pynote= tclnote=
	case $workload in
	bytes) pynote="bytes" tclnote="list of integers" ;;
	bytearray) pynote="bytes" tclnote="byte array" ;;
	esac
	printf '| %-34s | %-16s | %-26s | %-34s |\n' \
	    "$(echo "$label" | tr _ ' ') ($n1/$n2)" "$(cell $c $c)" \
	    "$(cell $py $c "$pynote")" "$(cell $tc $c "$tclnote")"
    done
    ;;
signals)
    echo
    echo "Signals org.bench.Tick(i, s) received and dispatched to a handler:"
    echo "ratio to raw libdbus (instructions per signal), difference of"
    echo "$signals1 and $signals2 signals queued for the receiver before it reads."
    echo
    for how in c python listen bind; do
	receiver $how $signals1
	receiver $how $signals2
    done
    c=$(perop recv-c $signals1 $signals2)
    printf '| %-16s | %-16s | %-16s | %-18s |\n' "raw libdbus C" \
	"python3-dbus" "Tcl dbus listen" "Tcl dbus bind"
    printf '|%s|%s|%s|%s|\n' ------------------ ------------------ \
	------------------ --------------------
    printf '| %-16s | %-16s | %-16s | %-18s |\n' "$(cell $c $c)" \
	"$(cell $(perop recv-python $signals1 $signals2) $c)" \
	"$(cell $(perop recv-listen $signals1 $signals2) $c)" \
	"$(cell $(perop recv-bind $signals1 $signals2) $c)"
    ;;
bindings)
    unrelated=10000
    echo
    echo "Signals to one dbus bind handler, alone and beside $unrelated"
    echo "bindings that no signal matches: instructions per signal,"
    echo "difference of $signals1 and $signals2 signals."
    echo
    for how in bind many; do
	receiver $how $signals1
	receiver $how $signals2
    done
    alone=$(perop recv-bind $signals1 $signals2)
    many=$(perop recv-many $signals1 $signals2)
    printf '| %-16s | %-26s |\n' "alone" "beside $unrelated bindings"
    printf '|%s|%s|\n' ------------------ ----------------------------
    printf '| %-16s | %-26s |\n' "$alone" "$(cell $many $alone)"
    ;;
peer)
    # The peer service, outside valgrind like the bus and its service.
    tclsh "$top/bench/peer_service.tcl" "$build" "unix:path=$tmp/peer.sock" \
	    > "$tmp/peer.out" &
    peerpid=$!
    for i in $(seq 100); do
	[ -s "$tmp/peer.out" ] && break
	sleep 0.05
    done
    peeraddress=$(sed -n 1p "$tmp/peer.out")
    [ -n "$peeraddress" ] || { echo "$0: the peer service did not start" >&2; exit 1; }
    echo
    echo "Synchronous Echo calls of the Tcl client over the bus and over a"
    echo "peer connection: instructions per call (the ratio of the peer path"
    echo "to the bus path), each the difference of two runs, divided."
    echo
    printf '| %-34s | %-16s | %-26s |\n' "workload (sync Echo)" "over the bus" \
	"over a peer connection"
    printf '|%s|%s|%s|\n' ------------------------------------ \
	------------------ ----------------------------
    for row in $workloads; do
	IFS=: read workload label n1 n2 peer <<EOF
$row
EOF
	case $workload in bytes|bytearray) continue ;; esac
	for n in $n1 $n2; do
	    [ -f "$tmp/tcl.$workload.$n.cg" ] || echoclient tcl $workload $n
	    echoclient tclpeer $workload $n
	done
	bus=$(perop tcl.$workload $n1 $n2)
	p2p=$(perop tclpeer.$workload $n1 $n2)
	printf '| %-34s | %-16s | %-26s |\n' \
	    "$(echo "$label" | tr _ ' ') ($n1/$n2)" "$(cell $bus $bus)" "$(cell $p2p $bus)"
    done
    kill "$peerpid" 2>/dev/null || true
    peerpid=
    ;;
memory)
    echo
    echo "Memory of the Tcl client: resident size after 1,000 warm-up calls"
    echo "and after $memcalls more, each workload (growth must stay under 1 MiB)."
    echo
    printf '%-24s %12s %12s %12s %10s\n' workload "warm KiB" "half KiB" \
	"end KiB" growth
    for row in $workloads; do
	IFS=: read workload label n1 n2 peer <<EOF
$row
EOF
	tclsh "$top/bench/echo_client.tcl" "$build" "$address" $workload \
		-memory "$memcalls" > "$tmp/memory.out"
	awk -v label="$(echo "$label" | tr _ ' ')" '{
	    growth = $4 - $2
	    printf "%-24s %12d %12d %12d %+7d KiB %s\n", label, $2, $8, $4,
		growth, growth < 1024 ? "ok" : "GROWS"
	    exit growth < 1024 ? 0 : 1
	}' "$tmp/memory.out" || memoryfailed=1
    done
    ;;
profile)
    mkdir -p "$profdir"
    echo
    echo "Per-call profiles of the Tcl client in $profdir"
    # annotate NAME N1 N2 TITLE -- the per-operation profile of the runs
    # NAME.N1 and NAME.N2: inclusive and self instructions per function,
    # self instructions per library.
    annotate() {
	name=$1 n1=$2 n2=$3 title=$4
	for n in $n1 $n2; do
	    cp "$tmp/$name.$n.cg" "$profdir/$name.$n.cg"
	    callgrind_annotate --inclusive=yes --threshold=100 --auto=no \
		    "$tmp/$name.$n.cg" > "$tmp/$name.$n.incl"
	    callgrind_annotate --inclusive=no --threshold=100 --auto=no \
		    "$tmp/$name.$n.cg" > "$tmp/$name.$n.self"
	done
	out="$profdir/$name.txt"
	{
	    echo "$title: instructions per operation, the difference of"
	    echo "runs with $n1 and $n2 operations divided by $(($n2 - $n1))."
	    for kind in incl self lib; do
		case $kind in
		incl) echo; echo "Inclusive, by function (top 45; the frames that"
		      echo "hold the whole run left out; code inlined from"
		      echo "another file is counted under that file's name too):"
		      src=incl ;;
		self) echo; echo "Self, by function (top 30):"; src=self ;;
		lib) echo; echo "Self, by library:"; src=self ;;
		esac
		awk -v d=$(($n2 - $n1)) -v kind=$kind '
		    /^ *[0-9][0-9,]* +(\([ 0-9.]+%\) +)?[^ (]/ {
			v = $1; gsub(/,/, "", v)
			line = $0
			sub(/^ *[0-9,]+ +(\([ 0-9.]+%\) +)?/, "", line)
			if (line ~ /PROGRAM TOTALS/) {
			    tot[FILENAME] = v; next }
			key = line
			if (kind == "lib") {
			    # The library named last on the line; functions of
			    # ours inlined from another file come without one.
			    if (match(line, /\[\/[^][]*\]$/)) {
				key = substr(line, RSTART + 1, RLENGTH - 2)
				sub(/.*\//, "", key)
			    } else if (line ~ /^(src\/|\/)/) {
				key = "libvantrel.so"
			    } else {
				key = "?"
			    }
			}
			cost[FILENAME, key] += v; keys[key] = 1
		    }
		    FNR == 1 { files[++nf] = FILENAME }
		    END {
			lo = files[1]; hi = files[2]
			t = (tot[hi] - tot[lo]) / d
			printf "%12.0f  100.0%%  total\n", t
			for (k in keys) {
			    c = (cost[hi, k] - cost[lo, k]) / d
			    if (c < t / 1000 || (kind == "incl" && c > 0.995 * t))
				continue
			    printf "%12.0f %6.1f%%  %s\n", c, 100 * c / t, k
			}
		    }' "$tmp/$name.$n1.$src" "$tmp/$name.$n2.$src" |
		    { read first; echo "$first"; sort -k1,1nr; } |
		    awk -v top=$kind 'NR == 1 || top == "lib" \
			|| (top == "incl" && NR <= 46) || (top == "self" && NR <= 31)'
	    done
	} > "$out"
	echo
	sed -n '1,2p' "$out"
	sed -n '/^Self, by library/,$p' "$out"
    }
    for row in $workloads; do
	IFS=: read workload label n1 n2 peer <<EOF
$row
EOF
	for n in $n1 $n2; do
	    [ -f "$tmp/tcl.$workload.$n.cg" ] || echoclient tcl $workload $n
	done
	annotate tcl.$workload $n1 $n2 \
	    "Tcl client, sync Echo, $(echo "$label" | tr _ ' ')"
    done
    for how in listen bind; do
	for n in $signals1 $signals2; do
	    [ -f "$tmp/recv-$how.$n.cg" ] || receiver $how $n
	done
	annotate recv-$how $signals1 $signals2 \
	    "Tcl receiver, signals dispatched with dbus $how"
    done
    ;;
esac
done
# Memory that grew fails the run.
exit $memoryfailed
