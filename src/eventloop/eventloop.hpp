/*
 * eventloop.hpp --
 *
 *	How a connection joins and leaves Tcl's event loop. The watch,
 *	timeout and dispatch callbacks themselves are exported (vantrel.h);
 *	these two routines install and remove them. Not exported.
 */

#ifndef VANTREL_EVENTLOOP_HPP
#define VANTREL_EVENTLOOP_HPP

#include "vantrel.h"

namespace vantrel {

/*
 * Hooks a new connection into the event loop of the calling thread: its
 * timeouts become Tcl timers, its watches channel handlers on one
 * channel of its own, and queued messages are dispatched from idle
 * calls. Returns false when libdbus lacks memory; the caller then closes
 * the connection, whose finalisation frees whatever was installed.
 */
bool AttachEventLoop(DBusConnection *conn);

/*
 * Stops scheduling dispatches for a connection that is being closed.
 * Called before the connection is closed; DBusDispatchCancel afterwards
 * removes an idle dispatch that was already scheduled.
 */
void DetachEventLoop(DBusConnection *conn);

} // namespace vantrel

#endif
