/*
 * dispatch.cpp --
 *
 *	Dispatching queued messages from Tcl's idle calls, a bounded batch
 *	per turn of the event loop: libdbus reports that data remains, an
 *	idle call dispatches up to dispatchBatch messages and schedules
 *	the next one while data remains and the connection's queued work
 *	leaves room. A flood of messages then shares the event loop with
 *	timers, file events and idle callbacks instead of filling Tcl's
 *	queue ahead of them, and what is not yet dispatched stays in
 *	libdbus's incoming queue, which the socket is not read into again
 *	before dispatch has emptied it (watch.cpp).
 */

#include "common.hpp"
#include "eventloop/eventloop.hpp"
#include "eventloop/pacing.hpp"

namespace {

using vantrel::Pacing;

dbus_int32_t paceSlot = -1;
TCL_DECLARE_MUTEX(paceSlotMutex)

/*
 * The connection whose pacing record this thread looked up last, and
 * the record: libdbus takes a lock for every lookup. A connection lives
 * in one thread; the record's free function forgets it here.
 */
struct LastPacing {
    DBusConnection *conn = nullptr;
    Pacing *pace = nullptr;
};
thread_local LastPacing lastPacing;

Pacing *
Record(DBusConnection *conn)
{
    if (conn == lastPacing.conn) {
	return lastPacing.pace;
    }
    if (paceSlot == -1) {
	return nullptr;
    }
    auto *pace = static_cast<Pacing *>(
	    dbus_connection_get_data(conn, paceSlot));
    if (pace != nullptr) {
	lastPacing = {conn, pace};
    }
    return pace;
}

void
FreePacing(void *data)
{
    if (lastPacing.pace == data) {
	lastPacing = LastPacing();
    }
    Tcl_Free(static_cast<char *>(data));
}

/* Schedules one idle dispatch, unless one is scheduled already. */
void
Schedule(DBusConnection *conn, Pacing *pace)
{
    if (pace != nullptr) {
	if (pace->scheduled || pace->detached) {
	    return;
	}
	pace->scheduled = true;
    }
    Tcl_DoWhenIdle(DBusIdleProc, conn);
}

/* True when the connection's queued work leaves room. */
bool
HasRoom(const DBusConnParts *parts, const Pacing *pace)
{
    return !pace->dispatching && (parts == nullptr
	    || (parts->work.queued < vantrel::dispatchBatch
		&& parts->work.serving < vantrel::maxNesting));
}

} // namespace

/*
 * ResumeDispatch --
 *
 *	Schedules a dispatch when messages wait and there is room for them
 *	(pacing.hpp).
 */
void
vantrel::ResumeDispatch(DBusConnection *conn)
{
    Pacing *pace = Record(conn);
    if (pace != nullptr && !pace->scheduled && !pace->detached
	    && HasRoom(Parts(conn), pace)
	    && dbus_connection_get_dispatch_status(conn)
		== DBUS_DISPATCH_DATA_REMAINS) {
	Schedule(conn, pace);
    }
}

/*
 *----------------------------------------------------------------------
 *
 * DBusDispatchChange --
 *
 *	Dispatch-status function of libdbus: schedules an idle dispatch
 *	when messages wait.
 *
 *----------------------------------------------------------------------
 */

void
DBusDispatchChange(DBusConnection *conn, DBusDispatchStatus status, void *)
{
    if (status == DBUS_DISPATCH_DATA_REMAINS) {
	Schedule(conn, Record(conn));
    } else if (status == DBUS_DISPATCH_COMPLETE) {
	Pacing *pace = Record(conn);
	if (pace != nullptr && pace->gate != nullptr) {
	    vantrel::ResumeReading(pace->gate);
	}
    }
}

/*
 *----------------------------------------------------------------------
 *
 * DBusIdleProc --
 *
 *	Idle procedure: dispatches at most dispatchBatch queued messages
 *	of the connection, fewer when its queued work fills Tcl's queue
 *	meanwhile, and schedules itself again while messages wait and
 *	there is room; when there is none, the work that makes room
 *	schedules it (ResumeDispatch). Never dispatches inside a dispatch
 *	of the same connection, which libdbus would wait for forever.
 *
 *----------------------------------------------------------------------
 */

void
DBusIdleProc(ClientData clientData)
{
    auto *conn = static_cast<DBusConnection *>(clientData);
    Pacing *pace = Record(conn);
    if (pace == nullptr) {
	/* Never attached: a connection this library did not set up. */
	dbus_connection_dispatch(conn);
	return;
    }
    pace->scheduled = false;
    if (pace->detached) {
	return;
    }
    /* No script runs in a dispatch: the parts stay the connection's. */
    const DBusConnParts *parts = vantrel::Parts(conn);
    for (int n = 0; n < vantrel::dispatchBatch && HasRoom(parts, pace);
	    n++) {
	pace->dispatching = true;
	DBusDispatchStatus status = dbus_connection_dispatch(conn);
	pace->dispatching = false;
	if (status != DBUS_DISPATCH_DATA_REMAINS) {
	    return;
	}
    }
    vantrel::ResumeDispatch(conn);
}

/*
 * AfterFailedWait --
 *
 *	A connection lost during a blocking call gets its dispatch
 *	(eventloop.hpp). Asking libdbus for the dispatch status queues
 *	the Disconnected signal of a closed connection.
 */

void
vantrel::AfterFailedWait(DBusConnection *conn)
{
    if (!dbus_connection_get_is_connected(conn)) {
	DBusDispatchChange(conn, dbus_connection_get_dispatch_status(conn),
		NULL);
    }
}

/*
 *----------------------------------------------------------------------
 *
 * DBusDispatchCancel --
 *
 *	Removes every idle dispatch still scheduled for the connection.
 *	Touches nothing but the pointer: the connection may be gone.
 *
 *----------------------------------------------------------------------
 */

void
DBusDispatchCancel(DBusConnection *conn)
{
    Tcl_CancelIdleCall(DBusIdleProc, conn);
}

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * AttachPacing, DetachPacing --
 *
 *	Install and retire the pacing record of a connection
 *	(pacing.hpp). The data slot is allocated once per process.
 *
 *----------------------------------------------------------------------
 */

bool
AttachPacing(DBusConnection *conn, ReadGate *gate)
{
    Tcl_MutexLock(&paceSlotMutex);
    if (paceSlot == -1) {
	dbus_connection_allocate_data_slot(&paceSlot);
    }
    bool haveSlot = (paceSlot != -1);
    Tcl_MutexUnlock(&paceSlotMutex);
    if (!haveSlot) {
	return false;
    }
    auto *pace = reinterpret_cast<Pacing *>(Tcl_Alloc(sizeof(Pacing)));
    *pace = Pacing{false, false, false, gate};
    /* libdbus owns the record from here, with its free function. */
    if (!dbus_connection_set_data(conn, paceSlot, pace, FreePacing)) {
	FreePacing(pace);		/* libdbus did not take it. */
	return false;
    }
    return true;
}

void
DetachPacing(DBusConnection *conn)
{
    if (Pacing *pace = Record(conn)) {
	pace->detached = true;
    }
}

} // namespace vantrel
