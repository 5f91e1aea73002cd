# serve_methods.tcl --
#
#	Method calls served per second: a python3-dbus client calls
#	org.bench.Echo N times (a window of calls outstanding) on a Tcl
#	handler registered with dbus method, then on a python3-dbus service
#	doing the same job, in the same run on the same bus.
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

proc finish {chan} {
    if {[gets $chan line] >= 0} {set ::result $line}
}

# The Tcl service.
dbus connect
dbus method /bench org.bench.Echo echo
set client [peer client [dbus info name] $count $window]
gets $client
fileevent $client readable [list finish $client]
puts $client go
vwait ::result
set tclResult $::result
close $client
dbus close

# The python3-dbus service.
set service [peer serve]
set name [gets $service]
set client [peer client $name $count $window]
gets $client
puts $client go
set pyResult [gets $client]
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
