# activated.tcl --
#
#	A service the bus starts when it is first called, and that goes
#	away on its own when nobody has called it for a while:
#
#	    tclsh activated.tcl ?IDLE-MS?
#
#	Meant to be started by the bus, through the activation file
#	org.vantrel.Activated.service beside it: the bus that starts it
#	says where it is in the environment, which the busId "starter"
#	reads. Started by hand, it uses the session bus.
#
#	Owns org.vantrel.Activated and exports /org/vantrel/Activated,
#	interface org.vantrel.Activated:
#
#	    Hello (s name) -> s	"hello, NAME"
#	    Served () -> u u	this process's ID and the number of calls
#				it has answered, this one included
#
#	After IDLE-MS milliseconds (default 10000) without a call it
#	releases its name first, so that the bus starts a new instance for
#	the next call, answers every call that reached it before the name
#	went, and exits. Nothing is lost: a call racing the exit is either
#	answered here or starts the next instance.

package require dbus

set idle [expr {[llength $argv] ? [lindex $argv 0] : 10000}]
set busId [expr {[info exists env(DBUS_STARTER_ADDRESS)] ? "starter" : "session"}]
# A service whose bus goes has nobody left to serve: it ends.
set bus [dbus connect -bgerror 1 -notify {apply {{what args} {
    if {$what eq "lost"} {set ::done 1}
}}} $busId]
set served 0
set leaving 0

dbus declare org.vantrel.Activated {
    method Hello {name s} {greeting s}
    method Served {} {pid u calls u}
}

# Every call puts the idle deadline off, until the name is given up.
proc busy {} {
    incr ::served
    if {!$::leaving} {
	after cancel $::timer
	set ::timer [after $::idle leave]
    }
}

oo::class create Activated {
    method Hello {name} {
	busy
	return "hello, $name"
    }
    method Served {} {
	busy
	list [pid] $::served
    }
}

# leave --
#	Gives the name up, then serves what the bus had already routed
#	here: it reached the connection before the bus's answer to the
#	release, and once the release is answered nothing more comes. Then
#	exits.
proc leave {} {
    set ::leaving 1
    # A bus gone meanwhile has taken the name with it.
    catch {dbus release $::bus org.vantrel.Activated}
    after 100 {set ::done 1}
}

dbus object $bus /org/vantrel/Activated org.vantrel.Activated [Activated new]
dbus name $bus org.vantrel.Activated
set timer [after $idle leave]
vwait ::done
dbus close $bus
