# p2p.tcl --
#
#	D-Bus without a bus: a Tcl service listens on a private socket and
#	serves a counter object to whoever connects; a second Tcl process,
#	started by the service, is its client. No bus daemon is involved.
#
#	Run it with "TCLLIBPATH=build tclsh examples/p2p.tcl". With
#	"-client ADDRESS" it is the client of a service already running.

package require dbus

dbus declare org.example.Counter {
    method Add {n i} {total i}
    signal Reached {total i}
    property Total i read
}

proc client {address} {
    # -peer: a peer-to-peer connection, with no bus to register with.
    set peer [dbus connect -peer 1 $address]
    # A proxy with an empty name: a peer has no bus name.
    set counter [dbus proxy $peer "" /org/example/Counter org.example.Counter]
    $counter bind Reached {apply {{total} {
	puts "the counter reached $total"
	set ::done 1
    }}}
    puts "Add 2 -> [$counter Add 2]"
    puts "Add 5 -> [$counter Add 5]"
    puts "Total is [$counter get Total]"
    $counter Add 10
    vwait ::done
    dbus close $peer
}

# The service: one counter per peer, exported on the peer's connection.
proc accept {peer} {
    set obj [dbus object $peer /org/example/Counter org.example.Counter \
	    [list count $peer]]
    $obj set Total 0
    set ::counters($peer) $obj
}

proc count {peer member n} {
    set obj $::counters($peer)
    set total [expr {[$obj get Total] + $n}]
    $obj set Total $total
    if {$total >= 10} {
	$obj emit Reached $total
    }
    return $total
}

# -notify: a peer that leaves is a lost connection, closed here.
proc lost {state peer} {
    dbus close $peer
    set ::gone $peer
}

if {[lindex $argv 0] eq "-client"} {
    client [lindex $argv 1]
    exit
}

set server [dbus connect -server accept -notify lost unix:tmpdir=/tmp]
puts "service: listening"
set client [open |[list [info nameofexecutable] [info script] -client \
	[$server address] 2>@stderr] r]
fileevent $client readable [list apply {{chan} {
    if {[gets $chan line] >= 0} {
	puts "client: $line"
    } elseif {[eof $chan]} {
	close $chan
	set ::ended 1
    }
}} $client]
vwait ::ended
if {![info exists ::gone]} {
    vwait ::gone
}
puts "service: peer $::gone has gone"
$server close
