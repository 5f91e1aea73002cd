/*
 * queue.cpp --
 *
 *	The paced queue of a connection: the work it queues for its
 *	interpreter, whatever its kind, is counted in the connection's
 *	pacing record from the moment it is queued until it has run or is
 *	discarded, and runs only while fewer than maxNesting of the
 *	connection's events run. The work that has not run yet is linked
 *	in the record, so that a closing connection leaves it unpaced and
 *	a reconnection hands it to the new connection.
 */

#include "vantrel.h"
#include "eventloop/eventloop.hpp"
#include "eventloop/pacing.hpp"

namespace {

using vantrel::Pacing;
using vantrel::PacedWork;

void
Link(Pacing *pace, PacedWork *work)
{
    work->prev = nullptr;
    work->next = pace->waiting;
    if (work->next != nullptr) {
	work->next->prev = work;
    }
    pace->waiting = work;
}

void
Unlink(Pacing *pace, PacedWork *work)
{
    (work->prev != nullptr ? work->prev->next : pace->waiting) = work->next;
    if (work->next != nullptr) {
	work->next->prev = work->prev;
    }
    work->prev = work->next = nullptr;
}

} // namespace

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * QueueWork, DropWork, HandOverWork --
 *
 *	Work joins the queue, leaves it unrun, or changes connection
 *	(eventloop.hpp).
 *
 *----------------------------------------------------------------------
 */

void
QueueWork(Tcl_Event *ev, PacedWork *work, DBusConnection *conn)
{
    Pacing *pace = conn != nullptr ? PaceRecord(conn) : nullptr;
    work->conn = pace != nullptr ? conn : nullptr;
    work->pace = pace;
    work->prev = work->next = nullptr;
    if (pace != nullptr) {
	Link(pace, work);
	pace->queued++;
    }
    /* The event now belongs to Tcl's event queue. */
    Tcl_QueueEvent(ev, TCL_QUEUE_TAIL);
}

void
DropWork(PacedWork *work)
{
    if (work->conn == nullptr) {
	return;
    }
    DBusConnection *conn = work->conn;
    Pacing *pace = work->pace;
    work->conn = nullptr;
    work->pace = nullptr;
    Unlink(pace, work);
    pace->queued--;
    ResumeDispatch(conn, pace);
}

void
HandOverWork(DBusConnection *from, DBusConnection *to)
{
    Pacing *old = PaceRecord(from);
    if (old == nullptr) {
	return;
    }
    Pacing *fresh = to != nullptr ? PaceRecord(to) : nullptr;
    while (PacedWork *work = old->waiting) {
	Unlink(old, work);
	old->queued--;
	work->conn = fresh != nullptr ? to : nullptr;
	work->pace = fresh;
	if (fresh != nullptr) {
	    Link(fresh, work);
	    fresh->queued++;
	}
    }
}

/*
 *----------------------------------------------------------------------
 *
 * RunWork --
 *
 *	The admission of queued work to run, and its end (eventloop.hpp).
 *	Work with a connection is linked in the connection's pacing record
 *	(QueueWork gives none to work whose connection has no record);
 *	work without one runs whenever Tcl services idle events.
 *
 *----------------------------------------------------------------------
 */

RunWork::RunWork(PacedWork *work, int flags) noexcept
{
    if (!(flags & TCL_IDLE_EVENTS)) {
	return;
    }
    DBusConnection *conn = work->conn;
    if (conn != nullptr) {
	Pacing *pace = work->pace;
	if (pace->serving >= maxNesting) {
	    return;
	}
	Unlink(pace, work);
	pace->serving++;
	pace_ = pace;
	/* Held until the work is done, whatever its script closes. */
	conn_ = dbus_connection_ref(conn);
	work->conn = nullptr;
	work->pace = nullptr;
    }
    admitted_ = true;
}

RunWork::~RunWork()
{
    if (conn_ == nullptr) {
	return;
    }
    pace_->serving--;
    pace_->queued--;
    ResumeDispatch(conn_, pace_);
    dbus_connection_unref(conn_);
}

} // namespace vantrel
