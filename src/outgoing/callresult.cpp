/*
 * callresult.cpp --
 *
 *	Completion of asynchronous method calls: when the reply (or the
 *	error libdbus makes up for a timeout) arrives, the call's handler
 *	script is queued to run with it. Calls still outstanding when their
 *	connection closes are abandoned here.
 */

#include <map>
#include <vector>
#include "common.hpp"
#include "handlers/handlers.hpp"
#include "outgoing/outgoing.hpp"

namespace {

/* An outstanding asynchronous call: its record and its serial. */
struct Tracked {
    DBusCallData *call;		/* Owned by the notification. */
    dbus_uint32_t serial;
};

} // namespace

namespace vantrel {

/* A connection's outstanding asynchronous calls, by pending call. */
struct CallTable {
    std::map<DBusPendingCall *, Tracked> calls;
};

} // namespace vantrel

namespace {

using vantrel::CallTable;

/* The call table of a connection, made when create asks for it. */
CallTable *
CallsIn(DBusConnection *conn, bool create)
{
    return vantrel::PartOf(conn, &DBusConnParts::calls, create);
}

/* Frees a call record and its script reference. */
void
FreeCall(DBusCallData *call)
{
    Tcl_DecrRefCount(call->script);
    Tcl_Free(reinterpret_cast<char *>(call));
}

/* Takes the outstanding calls of one connection off its table. */
std::vector<std::pair<DBusPendingCall *, Tracked>>
CallsOf(DBusConnection *conn)
{
    std::vector<std::pair<DBusPendingCall *, Tracked>> mine;
    if (CallTable *table = CallsIn(conn, false)) {
	mine.assign(table->calls.begin(), table->calls.end());
	table->calls.clear();
    }
    return mine;
}

} // namespace

namespace vantrel {

/*
 * TrackCall, ForgetCall, AbandonCalls, FailCalls --
 *
 *	Record an outstanding call, drop its record, release every
 *	outstanding call of a closing connection, and complete every one
 *	of a lost connection with an error (outgoing.hpp).
 */

void
TrackCall(DBusPendingCall *pending, DBusCallData *call, dbus_uint32_t serial)
{
    if (CallTable *table = CallsIn(call->conn, true)) {
	table->calls[pending] = {call, serial};
    }
}

void
ForgetCall(DBusPendingCall *pending, DBusConnection *conn)
{
    if (CallTable *table = CallsIn(conn, false)) {
	table->calls.erase(pending);
    }
}

void
AbandonCalls(DBusConnection *conn)
{
    AbandonAwaits(conn);
    for (auto &entry : CallsOf(conn)) {
	dbus_pending_call_cancel(entry.first);
	dbus_pending_call_unref(entry.first);
	FreeCall(entry.second.call);
    }
    DropPart(conn, &DBusConnParts::calls);
}

void
FailCalls(DBusConnection *conn)
{
    for (auto &entry : CallsOf(conn)) {
	dbus_pending_call_cancel(entry.first);
	dbus_pending_call_unref(entry.first);
	DBusCallData *call = entry.second.call;
	DBusMessage *error = LostReply(entry.second.serial);
	if (error == NULL) {
	    FreeCall(call);
	    continue;
	}
	/* The event becomes the owner of the script and the reply. */
	QueueScriptEventAdopt(call->script, call->conn, error,
		call->flags | HANDLER_NOREPLY);
	Tcl_Free(reinterpret_cast<char *>(call));
    }
    FailAwaits(conn);
}

/*
 * LostReply --
 *
 *	Makes the error reply a call gets when its connection is lost
 *	before the reply came: org.freedesktop.DBus.Error.Disconnected
 *	with text, for the call's serial (none for 0, a call never sent).
 *
 * Results:
 *	A new message (the caller owns its reference), or null without
 *	memory.
 */

DBusMessage *
LostReply(dbus_uint32_t serial, const char *text)
{
    MessagePtr error = adoptMessage(dbus_message_new(
	    DBUS_MESSAGE_TYPE_ERROR));
    if (!error || !dbus_message_set_error_name(error.get(),
	    DBUS_ERROR_DISCONNECTED)
	    || (serial != 0
		&& !dbus_message_set_reply_serial(error.get(), serial))
	    || !dbus_message_append_args(error.get(), DBUS_TYPE_STRING, &text,
		    DBUS_TYPE_INVALID)) {
	return NULL;
    }
    dbus_message_set_no_reply(error.get(), TRUE);
    return error.release();	/* The caller's now. */
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
    vantrel::ForgetCall(pending, call->conn);
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
