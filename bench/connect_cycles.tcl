# connect_cycles.tcl --
#
#	Opens and closes connections in a loop and prints the process's
#	open descriptors and resident memory after a warm-up and after the
#	measured cycles. Usage: tclsh connect_cycles.tcl ?cycles?

package require dbus

proc fds {} {llength [glob -nocomplain -directory /proc/self/fd *]}
proc rss {} {
    set f [open /proc/self/status]
    set text [read $f]
    close $f
    regexp {VmRSS:\s+(\d+)} $text -> kb
    return $kb
}

set cycles [expr {$argc > 0 ? [lindex $argv 0] : 1000}]
for {set i 0} {$i < 200} {incr i} {dbus close [dbus connect]}
update
set fd0 [fds]
set rss0 [rss]
set t0 [clock microseconds]
for {set i 0} {$i < $cycles} {incr i} {
    dbus close [dbus connect]
    if {$i % 100 == 0} update
}
update
set us [expr {[clock microseconds] - $t0}]
puts [format "tcl    %6d cycles  %6.0f us/cycle  fds %d -> %d  rss %d kB -> %d kB (%+d kB)" \
	$cycles [expr {double($us) / $cycles}] $fd0 [fds] $rss0 [rss] [expr {[rss] - $rss0}]]
