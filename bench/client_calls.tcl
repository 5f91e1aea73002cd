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
#	Usage: tclsh client_calls.tcl BUILDDIR ADDRESS FORM SECONDS
#	Prints "calls N wall S cpu S" like bench/echo_client.tcl.

lassign $argv build address form seconds
set auto_path [linsert $auto_path 0 $build]
package require dbus

set text "sixteen bytes..."
set dest org.vantrel.Bench
set path /org/vantrel/Bench
set interface org.vantrel.Bench

# The process's own CPU time in seconds, from /proc/self/stat (user and
# system time, in clock ticks).
set ticks [exec getconf CLK_TCK]
proc cputime {} {
    set f [open /proc/self/stat]
    set stat [read $f]
    close $f
    set fields [string range $stat [string last ")" $stat]+2 end]
    expr {([lindex $fields 11] + [lindex $fields 12]) / double($::ticks)}
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

if {$form eq "proxy"} {
    set proxy [dbus proxy $bus $dest $path $interface]
}
if {$form ni {plain proxy handler yield}} {
    error "unknown form $form: must be plain, proxy, handler or yield"
}

if {[run_$form 1] ne $text} {
    error "echo returned something else"
}
run_$form 100
set calls 0
set wall0 [clock microseconds]
set cpu0 [cputime]
while 1 {
    run_$form 64
    incr calls 64
    set wall [expr {([clock microseconds] - $wall0) / 1e6}]
    if {$wall >= $seconds} break
}
puts [format "calls %d wall %.6f cpu %.6f" $calls $wall [expr {[cputime] - $cpu0}]]
