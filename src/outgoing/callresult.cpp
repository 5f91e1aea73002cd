/*
 * callresult.cpp --
 *
 *	Completion of asynchronous method calls: when the reply (or the
 *	error libdbus makes up for a timeout or a closed connection)
 *	arrives, the call's handler script is queued to run with it.
 */

#include "vantrel.h"
#include "guards.hpp"
#include "handlers/handlers.hpp"

/*
 *----------------------------------------------------------------------
 *
 * DBus_CallResult --
 *
 *	Pending-call notification of an asynchronous dbus call: queues a
 *	script event that runs the call's handler script with the reply,
 *	and never answers anything.
 *
 * Side effects:
 *	The script reference of the DBusCallData record and the stolen
 *	reply pass to the event; the record and the library's reference
 *	to the pending call are released. Runs exactly once per call,
 *	also when the connection closes before the reply, since libdbus
 *	then completes the call with an error of its own.
 *
 *----------------------------------------------------------------------
 */

void
DBus_CallResult(DBusPendingCall *pending, void *data)
{
    auto *call = static_cast<DBusCallData *>(data);
    DBusMessage *reply = dbus_pending_call_steal_reply(pending);
    dbus_pending_call_unref(pending);
    if (reply == NULL) {
	/* Not completed after all: nothing to run the script with. */
	Tcl_DecrRefCount(call->script);
    } else {
	/* The event becomes the owner of the script and the reply. */
	vantrel::QueueScriptEventAdopt(call->script, call->conn, reply,
		call->flags | HANDLER_NOREPLY);
    }
    Tcl_Free(reinterpret_cast<char *>(call));
}
