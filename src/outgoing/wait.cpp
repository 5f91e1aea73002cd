/*
 * wait.cpp --
 *
 *	The one way a command waits for the reply of a call it sends:
 *	inside a coroutine that may yield, the coroutine is suspended
 *	(await.cpp); otherwise the thread blocks in libdbus, with the
 *	timeouts libdbus adds meanwhile deferred and the connection checked
 *	after a wait that failed. Also the calls of the bus's own methods
 *	that the name and match rule commands send through it.
 */

#include <utility>
#include "common.hpp"
#include "eventloop/eventloop.hpp"
#include "outgoing/await.hpp"

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * WaitReply --
 *
 *	Sends a call and makes the command's result of its reply
 *	(outgoing.hpp).
 *
 * Results:
 *	The NR result of a suspended coroutine, else what finish makes of
 *	the reply, or an error: DBUS tag CONNECTION on a closed connection
 *	(for the bus's methods, what finish makes of Disconnected),
 *	DBUS tag TIMEOUT when a blocking wait ends without a reply, DBUS
 *	MEMORY.
 *
 * Side effects:
 *	Outside a coroutine the thread blocks until the reply or the
 *	timeout; no Tcl events are served meanwhile.
 *
 *----------------------------------------------------------------------
 */

namespace {

/*
 * The failure of a call on a closed connection: the command's own
 * error, or for the bus's methods the reply libdbus's dbus_bus_*
 * routines make of it.
 */
int
Closed(Tcl_Interp *interp, const ReplyWait &how, const AwaitFinish &finish)
{
    if (!how.busMethod) {
	return Fail(interp, how.tag, "CONNECTION", "connection is closed");
    }
    MessagePtr error = adoptMessage(LostReply(0, "Connection is closed"));
    if (!error) {
	return DBus_MemoryError(interp);
    }
    return finish(interp, error.get());
}

} // namespace

int
WaitReply(Tcl_Interp *interp, DBusConnection *conn, MessagePtr msg,
	const ReplyWait &how, AwaitFinish finish, ReplyTaken taken)
{
    if (!dbus_connection_get_is_connected(conn)) {
	return Closed(interp, how, finish);
    }
    if (how.yield) {
	if (Tcl_Command coroutine = CurrentCoroutine(interp)) {
	    return AwaitReply(interp, coroutine, conn, std::move(msg),
		    how.timeout, std::move(finish), std::move(taken));
	}
    }

    MessagePtr reply;
    {
	/* libdbus waits for the reply here: its timeout needs no timer. */
	DeferTimeouts blocking;
	DBusPendingCall *raw = NULL;
	if (!dbus_connection_send_with_reply(conn, msg.get(), &raw,
		how.timeout)) {
	    return DBus_MemoryError(interp);
	}
	if (raw == NULL) {
	    return Closed(interp, how, finish);
	}
	PendingPtr pending(raw);
	dbus_connection_flush(conn);
	msg.reset();		/* libdbus keeps what it has to send. */
	dbus_pending_call_block(pending.get());
	/* A reply stolen from a pending call is ours. */
	reply = adoptMessage(dbus_pending_call_steal_reply(pending.get()));
    }
    if (!reply || dbus_message_get_type(reply.get())
	    == DBUS_MESSAGE_TYPE_ERROR) {
	AfterFailedWait(conn);
    }
    if (!reply) {
	return Fail(interp, how.tag, "TIMEOUT", "no reply");
    }
    if (taken) {
	taken(reply.get());
    }
    return finish(interp, reply.get());
}

/*
 * BusCall --
 *
 *	A method call to the bus itself, as libdbus's dbus_bus_* routines
 *	make it (outgoing.hpp).
 */
MessagePtr
BusCall(const char *method)
{
    return adoptMessage(dbus_message_new_method_call(DBUS_SERVICE_DBUS,
	    DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, method));
}

} // namespace vantrel
