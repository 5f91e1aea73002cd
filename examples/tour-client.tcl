# tour-client.tcl --
#
#	The second process of the tour: calls the tour's methods with typed
#	values and listens to its signals. Prints what it sees, one line at
#	a time, for the tour to show. Arguments: the service's bus name and
#	a list of signature/value pairs to echo.

package require dbus

lassign $argv service typed
set path /org/vantrel/Tour
dbus connect

foreach {sig value} $typed {
    set back [dbus call -details -dest $service -signature s$sig \
	    $path org.vantrel.Tour Echo $sig $value]
    puts [format "Echo %-6s %-28s -> %s" $sig [list $value] [list $back]]
}
puts "Add 2 40 -> [dbus call -dest $service -signature ii $path org.vantrel.Tour Add 2 40]"
try {
    dbus call -dest $service $path org.vantrel.Tour Fail
} trap {DBUS CALL REPLY} {msg opts} {
    puts "Fail -> [lindex [dict get $opts -errorcode] 3]: $msg"
}
try {
    dbus call -dest $service $path org.vantrel.Tour Missing
} trap {DBUS CALL REPLY} {msg opts} {
    puts "Missing -> [lindex [dict get $opts -errorcode] 3]"
}

dbus filter add type signal interface org.vantrel.Tour
dbus listen $path org.vantrel.Tour.Tick {apply {{hdr words} {
    puts "got Tick: $words ([dict get $hdr signature])"
    set ::ticked 1
}}}
puts "ready for signals"
vwait ticked
dbus signal /org/vantrel/Client org.vantrel.Client Said "thanks for the tour"
# Let the signal leave before the process ends.
while {[dbus info pending]} {update}
dbus close
