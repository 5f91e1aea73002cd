# support.tcl --
#
#	Sourced by every test file: loads tcltest and the extension from the
#	build tree, and starts private message buses for the file's tests.
#	Nothing here ever talks to the machine's own buses: the session bus
#	is a dbus-daemon of our own in a temporary directory, and a system
#	bus is started only at the fixed system socket inside a private
#	mount namespace that the test runner set up. With the environment
#	variable VANTREL_BUS=broker the buses are dbus-broker instead, started
#	through tests/broker_launch.py.

package require tcltest 2.2
namespace import ::tcltest::*

namespace eval vt {
    variable here [file dirname [file normalize [info script]]]
    variable build [expr {[info exists ::env(VANTREL_BUILD)]
	? $::env(VANTREL_BUILD) : [file join [file dirname $here] build]}]
    variable buses {}
    variable tmpdirs {}
    # What vt::record recorded.
    variable got {}
    # Debian's own python3, which has the dbus module.
    variable python /usr/bin/python3
    # The sanitizer runtime the runner preloaded into this process; child
    # processes (daemons, python peers) must not inherit it.
    variable preload {}
    if {[info exists ::env(LD_PRELOAD)]} {
	set preload $::env(LD_PRELOAD)
	unset ::env(LD_PRELOAD)
    }
    # Which message bus vt::startbus starts: dbus-daemon or dbus-broker.
    variable broker [expr {[info exists ::env(VANTREL_BUS)]
	&& $::env(VANTREL_BUS) eq "broker"}]
}

set ::auto_path [linsert $::auto_path 0 $::vt::build]
package require dbus

# vt::tmpdir --
#	Makes a fresh directory that vt::cleanup removes.
proc vt::tmpdir {} {
    variable tmpdirs
    set base [expr {[info exists ::env(TMPDIR)] ? $::env(TMPDIR) : "/tmp"}]
    for {set i 0} {$i < 100} {incr i} {
	set dir [file join $base vantrel-[pid]-[clock microseconds]-$i]
	if {![file exists $dir]} break
    }
    file mkdir $dir
    lappend tmpdirs $dir
    return $dir
}

# vt::startbus --
#	Starts a private dbus-daemon of the given type listening on the
#	given address (a socket in a fresh directory by default), with the
#	given authentication mechanism (ANONYMOUS also allows anonymous
#	clients) and the given limits (a dict of dbus-daemon limit names
#	and values, on top of 64 descriptors per message), and returns its
#	address. The daemon allows everything, including eavesdropping, so
#	tests may monitor and own any name. Under VANTREL_BUS=broker it is
#	a dbus-broker with the same configuration, which listens only on
#	unix sockets and knows only EXTERNAL authentication (the tcp
#	constraint). With a service directory, the bus starts the services
#	of the activation files there (dbus-daemon only: dbus-broker leaves
#	that to systemd).
proc vt::startbus {{type session} {listen ""} {auth EXTERNAL} {limits {}}
	{servicedir ""}} {
    variable buses
    variable broker
    variable here
    set limits [dict merge {max_message_unix_fds 64} $limits]
    set limitLines [join [lmap {name value} $limits {
	format {  <limit name="%s">%s</limit>} $name $value
    }] \n]
    set dir [tmpdir]
    if {$listen eq ""} {
	set listen unix:path=[file join $dir bus.sock]
    }
    set config [file join $dir bus.conf]
    set f [open $config w]
    set anonymous [expr {$auth eq "ANONYMOUS" ? "<allow_anonymous/>" : ""}]
    if {$servicedir ne ""} {
	append anonymous "\n  <servicedir>$servicedir</servicedir>"
    }
    puts $f [string map [list @TYPE@ $type @LISTEN@ $listen @AUTH@ $auth \
	    @ANONYMOUS@ $anonymous @LIMITS@ $limitLines] {<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>@TYPE@</type>
  <listen>@LISTEN@</listen>
  <auth>@AUTH@</auth>
  @ANONYMOUS@
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
    <allow user="*"/>
  </policy>
@LIMITS@
</busconfig>}]
    close $f
    if {$broker} {
	if {![regexp {^unix:path=([^,;]+)$} $listen -> path]} {
	    return -code error "dbus-broker listens on unix sockets only: $listen"
	}
	set scope [expr {$type eq "system" ? "system" : "user"}]
	set out [exec $::vt::python [file join $here broker_launch.py] \
		$config $path $scope [file join $dir broker.log]]
    } else {
	set out [exec dbus-daemon --config-file=$config --fork \
		--print-address=1 --print-pid=1]
    }
    lassign [split [string trim $out] \n] address pid
    set address [string trim $address]
    set pid [string trim $pid]
    lappend buses $pid
    if {[info exists ::env(VANTREL_PIDFILE)]} {
	set f [open $::env(VANTREL_PIDFILE) a]
	puts $f $pid
	close $f
    }
    return $address
}

