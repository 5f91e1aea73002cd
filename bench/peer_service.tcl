# peer_service.tcl --
#
#	The Echo service of the peer mode of bench/run-instructions.sh, with
#	no bus: listens on a unix socket with dbus connect -server and
#	answers org.vantrel.Bench.Echo at /org/vantrel/Bench on every peer
#	connection with the arguments it was given, typed as they came.
#
#	Usage: tclsh peer_service.tcl BUILDDIR ADDRESS
#	Prints the address clients connect to, then serves until killed.

lassign $argv build address
set auto_path [linsert $auto_path 0 $build]
package require dbus

proc accept {peer} {
    dbus method $peer -async -details /org/vantrel/Bench \
	    org.vantrel.Bench.Echo [list echo $peer]
}

# A peer's caller has no name: the reply goes to "", the peer itself.
proc echo {peer header args} {
    dbus return $peer -signature [dict get $header signature] \
	    [dict get $header sender] [dict get $header serial] {*}$args
}

set server [dbus connect -server accept $address]
puts [$server address]
flush stdout
vwait forever
