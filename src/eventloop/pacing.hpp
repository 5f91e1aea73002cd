/*
 * pacing.hpp --
 *
 *	The per-connection record of dispatch pacing, which the dispatch
 *	(dispatch.cpp) and the paced queue (queue.cpp) share and the attach
 *	step (attach.cpp) installs and retires. Private to the event-loop
 *	folder.
 */

#ifndef VANTREL_PACING_HPP
#define VANTREL_PACING_HPP

#include "vantrel.h"
#include "eventloop/eventloop.hpp"

namespace vantrel {

/*
 * The pacing record of a connection, in a libdbus data slot of the
 * event loop's own, owned by libdbus (freed with the connection).
 */
struct Pacing {
    int queued;			/* Work of the connection in Tcl's queue,
				 * running work included. */
    int serving;		/* Work of it running now. */
    PacedWork *waiting;		/* The work that has not run yet, linked
				 * through its records; not owned. */
    bool dispatching;		/* Inside dbus_connection_dispatch. */
    bool scheduled;		/* An idle dispatch is scheduled. */
    bool detached;		/* Closing: no more dispatches. */
};

/* The pacing record of conn, or null when it has none. */
Pacing *PaceRecord(DBusConnection *conn);

/*
 * Gives conn its pacing record, owned by libdbus (freed with the
 * connection). False when libdbus lacks memory.
 */
bool AttachPacing(DBusConnection *conn);

/* From now on nothing schedules a dispatch of conn. */
void DetachPacing(DBusConnection *conn);

/*
 * Schedules a dispatch when messages wait and the connection's queued
 * work leaves room for them (work that ran or went calls it).
 */
void ResumeDispatch(DBusConnection *conn, Pacing *pace);

} // namespace vantrel

#endif
