# tour.tcl --
#
#	A tour of the D-Bus extension for Tcl. Run it with scripts/tour.sh,
#	which starts a private session bus for it; or against any session
#	bus with "TCLLIBPATH=build tclsh examples/tour.tcl".
#
#	The tour connects, asks the bus daemon about itself, owns a name,
#	serves methods and emits signals, and starts a second Tcl process
#	(tour-client.tcl) that calls those methods with typed values and
#	listens to the signals, while this process keeps serving from its
#	event loop.

package require dbus

set here [file dirname [file normalize [info script]]]

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
set second [dbus connect session]
puts "a second connection, $second, is [dbus info $second name];\
	the default stays [dbus info name]"
dbus close $second

section "Asking the bus daemon"
set daemon {-dest org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus}
puts "GetId:        [dbus call {*}$daemon GetId]"
puts "ListNames:    [dbus call {*}$daemon ListNames]"
catch {dbus call -signature s {*}$daemon GetNameOwner org.freedesktop.DBus} owner header
puts "GetNameOwner: $owner, answered by a [dict get $header messagetype]\
	with serial [dict get $header serial] to our call [dict get $header replyserial]"
try {
    dbus call -signature s {*}$daemon GetNameOwner org.vantrel.Nobody
} trap {DBUS CALL REPLY} {msg opts} {
    puts "an error reply: [lindex [dict get $opts -errorcode] 3]: $msg"
}

section "Typed values, out and back"
# Each value goes out with the signature given, arrives at our Echo
# method in the client's call and comes back with the same signature.
set typed {
    y 200  n -2  q 65535  i -42  u 4294967295  x -9000000000
    t 18446744073709551615  d 2.5  b true  s "grüße"  o /org/vantrel/Tour
    g a{sv}  ai {1 2 3}  a{sv} {name {s tour} count {i 3}}  (si) {x 1}
    v {ad {0.5 1.5}}
}
puts "the client process below sends each of these to our Echo method:"
foreach {sig value} $typed {puts [format "  %-6s %s" $sig $value]}

section "Serving"
dbus name -noqueue org.vantrel.Tour
puts "we own org.vantrel.Tour: [dbus call -signature s {*}$daemon NameHasOwner org.vantrel.Tour]"

# Echo answers later, with the signature the caller names, through
# dbus return (-async: no automatic reply). With -details, variants
# arrive as {signature value} and so go back out unchanged.
dbus method -async -details /org/vantrel/Tour org.vantrel.Tour.Echo {apply {{hdr sig args} {
    dbus return -signature $sig [dict get $hdr sender] [dict get $hdr serial] {*}$args
}}}
dbus method /org/vantrel/Tour Add {apply {{hdr a b} {expr {$a + $b}}}}
dbus method /org/vantrel/Tour Fail {apply {{hdr} {
    return -code error -name org.vantrel.Tour.Error.Refused "not today"
}}}
dbus listen /org/vantrel/Client org.vantrel.Client.Said {apply {{hdr text} {
    puts "  signal from [dict get $hdr sender]: $text"
    set ::thanked 1
}}}
dbus filter add type signal interface org.vantrel.Client
set seen 0
dbus monitor {apply {{hdr args} {
    if {[dict get $hdr messagetype] eq "method_call"} {incr ::seen}
}}}
puts "serving /org/vantrel/Tour: Echo (async, typed reply), Add, Fail"

section "A client in a second Tcl process"
set client [open |[list [info nameofexecutable] [file join $here tour-client.tcl] \
	org.vantrel.Tour $typed 2>@1] r]
fconfigure $client -buffering line
fileevent $client readable [list apply {{chan} {
    if {[gets $chan line] >= 0} {
	puts "  client: $line"
	if {$line eq "ready for signals"} {
	    dbus signal -signature as /org/vantrel/Tour org.vantrel.Tour Tick {one two}
	}
    } elseif {[eof $chan]} {
	fileevent $chan readable {}
	set ::clientDone 1
    }
}} $client]
vwait clientDone
close $client
# The client's last signal travels through the bus on its own socket, so
# it may come after the client's output ends: wait for it a little.
if {![info exists thanked]} {
    set timeout [after 5000 {set ::thanked 0}]
    vwait thanked
    after cancel $timeout
}
puts "our monitor saw $seen method calls arrive"

section "Asynchronous calls"
dbus call -handler {apply {{hdr value} {
    puts "  GetId answered later: $value"
    set ::answered 1
}}} {*}$daemon GetId
puts "dbus call -handler returned at once"
vwait answered

section "Closing"
dbus release org.vantrel.Tour
dbus close $bus
if {[catch {dbus info name} msg opts]} {
    puts "after close: $msg ([dict get $opts -errorcode])"
}
