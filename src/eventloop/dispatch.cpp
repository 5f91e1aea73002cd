/*
 * dispatch.cpp --
 *
 *	Dispatching queued messages from Tcl's idle calls: libdbus reports
 *	that data remains, an idle call drains the queue.
 */

#include "vantrel.h"

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
