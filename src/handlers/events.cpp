/*
 * events.cpp --
 *
 *	Script events: the Tcl events that run a handler script for an
 *	incoming message once libdbus has finished dispatching, with the
 *	message's header dictionary and arguments appended, and that answer
 *	method calls automatically with the script's result or error. They
 *	are work of their connection's paced queue.
 */

#include "common.hpp"
#include "eventloop/eventloop.hpp"
#include "handlers/handlers.hpp"
#include "reply/reply.hpp"
#include "values/values.hpp"

namespace {

int DBus_ScriptEventProc(Tcl_Event *evPtr, int flags);

/*
 * A script event with its place in the paced queue, and the header
 * fields the router already read from its message.
 */
struct ScriptWork {
    DBusScriptEvent ev;		/* Must be first: Tcl's event header. */
    vantrel::PacedWork work;
    vantrel::HeaderFields fields;
};

/*
 * Queue --
 *
 *	Allocates a script event and queues it at the tail of the
 *	thread's event queue.
 *
 * Side effects:
 *	The event takes over one reference to script, one libdbus
 *	reference to msg and one reference to out, if not null; the event
 *	itself belongs to Tcl's queue.
 */
void
Queue(Tcl_Obj *script, DBusConnection *conn, DBusMessage *msg, int flags,
	Tcl_Obj *out, const vantrel::HeaderFields *fields)
{
    auto *queued = reinterpret_cast<ScriptWork *>(
	    Tcl_Alloc(sizeof(ScriptWork)));
    new (&queued->fields) vantrel::HeaderFields(
	    fields != nullptr ? *fields : vantrel::HeaderFields());
    DBusScriptEvent *ev = &queued->ev;
    ev->event.proc = DBus_ScriptEventProc;
    ev->event.nextPtr = NULL;
    ev->script = script;
    ev->conn = conn;
    ev->msg = msg;
    ev->flags = flags;
    ev->out = out;
    vantrel::QueueWork(&ev->event, &queued->work, conn);
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_ScriptEventProc --
 *
 *	Event procedure of script events: runs the handler script at
 *	global level in the connection's interpreter with the header
 *	dictionary and the message's arguments appended, then answers a
 *	method call as its handler's flags and the script's outcome say.
 *	Errors of scripts that get no reply (signals, monitors, call
 *	results) go unseen, as for the other handlers of a message.
 *
 *	The script may close the connection or delete the interpreter: a
 *	libdbus reference keeps the connection and Tcl_Preserve the
 *	interpreter alive until the event is done, no reply is sent
 *	through an interpreter that is being deleted, and a closed
 *	connection makes the reply fail harmlessly.
 *
 *	Channels made for the message's descriptors are the script's
 *	while it runs; those it neither closed nor kept are closed when
 *	it has returned (FdChannels), so that descriptors nobody wants do
 *	not pile up. The paced queue decides when the event may run.
 *
 * Results:
 *	0 to stay queued when idle events are not being serviced or the
 *	connection's events are nested too deep, else 1.
 *
 * Side effects:
 *	Releases the event's script and message references.
 *
 *----------------------------------------------------------------------
 */

int
DBus_ScriptEventProc(Tcl_Event *evPtr, int flags)
{
    auto *queued = reinterpret_cast<ScriptWork *>(evPtr);
    vantrel::RunWork running(&queued->work, flags);
    if (!running) {
	return 0;
    }
    DBusScriptEvent *ev = &queued->ev;
    /*
     * Held until the event is done, whatever the script closes: by the
     * paced queue, else (a connection without pacing) here.
     */
    DBusConnection *conn = ev->conn;
    bool hold = (running.Held() != conn);
    if (hold) {
	dbus_connection_ref(conn);
    }
    vantrel::ScopeExit done([conn, hold]() {
	if (hold) {
	    dbus_connection_unref(conn);
	}
    });
    vantrel::ObjPtr script = vantrel::adoptObj(ev->script);
    vantrel::MessagePtr msg = vantrel::adoptMessage(ev->msg);
    vantrel::ObjPtr out;
    if (ev->out != NULL) {
	out = vantrel::adoptObj(ev->out);
    }
    ev->script = NULL;
    ev->msg = NULL;
    ev->out = NULL;

    DBusConnData *cd = vantrel::ConnRecord(conn);
    if (cd == NULL || cd->interp == NULL) {
	return 1;
    }
    Tcl_Interp *interp = cd->interp;
    if (Tcl_InterpDeleted(interp)) {
	return 1;
    }

    vantrel::ObjPtr header;
    vantrel::HeaderFields &fields = queued->fields;
    if (msg && !(ev->flags & HANDLER_BARE)) {
	header = vantrel::holdObj(vantrel::HeaderDict(vantrel::HEADER_EVENT,
		msg.get(), &fields));
    }
    /*
     * The command: the script's words, the header dict and one word per
     * argument, evaluated as words, the way Tcl evaluates a pure list,
     * without a list being built for it. A script with nothing to
     * append, or that is no list, is evaluated as the script it is. The
     * script's words are held on their own: what the script runs may
     * turn the script's value into another type (it is the handler's,
     * which [dbus listen] gives out), which frees its list.
     */
    vantrel::FdChannels made;
    DBusMessageIter iter;
    bool hasArgs = msg && dbus_message_iter_init(msg.get(), &iter);
    int scriptc = 0;
    Tcl_Obj **scriptv = NULL;
    if ((header || hasArgs) && Tcl_ListObjGetElements(NULL, script.get(),
	    &scriptc, &scriptv) != TCL_OK) {
	scriptc = 0;
    }
    vantrel::Words command;
    for (int i = 0; i < scriptc; i++) {
	command.Add(scriptv[i]);
    }
    if (header) {
	command.Add(header.get());
    }
    if (hasArgs) {
	vantrel::IterWords(interp, &iter, (ev->flags & HANDLER_DETAILS) != 0,
		&made, vantrel::RecordMode(cd), &command, fields.signature);
    }
    bool bgerror = vantrel::ReportsErrors(cd,
	    (ev->flags & vantrel::HANDLER_REPORTS) != 0);

    Tcl_Preserve(interp);
    int code = scriptc > 0
	    ? Tcl_EvalObjv(interp, command.Count(), command.At(),
		    TCL_EVAL_GLOBAL)
	    : Tcl_EvalObjEx(interp, script.get(), TCL_EVAL_GLOBAL);
    if (!Tcl_InterpDeleted(interp)) {
	if (code == TCL_ERROR && bgerror && (ev->flags & HANDLER_NOREPLY)) {
	    /* Nobody waits for an answer: report as Tcl's events do. */
	    Tcl_BackgroundException(interp, code);
	} else if (msg && !(ev->flags & HANDLER_NOREPLY)) {
	    if (code == TCL_ERROR
		    && dbus_message_get_type(msg.get())
			== DBUS_MESSAGE_TYPE_METHOD_CALL) {
		vantrel::BlameCall(interp, msg.get(), NULL);
	    }
	    vantrel::AnswerCall(interp, conn, msg.get(), code, ev->flags,
		    out.get());
	}
    }
    if (made.Count() > 0) {
	/* Only what the script stored still holds the channel names. */
	command.Clear();
	script.reset();
	Tcl_ResetResult(interp);
	made.Settle(interp);
    }
    Tcl_Release(interp);
    return 1;
}

/*
 * DiscardMatch --
 *
 *	Predicate of Tcl_DeleteEvents: matches the queued script events of
 *	one connection. An event that is running has its procedure cleared
 *	by Tcl and is left alone.
 *
 * Results:
 *	1 for an event to delete (Tcl then frees it), else 0.
 *
 * Side effects:
 *	Releases the script and message of every matched event.
 */
int
DiscardMatch(Tcl_Event *evPtr, ClientData clientData)
{
    if (evPtr->proc != DBus_ScriptEventProc) {
	return 0;
    }
    auto *queued = reinterpret_cast<ScriptWork *>(evPtr);
    DBusScriptEvent *ev = &queued->ev;
    if (ev->conn != static_cast<DBusConnection *>(clientData)) {
	return 0;
    }
    vantrel::DropWork(&queued->work);
    if (ev->script != NULL) {
	Tcl_DecrRefCount(ev->script);
	ev->script = NULL;
    }
    if (ev->msg != NULL) {
	dbus_message_unref(ev->msg);
	ev->msg = NULL;
    }
    if (ev->out != NULL) {
	Tcl_DecrRefCount(ev->out);
	ev->out = NULL;
    }
    return 1;
}

} // namespace

namespace vantrel {

/*
 * QueueScriptEvent, QueueScriptEventAdopt --
 *
 *	Queue a script event for a message: the first copies the script
 *	and references the message, the second takes over the caller's
 *	references (handlers.hpp).
 */

void
QueueScriptEvent(Tcl_Obj *script, DBusConnection *conn, DBusMessage *msg,
	int flags, Tcl_Obj *out, const HeaderFields *fields)
{
    /*
     * A reference, not a copy: a script is never changed where it is
     * shared, so the event sees the script as it is now.
     */
    Tcl_IncrRefCount(script);		/* Passes to the event. */
    if (out != NULL) {
	Tcl_IncrRefCount(out);		/* So does this one. */
    }
    /* The event becomes the owner of the new message reference. */
    Queue(script, conn, msg ? holdMessage(msg).release() : NULL, flags, out,
	    fields);
}

void
QueueScriptEventAdopt(Tcl_Obj *script, DBusConnection *conn,
	DBusMessage *msg, int flags)
{
    Queue(script, conn, msg, flags, NULL, nullptr);
}

} // namespace vantrel

/*
 *----------------------------------------------------------------------
 *
 * DBus_DiscardEvents --
 *
 *	Removes every queued script event of a connection from Tcl's event
 *	queue, releasing its script and message, so that nothing queued
 *	runs for a connection that has been closed.
 *
 *----------------------------------------------------------------------
 */

void
DBus_DiscardEvents(DBusConnection *conn)
{
    Tcl_DeleteEvents(DiscardMatch, conn);
}
