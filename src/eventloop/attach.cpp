/*
 * attach.cpp --
 *
 *	A connection joins Tcl's event loop: its limits, its watches and
 *	timeouts, its dispatch pacing; and leaves it again.
 */

#include <sys/resource.h>
#include "common.hpp"
#include "eventloop/eventloop.hpp"
#include "eventloop/pacing.hpp"

namespace {

/*
 * Descriptors one message may carry: the most the kernel passes in one
 * sendmsg (SCM_MAX_FD), which is how every bus sends a message's
 * descriptors. libdbus accepts only 16 unless told otherwise, and
 * drops the whole connection when a message brings more, although a
 * bus configured with a higher limit (or dbus-broker) delivers them.
 */
constexpr long maxMessageFds = 253;

/*
 * Bytes of received messages alive at once (queued in libdbus or held
 * by queued script events) before libdbus stops reading the socket: one
 * message of the largest size D-Bus allows. A larger message is still
 * read whole; reading resumes as messages are freed.
 */
constexpr long maxReceivedSize = DBUS_MAXIMUM_MESSAGE_LENGTH;

/*
 * Received descriptors alive at once before libdbus stops reading: an
 * eighth of the descriptors the process may open, within these bounds,
 * so that a peer cannot make the process run out of descriptors by
 * sending them faster than handlers run.
 */
constexpr long minReceivedFds = 16;
constexpr long maxReceivedFds = 1024;

long
ReceivedFdLimit()
{
    struct rlimit limit;
    long n = maxReceivedFds;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0
	    && limit.rlim_cur != RLIM_INFINITY
	    && limit.rlim_cur / 8 < static_cast<rlim_t>(n)) {
	n = static_cast<long>(limit.rlim_cur / 8);
    }
    return n < minReceivedFds ? minReceivedFds : n;
}

/*
 * Sets the limits of what the connection accepts, so that no message a
 * peer may legally send ends it, while memory and descriptors held by
 * received messages stay bounded. libdbus checks each message against
 * the size limit (the protocol's own maximum, set here explicitly) and
 * descriptor limit, and closes the connection on a message beyond
 * them.
 */
void
SetLimits(DBusConnection *conn)
{
    dbus_connection_set_max_message_size(conn, DBUS_MAXIMUM_MESSAGE_LENGTH);
    dbus_connection_set_max_message_unix_fds(conn, maxMessageFds);
    dbus_connection_set_max_received_size(conn, maxReceivedSize);
    dbus_connection_set_max_received_unix_fds(conn, ReceivedFdLimit());
}

} // namespace

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
    SetLimits(conn);
    ReadGate *gate = AttachWatches(conn);
    if (gate == nullptr || !AttachPacing(conn, gate)) {
	return false;
    }
    dbus_connection_set_dispatch_status_function(conn, DBusDispatchChange,
	    NULL, NULL);
    if (dbus_connection_get_dispatch_status(conn)
	    == DBUS_DISPATCH_DATA_REMAINS) {
	/* Messages read while registering with the bus. */
	DBusDispatchChange(conn, DBUS_DISPATCH_DATA_REMAINS, NULL);
    }
    return true;
}

void
DetachEventLoop(DBusConnection *conn)
{
    DetachPacing(conn);
    dbus_connection_set_dispatch_status_function(conn, NULL, NULL, NULL);
}

/*
 *----------------------------------------------------------------------
 *
 * RefuseClosed --
 *
 *	The check that ends opening a connection (eventloop.hpp).
 *
 *----------------------------------------------------------------------
 */

int
RefuseClosed(Tcl_Interp *interp, DBusConnection *conn, const char *why)
{
    if (dbus_connection_get_is_connected(conn)) {
	return TCL_OK;
    }
    Tcl_Obj *text = Tcl_NewStringObj(
	    "connection error: connection closed while opening", -1);
    if (why != NULL && *why != '\0') {
	Tcl_AppendStringsToObj(text, ": ", why, (char *) NULL);
    }
    Tcl_SetObjResult(interp, text);
    Tcl_SetErrorCode(interp, libname, "CONNECT", "DISCONNECTED",
	    (char *) NULL);
    return TCL_ERROR;
}

} // namespace vantrel
