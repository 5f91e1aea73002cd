# browser_service.tcl --
#
#	The service that busbrowser.test browses and scripts/screenshot.sh
#	shows, in a process of its own: owns org.vantrel.BrowseDemo on the
#	session bus and serves a small calculator at /org/vantrel/Demo with
#	two leaves below it. Prints "ready" once the name is its own, then
#	runs each line read on standard input as a Tcl command at global
#	level (the object is $demo, the connection $bus) and answers one
#	line, {code result}; it ends with its standard input.
#
#	Usage: tclsh browser_service.tcl ?builddir?

if {[llength $argv] > 0} {
    set auto_path [linsert $auto_path 0 [lindex $argv 0]]
}
package require dbus

dbus declare org.vantrel.Demo {
    method Add {a i b i} {sum i}
    method Join {words as separator s} {joined s}
    method Divide {a x b x} {quotient x remainder x}
    method Fail {}
    method Sleep {ms u} {slept u}
    signal Poked {who s}
    property Count i readwrite
    property Label s read
    property Tags as read
}
dbus declare org.vantrel.Leaf {
    method Ping {} {answer s}
    property Depth u read
}

# serve --
#	The methods of both interfaces.
proc serve {member args} {
    switch -- $member {
	Add {
	    lassign $args a b
	    return [expr {$a + $b}]
	}
	Join {
	    lassign $args words separator
	    return [join $words $separator]
	}
	Divide {
	    lassign $args a b
	    if {$b == 0} {
		return -code error -name org.vantrel.Demo.Error.DivisionByZero \
		    "cannot divide $a by zero"
	    }
	    return [list [expr {$a / $b}] [expr {$a % $b}]]
	}
	Fail {
	    return -code error -name org.vantrel.Demo.Error.Refused "not today"
	}
	Sleep {
	    # Answers after the given milliseconds, serving others meanwhile.
	    set ms [lindex $args 0]
	    after $ms [list $::demo return [$::demo caller] $ms]
	    return -async 1
	}
	Ping {
	    return pong
	}
    }
}

set bus [dbus connect]
set demo [dbus object $bus /org/vantrel/Demo org.vantrel.Demo serve]
$demo set Count 3 Label "a demo object" Tags {calculator example}
foreach {leaf depth} {a 1 b 2} {
    set leaves($leaf) [dbus object $bus /org/vantrel/Demo/leaves/$leaf \
	org.vantrel.Leaf serve]
    $leaves($leaf) set Depth $depth
}
dbus name $bus -noqueue org.vantrel.BrowseDemo

puts ready
flush stdout
fconfigure stdin -blocking 0
fileevent stdin readable {
    if {[gets stdin line] >= 0} {
	set code [catch {uplevel #0 $line} result]
	puts [list $code $result]
	flush stdout
    } elseif {[eof stdin]} {
	set done 1
    }
}
vwait done
dbus close $bus
