/*
 * lost.cpp --
 *
 *	Noticing that a connection was lost (the bus or the peer closed
 *	the socket, or it broke): a filter on every connection sees the
 *	local Disconnected signal that libdbus queues last, completes the
 *	connection's outstanding calls with an error before any handler of
 *	that signal runs, and tells the script through -notify.
 */

#include <cstring>
#include "common.hpp"
#include "handlers/handlers.hpp"
#include "outgoing/outgoing.hpp"
#include "package/package.hpp"

namespace {

/* True for the local Disconnected signal. */
bool
IsDisconnected(DBusMessage *msg)
{
    return dbus_message_is_signal(msg, DBUS_INTERFACE_LOCAL, "Disconnected")
	    && dbus_message_has_path(msg, DBUS_PATH_LOCAL);
}

/*
 * LossFilter --
 *
 *	Filter of every connection, installed first, so that the calls'
 *	error replies are queued before the Disconnected handlers' events.
 *
 * Results:
 *	DBUS_HANDLER_RESULT_NOT_YET_HANDLED: handlers and monitors see the
 *	signal too.
 */
DBusHandlerResult
LossFilter(DBusConnection *conn, DBusMessage *msg, void *)
{
    if (!IsDisconnected(msg)) {
	return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    DBusConnData *cd = vantrel::ConnRecord(conn);
    if (cd == NULL || (cd->options & CONN_LOST)) {
	return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    cd->options |= CONN_LOST;
    vantrel::FailCalls(conn);
    vantrel::ConnectionLost(conn);
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

} // namespace

namespace vantrel {

/*
 * WatchForLoss, StopWatchingForLoss --
 *
 *	Install the loss filter on a new connection, and remove it before
 *	a deliberate close, whose own Disconnected is no loss.
 */

bool
WatchForLoss(DBusConnection *conn)
{
    return dbus_connection_add_filter(conn, LossFilter, NULL, NULL);
}

void
StopWatchingForLoss(DBusConnection *conn)
{
    dbus_connection_remove_filter(conn, LossFilter, NULL);
}

} // namespace vantrel
