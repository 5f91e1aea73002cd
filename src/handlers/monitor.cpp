/*
 * monitor.cpp --
 *
 *	The monitor of a connection: one script that sees every incoming
 *	message ahead of the bindings and the path handlers; the router
 *	(dispatch.cpp) hands it each message, and it queues a script event.
 */

#include "common.hpp"
#include "handlers/handlers.hpp"

/*
 *----------------------------------------------------------------------
 *
 * DBus_Monitor --
 *
 *	The monitor's step of the router (data: the monitor entry): queues
 *	a script event that runs the monitor script for the message and
 *	never replies. It has the form of a libdbus filter.
 *
 * Results:
 *	DBUS_HANDLER_RESULT_NOT_YET_HANDLED: the message goes on to the
 *	bindings and the path handlers.
 *
 * Side effects:
 *	The event takes a copy of the script and a reference to the
 *	message, which is borrowed here.
 *
 *----------------------------------------------------------------------
 */

DBusHandlerResult
DBus_Monitor(DBusConnection *conn, DBusMessage *msg, void *data)
{
    auto *entry = static_cast<DBusMonitorEntry *>(data);
    if (entry == NULL || entry->script == NULL) {
	return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    vantrel::QueueScriptEvent(entry->script, conn, msg,
	    entry->flags | HANDLER_NOREPLY);
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_SnoopCleanup --
 *
 *	Removes the monitor of a connection, if it has one: the entry's
 *	script reference and the entry.
 *
 *----------------------------------------------------------------------
 */

void
DBus_SnoopCleanup(DBusConnection *conn)
{
    DBusConnData *cd = vantrel::ConnRecord(conn);
    if (cd == NULL || cd->snoop == NULL) {
	return;
    }
    Tcl_DecrRefCount(cd->snoop->script);
    Tcl_Free(reinterpret_cast<char *>(cd->snoop));
    cd->snoop = NULL;
}

/*
 *----------------------------------------------------------------------
 *
 * DBusMonitorCmd --
 *
 *	dbus monitor ?busId? ?-details? script: installs the script as the
 *	connection's monitor, replacing any earlier one; the script ""
 *	removes the monitor. The last word is always the script, even
 *	when it begins with "-".
 *
 * Results:
 *	Empty, or an error.
 *
 *----------------------------------------------------------------------
 */

int
DBusMonitorCmd(ClientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    static const char *const options[] = { "-details", NULL };
    int i = 1;
    Tcl_Obj *busId = NULL;
    if (objc >= 3 && Tcl_GetString(objv[1])[0] != '-') {
	busId = objv[1];
	i = 2;
    }
    DBusConnection *conn = DBus_GetConnection(interp, "MONITOR", busId);
    int flags = 0;
    for (; i < objc - 1 && Tcl_GetString(objv[i])[0] == '-'; i++) {
	int index;
	if (Tcl_GetIndexFromObjStruct(interp, objv[i], options,
		sizeof(char *), "option", 0, &index) != TCL_OK) {
	    return TCL_ERROR;
	}
	flags |= HANDLER_DETAILS;
    }
    if (objc - i != 1) {
	Tcl_WrongNumArgs(interp, 1, objv, "?busId? script");
	return TCL_ERROR;
    }
    if (conn == NULL) {
	return TCL_ERROR;
    }

    DBus_SnoopCleanup(conn);
    Tcl_ResetResult(interp);
    Tcl_Obj *script = objv[i];
    if (Tcl_GetCharLength(script) <= 0) {
	return TCL_OK;
    }
    DBusConnData *cd = vantrel::ConnRecord(conn);
    if (cd == NULL) {
	return DBus_MemoryError(interp);
    }
    auto *entry = reinterpret_cast<DBusMonitorEntry *>(
	    Tcl_Alloc(sizeof(DBusMonitorEntry)));
    entry->script = Tcl_DuplicateObj(script);
    Tcl_IncrRefCount(entry->script);	/* Held by the entry. */
    entry->flags = flags;
    cd->snoop = entry;
    return TCL_OK;
}
