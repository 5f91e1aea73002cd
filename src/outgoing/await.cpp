/*
 * await.cpp --
 *
 *	Calls awaited inside coroutines: the call goes out, the coroutine
 *	yields, and the event loop runs on until the reply comes; then the
 *	coroutine is resumed from a Tcl event and the command returns the
 *	reply's result there. The coroutine is resumed through its
 *	command, so a coroutine renamed meanwhile is still the one resumed.
 *	A coroutine deleted meanwhile is never resumed and its call is
 *	cancelled; a connection closed meanwhile resumes it with the
 *	"connection is closed" error. Resumptions still queued when the
 *	thread ends are freed with it.
 */

#include <map>
#include <vector>
#include <string>
#include "common.hpp"
#include "eventloop/eventloop.hpp"
#include "outgoing/await.hpp"

namespace {

/*
 * One awaited call. Two owners hold it: the coroutine's callback
 * (AwaitResumed) and the reply's path (the pending call's notification,
 * then the resume event); each releases it once.
 */
struct Await {
    DBusConnection *conn = nullptr; /* Not owned. */
    dbus_uint32_t serial = 0;	/* Of the call. */
    Tcl_Interp *interp = nullptr;
    DBusPendingCall *pending = nullptr; /* One reference, until the reply. */
    vantrel::MessagePtr reply;	/* Once it came. */
    Tcl_Command coroutine = nullptr; /* The awaiting coroutine, whatever
				 * its name. Valid until abandoned: deleting
				 * the coroutine runs AwaitResumed first. */
    vantrel::ObjPtr token;	/* What the resume event resumes it with. */
    vantrel::AwaitFinish finish;
    vantrel::ReplyTaken taken;	/* Or empty. */
    bool closed = false;	/* The connection closed before the reply. */
    bool bgerror = false;	/* Whether an error of the resumed coroutine
				 * is reported; read again when the
				 * resumption is queued, since the
				 * connection may be gone when it runs. */
    bool abandoned = false;	/* The coroutine went. */
    int refs = 2;
};

} // namespace

namespace vantrel {

/* A connection's awaited calls without their reply yet, by pending call. */
struct AwaitTable {
    std::map<DBusPendingCall *, Await *> outstanding;
};

} // namespace vantrel

