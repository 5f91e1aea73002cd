# all.tcl --
#
#	Runs every *.test file of this directory in a process of its own
#	(so that one crash cannot hide the rest), then the unit checks of
#	tests/unit, and prints one summary line: "N passed, M failed".
#	Exits non-zero when anything failed, including a test process that
#	died or a sanitizer report.
#
#	Usage: tclsh all.tcl ?-build dir? ?-file pattern? ?tcltest options?

set here [file dirname [file normalize [info script]]]
set build [file join [file dirname $here] build]
set pattern *.test
set passthrough {}
foreach {opt val} $argv {
    switch -- $opt {
	-build {set build [file normalize $val]}
	-file {set pattern $val}
	default {lappend passthrough $opt $val}
    }
}
set env(VANTREL_BUILD) $build

set passed 0
set failed 0
set skipped 0
set pidfile [file join [expr {[info exists env(TMPDIR)] ? $env(TMPDIR) : "/tmp"}] \
	vantrel-pids-[pid]]
set env(VANTREL_PIDFILE) $pidfile

# Stops any daemon a test process started and could not stop itself.
proc reap {} {
    global pidfile
    if {![file exists $pidfile]} return
    set f [open $pidfile]
    set pids [read $f]
    close $f
    foreach pid $pids {catch {exec kill $pid}}
    file delete $pidfile
}

proc sanitizerReport {text} {
    regexp {ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:} $text
}

foreach file [lsort [glob -directory $here $pattern]] {
    set name [file tail $file]
    set status 0
    if {[catch {exec [info nameofexecutable] $file {*}$passthrough 2>@1} out opts]} {
	set status [lindex [dict get $opts -errorcode] end]
	if {![string is integer -strict $status]} {set status 1}
    }
    reap
    puts $out
    if {[regexp {Total\s+(\d+)\s+Passed\s+(\d+)\s+Skipped\s+(\d+)\s+Failed\s+(\d+)} \
	    $out -> t p s f]} {
	incr passed $p
	incr failed $f
	incr skipped $s
	if {$status != 0 || [sanitizerReport $out]} {
	    puts "$name: test process ended with status $status or a sanitizer report"
	    incr failed
	}
    } else {
	puts "$name: test process died (status $status) without a summary"
	incr failed
    }
}

# Unit checks of exported routines that no script can reach.
set unit [file join $build unitcheck]
if {$pattern eq "*.test" && [file executable $unit]} {
    catch {exec $unit 2>@1} out
    puts $out
    set p [regexp -all -line {^ok } $out]
    set f [regexp -all -line {^FAIL } $out]
    if {$p == 0 || [sanitizerReport $out]} {incr f}
    incr passed $p
    incr failed $f
}

puts "$passed passed, $failed failed"
exit [expr {$failed > 0}]
