/*
 * teardown.cpp --
 *
 *	The one way a connection goes: DBus_Close, whether a script closes
 *	it or its interpreter is deleted, and the free functions that run
 *	when libdbus finalises it.
 */

#include "client/client.hpp"
#include "common.hpp"
#include "eventloop/eventloop.hpp"
#include "handlers/handlers.hpp"
#include "objects/objects.hpp"
#include "outgoing/outgoing.hpp"
#include "package/package.hpp"

/*
 *----------------------------------------------------------------------
 *
 * DBus_Close --
 *
 *	Tears one connection down, one call per subsystem, in this order:
 *
 *	0. its exported objects, unannounced, with their handle commands
 *	   and their queued calls, while the paths they hold still exist,
 *	   then its signal bindings, name watches and proxies, with their
 *	   filter and their outstanding GetNameOwner calls;
 *	1. its handler paths and pathless handlers, and
 *	2. its monitor, so that nothing dispatched from here on queues a
 *	   script;
 *	3. its outstanding asynchronous calls, cancelled and freed without
 *	   running their handlers (libdbus does not complete them at
 *	   close, and each would keep the connection alive), so that the
 *	   drain below cannot complete them either; awaiting coroutines
 *	   are resumed later with "connection is closed"; then the
 *	   credentials kept for unique names, with their filter;
 *	   then the names and rules kept for a reconnection are forgotten,
 *	   the connection leaves the interpreter's tables, any pending
 *	   reconnection and the router (a deliberate close is no
 *	   loss), and the event loop, is closed, and what is still queued
 *	   in libdbus is drained with no handler left to see it;
 *	4. its script events still queued in Tcl, last, after everything
 *	   that could have queued one, so that nothing queued runs for a
 *	   connection that has gone; the rest of its queued work (resumed
 *	   coroutines, -notify) leaves its paced queue and runs unpaced.
 *
 * Side effects:
 *	Drops the library's one libdbus reference, which normally
 *	finalises the connection and frees its connection record.
 *
 *----------------------------------------------------------------------
 */

void
DBus_Close(Tcl_Interp *interp, DBusConnection *conn)
{
    vantrel::DropObjects(interp, conn);
    vantrel::DropClient(interp, conn);
    vantrel::DropHandlers(interp, conn);
    DBus_SnoopCleanup(conn);
    vantrel::AbandonCalls(conn);
    vantrel::DropCredentials(conn);

    vantrel::ForgetRequests(conn);
    vantrel::ForgetConnection(interp, conn);
    if (DBusConnData *cd = vantrel::ConnRecord(conn)) {
	/* A deliberate close is no loss: nobody is told, nothing retries. */
	vantrel::FreeRecovery(cd->recovery);
	cd->recovery = NULL;
    }
    vantrel::StopRouting(conn);
    vantrel::DetachEventLoop(conn);
    dbus_connection_close(conn);
    while (dbus_connection_dispatch(conn) == DBUS_DISPATCH_DATA_REMAINS) {
	/* Drain what is left; no handler is registered any more. */
    }

    DBus_DiscardEvents(conn);
    /* Resumed coroutines and notices still run, unpaced. */
    vantrel::ReleaseWork(conn);
    dbus_connection_unref(conn);
    DBusDispatchCancel(conn);
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_FreeDataSlot --
 *
 *	Free function of the connection data slot, run by libdbus when it
 *	finalises a connection: drops the busId name and frees the record.
 *
 *----------------------------------------------------------------------
 */

void
DBus_FreeDataSlot(void *data)
{
    auto *cd = static_cast<DBusConnData *>(data);
    vantrel::ForgetLastRecord(cd);
    /* Its subsystems emptied their parts when it closed. */
    delete cd->parts;
    vantrel::FreeRecovery(cd->recovery);
    Tcl_DecrRefCount(cd->busname);
    Tcl_Free(reinterpret_cast<char *>(cd));
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_InterpDelete --
 *
 *	Assoc data delete procedure: closes every connection of the
 *	interpreter and frees its DBusInterpData.
 *
 *----------------------------------------------------------------------
 */

void
DBus_InterpDelete(ClientData clientData, Tcl_Interp *interp)
{
    auto *data = static_cast<DBusInterpData *>(clientData);
    Tcl_HashSearch search;
    for (Tcl_HashEntry *entry = Tcl_FirstHashEntry(&data->bus, &search);
	    entry != NULL; entry = Tcl_NextHashEntry(&search)) {
	/* Deletes this very entry, which a search allows. */
	DBus_Close(interp,
		static_cast<DBusConnection *>(Tcl_GetHashValue(entry)));
    }
    Tcl_DeleteHashTable(&data->bus);
    Tcl_Free(reinterpret_cast<char *>(data));
}