# vt::owner --
#	The unique name of a bus name's owner ("" when it has none), asked
#	on the given connection.
proc vt::owner {bus name} {
    try {
	dbus call $bus -dest org.freedesktop.DBus /org/freedesktop/DBus \
		org.freedesktop.DBus GetNameOwner $name
    } trap {DBUS CALL REPLY org.freedesktop.DBus.Error.NameHasNoOwner} {} {
	return ""
    }
}

# vt::mock --
#	Starts python3-dbusmock with a template on the session bus (or the
#	bus given: session or system) and waits until it owns the
#	template's bus name, taken over from its owner if it had one. Its
#	output goes to a log file. Returns its PID, for vt::stopmock.
proc vt::mock {template name {bus session}} {
    variable python
    set log [file join [tmpdir] $template.log]
    set ask [dbus connect $bus]
    set before [owner $ask $name]
    set pid [exec $python -m dbusmock --$bus --template $template \
	    >$log 2>@1 &]
    try {
	if {![wait {[vt::owner $ask $name] ni [list "" $before]} 20000]} {
	    catch {exec kill $pid}
	    error "dbusmock $template did not take $name"
	}
    } finally {
	dbus close $ask
    }
    return $pid
}

# vt::stopmock --
#	Stops a mock started by vt::mock, by its PID, and waits until its
#	name is free.
proc vt::stopmock {pid name {bus session}} {
    catch {exec kill $pid}
    set ask [dbus connect $bus]
    wait {[vt::owner $ask $name] eq ""} 10000
    dbus close $ask
}

# vt::example --
#	Starts a script of examples/ as a process of its own that finds the
#	extension in the build tree (with the sanitizer runtime this process
#	was started with, if any). Returns a channel that reads its output,
#	standard error included; vt::stoppeer stops it.
proc vt::example {script args} {
    variable build
    variable preload
    variable here
    set saved [array get ::env TCLLIBPATH]
    set ::env(TCLLIBPATH) [list $build]
    if {$preload ne ""} {
	set ::env(LD_PRELOAD) $preload
    }
    try {
	set chan [open |[list [info nameofexecutable] \
		[file join [file dirname $here] examples $script] {*}$args \
		2>@1] r]
    } finally {
	unset -nocomplain ::env(LD_PRELOAD) ::env(TCLLIBPATH)
	array set ::env $saved
    }
    return $chan
}

# vt::stoppid --
#	Stops a daemon started by vt::startbus, by its PID.
proc vt::stoppid {pid} {
    catch {exec kill $pid}
}

# vt::scriptfile --
#	Writes a script for a child tclsh to a file of the given name in a
#	fresh directory, after a line that lets it find this build's
#	package, and returns the file's path.
proc vt::scriptfile {name body} {
    set script [file join [tmpdir] $name]
    set f [open $script w]
    puts $f [list set auto_path $::auto_path]
    puts $f $body
    close $f
    return $script
}

