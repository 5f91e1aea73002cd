/*
 * timeout.cpp --
 *
 *	libdbus timeouts as Tcl timers. The timer token is the timeout's
 *	data, freed (the timer deleted) by libdbus whenever the data is
 *	replaced or the timeout goes, so no timer outlives its timeout.
 *	Tcl timers fire once; a firing timeout is re-armed afterwards.
 */

#include "vantrel.h"

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

/* Arms a timer for the timeout's current interval. */
void
Arm(DBusTimeout *timeout)
{
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
}

void
DBus_ToggleTimeout(DBusTimeout *timeout, void *)
{
    Touch(timeout);
    Disarm(timeout);
    if (dbus_timeout_get_enabled(timeout)) {
	Arm(timeout);
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
