/*
 * callresult.cpp --
 *
 *	Completion of asynchronous method calls: when the reply (or the
 *	error libdbus makes up for a timeout) arrives, the call's handler
 *	script is queued to run with it. Calls still outstanding when their
 *	connection closes are abandoned here.
 */

#include "common.hpp"
#include "handlers/handlers.hpp"
#include "outgoing/outgoing.hpp"

namespace {

/*
 * The outstanding asynchronous calls of a thread: pending call ->
 * DBusCallData. Connections, their calls and their notifications all
 * live in the thread of the interpreter that opened them.
 */
struct CallTable {
    bool ready;			/* Whether calls is initialised. */
    Tcl_HashTable calls;	/* One-word keys: the pending calls. */
};

Tcl_ThreadDataKey callKey;

/*
 * Calls --
 *
 *	The table of the calling thread's outstanding asynchronous calls.
 *
 * Results:
 *	The table, created empty at the thread's first call.
 */
Tcl_HashTable *
Calls()
{
    auto *table = static_cast<CallTable *>(
	    Tcl_GetThreadData(&callKey, sizeof(CallTable)));
    if (!table->ready) {
	Tcl_InitHashTable(&table->calls, TCL_ONE_WORD_KEYS);
	table->ready = true;
    }
    return &table->calls;
}

} // namespace

namespace vantrel {

/*
 * TrackCall, ForgetCall, AbandonCalls --
 *
 *	Record an outstanding call, drop its record, and release every
 *	outstanding call of a closing connection (callresult.hpp).
 */

void
TrackCall(DBusPendingCall *pending, DBusCallData *call)
{
    int isNew;
    Tcl_HashEntry *h = Tcl_CreateHashEntry(Calls(),
	    reinterpret_cast<const char *>(pending), &isNew);
    Tcl_SetHashValue(h, call);
}

void
ForgetCall(DBusPendingCall *pending)
{
    Tcl_HashEntry *h = Tcl_FindHashEntry(Calls(),
	    reinterpret_cast<const char *>(pending));
    if (h != NULL) {
	Tcl_DeleteHashEntry(h);
    }
}

void
AbandonCalls(DBusConnection *conn)
{
    AbandonAwaits(conn);
    Tcl_HashTable *calls = Calls();
    Tcl_HashSearch search;
    for (Tcl_HashEntry *h = Tcl_FirstHashEntry(calls, &search); h != NULL;
	    h = Tcl_NextHashEntry(&search)) {
	auto *call = static_cast<DBusCallData *>(Tcl_GetHashValue(h));
	if (call->conn != conn) {
	    continue;
	}
	auto *pending = reinterpret_cast<DBusPendingCall *>(
		Tcl_GetHashKey(calls, h));
	Tcl_DeleteHashEntry(h);
	dbus_pending_call_cancel(pending);
	dbus_pending_call_unref(pending);
	Tcl_DecrRefCount(call->script);
	Tcl_Free(reinterpret_cast<char *>(call));
    }
}

} // namespace vantrel

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
 *	reply pass to the event; the record and the reference to the
 *	pending call that the call command handed over are released.
 *
 *----------------------------------------------------------------------
 */

void
DBus_CallResult(DBusPendingCall *pending, void *data)
{
    auto *call = static_cast<DBusCallData *>(data);
    vantrel::ForgetCall(pending);
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
