# random_traffic.tcl --
#
#	Drives the commands with random signatures, values, handler scripts
#	and replies between two connections of one process, for
#	robust.test. Usage: tclsh random_traffic.tcl SEED COUNT
#	Prints "survived" at the end, when nothing aborted the process.

# tcltest reads argv when support.tcl loads it: take ours first.
lassign $argv seed count
set argv {}
source [file join [file dirname [file dirname [file normalize [info script]]]] support.tcl]
expr {srand($seed)}
set a [dbus connect]
set b [dbus connect]
set bn [dbus info $b name]
dbus filter $a add type signal
set f [open [file join [vt::tmpdir] fuzzfile] w+]
set sigs {y b n q i u x t d s o g h v ay ai as av a{sv} a{ss} a{ii} (si) (v) a(sv) aav a{sa{sv}} (ai(s)) vv "" si a{vs} {a{s}} a}
set vals [list 0 1 -1 255 256 65536 4294967296 -9223372036854775808 18446744073709551615 1e300 nan \
  true yes abc "" "\u0000" "a\u0000b" "\udc80" "\ud800x" "\uffff" "\U0001F600" / /a /a/ a.b \
  {i 42} {s x} {v {i 1}} {as {a b}} {a{sv} {k {i 1}}} {ai {1 x}} {(si) {a 1}} {(si) {a}} \
  {1 2 3} {a b} {k v k2 v2} {k} {{1 2} {3 4}} {{a 1} {b 2}} $f stdin nosuchchan \
  [string repeat {v } 70] [string repeat "\{" 3] [list [list [list [list x]]]]]
proc pick {l} { lindex $l [expr {int(rand()*[llength $l])}] }
proc vals {} { set r {}; for {set i [expr {int(rand()*4)}]} {$i > 0} {incr i -1} {lappend r [pick $::vals]}; return $r }
proc deep {n} { set v {s x}; for {set i 0} {$i < $n} {incr i} { set v [list v $v] }; return $v }
lappend vals [deep 63] [deep 64] [deep 65] [deep 200]
set scripts {{apply {args {return x}}} {apply {args {error boom}}} {apply {args {return -code error -name org.x.E bad}}}
  {apply {args {return -async 1}}} {apply {{h args} {dbus return -signature [pick $::sigs] [dict get $h sender] [dict get $h serial] {*}[vals]}}}
  {apply {{h args} {dbus error -name org.x.Err [dict get $h sender] [dict get $h serial] [pick $::vals]}}}
  {apply {{h args} {return [pick $::vals]}}} {apply {{h args} {set ::x $args}}}
  {apply {{h args} {foreach a $args {catch {close $a}}}}}}
for {set n 0} {$n < $count} {incr n} {
  switch [expr {int(rand()*8)}] {
    0 { catch {dbus method $b /o [pick {M org.x.I.M N}] [pick $scripts]} }
    1 { catch {dbus listen $b [pick {/o ""}] [pick {S org.x.I.S}] [pick $scripts]} }
    2 { catch {dbus call $a -dest $bn -signature [pick $sigs] -handler {apply {args {incr ::replies}}} /o org.x.I [pick {M N Z}] {*}[vals]} }
    3 { catch {dbus call $a -timeout -1 -dest $bn -signature [pick $sigs] /o org.x.I M {*}[vals]} }
    4 { catch {dbus signal $a -signature [pick $sigs] /o org.x.I S {*}[vals]} }
    5 { catch {dbus unknown $b [pick {/o ""}] [pick $scripts]} }
    6 { catch {dbus monitor $b [pick $scripts]} }
    7 { catch {dbus call $a -details -dest $bn -signature [pick $sigs] -handler {apply {args {incr ::replies}}} /o org.x.I M {*}[vals]} }
  }
  if {$n % 20 == 0} { update }
}
vt::settle 500
puts "replies [expr {[info exists ::replies] ? $::replies : 0}] a=[dbus info $a name] b=[dbus info $b name]"
puts "survived"
vt::cleanup
