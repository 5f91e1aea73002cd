# serve_objects.tcl --
#
#	The Tcl service of the exported-object benchmark: on one connection
#	to the session bus it serves
#
#	  /obj    an exported object of org.vantrel.Bench whose property
#	          Value is stored with $obj set: the library answers
#	          Properties.Get without running a script;
#	  /plain  the same value through a plain handler registered for
#	          org.freedesktop.DBus.Properties.Get (typed with -in/-out),
#	          which looks the value up in a dict;
#	  /big    an exported object of 50 methods and 20 properties, for
#	          the cost of Introspect.
#
#	Prints its unique name, then serves until killed.
#	Usage: tclsh serve_objects.tcl (needs DBUS_SESSION_BUS_ADDRESS and
#	the built package on auto_path; bench/run-objects.sh sets both).

package require dbus

dbus connect

dbus declare org.vantrel.Bench {
    property Value s read
}
set obj [dbus object /obj org.vantrel.Bench]
$obj set Value "the value"

set values {org.vantrel.Bench {Value {s {the value}}}}
proc get {hdr interface property} {
    dict get $::values $interface $property
}
dbus method -in ss -out v /plain org.freedesktop.DBus.Properties.Get get

# The large object: methods of a few arguments each, properties of
# assorted types and access, some members annotated.
set types {i s x d b as a{sv} (ii) o ay}
set body {}
for {set i 0} {$i < 50} {incr i} {
    set in [list first [lindex $types [expr {$i % 10}]] second s]
    set out [list result [lindex $types [expr {($i + 3) % 10}]]]
    set options [expr {$i % 7 == 0 ? {-deprecated true} : {}}]
    append body [list method [format Method%02d $i] $in $out {*}$options] \n
}
for {set i 0} {$i < 20} {incr i} {
    set access [lindex {read readwrite} [expr {$i % 2}]]
    set options [expr {$i % 5 == 0 ? {-emits invalidates} : {}}]
    append body [list property [format Property%02d $i] \
	[lindex $types [expr {$i % 10}]] $access {*}$options] \n
}
append body [list signal Changed {what s how i}] \n
dbus declare org.vantrel.Big $body
set big [dbus object /big org.vantrel.Big]

puts [dbus info name]
flush stdout
vwait forever