# vt::tclsh --
#	Runs a Tcl script file in a new tclsh process (with the sanitizer
#	runtime this process was started with, if any) and returns its
#	output, standard error included.
# vt::spawn --
#	Starts a Tcl script file in a new tclsh process, with the sanitizer
#	runtime this process was started with (if any), as a pipe open for
#	reading and writing; its standard error goes to ours.
proc vt::spawn {script args} {
    variable preload
    if {$preload ne ""} {
	set ::env(LD_PRELOAD) $preload
    }
    try {
	open |[list [info nameofexecutable] $script {*}$args 2>@stderr] r+
    } finally {
	unset -nocomplain ::env(LD_PRELOAD)
    }
}

proc vt::tclsh {script args} {
    variable preload
    if {$preload ne ""} {
	set ::env(LD_PRELOAD) $preload
    }
    try {
	exec [info nameofexecutable] $script {*}$args 2>@1
    } finally {
	unset -nocomplain ::env(LD_PRELOAD)
    }
}

# vt::peer --
#	Starts a python3-dbus peer script from tests/peer with the given
#	arguments, waits for its first output line (its "ready" line) and
#	returns {channel line}. The peer runs until vt::stoppeer.
proc vt::peer {script args} {
    variable here
    variable python
    set chan [open |[list $python -u [file join $here peer $script] \
	    {*}$args 2>@stderr] r+]
    fconfigure $chan -buffering line
    set line [gets $chan]
    return [list $chan $line]
}

# vt::startpeer --
#	Starts the python3-dbus client peer (tests/peer/client.py) for one
#	test, as the global "peer", and empties vt::got. The session bus
#	connection that the peer is to talk to is opened first and becomes
#	the default, unless -noconnect is given (for tests that open their
#	connections themselves). Returns the connection's busId, or "" with
#	-noconnect. vt::stoppeer without arguments undoes it.
proc vt::startpeer {{option ""}} {
    variable got
    if {$option ni {"" -noconnect}} {
	return -code error "bad option \"$option\": must be -noconnect"
    }
    set conn [expr {$option eq "" ? [dbus connect] : ""}]
    lassign [peer client.py] ::peer ready
    set got {}
    return $conn
}

# vt::stoppeer --
#	Stops a process started by vt::peer or vt::busmonitor, by its PIDs.
#	Without a channel: stops the peer of vt::startpeer and closes every
#	connection of the interpreter, for a test's -cleanup.
proc vt::stoppeer {{chan ""}} {
    if {$chan eq ""} {
	stoppeer $::peer
	closeall
	return
    }
    foreach pid [pid $chan] {catch {exec kill $pid}}
    catch {close $chan}
}

# vt::wait --
#	Runs the event loop until the expression is true or ms elapse.
#	Returns the final truth value of the expression.
proc vt::wait {expr {ms 5000}} {
    set deadline [expr {[clock milliseconds] + $ms}]
    while {![uplevel 1 [list expr $expr]]} {
	if {[clock milliseconds] > $deadline} {return 0}
	after 5 [list set ::vt::tick 1]
	vwait ::vt::tick
    }
    return 1
}

# vt::settle --
#	Runs the event loop for ms milliseconds, for a test that checks
#	that something does not happen (no handler runs, no reply comes):
#	what would have happened has had its chance. Waiting for something
#	that must happen is vt::wait's job.
proc vt::settle {ms} {
    after $ms [list set ::vt::settled 1]
    vwait ::vt::settled
}

# vt::record --
#	A handler script prefix that records each call: appends the tag and
#	every word the handler was given (for handlers, the header dict and
#	the arguments) as one element to vt::got. vt::startpeer empties
#	vt::got; tests without a peer empty it in their -setup.
proc vt::record {tag args} {
    variable got
    lappend got [list $tag {*}$args]
}

# vt::recorded --
#	Returns what vt::record recorded, one element per call, in order.
#	Without arguments each element is the tag alone. Otherwise it is a
#	list of the tag, the values of the given keys of the header dict
#	(the second word recorded), and with -args the handler's arguments
#	(the words after the header).
proc vt::recorded {args} {
    variable got
    set withArgs [expr {[lindex $args 0] eq "-args"}]
    if {$withArgs} {
	set args [lrange $args 1 end]
    }
    if {!$withArgs && [llength $args] == 0} {
	return [lmap g $got {lindex $g 0}]
    }
    lmap g $got {
	set hdr [lindex $g 1]
	set r [list [lindex $g 0]]
	foreach key $args {lappend r [dict get $hdr $key]}
	if {$withArgs} {lappend r {*}[lrange $g 2 end]}
	set r
    }
}

