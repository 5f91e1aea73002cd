/*
 * eventloop.hpp --
 *
 *	How a connection joins and leaves Tcl's event loop, and how the
 *	script events of a connection are paced. The watch, timeout and
 *	dispatch callbacks themselves are exported (vantrel.h); these
 *	routines install and remove them. Not exported.
 */

#ifndef VANTREL_EVENTLOOP_HPP
#define VANTREL_EVENTLOOP_HPP

#include "vantrel.h"

namespace vantrel {

/*
 * Hooks a new connection into the event loop of the calling thread: its
 * limits are raised so that no message a peer may legally send ends it,
 * its timeouts become Tcl timers, its watches channel handlers on one
 * channel of its own, and queued messages are dispatched from idle
 * calls, a bounded batch at a time. Returns false when libdbus lacks
 * memory; the caller then closes the connection, whose finalisation
 * frees whatever was installed.
 */
bool AttachEventLoop(DBusConnection *conn);

/*
 * Stops scheduling dispatches for a connection that is being closed.
 * Called before the connection is closed; DBusDispatchCancel afterwards
 * removes an idle dispatch that was already scheduled.
 */
void DetachEventLoop(DBusConnection *conn);

/*
 * For the end of opening a connection: TCL_OK while conn is still
 * connected, else TCL_ERROR with "connection error: connection closed
 * while opening" and, when why is neither null nor empty, ": " and why
 * as the result, and errorCode DBUS CONNECT DISCONNECTED. A connection
 * that the server refused during authentication (a guid that does not
 * match, for one) is already closed when dbus_bus_register returns.
 */
int RefuseClosed(Tcl_Interp *interp, DBusConnection *conn, const char *why);

/*
 * Pacing of script events. Dispatch moves at most dispatchBatch
 * messages into Tcl's event queue per turn of the event loop, and none
 * while dispatchBatch script events of the connection wait there, so
 * that timers, file events and idle callbacks (Tk's redraws) run
 * between batches. Script events of one connection nest at most
 * maxNesting deep (a handler that calls update or vwait runs the next
 * ones inside itself); deeper, they stay queued until the running ones
 * return.
 */
constexpr int dispatchBatch = 32;
constexpr int maxNesting = 8;

/* A script event of conn joined Tcl's queue. */
void EventQueued(DBusConnection *conn);

/*
 * A script event of conn is about to run. False when maxNesting events
 * of the connection are running already: the event must stay queued
 * (its procedure returns 0) and runs when they have returned.
 */
bool BeginEvent(DBusConnection *conn);

/*
 * A script event of conn that BeginEvent admitted has run and left the
 * queue; dispatch resumes if it waited for room. The connection must
 * still be alive (the event holds a reference while it runs).
 */
void EndEvent(DBusConnection *conn);

/*
 * To be called after a wait that libdbus did itself (a blocking call)
 * and that failed: a loss libdbus noticed in there does not always reach
 * the dispatch-status function, so a connection found closed gets the
 * dispatch that delivers its Disconnected signal (and with it the
 * handlers, the failing of outstanding calls, -notify and recovery).
 */
void AfterFailedWait(DBusConnection *conn);

/*
 * While a guard lives (a synchronous call that blocks, during which no
 * Tcl timer can fire), the timeouts libdbus adds get no Tcl timer; when
 * the outermost guard ends, those still there and enabled are armed.
 */
class DeferTimeouts {
public:
    DeferTimeouts() noexcept;
    ~DeferTimeouts();
    DeferTimeouts(const DeferTimeouts &) = delete;
    DeferTimeouts &operator=(const DeferTimeouts &) = delete;
};

} // namespace vantrel

#endif
