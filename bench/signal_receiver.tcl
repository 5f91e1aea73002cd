# signal_receiver.tcl --
#
#	The Tcl receiver of the signal benchmark (bench/run-instructions.sh
#	signals): org.bench.Tick(i, text) on /bench dispatched to a Tcl
#	procedure, registered with dbus listen or with dbus bind.
#
#	Usage: tclsh signal_receiver.tcl BUILDDIR ADDRESS listen|bind N ?M?
#	With M, the receiver first makes M bindings that no signal of the
#	benchmark matches (each its own path, interface and member), as a
#	program following many objects has.
#	Prints its unique name, waits for a line on standard input (so that
#	every signal can be queued for it first), then runs the event loop
#	until N signals have reached the handler; prints "received N".

lassign $argv build address how count unrelated
set auto_path [linsert $auto_path 0 $build]
package require dbus

proc tick {hdr i text} {
    if {[incr ::n] == $::count} {
	set ::done 1
    }
}

set bus [dbus connect $address]
for {set i 0} {$i < ($unrelated eq "" ? 0 : $unrelated)} {incr i} {
    dbus bind $bus -path /other/o$i -interface org.other.I$i -member M$i tick
}
switch -- $how {
    listen {
	dbus listen $bus /bench org.bench.Tick tick
    }
    bind {
	dbus bind $bus -path /bench -interface org.bench -member Tick tick
    }
    default {
	error "unknown receiver $how"
    }
}
set n 0
puts [dbus info $bus name]
flush stdout
gets stdin
vwait ::done
puts "received $n"
