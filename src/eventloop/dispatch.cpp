/*
 * dispatch.cpp --
 *
 *	Dispatching queued messages from Tcl's idle calls: libdbus reports
 *	that data remains, an idle call drains the queue.
 */

#include "vantrel.h"
#include "eventloop/eventloop.hpp"

/*
 *----------------------------------------------------------------------
 *
 * DBusDispatchChange --
 *
 *	Dispatch-status function of libdbus: schedules an idle dispatch
 *	when messages wait.
 *
 *----------------------------------------------------------------------
 */

void
DBusDispatchChange(DBusConnection *conn, DBusDispatchStatus status, void *)
{
    if (status == DBUS_DISPATCH_DATA_REMAINS) {
	Tcl_DoWhenIdle(DBusIdleProc, conn);
    }
}

/*
 *----------------------------------------------------------------------
 *
 * DBusIdleProc --
 *
 *	Idle procedure: dispatches every queued message of the
 *	connection. Stops when the queue is empty or libdbus lacks memory.
 *
 *----------------------------------------------------------------------
 */

void
DBusIdleProc(ClientData clientData)
{
    auto *conn = static_cast<DBusConnection *>(clientData);
    while (dbus_connection_dispatch(conn) == DBUS_DISPATCH_DATA_REMAINS) {
	/* One idle call drains the whole queue. */
    }
}

/*
 *----------------------------------------------------------------------
 *
 * DBusDispatchCancel --
 *
 *	Removes every idle dispatch still scheduled for the connection.
 *
 *----------------------------------------------------------------------
 */

void
DBusDispatchCancel(DBusConnection *conn)
{
    Tcl_CancelIdleCall(DBusIdleProc, conn);
}

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * AttachEventLoop, DetachEventLoop --
 *
 *	Install and remove the event-loop callbacks of a connection
 *	(eventloop.hpp). The watch record is handed to libdbus with its
 *	free function, so that it goes with the connection.
 *
 *----------------------------------------------------------------------
 */

bool
AttachEventLoop(DBusConnection *conn)
{
    if (!dbus_connection_set_timeout_functions(conn, DBus_AddTimeout,
	    DBus_RemoveTimeout, DBus_ToggleTimeout, NULL, NULL)) {
	return false;
    }
    auto *watch = reinterpret_cast<DBusWatchData *>(
	    Tcl_Alloc(sizeof(DBusWatchData)));
    watch->chan = NULL;
    if (!dbus_connection_set_watch_functions(conn, DBus_AddWatch,
	    DBus_RemoveWatch, DBus_ToggleWatch, watch, DBus_FreeWatch)) {
	DBus_FreeWatch(watch);		/* libdbus did not take it. */
	return false;
    }
    dbus_connection_set_dispatch_status_function(conn, DBusDispatchChange,
	    NULL, NULL);
    if (dbus_connection_get_dispatch_status(conn)
	    == DBUS_DISPATCH_DATA_REMAINS) {
	/* Messages read while registering with the bus. */
	Tcl_DoWhenIdle(DBusIdleProc, conn);
    }
    return true;
}

void
DetachEventLoop(DBusConnection *conn)
{
    dbus_connection_set_dispatch_status_function(conn, NULL, NULL, NULL);
}

} // namespace vantrel
