/*
 * timeout.cpp --
 *
 *	libdbus timeouts as Tcl timers. The timer token is the timeout's
 *	data, freed (the timer deleted) by libdbus whenever the data is
 *	replaced or the timeout goes, so no timer outlives its timeout.
 *	Tcl timers fire once; a firing timeout is re-armed afterwards.
 *
 *	While a synchronous call blocks, no Tcl timer can fire, and the
 *	timeout libdbus adds for the call's reply is usually gone again
 *	when the call returns: timeouts added then are only recorded, and
 *	armed when the call returns if they are still there and enabled
 *	(DeferTimeouts).
 */

#include <algorithm>
#include <vector>
#include "eventloop/eventloop.hpp"

namespace {

/*
 * The timeout being handled by DBus_Timeout in this thread, if any.
 * libdbus may remove, disable, re-enable or re-add that very timeout
 * from inside dbus_timeout_handle; any such call marks it touched, and
 * then DBus_Timeout leaves the timer as that call set it instead of
 * re-arming a timeout that may no longer exist.
 */
struct Firing {
    DBusTimeout *timeout;
    bool touched;
};
thread_local Firing *firing = nullptr;

void
Touch(DBusTimeout *timeout)
{
    if (firing != nullptr && firing->timeout == timeout) {
	firing->touched = true;
    }
}

/* The timeouts added while a DeferTimeouts guard lives. */
struct Deferred {
    int depth = 0;
    std::vector<DBusTimeout *> timeouts;
};
thread_local Deferred deferred;

void
Forget(DBusTimeout *timeout)
{
    auto &list = deferred.timeouts;
    list.erase(std::remove(list.begin(), list.end(), timeout), list.end());
}

/* Arms a timer for the timeout's current interval. */
void
Arm(DBusTimeout *timeout)
{
    if (deferred.depth > 0) {
	/* No timer until the guard ends; the old one goes now. */
	dbus_timeout_set_data(timeout, NULL, NULL);
	if (std::find(deferred.timeouts.begin(), deferred.timeouts.end(),
		timeout) == deferred.timeouts.end()) {
	    deferred.timeouts.push_back(timeout);
	}
	return;
    }
    Tcl_TimerToken token = Tcl_CreateTimerHandler(
	    dbus_timeout_get_interval(timeout), DBus_Timeout, timeout);
    dbus_timeout_set_data(timeout, token, DBus_FreeTimeout);
}

void
Disarm(DBusTimeout *timeout)
{
    Tcl_DeleteTimerHandler(
	    static_cast<Tcl_TimerToken>(dbus_timeout_get_data(timeout)));
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBus_AddTimeout, DBus_RemoveTimeout, DBus_ToggleTimeout --
 *
 *	Timeout functions of libdbus. A timeout is armed when added,
 *	disarmed when removed or disabled, and re-armed with its current
 *	interval when enabled.
 *
 * Results:
 *	DBus_AddTimeout returns true, always.
 *
 *----------------------------------------------------------------------
 */

dbus_bool_t
DBus_AddTimeout(DBusTimeout *timeout, void *)
{
    Touch(timeout);
    Disarm(timeout);
    Arm(timeout);
    return TRUE;
}

void
DBus_RemoveTimeout(DBusTimeout *timeout, void *)
{
    Touch(timeout);
    Disarm(timeout);
    Forget(timeout);
}

void
DBus_ToggleTimeout(DBusTimeout *timeout, void *)
{
    Touch(timeout);
    Disarm(timeout);
    if (dbus_timeout_get_enabled(timeout)) {
	Arm(timeout);
    } else {
	Forget(timeout);
    }
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_Timeout --
 *
 *	Timer procedure: lets libdbus handle the timeout, then re-arms it
 *	for its next interval unless libdbus changed it meanwhile.
 *
 *----------------------------------------------------------------------
 */

void
DBus_Timeout(ClientData clientData)
{
    auto *timeout = static_cast<DBusTimeout *>(clientData);
    Firing self{timeout, false};
    Firing *outer = firing;
    firing = &self;
    dbus_timeout_handle(timeout);
    firing = outer;
    if (!self.touched) {
	Arm(timeout);
    }
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_FreeTimeout --
 *
 *	Free function of a timeout's data: deletes the timer. Deleting a
 *	timer that fired or was deleted already is harmless.
 *
 *----------------------------------------------------------------------
 */

void
DBus_FreeTimeout(void *token)
{
    Tcl_DeleteTimerHandler(static_cast<Tcl_TimerToken>(token));
}

/*
 * DeferTimeouts --
 *
 *	Timeouts added while a guard lives are armed when the outermost
 *	guard ends, if libdbus has not removed or disabled them meanwhile
 *	(eventloop.hpp).
 */
vantrel::DeferTimeouts::DeferTimeouts() noexcept
{
    deferred.depth++;
}

vantrel::DeferTimeouts::~DeferTimeouts()
{
    if (--deferred.depth > 0 || deferred.timeouts.empty()) {
	/* Usually the call's timeout is gone: the list keeps its room. */
	return;
    }
    std::vector<DBusTimeout *> pending;
    pending.swap(deferred.timeouts);
    for (DBusTimeout *timeout : pending) {
	if (dbus_timeout_get_enabled(timeout)) {
	    Arm(timeout);
	}
    }
}
