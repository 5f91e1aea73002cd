# polkit.tcl --
#
#	A system service whose methods are guarded by polkit:
#
#	    tclsh polkit.tcl ?busId?
#
#	Owns org.vantrel.PolkitDemo on the system bus (or the bus busId
#	names) and exports /org/vantrel/PolkitDemo, interface
#	org.vantrel.PolkitDemo:
#
#	    Ping () -> s		anybody; answers "pong"
#	    Greet (s name) -> s	action org.vantrel.polkitdemo.greet
#	    Quit ()			action org.vantrel.polkitdemo.quit
#	    Motd, property s	anybody reads it; setting it needs the
#				action org.vantrel.polkitdemo.set-motd
#
#	Before a guarded call reaches the object, the polkit authority is
#	asked whether the caller (its unique bus name, the subject kind
#	"system-bus-name") may perform the action; the caller's
#	interactive-authorization flag is passed on, so that polkit may ask
#	its user for a password. Each check is awaited in the call's own
#	coroutine: while polkit thinks, other callers are served. A refused
#	call gets org.freedesktop.DBus.Error.AccessDenied.
#
#	Prints "ready" once it owns its name, "greet NAME" for each Greet
#	it serves and "quit" when told to; a
#	failed check is reported on stderr (and refuses the call). Every
#	line is flushed at once.

package require dbus

set bus [dbus connect -bgerror 1 \
	[expr {[llength $argv] ? [lindex $argv 0] : "system"}]]
fconfigure stdout -buffering line

dbus declare org.vantrel.PolkitDemo {
    method Ping {} {reply s}
    method Greet {name s} {greeting s}
    method Quit
    property Motd s readwrite
}

# The polkit action that guards each member; members not listed are
# open to everybody.
set actions {
    Greet org.vantrel.polkitdemo.greet
    Quit  org.vantrel.polkitdemo.quit
    Motd  org.vantrel.polkitdemo.set-motd
}

# authorize --
#	The object's -authorize command: asks polkit about the action of
#	the called member, for the caller, and returns whether it may.
#	For Properties.Set the member is "Set" and the property is the
#	second argument, which the header does not carry: the action of
#	every writable property is the same here, "Motd"'s.
proc authorize {credentials header} {
    set member [dict get $header member]
    if {[dict get $header interface] eq "org.freedesktop.DBus.Properties"} {
	set member Motd
    }
    if {![dict exists $::actions $member]} {
	return 1
    }
    set subject [list system-bus-name \
	    [dict create name [list s [dict get $header sender]]]]
    # CheckAuthorizationFlags: 1 lets polkit ask the user.
    set flags [expr {[dict get $header interactive] ? 1 : 0}]
    lassign [dbus call $::bus -yield -dest org.freedesktop.PolicyKit1 \
	    -signature {(sa{sv})sa{ss}us} \
	    /org/freedesktop/PolicyKit1/Authority \
	    org.freedesktop.PolicyKit1.Authority CheckAuthorization \
	    $subject [dict get $::actions $member] {} $flags ""] \
	    authorized challenge
    return $authorized
}

oo::class create Demo {
    method Ping {} {return pong}
    method Greet {name} {
	puts "greet $name"
	return "hello, $name"
    }
    method Quit {} {
	puts quit
	after idle {set ::done 1}
    }
}

set obj [dbus object $bus -authorize authorize /org/vantrel/PolkitDemo \
	org.vantrel.PolkitDemo [Demo new]]
$obj set Motd "welcome"
dbus name $bus org.vantrel.PolkitDemo
puts ready
vwait ::done
dbus close $bus
