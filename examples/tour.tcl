# tour.tcl --
#
#	A tour of the D-Bus extension for Tcl. Run it with scripts/tour.sh,
#	which starts a private session bus for it; or against any session
#	bus with "TCLLIBPATH=build tclsh examples/tour.tcl".

package require dbus

proc section {title} {
    puts ""
    puts "== $title"
}

section "The library"
puts "package dbus [package require dbus], libdbus [dbus info version]"
puts "the bus is [dbus info service] at [dbus info path]"
puts "this machine is [dbus info machineid]"

section "Connecting"
set bus [dbus connect]
puts "dbus connect -> $bus"
puts "unique name:  [dbus info $bus name]"
puts "server id:    [dbus info $bus serverid]"
puts "capabilities: [dbus info $bus capabilities]"
puts "pending:      [dbus info $bus pending]"
set second [dbus connect session]
puts "a second connection, $second, is [dbus info $second name];\
	the default stays [dbus info name]"

section "Closing"
dbus close $second
dbus close $bus
if {[catch {dbus info name} msg opts]} {
    puts "after close: $msg ([dict get $opts -errorcode])"
}