# vt::closeall --
#	Closes every connection the interpreter has open, for -cleanup.
proc vt::closeall {} {
    while {![catch {dbus close}]} {}
    for {set i 1} {$i < 1000} {incr i} {catch {dbus close dbus$i}}
}

# vt::cleanup --
#	Ends a test file: reports, then stops its buses and removes its
#	temporary directories.
proc vt::cleanup {} {
    variable buses
    variable tmpdirs
    cleanupTests
    foreach pid $buses {stoppid $pid}
    foreach dir $tmpdirs {catch {file delete -force $dir}}
    set buses {}
    set tmpdirs {}
}

# The environment of every test file: a private session bus, no starter
# bus, and the system bus only where the runner made one of our own. A
# file that sets vt::nobus to 1 before sourcing this one runs with no bus
# daemon at all.
foreach var {DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE DBUS_SYSTEM_BUS_ADDRESS
	DBUS_SESSION_BUS_ADDRESS} {
    unset -nocomplain ::env($var)
}
if {![info exists vt::nobus]} {
    set vt::nobus 0
}
if {!$vt::nobus} {
    set ::env(DBUS_SESSION_BUS_ADDRESS) [vt::startbus session]
    set vt::session $::env(DBUS_SESSION_BUS_ADDRESS)
}

testConstraint systembus 0
if {!$vt::nobus && [info exists ::env(VANTREL_PRIVATE_SYSTEM_BUS)]
	&& $::env(VANTREL_PRIVATE_SYSTEM_BUS) eq "1"} {
    set vt::system [vt::startbus system unix:path=/var/run/dbus/system_bus_socket]
    testConstraint systembus 1
}
testConstraint pythondbus [expr {![catch {exec $vt::python -c "import dbus"}]}]

# What a script sees differently on the two bus implementations (dbus.n,
# "DBUS-DAEMON AND DBUS-BROKER"): daemon, the texts of dbus-daemon's own
# errors; eavesdrop, match rules with the eavesdrop key, which dbus-broker
# refuses even as false; tcp, a bus listening on TCP with ANONYMOUS
# authentication, which dbus-broker cannot; depth64, messages nested 64
# containers deep (as libdbus allows) arriving from a peer, which
# dbus-broker disconnects instead. broker: dbus-broker's side of these
# differences.
testConstraint broker $vt::broker
foreach c {daemon eavesdrop tcp depth64} {
    testConstraint $c [expr {!$vt::broker}]
}
testConstraint gdbus [expr {[auto_execok gdbus] ne ""}]

# vt::tcpbus --
#	Starts a private session-type bus that listens on TCP at the
#	loopback address with anonymous authentication, and returns its
#	address. Descriptors cannot travel over TCP, so its connections
#	cannot pass them.
proc vt::tcpbus {} {
    startbus session tcp:host=127.0.0.1,bind=127.0.0.1,port=0 ANONYMOUS
}

# vt::readline --
#	Reads the next line that a peer started by vt::peer prints, running
#	the event loop meanwhile. Returns the line, or "timeout" when none
#	comes within ms milliseconds.
proc vt::readline {chan {ms 5000}} {
    variable line
    set line ""
    fconfigure $chan -blocking 0
    fileevent $chan readable [list apply {{chan} {
	if {$::vt::line eq "" && [gets $chan l] >= 0} {
	    set ::vt::line [list $l]
	}
    }} $chan]
    set ok [vt::wait {$::vt::line ne ""} $ms]
    fileevent $chan readable {}
    fconfigure $chan -blocking 1
    return [expr {$ok ? [lindex $line 0] : "timeout"}]
}

# vt::tell --
#	Sends one request line to a peer and returns at once; its answer
#	is for vt::readline.
proc vt::tell {chan request} {
    puts $chan $request
    flush $chan
}

