# notify.tcl --
#
#	Shows a desktop notification and waits for what becomes of it:
#
#	    tclsh notify.tcl ?-session? SUMMARY BODY
#
#	Sends SUMMARY and BODY to the notification server
#	(org.freedesktop.Notifications) as the application "vantrel", with
#	one action, "default", and the urgency hint "normal" (a BYTE 1).
#	Prints "id N" with the id the server gave the notification, then
#	waits until the server says that this notification was closed or
#	that its action was invoked, prints "closed REASON" (the server's
#	reason: 1 expired, 2 dismissed, 3 closed by a call, 4 other) or
#	"action KEY", and exits 0. Errors are printed on stderr and exit 1.
#
#	Notification servers live on the session bus, so that is the bus
#	used; -session is accepted for symmetry with the other examples and
#	changes nothing. Every line is flushed at once, for readers at the
#	end of a pipe.

package require dbus

set usage "usage: notify.tcl ?-session? SUMMARY BODY"
if {[lindex $argv 0] eq "-session"} {
    set argv [lrange $argv 1 end]
}
if {[llength $argv] != 2} {
    puts stderr $usage
    exit 2
}
lassign $argv summary body

# Variants written {signature value}, as the urgency hint is; handler
# errors are reported on stderr through bgerror.
set bus [dbus connect -strict 1 -bgerror 1 session]
set server [dbus proxy $bus org.freedesktop.Notifications \
	/org/freedesktop/Notifications org.freedesktop.Notifications]

# The server's signals that the coroutine has not looked at yet, each
# {closed ID REASON} or {action ID KEY}; and whether the coroutine is
# waiting for them (not while it awaits its Notify call).
set news {}
set waiting 0

# heard --
#	The bound signals' script: keeps the news and wakes the coroutine
#	if it is waiting for some.
proc heard {kind id detail} {
    lappend ::news [list $kind $id $detail]
    if {$::waiting} {
	set ::waiting 0
	notifier
    }
}

# Bound before the notification is sent, so that no answer can come
# before we listen.
$server bind NotificationClosed {heard closed}
$server bind ActionInvoked {heard action}

# say --
#	Prints one line and pushes it down the pipe.
proc say {line} {
    puts $line
    flush stdout
}

# notify --
#	The coroutine: sends the notification, then waits for news about
#	it. Sets ::status when done.
proc notify {summary body} {
    try {
	set id [$::server Notify vantrel 0 "" $summary $body \
		{default Open} {urgency {y 1}} -1]
    } on error {msg} {
	puts stderr "notify.tcl: $msg"
	set ::status 1
	return
    }
    say "id $id"
    while 1 {
	foreach item $::news {
	    lassign $item kind about detail
	    if {$about == $id} {
		say "$kind $detail"
		set ::status 0
		return
	    }
	}
	set ::news {}
	set ::waiting 1
	yield
    }
}

coroutine notifier notify $summary $body
if {![info exists status]} {
    vwait status
}
$server destroy
dbus close $bus
exit $status
