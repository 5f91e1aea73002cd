# fdflood.tcl --
#
#	For hostile.test: run in a process whose descriptors are limited
#	(ulimit -n), it has a python3-dbus peer send signals with 16
#	descriptors each to a handler that ignores them, and prints
#	"handled N connected 0|1" once all arrived or 20 s passed.
#
#	Usage: fdflood.tcl build address peerScript count

lassign $argv build address peer count
set auto_path [linsert $auto_path 0 $build]
package require dbus
# The sanitizer runtime, if preloaded, is not for the python peer.
unset -nocomplain env(LD_PRELOAD)

set conn [dbus connect $address]
set n 0
dbus listen $conn /hostile org.vantrel.Hostile.Fds {apply {args {incr ::n}}}
set chan [open |[list /usr/bin/python3 -u $peer $address] r+]
fconfigure $chan -buffering line
gets $chan
puts $chan "fds [dbus info $conn name] $count 16"
set deadline [expr {[clock milliseconds] + 20000}]
while {$n < $count && [clock milliseconds] < $deadline
	&& ![catch {dbus info $conn name}]} {
    after 10 {set tick 1}
    vwait tick
}
puts "handled $n connected [expr {![catch {dbus info $conn name}]}]"
foreach pid [pid $chan] {catch {exec kill $pid}}
catch {close $chan}
dbus close $conn
