/*
 * pacing.hpp --
 *
 *	The dispatch state of a libdbus connection, which the dispatch
 *	(dispatch.cpp) and the paced queue (queue.cpp) share and the attach
 *	step (attach.cpp) installs and retires; the work the connection
 *	queued is counted in its parts (WorkCount, common.hpp). Private to
 *	the event-loop folder.
 */

#ifndef VANTREL_PACING_HPP
#define VANTREL_PACING_HPP

#include "common.hpp"
#include "eventloop/eventloop.hpp"

namespace vantrel {

/*
 * The dispatch state of a libdbus connection, in a libdbus data slot of
 * the event loop's own, owned by libdbus (freed with the connection). A
 * reconnection gives the new connection one of its own.
 */
struct ReadGate;
struct Pacing {
    bool dispatching;		/* Inside dbus_connection_dispatch. */
    bool scheduled;		/* An idle dispatch is scheduled. */
    bool detached;		/* Closing: no more dispatches. */
    ReadGate *gate;		/* Its watch record (watch.cpp), owned by
				 * libdbus, which frees it after it has
				 * stopped reporting dispatch changes. */
};

/*
 * Installs the watches of a connection as channel handlers that read
 * only while no message waits to be dispatched or a timeout is armed,
 * and its timeouts as Tcl timers. The record is libdbus's (freed with
 * the connection); null when libdbus lacks memory.
 */
ReadGate *AttachWatches(DBusConnection *conn);

/* Dispatch has taken the last message: reading resumes. */
void ResumeReading(ReadGate *gate);

/*
 * Gives conn its pacing record, owned by libdbus (freed with the
 * connection). False when libdbus lacks memory.
 */
bool AttachPacing(DBusConnection *conn, ReadGate *gate);

/* From now on nothing schedules a dispatch of conn. */
void DetachPacing(DBusConnection *conn);

/*
 * Schedules a dispatch when messages wait and the connection's queued
 * work leaves room for them (work that ran or went calls it).
 */
void ResumeDispatch(DBusConnection *conn);

} // namespace vantrel

#endif