namespace {

using vantrel::AwaitTable;

/* The await table of a connection, made when create asks for it. */
AwaitTable *
AwaitsIn(DBusConnection *conn, bool create)
{
    return vantrel::PartOf(conn, &DBusConnParts::awaits, create);
}

thread_local unsigned long tokenCounter = 0;

/* Whether the thread frees its queued resumptions when it ends. */
thread_local bool exitHandlerSet = false;

void
Release(Await *a)
{
    if (--a->refs == 0) {
	delete a;
    }
}

void
Unlist(Await *a)
{
    if (a->pending == nullptr) {
	return;
    }
    if (AwaitTable *table = AwaitsIn(a->conn, false)) {
	table->outstanding.erase(a->pending);
    }
}

/* Drops the pending call of an await: cancelled unless it completed. */
void
DropPending(Await *a, bool cancel)
{
    if (a->pending == nullptr) {
	return;
    }
    Unlist(a);
    if (cancel) {
	dbus_pending_call_cancel(a->pending);
    }
    dbus_pending_call_unref(a->pending);
    a->pending = nullptr;
}

struct ResumeEvent {
    Tcl_Event event;		/* Must be first: Tcl's event header. */
    vantrel::PacedWork work;	/* Work of the connection's paced queue. */
    Await *await;		/* The reply path's reference. */
};

/*
 * ResumeProc --
 *
 *	Event procedure: resumes the awaiting coroutine, under the full
 *	name its command bears now, with the await's token, at global
 *	level. An error the resumed coroutine raises goes to [interp
 *	bgerror] unless the connection was opened with -bgerror 0.
 */
int
ResumeProc(Tcl_Event *evPtr, int flags)
{
    auto *ev = reinterpret_cast<ResumeEvent *>(evPtr);
    vantrel::RunWork running(&ev->work, flags);
    if (!running) {
	return 0;
    }
    Await *a = ev->await;
    Tcl_Interp *interp = a->interp;
    if (a->abandoned || Tcl_InterpDeleted(interp)) {
	Release(a);
	return 1;
    }
    bool bgerror = a->bgerror;
    vantrel::ObjPtr name = vantrel::holdObj(Tcl_NewObj());
    Tcl_GetCommandFullName(interp, a->coroutine, name.get());
    vantrel::ObjPtr token = vantrel::holdObj(a->token.get());
    Tcl_Obj *words[2] = {name.get(), token.get()};
    Tcl_Preserve(interp);
    Release(a);			/* The coroutine's callback holds it now. */
    int code = Tcl_EvalObjv(interp, 2, words, TCL_EVAL_GLOBAL);
    if (code == TCL_ERROR && bgerror && !Tcl_InterpDeleted(interp)) {
	Tcl_BackgroundException(interp, code);
    }
    Tcl_Release(interp);
    return 1;
}

/* Tcl_DeleteEvents filter: drops a queued resumption and its reference. */
int
DropResume(Tcl_Event *evPtr, ClientData)
{
    if (evPtr->proc != ResumeProc) {
	return 0;
    }
    Release(reinterpret_cast<ResumeEvent *>(evPtr)->await);
    return 1;
}

/*
 * Thread exit handler: Tcl frees the events still queued without
 * running them, so the resumptions release their awaits here.
 */
void
FreeResumes(ClientData)
{
    Tcl_DeleteEvents(DropResume, NULL);
}

void
QueueResume(Await *a)
{
    if (!a->closed) {
	DBusConnData *cd = vantrel::ConnRecord(a->conn);
	a->bgerror = vantrel::ReportsErrors(cd, true);
    }
    if (!exitHandlerSet) {
	Tcl_CreateThreadExitHandler(FreeResumes, NULL);
	exitHandlerSet = true;
    }
    auto *ev = reinterpret_cast<ResumeEvent *>(
	    Tcl_Alloc(sizeof(ResumeEvent)));
    ev->event.proc = ResumeProc;
    ev->event.nextPtr = NULL;
    ev->await = a;
    vantrel::QueueWork(&ev->event, &ev->work, a->conn);
}

/*
 * ReplyArrived --
 *
 *	Pending-call notification: keeps the reply (ours, stolen), shows
 *	it to taken and queues the resumption; no script runs inside
 *	libdbus.
 */
void
ReplyArrived(DBusPendingCall *pending, void *data)
{
    auto *a = static_cast<Await *>(data);
    a->reply = vantrel::adoptMessage(dbus_pending_call_steal_reply(pending));
    DropPending(a, false);
    if (!a->reply || a->abandoned) {
	Release(a);
	return;
    }
    if (a->taken) {
	a->taken(a->reply.get());
    }
    QueueResume(a);
}

int AwaitResumed(ClientData data[], Tcl_Interp *interp, int result);

/* Suspends the coroutine until the await's token comes back. */
int
Suspend(Tcl_Interp *interp, Await *a)
{
    Tcl_NRAddCallback(interp, AwaitResumed, a, NULL, NULL, NULL);
    Tcl_Obj *yield = Tcl_NewStringObj("::yield", -1);
    return Tcl_NREvalObj(interp, yield, 0);
}

/*
 * AwaitResumed --
 *
 *	Runs when the coroutine's yield returns: with the token once the
 *	reply (or the close) is there, with anything else when some script
 *	resumed the coroutine early (it waits on), or with an error when
 *	the coroutine is being deleted (the call is cancelled).
 */
int
AwaitResumed(ClientData data[], Tcl_Interp *interp, int result)
{
    auto *a = static_cast<Await *>(data[0]);
    if (result != TCL_OK) {
	a->abandoned = true;
	if (a->pending != nullptr) {
	    DropPending(a, true);
	    Release(a);		/* The reply path's reference. */
	}
	Release(a);
	return result;
    }
    bool ours = std::string_view(Tcl_GetStringResult(interp))
	    == Tcl_GetString(a->token.get());
    if (!ours || (!a->reply && !a->closed)) {
	return Suspend(interp, a);
    }
    int code;
    if (a->closed) {
	code = vantrel::Fail(interp, "CALL", "CONNECTION",
		"connection is closed");
    } else {
	Tcl_ResetResult(interp);
	code = a->finish(interp, a->reply.get());
    }
    Release(a);
    return code;
}

/* The awaited calls of one connection still without their reply. */
std::vector<Await *>
AwaitsOf(DBusConnection *conn)
{
    std::vector<Await *> mine;
    if (AwaitTable *table = AwaitsIn(conn, false)) {
	for (auto &entry : table->outstanding) {
	    mine.push_back(entry.second);
	}
    }
    return mine;
}

} // namespace

