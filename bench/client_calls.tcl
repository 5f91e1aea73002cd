# client_calls.tcl --
#
#	The Tcl client of the client-side benchmark (bench/run-client.sh):
#	Echo calls with one short string to the C echo service, one call at
#	a time, in one of four forms:
#
#	    plain    dbus call -signature s (synchronous)
#	    proxy    $proxy Echo, typed from the service's introspection data
#	             (synchronous: not in a coroutine)
#	    handler  dbus call -handler, the loop driven by vwait
#	    yield    dbus call -yield inside a coroutine, the event loop
#	             running meanwhile
#
#	Usage: tclsh client_calls.tcl BUILDDIR ADDRESS SECONDS FORM ?FORM ...?
#	Runs bursts of calls of each form in turn for about SECONDS in all,
#	then prints one line per form: "FORM calls N wall S cpu S", the
#	wall-clock and CPU seconds being those of that form's bursts.

lassign $argv build address seconds
set forms [lrange $argv 3 end]
set burst 128
set auto_path [linsert $auto_path 0 $build]
package require dbus

set text "sixteen bytes..."
set dest org.vantrel.Bench
set path /org/vantrel/Bench
set interface org.vantrel.Bench

# The process's own CPU time in seconds: the time each of its threads
# (Tcl's notifier thread too) has spent on a processor, which the kernel
# counts in nanoseconds in /proc/self/task/*/schedstat.
proc cputime {} {
    set ns 0
    foreach file [glob -nocomplain /proc/self/task/*/schedstat] {
	set f [open $file]
	incr ns [lindex [read $f] 0]
	close $f
    }
    expr {$ns / 1e9}
}

set bus [dbus connect $address]

# Each form as a procedure run_FORM making count calls; the last reply
# is its result, checked once before measuring.
proc run_plain {count} {
    global bus dest path interface text
    for {set i 0} {$i < $count} {incr i} {
	set reply [dbus call $bus -signature s -dest $dest $path $interface \
		Echo $text]
    }
    return $reply
}

proc run_proxy {count} {
    global proxy text
    for {set i 0} {$i < $count} {incr i} {
	set reply [$proxy Echo $text]
    }
    return $reply
}

# The handler form: each call's script stores the reply (the last word
# after the header dict) and the loop waits for it with vwait.
proc got {hdr args} {
    set ::reply [lindex $args end]
}

proc run_handler {count} {
    global bus dest path interface text
    for {set i 0} {$i < $count} {incr i} {
	dbus call $bus -handler got -signature s -dest $dest $path $interface \
		Echo $text
	vwait ::reply
    }
    return $::reply
}

# The awaited form: the calls are made by a coroutine, which the event
# loop resumes with each reply; the caller waits until it has made them.
proc awaiter {count} {
    global bus dest path interface text
    for {set i 0} {$i < $count} {incr i} {
	set reply [dbus call $bus -yield -signature s -dest $dest $path \
		$interface Echo $text]
    }
    set ::awaited $reply
}

proc run_yield {count} {
    coroutine awaiting awaiter $count
    vwait ::awaited
    return $::awaited
}

foreach form $forms {
    if {$form ni {plain proxy handler yield}} {
	error "unknown form $form: must be plain, proxy, handler or yield"
    }
}
if {"proxy" in $forms} {
    set proxy [dbus proxy $bus $dest $path $interface]
}
foreach form $forms {
    if {[run_$form 1] ne $text} {
	error "echo returned something else"
    }
    run_$form 100
    dict set calls $form 0
    dict set wall $form 0
    dict set cpu $form 0
}

# Bursts of each form in turn, so that the machine's other load falls
# on every form alike.
set start [clock microseconds]
while {[clock microseconds] - $start < $seconds * 1e6} {
    foreach form $forms {
	set wall0 [clock microseconds]
	set cpu0 [cputime]
	run_$form $burst
	dict incr calls $form $burst
	dict set wall $form [expr {[dict get $wall $form]
		+ ([clock microseconds] - $wall0) / 1e6}]
	dict set cpu $form [expr {[dict get $cpu $form] + [cputime] - $cpu0}]
    }
}
foreach form $forms {
    puts [format "%s calls %d wall %.6f cpu %.6f" $form [dict get $calls $form] \
	    [dict get $wall $form] [dict get $cpu $form]]
}
