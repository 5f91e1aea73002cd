/*
 * queue.cpp --
 *
 *	The paced queue of a connection: the work it queues for its
 *	interpreter, whatever its kind, is counted in the connection's
 *	parts from the moment it is queued until it has run or is
 *	discarded, and runs only while fewer than maxNesting of the
 *	connection's events run. The work that waits and the work that
 *	runs are linked there, so that a closing connection leaves both
 *	unpaced; a reconnection keeps the count where it is, with the
 *	parts.
 */

#include "common.hpp"
#include "eventloop/eventloop.hpp"
#include "eventloop/pacing.hpp"

namespace {

using vantrel::PacedWork;
using vantrel::WorkCount;

void
Link(WorkCount *count, PacedWork *work)
{
    work->prev = nullptr;
    work->next = count->waiting;
    if (work->next != nullptr) {
	work->next->prev = work;
    }
    count->waiting = work;
}

void
Unlink(WorkCount *count, PacedWork *work)
{
    (work->prev != nullptr ? work->prev->next : count->waiting) = work->next;
    if (work->next != nullptr) {
	work->next->prev = work->prev;
    }
    work->prev = work->next = nullptr;
}

/*
 * Work of the connection has left the queue (ran, or went unrun): a
 * dispatch that stopped for want of room may go on where room appeared.
 * Room appears only where a count falls below its limit; with the queue
 * empty, libdbus is asked whether messages it held back (its limit of
 * received bytes alive) can now be dispatched. Asking costs a lock, and
 * a dispatch that ended with nothing left was told so already.
 */
void
Left(const WorkCount &count, DBusConnection *conn)
{
    if (count.queued == 0 || count.queued == vantrel::dispatchBatch - 1
	    || count.serving == vantrel::maxNesting - 1) {
	vantrel::ResumeDispatch(conn);
    }
}

} // namespace

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * QueueWork, DropWork, ReleaseWork --
 *
 *	Work joins the queue, leaves it unrun, or leaves the pacing of a
 *	closing connection (eventloop.hpp).
 *
 *----------------------------------------------------------------------
 */

void
QueueWork(Tcl_Event *ev, PacedWork *work, DBusConnection *conn)
{
    DBusConnParts *parts = conn != nullptr ? Parts(conn) : nullptr;
    work->parts = parts;
    work->prev = work->next = nullptr;
    if (parts != nullptr) {
	Link(&parts->work, work);
	parts->work.queued++;
    }
    /* The event now belongs to Tcl's event queue. */
    Tcl_QueueEvent(ev, TCL_QUEUE_TAIL);
}

void
DropWork(PacedWork *work)
{
    DBusConnParts *parts = work->parts;
    if (parts == nullptr) {
	return;
    }
    work->parts = nullptr;
    Unlink(&parts->work, work);
    parts->work.queued--;
    Left(parts->work, parts->conn);
}

void
ReleaseWork(DBusConnection *conn)
{
    DBusConnParts *parts = Parts(conn);
    if (parts == nullptr) {
	return;
    }
    WorkCount &count = parts->work;
    while (PacedWork *work = count.waiting) {
	Unlink(&count, work);
	work->parts = nullptr;
    }
    for (RunWork *r = count.running; r != nullptr; r = r->next_) {
	r->parts_ = nullptr;
    }
    count = WorkCount();
}

/*
 *----------------------------------------------------------------------
 *
 * RunWork --
 *
 *	The admission of queued work to run, and its end (eventloop.hpp).
 *	Work with a connection is counted and linked in the connection's
 *	parts (QueueWork gives none to work whose connection has none);
 *	work without one runs whenever Tcl services idle events.
 *
 *----------------------------------------------------------------------
 */

RunWork::RunWork(PacedWork *work, int flags) noexcept
{
    if (!(flags & TCL_IDLE_EVENTS)) {
	return;
    }
    if (DBusConnParts *parts = work->parts) {
	WorkCount &count = parts->work;
	if (count.serving >= maxNesting) {
	    return;
	}
	Unlink(&count, work);
	work->parts = nullptr;
	count.serving++;
	next_ = count.running;
	if (next_ != nullptr) {
	    next_->prev_ = this;
	}
	count.running = this;
	parts_ = parts;
	/* Held until the work is done, whatever its script closes. */
	conn_ = dbus_connection_ref(parts->conn);
    }
    admitted_ = true;
}

RunWork::~RunWork()
{
    if (parts_ != nullptr) {
	WorkCount &count = parts_->work;
	(prev_ != nullptr ? prev_->next_ : count.running) = next_;
	if (next_ != nullptr) {
	    next_->prev_ = prev_;
	}
	count.serving--;
	count.queued--;
	Left(count, parts_->conn);
    }
    if (conn_ != nullptr) {
	dbus_connection_unref(conn_);
    }
}

} // namespace vantrel
