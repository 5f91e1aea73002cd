#!/usr/bin/env wish
# busbrowser.tcl --
#
#	A window onto a message bus: the names on it, the object tree of the
#	selected name, and the interfaces of the selected object with their
#	methods, signals and properties. Property values follow
#	PropertiesChanged; a selected method can be called with arguments
#	typed by its introspected signature.
#
#	    TCLLIBPATH=build wish examples/busbrowser.tcl ?-session|-system|ADDRESS?
#
#	The session bus is the default. Every call that goes to another peer
#	is awaited in a coroutine of its own (dbus call -yield), so a slow or
#	stuck service only keeps its own pane waiting: the window stays live,
#	and the status line counts the requests still outstanding.
#
#	With -test the browser also reads Tcl commands on standard input,
#	one complete command at a time, and answers each with one list
#	{code result} on standard output; tests/busbrowser.test drives and
#	inspects it that way. The script runs under tclsh as well as wish.

package require Tcl 8.6
package require Tk
package require dbus

namespace eval browser {
    variable bus {}		;# the connection's busId
    variable names {}		;# dict: every name on the bus -> 1
    variable showUnique 0	;# whether the list shows unique names too
    variable service {}		;# the name being browsed, or ""
    variable nodes		;# array: path -> parsed introspection data
    variable objectPath {}	;# the object whose interfaces are shown
    variable propsBinding {}	;# PropertiesChanged binding of that object
    variable method {}		;# {interface name in out} of the call form
    variable seq 0		;# numbers request coroutines
    variable ticks 0		;# counts the ticker's turns
    variable maxObjects 1000	;# the tree stops growing there
    variable testInput {}	;# a test's command read so far
}
namespace eval browser::jobs {}

# --- Requests ------------------------------------------------------------
#
# Each request to a peer is a coroutine in a namespace of its group:
# names (the bus's name list), tree (the walk of the object tree), object
# (the selected object's property values) and call (the method call). A
# group is cancelled by deleting its namespace, which deletes its
# coroutines and so cancels the calls they await.

# browser::job --
#	Starts cmd as a new request coroutine of the group.
proc browser::job {group cmd args} {
    variable seq
    namespace eval jobs::$group {}
    coroutine [namespace current]::jobs::${group}::r[incr seq] \
	{*}$cmd {*}$args
}

# browser::cancel --
#	Cancels every outstanding request of the groups.
proc browser::cancel {args} {
    foreach group $args {
	if {[namespace exists jobs::$group]} {
	    namespace delete jobs::$group
	}
    }
}

# browser::outstanding --
#	The number of requests of the groups (of all groups by default)
#	still waiting for their answers.
proc browser::outstanding {args} {
    set n 0
    foreach ns [namespace children jobs] {
	if {[llength $args] == 0 || [namespace tail $ns] in $args} {
	    incr n [llength [info commands ${ns}::*]]
	}
    }
    return $n
}

# browser::ask --
#	Sends a method call from inside a request coroutine and waits for
#	its reply without blocking the window. Returns the reply's values;
#	an error reply raises DBUS CALL REPLY name.
proc browser::ask {args} {
    variable bus
    dbus call $bus -yield {*}$args
}

# --- Reading introspection data -----------------------------------------

# browser::attributes --
#	The attributes of one XML start tag as a dict, entities decoded.
proc browser::attributes {text} {
    set attrs {}
    foreach {- name dq sq} [regexp -all -inline \
	    {([\w.:-]+)\s*=\s*(?:"([^"]*)"|'([^']*)')} $text] {
	dict set attrs $name [string map {
	    &lt; < &gt; > &quot; \" &apos; ' &amp; &
	} $dq$sq]
    }
    return $attrs
}