# vt::request --
#	Sends one request line to a peer and returns its answer line.
proc vt::request {chan request {ms 5000}} {
    tell $chan $request
    return [readline $chan $ms]
}

# vt::typed --
#	The arguments of an answer or signal line of tests/peer/client.py
#	with "typed", as a list, each written with the D-Bus type of every
#	variant's content ("<i 7>", "{k: <s x>}"); any other line as it is.
proc vt::typed {line} {
    if {![regexp {"typed": \[(.*)\]\}$} $line -> typed]} {
	return $line
    }
    lmap {- s} [regexp -all -inline {"((?:[^"\\]|\\.)*)"} $typed] {
	subst -nocommands -novariables $s
    }
}

# vt::pycall --
#	The request line that makes tests/peer/client.py call a method:
#	argsJson is a JSON array text, options are further JSON members
#	such as "noreply": true.
proc vt::pycall {dest path iface method {sig ""} {argsJson "[]"} args} {
    set extra ""
    foreach member $args {append extra ", $member"}
    format {{"op": "call", "dest": "%s", "path": "%s", "iface": "%s", "method": "%s", "sig": "%s", "args": %s%s}} \
	$dest $path $iface $method $sig $argsJson $extra
}

# vt::takedest --
#	Takes a leading "-dest name" off the words in the caller's variable
#	argsVar and returns the name; without one, the unique name of the
#	interpreter's default connection.
proc vt::takedest {argsVar} {
    upvar 1 $argsVar words
    if {[lindex $words 0] eq "-dest"} {
	set dest [lindex $words 1]
	set words [lrange $words 2 end]
	return $dest
    }
    return [dbus info name]
}

# vt::call --
#	Makes the peer of vt::startpeer call a method and returns its answer
#	line. Usage: vt::call ?-dest name? path iface method ?sig? ?argsJson?
#	?jsonMember ...?, the words after -dest as for vt::pycall. The call
#	goes to the interpreter's default connection unless -dest names
#	another.
proc vt::call {args} {
    set dest [takedest args]
    request $::peer [pycall $dest {*}$args]
}

# vt::emit --
#	Makes the peer of vt::startpeer emit a signal addressed to the
#	interpreter's default connection (or with -dest to the named one),
#	so that it is delivered without a match rule, and returns the peer's
#	answer line. Usage: vt::emit ?-dest name? path iface member ?sig?
#	?argsJson?, argsJson a JSON array text.
proc vt::emit {args} {
    set dest [takedest args]
    lassign $args path iface member sig argsJson
    if {$argsJson eq ""} {set argsJson {[]}}
    request $::peer [format {{"op": "emit", "dest": "%s", "path": "%s", "iface": "%s", "member": "%s", "sig": "%s", "args": %s}} \
	$dest $path $iface $member $sig $argsJson]
}

# vt::busmonitor --
#	Starts dbus-monitor as an eavesdropper on the given bus and returns
#	its channel once it is attached; stop it with vt::stoppeer.
proc vt::busmonitor {address} {
    set chan [open |[list dbus-monitor --address $address --monitor 2>@1] r]
    fconfigure $chan -blocking 0
    # dbus-monitor announces itself once it is attached.
    set deadline [expr {[clock milliseconds] + 5000}]
    set seen ""
    while {[clock milliseconds] < $deadline} {
	append seen [read $chan]
	if {[string match *NameLost* $seen] || [string match *BecomeMonitor* $seen]} break
	after 10 [list set ::vt::tick 1]
	vwait ::vt::tick
    }
    return $chan
}

# vt::monitorlines --
#	Returns what a dbus-monitor started by vt::busmonitor printed until
#	ms milliseconds from now, running the event loop meanwhile.
proc vt::monitorlines {chan {ms 300}} {
    set text ""
    set deadline [expr {[clock milliseconds] + $ms}]
    while {[clock milliseconds] < $deadline} {
	append text [read $chan]
	after 10 [list set ::vt::tick 1]
	vwait ::vt::tick
    }
    append text [read $chan]
    return $text
}
