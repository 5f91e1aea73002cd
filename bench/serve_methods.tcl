# serve_methods.tcl --
#
#	Method calls served per second: a python3-dbus client calls
#	org.bench.Echo N times (a window of calls outstanding) on a Tcl
#	handler registered with dbus method, then on a python3-dbus service
#	doing the same job, in the same run on the same bus.
#
#	The wall-clock rate is bounded by the client as much as by the
#	service, so the processor time each service spent serving is
#	measured too (from /proc): calls per CPU second is the service's own
#	capacity.
#
#	Usage: tclsh serve_methods.tcl ?count? ?window? (needs
#	DBUS_SESSION_BUS_ADDRESS and the built package on auto_path;
#	bench/run-serving.sh sets both).

set count [expr {$argc > 0 ? [lindex $argv 0] : 20000}]
set window [expr {$argc > 1 ? [lindex $argv 1] : 32}]
set here [file dirname [file normalize [info script]]]
set python /usr/bin/python3
package require dbus

proc peer {args} {
    global python here
    set chan [open |[list $python -u [file join $here serve_methods.py] {*}$args 2>@stderr] r+]
    fconfigure $chan -buffering line
    return $chan
}

proc echo {hdr i text} {
    return $text
}

# Processor seconds (user and system) a process has used so far.
proc cpu {{pid self}} {
    set f [open /proc/$pid/stat]
    set stat [read $f]
    close $f
    # Fields after the command name, which is in parentheses.
    set fields [string range $stat [expr {[string last ")" $stat] + 2}] end]
    expr {([lindex $fields 11] + [lindex $fields 12]) / 100.0}
}

proc finish {chan} {
    if {[gets $chan line] >= 0} {set ::result $line}
}

# The Tcl service.
dbus connect
dbus method /bench org.bench.Echo echo
set client [peer client [dbus info name] $count $window]
gets $client
fileevent $client readable [list finish $client]
set cpu0 [cpu]
puts $client go
vwait ::result
set tclCpu [expr {[cpu] - $cpu0}]
set tclResult $::result
close $client
dbus close

# The python3-dbus service.
set service [peer serve]
set name [gets $service]
set client [peer client $name $count $window]
gets $client
set servicePid [lindex [pid $service] 0]
set cpu0 [cpu $servicePid]
puts $client go
set pyResult [gets $client]
set pyCpu [expr {[cpu $servicePid] - $cpu0}]
close $client
foreach pid [pid $service] {catch {exec kill $pid}}
catch {close $service}

foreach r [list $tclResult $pyResult] {
    if {![string is double -strict $r]} {
	puts stderr "benchmark failed: $r"
	exit 1
    }
}
set tclRate [expr {$count / $tclResult}]
set pyRate [expr {$count / $pyResult}]
puts [format "method calls served: %d calls, %d outstanding" $count $window]
puts [format "  Tcl (dbus method)      %9.0f calls/s" $tclRate]
puts [format "  python3-dbus service   %9.0f calls/s" $pyRate]
puts [format "  Tcl/python ratio       %9.2f" [expr {$tclRate / $pyRate}]]
# A clock tick is 10 ms: keep a zero reading from dividing by zero.
set tclCpuRate [expr {$count / max($tclCpu, 0.01)}]
set pyCpuRate [expr {$count / max($pyCpu, 0.01)}]
puts [format "  served per CPU second of the service:"]
puts [format "  Tcl (dbus method)      %9.0f calls/s (%.2f s)" $tclCpuRate $tclCpu]
puts [format "  python3-dbus service   %9.0f calls/s (%.2f s)" $pyCpuRate $pyCpu]
puts [format "  Tcl/python ratio       %9.2f" [expr {$tclCpuRate / $pyCpuRate}]]
