# threads_child.tcl --
#
#	For threads.test: loads the extension in several threads of a fresh
#	process at once, so that the process-wide set-up runs concurrently,
#	then lets each thread serve or call over its own connections, and
#	last ends threads while coroutines of theirs await (a sanitizer run
#	sees what they leave behind). Prints one line per thread and "done".

package require Thread
set build [lindex $argv 0]
set n 4
set ready [list]
for {set i 0} {$i < $n} {incr i} {
    set t [thread::create]
    thread::send $t [list set auto_path [linsert $auto_path 0 $build]]
    lappend threads $t
}
# Every thread loads the library at the same moment.
foreach t $threads {
    thread::send -async $t {
	package require dbus
	set bus [dbus connect]
	list [dbus info $bus name] [dbus call -dest org.freedesktop.DBus \
	    /org/freedesktop/DBus org.freedesktop.DBus GetNameOwner org.freedesktop.DBus]
    } result($t)
}
foreach t $threads {
    if {![info exists result($t)]} {vwait result($t)}
}
foreach t $threads {puts "loaded $result($t)"}

# The first thread serves a method from its own event loop; the others
# call it through the bus.
set server [lindex $threads 0]
set name [thread::send $server {
    dbus method /calc Add {apply {{hdr a b} {expr {$a + $b}}}}
    dbus info name
}]
thread::send -async $server {vwait forever}
foreach t [lrange $threads 1 end] {
    thread::send -async $t [list dbus call -dest $name -signature ii /calc org.x.Calc Add 20 22] sum($t)
}
foreach t [lrange $threads 1 end] {
    if {![info exists sum($t)]} {vwait sum($t)}
    puts "sum $sum($t)"
}
foreach t [lrange $threads 1 end] {
    thread::send $t {dbus close}
    thread::release $t
}

# Fresh threads end with a coroutine's resumption still queued: each
# awaits a call on a connection that it then closes, and ends before its
# event loop runs again. Nothing of the await may outlive the thread.
set leaving {}
for {set i 0} {$i < $n} {incr i} {
    set t [thread::create -joinable]
    thread::send $t [list set auto_path [linsert $auto_path 0 $build]]
    thread::send -async $t [list apply {{name} {
	package require dbus
	dbus connect
	coroutine waiter dbus call -yield -dest $name -signature ii \
	    /calc org.x.Calc Add 1 2
	dbus close
	thread::release
    }} $name]
    lappend leaving $t
}
foreach t $leaving {
    thread::join $t
}
puts done
exit 0
