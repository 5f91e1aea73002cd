# serve_signals.tcl --
#
#	Signals received and dispatched to a handler per second: a python3-dbus
#	peer sends N signals to a Tcl handler registered with dbus listen,
#	then the same N signals to a python3-dbus handler, in the same run on
#	the same bus. The receiver is kept from reading until every signal
#	has been sent, so that the time measured is its own work only.
#
#	Usage: tclsh serve_signals.tcl ?count? (needs DBUS_SESSION_BUS_ADDRESS
#	and the built package on auto_path; bench/run-serving.sh sets both).

set count [expr {$argc > 0 ? [lindex $argv 0] : 20000}]
set here [file dirname [file normalize [info script]]]
set python /usr/bin/python3
package require dbus

proc peer {args} {
    global python here
    set chan [open |[list $python -u [file join $here serve_signals.py] {*}$args 2>@stderr] r+]
    fconfigure $chan -buffering line
    return $chan
}

proc tick {hdr i text} {
    if {[incr ::n] == $::count} {set ::done 1}
}

# Tcl receives.
dbus connect
dbus listen /bench org.bench.Tick tick
set n 0
set emitter [peer emit [dbus info name] $count]
gets $emitter
puts $emitter go
gets $emitter			;# "sent": everything is queued for us
set t0 [clock microseconds]
vwait ::done
set tclSeconds [expr {([clock microseconds] - $t0) / 1e6}]
close $emitter
dbus close

# python3-dbus receives.
set receiver [peer receive $count]
set name [gets $receiver]
set emitter [peer emit $name $count]
gets $emitter
puts $emitter go
gets $emitter
puts $receiver go
set pySeconds [gets $receiver]
close $emitter
close $receiver

set tclRate [expr {$count / $tclSeconds}]
set pyRate [expr {$count / $pySeconds}]
puts [format "signals dispatched to a handler: %d signals" $count]
puts [format "  Tcl (dbus listen)      %9.0f signals/s" $tclRate]
puts [format "  python3-dbus           %9.0f signals/s" $pyRate]
puts [format "  Tcl/python ratio       %9.2f" [expr {$tclRate / $pyRate}]]