# browser::parseNode --
#	Reads an introspection document. Returns a dict with "nodes", the
#	child names, and "interfaces", a dict by interface name of dicts
#	with "methods" (name -> {in {name type ...} out {...}}), "signals"
#	(name -> {args {name type ...}}) and "properties" (name -> {type
#	access}). Unnamed arguments are called arg0, arg1, ...
proc browser::parseNode {xml} {
    regsub -all {<!--.*?-->} $xml {} xml
    regsub -all {<[?!][^>]*>} $xml {} xml
    set node [dict create nodes {} interfaces {}]
    set open {}			;# the elements we are inside
    foreach {- end tag attrs empty} [regexp -all -inline \
	    {<(/?)([\w.:-]+)((?:\s+[\w.:-]+\s*=\s*(?:"[^"]*"|'[^']*'))*)\s*(/?)>} \
	    $xml] {
	if {$end ne ""} {
	    set open [lrange $open 0 end-1]
	    continue
	}
	set a [dict merge {name "" type "" access read direction in} \
	    [attributes $attrs]]
	set name [dict get $a name]
	# Only the document's own node and its direct children count;
	# anything a service nests deeper is read when that node is.
	switch -- [join $open /]/$tag {
	    node/node {
		if {$name ne ""} {dict lappend node nodes $name}
	    }
	    node/interface {
		set iface $name
		dict set node interfaces $iface \
		    [dict create methods {} signals {} properties {}]
	    }
	    node/interface/method {
		set member $name
		dict set node interfaces $iface methods $member \
		    [dict create in {} out {}]
	    }
	    node/interface/signal {
		set member $name
		dict set node interfaces $iface signals $member \
		    [dict create args {}]
	    }
	    node/interface/property {
		dict set node interfaces $iface properties $name [dict create \
		    type [dict get $a type] access [dict get $a access]]
	    }
	    node/interface/method/arg - node/interface/signal/arg {
		set kind [lindex $open end]s
		set key [expr {$kind eq "signals" ? "args" : [dict get $a direction]}]
		set list [dict get $node interfaces $iface $kind $member $key]
		if {$name eq ""} {
		    set name arg[expr {[llength $list] / 2}]
		}
		lappend list $name [dict get $a type]
		dict set node interfaces $iface $kind $member $key $list
	    }
	}
	if {$empty eq ""} {
	    lappend open $tag
	}
    }
    return $node
}

# browser::arglist --
#	"(name: type, ...)" for a list {name type ...}.
proc browser::arglist {args} {
    return ([join [lmap {name type} $args {string cat "$name: $type"}] ", "])
}

# --- The window ----------------------------------------------------------

# browser::scrolled --
#	Grids widget w with a vertical scrollbar into its parent.
proc browser::scrolled {w row} {
    set parent [winfo parent $w]
    ttk::scrollbar $parent.sb$row -orient vertical -command [list $w yview]
    $w configure -yscrollcommand [list $parent.sb$row set]
    grid $w $parent.sb$row -row $row -sticky nsew
    grid rowconfigure $parent $row -weight 1
    grid columnconfigure $parent 0 -weight 1
}

proc browser::build {} {
    wm title . "Bus browser"
    wm geometry . 1280x720
    ttk::panedwindow .panes -orient horizontal

    # The names.
    ttk::frame .panes.names -padding 4
    ttk::checkbutton .panes.names.unique -text "Unique names too" \
	-variable [namespace current]::showUnique \
	-command [namespace code showNames]
    grid .panes.names.unique -sticky w
    listbox .panes.names.list -exportselection 0 -width 24 -activestyle none
    scrolled .panes.names.list 1
    bind .panes.names.list <<ListboxSelect>> [namespace code nameSelected]
    .panes add .panes.names -weight 2

    # The object tree of the selected name.
    ttk::frame .panes.objects -padding 4
    ttk::label .panes.objects.title -text "Objects"
    grid .panes.objects.title -sticky w
    ttk::treeview .panes.objects.tree -columns info -selectmode browse
    .panes.objects.tree heading #0 -text Path
    .panes.objects.tree heading info -text ""
    .panes.objects.tree column #0 -width 180
    .panes.objects.tree column info -width 100
    .panes.objects.tree tag configure error -foreground firebrick
    .panes.objects.tree tag configure waiting -foreground gray50
    scrolled .panes.objects.tree 1
    bind .panes.objects.tree <<TreeviewSelect>> [namespace code objectSelected]
    .panes add .panes.objects -weight 2

    # The selected object's interfaces, above the call form.
    ttk::panedwindow .panes.right -orient vertical
    ttk::frame .panes.right.members -padding 4
    ttk::label .panes.right.members.title -text "Interfaces"
    grid .panes.right.members.title -sticky w
    ttk::treeview .panes.right.members.tree -columns {kind type value} \
	-selectmode browse
    foreach {col text width stretch} {#0 Name 240 0 kind Kind 70 0
	    type Signature 230 0 value Value 160 1} {
	.panes.right.members.tree heading $col -text $text -anchor w
	.panes.right.members.tree column $col -width $width -stretch $stretch
    }
    .panes.right.members.tree tag configure interface -font TkHeadingFont
    .panes.right.members.tree tag configure error -foreground firebrick
    scrolled .panes.right.members.tree 1
    bind .panes.right.members.tree <<TreeviewSelect>> \
	[namespace code memberSelected]
    .panes.right add .panes.right.members -weight 3

    ttk::frame .panes.right.call -padding 4
    ttk::label .panes.right.call.title -text "Select a method to call it"
    ttk::frame .panes.right.call.args
    ttk::button .panes.right.call.go -text Call -state disabled \
	-command [namespace code callMethod]
    text .panes.right.call.reply -height 5 -wrap word -state disabled \
	-font TkFixedFont
    .panes.right.call.reply tag configure error -foreground firebrick
    .panes.right.call.reply tag configure waiting -foreground gray50
    grid .panes.right.call.title -columnspan 2 -sticky w
    grid .panes.right.call.args -columnspan 2 -sticky ew
    grid .panes.right.call.go -columnspan 2 -sticky w -pady 2
    scrolled .panes.right.call.reply 3
    .panes.right add .panes.right.call -weight 2
    .panes add .panes.right -weight 5

    ttk::frame .status -padding {4 2}
    ttk::label .status.text
    ttk::label .status.busy -anchor e
    grid .status.text .status.busy -sticky ew
    grid columnconfigure .status 0 -weight 1

    grid .panes -sticky nsew
    grid .status -sticky ew
    grid rowconfigure . 0 -weight 1
    grid columnconfigure . 0 -weight 1
}

# browser::status --
#	Shows a message on the status line.
proc browser::status {text} {
    .status.text configure -text $text
}

# browser::tick --
#	Shows how many requests are outstanding, every 200 ms; ticks
#	counts its turns.
proc browser::tick {} {
    variable ticks
    incr ticks
    set n [outstanding]
    .status.busy configure -text [expr {$n == 0 ? "idle"
	: $n == 1 ? "1 request outstanding" : "$n requests outstanding"}]
    after 200 [namespace code tick]
}

# --- The names -----------------------------------------------------------

# browser::listNames --
#	The names request: the bus's names as they are now. Changes that
#	came before the reply are older than it, so it replaces them all.
proc browser::listNames {} {
    variable names
    try {
	set list [ask -dest org.freedesktop.DBus /org/freedesktop/DBus \
	    org.freedesktop.DBus ListNames]
    } on error {msg} {
	status "cannot list the names: $msg"
	return
    }
    set names [dict create]
    foreach name $list {
	dict set names $name 1
    }
    showNames
    status "[dict size $names] names on the bus"
}

# browser::ownerChanged --
#	NameOwnerChanged from the bus: a name appeared, vanished or moved.
proc browser::ownerChanged {header name old new} {
    variable names
    variable service
    if {$new eq ""} {
	dict unset names $name
    } else {
	dict set names $name 1
    }
    showNames
    if {$name ne $service} {
	return
    }
    # A name that comes back, or passes to another owner, is read anew.
    if {$new eq ""} {
	vanished
    } else {
	browse $name
    }
}

# browser::showNames --
#	Fills the list, well-known names first, keeping the selection.
proc browser::showNames {} {
    variable names
    variable showUnique
    variable service
    set known [lsort [lsearch -all -inline -not [dict keys $names] :*]]
    set unique {}
    if {$showUnique} {
	set unique [lsort -dictionary [lsearch -all -inline [dict keys $names] :*]]
    }
    set w .panes.names.list
    $w delete 0 end
    $w insert end {*}$known {*}$unique
    set at [lsearch -exact [concat $known $unique] $service]
    if {$at >= 0} {
	$w selection set $at
	$w see $at
    }
}

proc browser::nameSelected {} {
    set w .panes.names.list
    set at [$w curselection]
    if {$at ne ""} {
	browse [$w get $at]
    }
}

# browser::vanished --
#	The browsed name left the bus: everything that was asked of it is
#	dropped, and the panes say so.
proc browser::vanished {} {
    variable service
    cancel tree object call
    clearObject
    .panes.objects.tree delete [.panes.objects.tree children {}]
    .panes.objects.title configure -text "$service: vanished from the bus"
    status "$service vanished from the bus"
}

# --- The object tree -----------------------------------------------------

# browser::browse --
#	Starts over with a name: its tree, read from the root down.
proc browser::browse {name} {
    variable service $name
    variable nodes
    cancel tree object call
    array unset nodes
    clearObject
    set tree .panes.objects.tree
    $tree delete [$tree children {}]
    .panes.objects.title configure -text "Objects of $name"
    $tree insert {} end -id / -text / -open 1 -values {reading...} -tags waiting
    status "introspecting $name"
    job tree walk /
}

# browser::walk --
#	A tree request: introspects one object, shows what it has and
#	starts a request for each child.
proc browser::walk {path} {
    variable service
    variable nodes
    variable maxObjects
    set tree .panes.objects.tree
    try {
	set node [parseNode [ask -dest $service $path \
	    org.freedesktop.DBus.Introspectable Introspect]]
    } trap {DBUS CALL REPLY} {msg opts} {
	set error [lindex [dict get $opts -errorcode] end]
	$tree item $path -values [list $error] -tags error
	set nodes($path) [dict create error "$error: $msg"]
	status "$path: $msg"
	showObjectIfSelected $path
	return
    } on error {msg} {
	$tree item $path -values [list "not read"] -tags error
	set nodes($path) [dict create error $msg]
	status "$path: $msg"
	showObjectIfSelected $path
	return
    }
    set nodes($path) $node
    set count [dict size [dict get $node interfaces]]
    $tree item $path -tags {} -values [list [expr {$count == 0 ? ""
	: $count == 1 ? "1 interface" : "$count interfaces"}]]
    foreach child [lsort [dict get $node nodes]] {
	set childPath [expr {[string match /* $child] ? $child
	    : $path eq "/" ? "/$child" : "$path/$child"}]
	if {[$tree exists $childPath]} continue
	if {[array size nodes] + [outstanding tree] > $maxObjects} {
	    status "$service: stopped after $maxObjects objects"
	    break
	}
	$tree insert $path end -id $childPath -text $child -open 1 \
	    -values {reading...} -tags waiting
	job tree walk $childPath
    }
    if {[outstanding tree] == 1} {
	status "$service: [array size nodes] objects"
    }
    showObjectIfSelected $path
}

proc browser::objectSelected {} {
    set path [.panes.objects.tree selection]
    if {$path ne ""} {
	showObject $path
    }
}

# browser::showObjectIfSelected --
#	Shows an object that was selected before it was read.
proc browser::showObjectIfSelected {path} {
    if {[.panes.objects.tree selection] eq $path} {
	showObject $path
    }
}

# --- The selected object -------------------------------------------------

# browser::clearObject --
#	Empties the interface pane and the call form and forgets the
#	object's binding.
proc browser::clearObject {} {
    variable objectPath {}
    variable propsBinding
    if {$propsBinding ne ""} {
	catch {$propsBinding destroy}
	set propsBinding {}
    }
    set members .panes.right.members.tree
    $members delete [$members children {}]
    .panes.right.members.title configure -text Interfaces
    showForm {}
}

# browser::showObject --
#	Shows the interfaces of an object, then asks for its properties'
#	values and follows their changes.
proc browser::showObject {path} {
    variable nodes
    variable service
    variable bus
    variable propsBinding
    cancel object call
    clearObject
    variable objectPath $path
    set members .panes.right.members.tree
    .panes.right.members.title configure -text "Interfaces of $path"
    if {![info exists nodes($path)]} {
	$members insert {} end -text "reading..."
	return
    }
    set node $nodes($path)
    if {[dict exists $node error]} {
	$members insert {} end -text [dict get $node error] -tags error
	return
    }
    dict for {iface decl} [dict get $node interfaces] {
	# The standard interfaces that every object has start closed.
	$members insert {} end -id $iface -text $iface -tags interface \
	    -open [expr {![string match org.freedesktop.DBus.* $iface]}]
	dict for {name m} [dict get $decl methods] {
	    $members insert $iface end -id $iface/method/$name -text $name \
		-values [list method "[arglist {*}[dict get $m in]] -> [arglist {*}[dict get $m out]]" ""]
	}
	dict for {name s} [dict get $decl signals] {
	    $members insert $iface end -id $iface/signal/$name -text $name \
		-values [list signal [arglist {*}[dict get $s args]] ""]
	}
	set readable 0
	dict for {name p} [dict get $decl properties] {
	    $members insert $iface end -id $iface/property/$name -text $name \
		-values [list property "[dict get $p type] [dict get $p access]" ""]
	    if {[dict get $p access] ne "write"} {
		set readable 1
	    }
	}
	if {$readable} {
	    job object getAll $iface
	}
    }
    try {
	set propsBinding [dbus bind $bus -sender $service -path $path \
	    -interface org.freedesktop.DBus.Properties -member PropertiesChanged \
	    [namespace code propertiesChanged]]
    } on error {msg} {
	status "cannot follow $path's properties: $msg"
    }
}

# browser::showValue --
#	Puts a property's value in its row, if the row is shown.
proc browser::showValue {iface name value} {
    set id $iface/property/$name
    if {[.panes.right.members.tree exists $id]} {
	.panes.right.members.tree set $id value $value
    }
}

# browser::getAll --
#	An object request: the values of one interface's properties.
proc browser::getAll {iface} {
    variable service
    variable objectPath
    try {
	set values [ask -dest $service $objectPath \
	    org.freedesktop.DBus.Properties GetAll $iface]
    } on error {msg opts} {
	.panes.right.members.tree set $iface value "GetAll failed"
	.panes.right.members.tree item $iface -tags {interface error}
	status "$iface: $msg"
	return
    }
    dict for {name value} $values {
	showValue $iface $name $value
    }
}

# browser::getOne --
#	An object request: the value of one property.
proc browser::getOne {iface name} {
    variable service
    variable objectPath
    try {
	showValue $iface $name [ask -dest $service $objectPath \
	    org.freedesktop.DBus.Properties Get $iface $name]
    } on error {msg} {
	showValue $iface $name "($msg)"
    }
}

# browser::propertiesChanged --
#	The shown object's PropertiesChanged: new values are shown, values
#	only said to have changed are asked for.
proc browser::propertiesChanged {header iface changed invalidated} {
    dict for {name value} $changed {
	showValue $iface $name $value
    }
    foreach name $invalidated {
	job object getOne $iface $name
    }
}

# --- Calling a method ----------------------------------------------------

proc browser::memberSelected {} {
    variable nodes
    variable objectPath
    set id [.panes.right.members.tree selection]
    if {![regexp {^(.+)/method/(.+)$} $id -> iface name]} {
	return
    }
    set m [dict get $nodes($objectPath) interfaces $iface methods $name]
    showForm [list $iface $name [dict get $m in] [dict get $m out]]
}

# browser::showForm --
#	Makes the call form for a method {interface name in out}: an entry
#	for each in-argument, labelled with its name and type. An empty
#	method clears the form.
proc browser::showForm {m} {
    variable method $m
    cancel call
    set form .panes.right.call
    destroy {*}[winfo children $form.args]
    reply {}
    if {$m eq ""} {
	$form.title configure -text "Select a method to call it"
	$form.go configure -state disabled
	return
    }
    lassign $m iface name in
    $form.title configure -text "$iface.$name"
    set row 0
    foreach {arg type} $in {
	ttk::label $form.args.l$row -text "$arg ($type)"
	ttk::entry $form.args.e$row
	grid $form.args.l$row $form.args.e$row -sticky ew -padx 2 -pady 1
	incr row
    }
    grid columnconfigure $form.args 1 -weight 1
    $form.go configure -state normal
}

# browser::reply --
#	Replaces the text of the reply pane; tag is error, waiting or "".
proc browser::reply {text {tag ""}} {
    set w .panes.right.call.reply
    $w configure -state normal
    $w delete 1.0 end
    $w insert end $text $tag
    $w configure -state disabled
}

# browser::callMethod --
#	The Call button: calls the form's method with its entries' words.
proc browser::callMethod {} {
    variable method
    set values {}
    set signature ""
    set row 0
    foreach {arg type} [lindex $method 2] {
	lappend values [.panes.right.call.args.e$row get]
	append signature $type
	incr row
    }
    cancel call
    job call call $method $signature $values
}

# browser::call --
#	The call request: calls the method and shows its reply, or the
#	error's name and message.
proc browser::call {m signature values} {
    variable service
    variable objectPath
    lassign $m iface name in out
    reply "calling $name..." waiting
    set typed [expr {$signature eq "" ? {} : [list -signature $signature]}]
    set started [clock milliseconds]
    try {
	set result [ask -dest $service {*}$typed $objectPath $iface $name \
	    {*}$values]
    } trap {DBUS CALL REPLY} {msg opts} {
	reply "[lindex [dict get $opts -errorcode] end]\n$msg" error
	status "$name failed"
	return
    } on error {msg} {
	reply "not sent: $msg" error
	return
    }
    set ms [expr {[clock milliseconds] - $started}]
    set names [dict keys $out]
    if {[llength $names] > 1} {
	set text [join [lmap n $names v $result {string cat "$n = $v"}] \n]
    } elseif {[llength $names] == 1} {
	set text "[lindex $names 0] = $result"
    } else {
	set text "(no values)"
    }
    reply $text
    status "$name answered in $ms ms"
}

# --- Starting ------------------------------------------------------------

# browser::bgerror --
#	Errors nobody else reported go to the status line.
proc browser::bgerror {msg opts} {
    status "error: $msg"
}

# browser::start --
#	Connects, builds the window and starts following the bus's names.
proc browser::start {which} {
    variable bus
    set bus [dbus connect -bgerror 1 $which]
    interp bgerror {} [namespace which bgerror]
    build
    tick
    .panes.names.list insert end "(reading...)"
    wm title . "Bus browser: $which"
    # Bound before asking, so that no change falls between the two.
    dbus bind $bus -sender org.freedesktop.DBus -member NameOwnerChanged \
	[namespace code ownerChanged]
    job names listNames
}

# browser::testCommand --
#	With -test: runs each complete command read from standard input at
#	global level and answers {code result} on one line (lines more when
#	the result holds newlines, always a complete Tcl word list).
#	The end of the input ends the browser.
proc browser::testCommand {} {
    variable testInput
    if {[gets stdin line] < 0} {
	if {[eof stdin]} {
	    exit 0
	}
	return
    }
    append testInput $line \n
    if {![info complete $testInput]} {
	return
    }
    set script $testInput
    set testInput {}
    set code [catch {uplevel #0 $script} result]
    puts [list $code $result]
    flush stdout
}

set usage "usage: busbrowser.tcl ?-session|-system|ADDRESS? ?-test?"
set which session
set testing 0
foreach arg $argv {
    switch -glob -- $arg {
	-session {set which session}
	-system {set which system}
	-test {set testing 1}
	-* {puts stderr $usage; exit 2}
	default {set which $arg}
    }
}
if {[catch {browser::start $which} msg]} {
    puts stderr "busbrowser.tcl: $msg"
    exit 1
}
if {$testing} {
    fconfigure stdin -blocking 0
    fileevent stdin readable browser::testCommand
}
# Under tclsh nothing else would keep the event loop running.
tkwait window .
exit 0
