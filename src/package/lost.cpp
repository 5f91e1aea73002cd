/*
 * lost.cpp --
 *
 *	Noticing that a connection was lost (the bus or the peer closed
 *	the socket, or it broke): the router of every connection hands the
 *	local Disconnected signal that libdbus queues last to this file's
 *	step, which completes the connection's outstanding calls with an
 *	error before any handler of that signal runs, and tells the script
 *	through -notify. A deliberate close stops the router first: its own
 *	Disconnected is no loss.
 */

#include "common.hpp"
#include "handlers/handlers.hpp"
#include "outgoing/outgoing.hpp"
#include "package/package.hpp"

namespace {

/*
 * Lost --
 *
 *	The loss step of the router, which hands it the local Disconnected
 *	signal before the monitor, the bindings and the handlers see it,
 *	so that the calls' error replies are queued before the
 *	Disconnected handlers' events.
 */
void
Lost(DBusConnection *conn)
{
    DBusConnData *cd = vantrel::ConnRecord(conn);
    if (cd == NULL || (cd->options & CONN_LOST)) {
	return;
    }
    cd->options |= CONN_LOST;
    vantrel::FailCalls(conn);
    /* The names whose credentials were kept belonged to that bus. */
    vantrel::DropCredentials(conn);
    vantrel::ConnectionLost(conn);
}

} // namespace

namespace vantrel {

void
InitLoss()
{
    SetLossRoute(Lost);
}

} // namespace vantrel
