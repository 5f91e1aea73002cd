# echo_client.tcl --
#
#	The Tcl client of the method-call benchmark: synchronous [dbus call]
#	with -signature and -dest, the reply taken as the command's result.
#
#	Usage: tclsh echo_client.tcl BUILDDIR ?-peer? ADDRESS WORKLOAD SECONDS
#	       tclsh echo_client.tcl BUILDDIR ADDRESS WORKLOAD -count N
#	       tclsh echo_client.tcl BUILDDIR ADDRESS WORKLOAD -memory CALLS
#	       tclsh echo_client.tcl BUILDDIR ADDRESS memory CALLS
#	WORKLOAD is none, string, dict, bytes, ints, or bytearray: the
#	bytes as a Tcl byte array on a connection opened with -bytes 1.
#	Prints "calls N wall S cpu S" like bench/echo_client.c. With -count
#	it makes exactly N calls, without warm-up, checks the last reply and
#	prints "calls N". The -memory form prints "rss-before KB rss-after KB
#	calls N rss-half KB": the resident size after 1,000 warm-up calls of
#	the workload, after CALLS more, and half-way; "memory CALLS" is the
#	same for calls without arguments. With -peer, ADDRESS is that of a
#	peer (bench/peer_service.tcl), not of a bus.

set peer [expr {[lindex $argv 1] eq "-peer"}]
if {$peer} {
    set argv [lreplace $argv 1 1]
}
lassign $argv build address workload amount count
set mode seconds
if {$workload eq "memory"} {
    set workload none
    set mode memory
} elseif {$amount in {-count -memory}} {
    set mode [string range $amount 1 end]
    set amount $count
}
set auto_path [linsert $auto_path 0 $build]
package require dbus

switch -- $workload {
    none {
	set signature ""
	set args {}
    }
    string {
	set signature s
	set args [list [string repeat x 1024]]
    }
    dict {
	set d {}
	for {set i 0} {$i < 100} {incr i} {
	    dict set d key$i [expr {$i % 2 == 0 ? $i : "value$i"}]
	}
	set signature a{sv}
	set args [list $d]
    }
    bytes - bytearray {
	set l {}
	for {set i 0} {$i < 65536} {incr i} {lappend l [expr {$i & 255}]}
	set signature ay
	if {$workload eq "bytearray"} {
	    set l [binary format c* $l]
	}
	set args [list $l]
    }
    ints {
	set l {}
	for {set i 0} {$i < 10000} {incr i} {lappend l $i}
	set signature ai
	set args [list $l]
    }
    default {
	error "unknown workload $workload"
    }
}

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

proc rss {} {
    set f [open /proc/self/status]
    set status [read $f]
    close $f
    regexp -line {^VmRSS:\s+(\d+)} $status -> kb
    return $kb
}

# The bytearray workload sends and receives the same 64 KiB as a Tcl byte
# array, on a connection that takes arrays of bytes that way.
set bus [dbus connect -bytes [expr {$workload eq "bytearray"}] -peer $peer \
	$address]

# The calls as a script would write them, in a compiled procedure: the
# value as a word of its own, not expanded from a list (an expanded word
# keeps Tcl from compiling the command, and so the ensemble's dispatch).
if {[llength $args] == 0} {
    proc run {count} {
	global bus signature
	for {set i 0} {$i < $count} {incr i} {
	    set reply [dbus call $bus -signature $signature \
		    -dest org.vantrel.Bench /org/vantrel/Bench org.vantrel.Bench Echo]
	}
	return $reply
    }
} else {
    proc run {count} {
	global bus signature args
	set value [lindex $args 0]
	for {set i 0} {$i < $count} {incr i} {
	    set reply [dbus call $bus -signature $signature \
		    -dest org.vantrel.Bench /org/vantrel/Bench org.vantrel.Bench Echo \
		    $value]
	}
	return $reply
    }
}

# The same check as the C client: the reply must be what was sent.
proc check {reply} {
    global args workload
    if {[llength $args] == 1 && $reply ne [lindex $args 0]
	    && $workload ne "dict"} {
	error "echo returned something else"
    }
}

if {$mode eq "count"} {
    check [run $amount]
    puts "calls $amount"
    exit
}
if {$mode eq "memory"} {
    run 1000
    set before [rss]
    run [expr {$amount / 2}]
    set half [rss]
    run [expr {$amount - $amount / 2}]
    puts "rss-before $before rss-after [rss] calls $amount rss-half $half"
    exit
}

check [run 1]
run 50
set calls 0
set wall0 [clock microseconds]
set cpu0 [cputime]
while 1 {
    run 16
    incr calls 16
    set wall [expr {([clock microseconds] - $wall0) / 1e6}]
    if {$wall >= $amount} break
}
puts [format "calls %d wall %.6f cpu %.6f" $calls $wall [expr {[cputime] - $cpu0}]]
