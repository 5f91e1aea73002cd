# player_service.tcl --
#
#	For client.test: a small service in a process of its own, so that
#	the test's proxies can call it synchronously. Serves org.vt.Player
#	at /p under the name given as the first argument, prints "ready"
#	and runs until its standard input closes.

set auto_path [linsert $auto_path 0 [lindex $argv 1]]
package require dbus
set bus [dbus connect]
dbus declare org.vt.Player {
    method Pair {a i b s} {x i y s}
    method SetVolume {v d} {}
    method Slow {ms u} {done s}
    method Seek {Offset x}
    signal Seeked {Position x}
    property Volume d readwrite
    property Name s read
    property Any v readwrite
    property Small y readwrite
}
oo::class create Player {
    method Pair {a b} {list [expr {$a * 2}] "$b$b"}
    method SetVolume {v} {$::obj set Volume $v}
    method Slow {ms} {
	set h [$::obj caller]
	after $ms [list $::obj return $h "slept $ms"]
	return -async 1
    }
    method Seek {offset} {$::obj emit Seeked $offset}
}
set obj [dbus object $bus /p org.vt.Player [Player new]]
$obj set Volume 0.75 Name Tcl Any {u 7} Small 1
dbus name $bus [lindex $argv 0]
puts ready
flush stdout
fileevent stdin readable {if {[gets stdin line] < 0} {exit}}
vwait forever