namespace vantrel {

/*
 * CurrentCoroutine --
 *
 *	The command of the running coroutine (await.hpp), found by its
 *	name as [info coroutine] tells it; the interpreter's state is left
 *	as it was.
 */
Tcl_Command
CurrentCoroutine(Tcl_Interp *interp)
{
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    Tcl_Obj *words[2] = {
	Tcl_NewStringObj("::info", -1), Tcl_NewStringObj("coroutine", -1)
    };
    ObjPtr w0 = holdObj(words[0]);
    ObjPtr w1 = holdObj(words[1]);
    Tcl_Command coroutine = NULL;
    if (Tcl_EvalObjv(interp, 2, words, 0) == TCL_OK
	    && Tcl_GetCharLength(Tcl_GetObjResult(interp)) > 0) {
	coroutine = Tcl_GetCommandFromObj(interp, Tcl_GetObjResult(interp));
    }
    Tcl_RestoreInterpState(interp, state);
    return coroutine;
}

/*
 *----------------------------------------------------------------------
 *
 * AwaitReply --
 *
 *	Sends a call and suspends the current coroutine until its reply
 *	(await.hpp). Must be called from a command's NR procedure, as the
 *	last thing it does, inside that coroutine.
 *
 * Results:
 *	The NR result of the yield; the command's own result comes from
 *	finish once the coroutine is resumed.
 *
 *----------------------------------------------------------------------
 */

int
AwaitReply(Tcl_Interp *interp, Tcl_Command coroutine, DBusConnection *conn,
	MessagePtr msg, int timeout, AwaitFinish finish, ReplyTaken taken)
{
    DBusPendingCall *pending = NULL;
    if (!dbus_connection_send_with_reply(conn, msg.get(), &pending,
	    timeout)) {
	return DBus_MemoryError(interp);
    }
    if (pending == NULL) {
	return Fail(interp, "CALL", "CONNECTION", "connection is closed");
    }
    auto *a = new Await;
    a->conn = conn;
    a->serial = dbus_message_get_serial(msg.get());
    a->interp = interp;
    a->pending = pending;
    a->coroutine = coroutine;
    a->token = holdObj(Tcl_ObjPrintf("::dbus::await%lu", ++tokenCounter));
    a->finish = std::move(finish);
    a->taken = std::move(taken);
    a->bgerror = vantrel::ReportsErrors(vantrel::ConnRecord(conn), true);
    msg.reset();		/* libdbus keeps what it has to send. */
    AwaitTable *table = AwaitsIn(conn, true);
    if (table == nullptr) {
	DropPending(a, true);
	delete a;
	return Fail(interp, "CALL", "CONNECTION", "connection is closed");
    }
    table->outstanding[pending] = a;
    /* A reply that is already there runs the notification at once. */
    if (!dbus_pending_call_set_notify(pending, ReplyArrived, a, NULL)) {
	DropPending(a, true);
	delete a;
	return DBus_MemoryError(interp);
    }
    dbus_connection_flush(conn);
    return Suspend(interp, a);
}

/*
 * AbandonAwaits --
 *
 *	The awaited calls of a closing connection: cancelled, and their
 *	coroutines resumed from the event loop with "connection is closed".
 */

void
AbandonAwaits(DBusConnection *conn)
{
    for (Await *a : AwaitsOf(conn)) {
	DropPending(a, true);
	a->closed = true;
	QueueResume(a);		/* Carries the reply path's reference. */
    }
    DropPart(conn, &DBusConnParts::awaits);
}

/*
 * FailAwaits --
 *
 *	The awaited calls of a lost connection: each coroutine is resumed
 *	with org.freedesktop.DBus.Error.Disconnected as its reply.
 */

void
FailAwaits(DBusConnection *conn)
{
    for (Await *a : AwaitsOf(conn)) {
	DropPending(a, true);
	a->reply = adoptMessage(LostReply(a->serial));
	if (!a->reply) {
	    a->closed = true;
	}
	QueueResume(a);		/* Carries the reply path's reference. */
    }
}

} // namespace vantrel
