#!/bin/sh
# Regenerates doc/busbrowser.png: the bus browser of examples/busbrowser.tcl
# on an Xvfb display of its own, browsing the test service
# tests/scripts/browser_service.tcl on a private session bus, with an
# object's properties and a method's reply shown. Installs what it needs
# (scripts/deps.sh tk shot) and builds first; never uses the machine's own
# buses or display.
#
# Usage: scripts/screenshot.sh ?output.png?
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$top/doc/busbrowser.png}")
"$top/scripts/deps.sh" tk shot
"$top/scripts/build.sh" "$top/build"
. "$top/scripts/privbus.sh"
privbus_start
trap privbus_stop EXIT
DBUS_SESSION_BUS_ADDRESS=$privbus_address
export DBUS_SESSION_BUS_ADDRESS

cat > "$privbus_dir/drive.tcl" <<'DRIVE'
lassign $argv top out
# The display is as large as the window, which Tk puts at its corner.
set xvfb [open |[list Xvfb -displayfd 1 -screen 0 1280x720x24 -nolisten tcp \
	2>/dev/null] r]
set display :[gets $xvfb]
set service [open |[list [info nameofexecutable] \
	$top/tests/scripts/browser_service.tcl $top/build 2>@stderr] r+]
fconfigure $service -buffering line
gets $service
set env(DISPLAY) $display
set env(TCLLIBPATH) [list $top/build]
set browser [open |[list [info nameofexecutable] $top/examples/busbrowser.tcl \
	-session -test 2>@stderr] r+]
fconfigure $browser -buffering line

# Runs a script in the browser (see its -test) and returns the result.
proc ask {script} {
    puts $::browser [list eval $script]
    set answer [gets $::browser]
    while {![info complete $answer\n]} {
	append answer \n [gets $::browser]
    }
    lassign $answer code result
    if {$code} {error "in the browser: $result"}
    return $result
}

# Waits until an expression is true in the browser.
proc until {expr} {
    for {set i 0} {$i < 200} {incr i} {
	if {[ask [list expr $expr]]} return
	after 50
    }
    error "the browser never got to $expr"
}

try {
    until {"org.vantrel.BrowseDemo" in [.panes.names.list get 0 end]}
    ask {
	set w .panes.names.list
	$w selection set [lsearch -exact [$w get 0 end] org.vantrel.BrowseDemo]
	event generate $w <<ListboxSelect>>
    }
    until {[.panes.objects.tree exists /org/vantrel/Demo/leaves/b]
	&& [.panes.objects.tree item /org/vantrel/Demo/leaves/b -tags] eq ""}
    ask {.panes.objects.tree selection set /org/vantrel/Demo}
    until {[.panes.right.members.tree exists org.vantrel.Demo/property/Tags]
	&& [.panes.right.members.tree set org.vantrel.Demo/property/Tags value] ne ""}
    ask {.panes.right.members.tree selection set org.vantrel.Demo/method/Divide}
    until {[winfo exists .panes.right.call.args.e1]}
    ask {
	.panes.right.call.args.e0 insert 0 17
	.panes.right.call.args.e1 insert 0 5
	.panes.right.call.go invoke
    }
    until {[string match quotient* [.panes.right.call.reply get 1.0 end]]}
    # Time for the last redraw.
    after 500
    exec xwd -root -silent -display $display | xwdtopnm 2>/dev/null \
	| pnmtopng > $out
} finally {
    close $browser
    close $service
    exec kill [pid $xvfb]
    close $xvfb
}
DRIVE
tclsh "$privbus_dir/drive.tcl" "$top" "$out"
echo "wrote $out"
