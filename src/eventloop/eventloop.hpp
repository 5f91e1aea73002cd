/*
 * eventloop.hpp --
 *
 *	How a connection joins and leaves Tcl's event loop, and how the
 *	work a connection queues for its interpreter is paced. The watch,
 *	timeout and dispatch callbacks themselves are exported (vantrel.h);
 *	these routines install and remove them. Not exported.
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
 * A server joins the event loop of the calling thread: each of its
 * listening sockets gets a channel whose handlers let libdbus accept
 * (and call the server's new-connection function), its timeouts become
 * Tcl timers. Returns false when libdbus lacks memory; what was
 * installed goes with the server.
 */
bool AttachServer(DBusServer *server);

/*
 * A connection that a server accepted, until its peer has
 * authenticated: its watches run the authentication from the event
 * loop, nothing is dispatched, and settled runs exactly once, right
 * after the socket event that decided it: with ok true once the peer
 * has authenticated and libdbus admitted it (by its user, or as
 * anonymous where allowed), false once the connection closed before
 * (refused, or the peer left). settled may hand the connection to
 * AttachEventLoop, which replaces these watches, or release it. Returns
 * false when libdbus lacks memory.
 */
using AuthSettled = void (*)(DBusConnection *conn, bool ok, void *data);
bool AwaitAuthentication(DBusConnection *conn, AuthSettled settled,
	void *data);

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
 * The paced queue of a connection. Everything a connection queues for
 * its interpreter (handler scripts, the calls of exported objects,
 * resumed coroutines, the notices of recovery) is a Tcl event whose
 * record carries a PacedWork, and all of it is paced as one queue.
 * Dispatch moves at most dispatchBatch messages into Tcl's event queue
 * per turn of the event loop, and none while dispatchBatch events of
 * the connection wait there, so that timers, file events and idle
 * callbacks (Tk's redraws) run between batches. Events of one
 * connection nest at most maxNesting deep (a script that calls update
 * or vwait runs the next ones inside itself); deeper, they stay queued
 * until the running ones return. Queued work runs only when Tcl
 * services idle events (as update and vwait do).
 */
constexpr int dispatchBatch = 32;
constexpr int maxNesting = 8;

/* The part of a queued event's record that the paced queue keeps. */
struct PacedWork {
    DBusConnParts *parts;	/* Counted in the work of this connection,
				 * linked there; null when unpaced (its
				 * connection closed). Not owned. */
    PacedWork *prev;		/* Among the connection's waiting work. */
    PacedWork *next;
};

/*
 * Queues ev, whose record holds work, at the tail of Tcl's event queue,
 * counted against conn (unpaced when null, or a connection this library
 * did not set up). The event becomes the property of Tcl's queue. The
 * count is the connection's parts': a reconnection keeps it.
 */
void QueueWork(Tcl_Event *ev, PacedWork *work, DBusConnection *conn);

/*
 * Opens the event procedure of queued work:
 *
 *	RunWork running(&ev->work, flags);
 *	if (!running) {
 *	    return 0;
 *	}
 *
 * False while the event must stay queued: Tcl is not servicing idle
 * events, or maxNesting events of its connection run already. Once
 * admitted, the work holds a libdbus reference to its connection (if it
 * still has one) whatever its script closes, and counts as running until
 * the guard ends, which lets dispatch resume.
 */
class RunWork {
public:
    RunWork(PacedWork *work, int flags) noexcept;
    ~RunWork();
    RunWork(const RunWork &) = delete;
    RunWork &operator=(const RunWork &) = delete;
    explicit operator bool() const noexcept { return admitted_; }
    /* The connection held while the work runs; null when unpaced. */
    DBusConnection *Held() const noexcept { return conn_; }
private:
    friend void ReleaseWork(DBusConnection *conn);
    DBusConnection *conn_ = nullptr; /* One reference while it runs. */
    DBusConnParts *parts_ = nullptr; /* Whose work it counts as; null
				 * once the connection closed. */
    RunWork *prev_ = nullptr;	/* Among the connection's running work. */
    RunWork *next_ = nullptr;
    bool admitted_ = false;
};

/*
 * Queued work taken out of Tcl's queue without running (from the
 * predicate of Tcl_DeleteEvents): no longer counted.
 */
void DropWork(PacedWork *work);

/*
 * A closing connection: its work runs unpaced from now on, what waits
 * and what runs already.
 */
void ReleaseWork(DBusConnection *conn);

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
