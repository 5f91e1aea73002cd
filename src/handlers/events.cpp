/*
 * events.cpp --
 *
 *	Script events: the Tcl events that run a handler script for an
 *	incoming message once libdbus has finished dispatching, with the
 *	message's header dictionary and arguments appended, and that answer
 *	method calls automatically with the script's result or error.
 */

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
#include "common.hpp"
#include "eventloop/eventloop.hpp"
#include "handlers/handlers.hpp"
#include "values/values.hpp"

namespace {

int DBus_ScriptEventProc(Tcl_Event *evPtr, int flags);

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
	Tcl_Obj *out)
{
    auto *ev = reinterpret_cast<DBusScriptEvent *>(
	    Tcl_Alloc(sizeof(DBusScriptEvent)));
    ev->event.proc = DBus_ScriptEventProc;
    ev->event.nextPtr = NULL;
    ev->script = script;
    ev->conn = conn;
    ev->msg = msg;
    ev->flags = flags;
    ev->out = out;
    vantrel::EventQueued(conn);
    /* The event now belongs to Tcl's event queue. */
    Tcl_QueueEvent(&ev->event, TCL_QUEUE_TAIL);
}

/*
 * Option --
 *
 *	Looks a key up in a return options dictionary.
 *
 * Results:
 *	The value (borrowed from the dictionary) or null.
 */
Tcl_Obj *
Option(Tcl_Obj *options, const char *name)
{
    vantrel::ObjPtr key = vantrel::holdObj(Tcl_NewStringObj(name, -1));
    Tcl_Obj *value = NULL;
    if (Tcl_DictObjGet(NULL, options, key.get(), &value) != TCL_OK) {
	return NULL;
    }
    return value;
}

/*
 * ReplyFailed --
 *
 *	Answers a call with an error reply when the answer the script
 *	asked for could not be sent (the result or error text cannot
 *	travel as a D-Bus string, for instance because it holds a NUL
 *	character), so that the caller is not left waiting for its
 *	timeout. The reason the interpreter was left with becomes the
 *	text; failing that, the error goes without a text.
 *
 * Side effects:
 *	Sends org.freedesktop.DBus.Error.Failed unless the connection is
 *	closed. Leaves the interpreter result to the send.
 */
void
ReplyFailed(Tcl_Interp *interp, DBusConnection *conn, const char *dest,
	dbus_uint32_t serial)
{
    if (!dbus_connection_get_is_connected(conn)) {
	return;
    }
    vantrel::ObjPtr reason = vantrel::holdObj(Tcl_GetObjResult(interp));
    Tcl_ResetResult(interp);
    if (DBus_Error(interp, conn, NULL, dest, serial,
	    Tcl_GetString(reason.get())) != TCL_OK) {
	DBus_Error(interp, conn, NULL, dest, serial, NULL);
    }
}

/*
 * CountTypes --
 *
 *	The number of complete types in a valid signature.
 */
int
CountTypes(const char *sig)
{
    if (*sig == '\0') {
	return 0;
    }
    DBusSignatureIter it;
    dbus_signature_iter_init(&it, sig);
    int n = 1;
    while (dbus_signature_iter_next(&it)) {
	n++;
    }
    return n;
}

/*
 * SendTypedReturn --
 *
 *	Sends the method return of a typed handler: no value for the empty
 *	signature, the result itself for one complete type, the elements
 *	of the result for several.
 *
 * Results:
 *	TCL_OK, or TCL_ERROR with the reason in the interpreter.
 */
int
SendTypedReturn(Tcl_Interp *interp, DBusConnection *conn, DBusMessage *call,
	Tcl_Obj *result, Tcl_Obj *out)
{
    const char *sig = Tcl_GetString(out);
    int wanted = CountTypes(sig);
    int objc = wanted;
    Tcl_Obj *single[1] = {result};
    Tcl_Obj **objv = single;
    if (wanted > 1) {
	if (Tcl_ListObjGetElements(interp, result, &objc, &objv) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (objc != wanted) {
	    Tcl_SetObjResult(interp, Tcl_ObjPrintf("result must be a list of "
		    "%d values for the reply signature \"%s\"", wanted, sig));
	    return TCL_ERROR;
	}
    }
    if (!dbus_connection_get_is_connected(conn)) {
	return vantrel::Fail(interp, "RETURN", "CONNECTION",
		"connection is closed");
    }
    vantrel::MessagePtr reply = vantrel::adoptMessage(
	    dbus_message_new_method_return(call));
    if (!reply) {
	return DBus_MemoryError(interp);
    }
    /* Declared types: out of range integers are refused, not cut. */
    if (vantrel::AppendArgs(interp, "RETURN", conn, reply.get(), sig, objc,
	    objv, vantrel::MARSHAL_RANGE) != TCL_OK) {
	return TCL_ERROR;
    }
    if (!dbus_connection_send(conn, reply.get(), NULL)) {
	return DBus_MemoryError(interp);
    }
    return TCL_OK;
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
 *	not pile up. Events of one connection nest at most maxNesting
 *	deep (a script that calls update runs the next ones inside
 *	itself); deeper ones wait in the queue.
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
    if (!(flags & TCL_IDLE_EVENTS)) {
	return 0;
    }
    auto *ev = reinterpret_cast<DBusScriptEvent *>(evPtr);
    if (!vantrel::BeginEvent(ev->conn)) {
	return 0;
    }
    /* Held until the event is done, whatever the script closes. */
    DBusConnection *conn = dbus_connection_ref(ev->conn);
    vantrel::ScopeExit done([conn]() {
	vantrel::EndEvent(conn);
	dbus_connection_unref(conn);
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
    if (msg && !(ev->flags & HANDLER_BARE)) {
	header = vantrel::holdObj(vantrel::HeaderDict(vantrel::HEADER_EVENT,
		msg.get()));
    }
    vantrel::FdChannels made;
    vantrel::ObjPtr args;
    int argc = 0;
    Tcl_Obj **argv = NULL;
    DBusMessageIter iter;
    if (msg && dbus_message_iter_init(msg.get(), &iter)) {
	args = vantrel::holdObj(vantrel::IterList(interp, &iter,
		(ev->flags & HANDLER_DETAILS) != 0, &made,
		vantrel::ConnMode(conn)));
	Tcl_ListObjGetElements(NULL, args.get(), &argc, &argv);
    }
    /*
     * The command: the script's words, the header dict and one word per
     * argument, evaluated as words, the way Tcl evaluates a pure list,
     * without a list being built for it. A script with nothing to
     * append, or that is no list, is evaluated as the script it is.
     */
    int scriptc = 0;
    Tcl_Obj **scriptv = NULL;
    if ((header || argc > 0) && Tcl_ListObjGetElements(NULL, script.get(),
	    &scriptc, &scriptv) != TCL_OK) {
	scriptc = 0;
    }
    constexpr int fewWords = 16;
    Tcl_Obj *few[fewWords];
    std::vector<Tcl_Obj *> many;
    int wordc = scriptc + (header ? 1 : 0) + argc;
    Tcl_Obj **words = few;
    if (wordc > fewWords) {
	many.resize(wordc);
	words = many.data();
    }
    if (scriptc > 0) {
	std::copy(scriptv, scriptv + scriptc, words);
	if (header) {
	    words[scriptc] = header.get();
	}
	std::copy(argv, argv + argc, words + scriptc + (header ? 1 : 0));
    }
    bool bgerror = vantrel::ReportsErrors(cd,
	    (ev->flags & vantrel::HANDLER_REPORTS) != 0);

    Tcl_Preserve(interp);
    int code;
    if (scriptc > 0) {
	/*
	 * The script's words are held on their own: what the script runs
	 * may turn the script's value into another type (it is the
	 * handler's, which [dbus listen] gives out), which frees its list.
	 */
	for (int i = 0; i < scriptc; i++) {
	    Tcl_IncrRefCount(words[i]);
	}
	code = Tcl_EvalObjv(interp, wordc, words, TCL_EVAL_GLOBAL);
	for (int i = 0; i < scriptc; i++) {
	    Tcl_DecrRefCount(words[i]);
	}
    } else {
	code = Tcl_EvalObjEx(interp, script.get(), TCL_EVAL_GLOBAL);
    }
    if (!Tcl_InterpDeleted(interp)) {
	if (code == TCL_ERROR && bgerror && (ev->flags & HANDLER_NOREPLY)) {
	    /* Nobody waits for an answer: report as Tcl's events do. */
	    Tcl_BackgroundException(interp, code);
	} else if (msg) {
	    if (code == TCL_ERROR && !(ev->flags & HANDLER_NOREPLY)
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
	args.reset();
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
    auto *ev = reinterpret_cast<DBusScriptEvent *>(evPtr);
    if (ev->conn != static_cast<DBusConnection *>(clientData)) {
	return 0;
    }
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
	int flags, Tcl_Obj *out)
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
    Queue(script, conn, msg ? holdMessage(msg).release() : NULL, flags, out);
}

void
QueueScriptEventAdopt(Tcl_Obj *script, DBusConnection *conn,
	DBusMessage *msg, int flags)
{
    Queue(script, conn, msg, flags, NULL);
}

/*
 *----------------------------------------------------------------------
 *
 * BlameCall --
 *
 *	Tells a failure of Tcl's in calling a handler from a failure of
 *	the handler's script (handlers.hpp). Calling it fails before any
 *	of its script runs when it lacks the member (a TclOO method, an
 *	ensemble's subcommand, or the command itself: errorCode TCL LOOKUP
 *	METHOD, SUBCOMMAND or COMMAND) or does not take the arguments
 *	(TCL WRONGARGS). Such an error's -errorinfo shows the call alone
 *	("while executing" it); an error raised inside the script, even
 *	with the same errorCode, shows the frame it ran in (a procedure, a
 *	lambda, a method) "invoked from within" the call. (The frames of
 *	-errorstack would tell the same, but they also count the frames of
 *	whatever runs the event loop.) A peer's text in the arguments can
 *	at worst make its own call's error look like the script's.
 *
 *----------------------------------------------------------------------
 */

void
BlameCall(Tcl_Interp *interp, DBusMessage *msg, const char *intf)
{
    ObjPtr options = holdObj(Tcl_GetReturnOptions(interp, TCL_ERROR));
    Tcl_Obj *info = Option(options.get(), "-errorinfo");
    Tcl_Obj *code = Option(options.get(), "-errorcode");
    int c;
    Tcl_Obj **words;
    if (info == NULL || code == NULL
	    || std::strstr(Tcl_GetString(info), "\n    invoked from within\n")
		!= NULL
	    || Tcl_ListObjGetElements(NULL, code, &c, &words) != TCL_OK
	    || c < 2 || std::strcmp(Tcl_GetString(words[0]), "TCL") != 0) {
	return;
    }
    const char *member = dbus_message_get_member(msg);
    const char *name;
    std::string text;
    if (std::strcmp(Tcl_GetString(words[1]), "WRONGARGS") == 0) {
	const char *sig = dbus_message_get_signature(msg);
	name = DBUS_ERROR_INVALID_ARGS;
	text = std::string("invalid arguments for ") + member
		+ ": the implementation does not take "
		+ (*sig ? std::string("signature '") + sig + "'"
		    : std::string("a call without arguments"));
    } else if (c >= 3 && std::strcmp(Tcl_GetString(words[1]), "LOOKUP") == 0
	    && (std::strcmp(Tcl_GetString(words[2]), "METHOD") == 0
		|| std::strcmp(Tcl_GetString(words[2]), "SUBCOMMAND") == 0
		|| std::strcmp(Tcl_GetString(words[2]), "COMMAND") == 0)) {
	if (const char *named = dbus_message_get_interface(msg)) {
	    intf = named;
	}
	name = DBUS_ERROR_UNKNOWN_METHOD;
	text = std::string("method '") + member + "'"
		+ (intf ? std::string(" of interface '") + intf + "'"
		    : std::string())
		+ " is not implemented at object path '"
		+ dbus_message_get_path(msg) + "'";
    } else {
	return;
    }
    /* The error the peer gets: Tcl's words stay in -errorinfo. */
    ObjPtr blamed = holdObj(Tcl_DuplicateObj(options.get()));
    ObjPtr key = holdObj(Tcl_NewStringObj("-name", -1));
    Tcl_DictObjPut(NULL, blamed.get(), key.get(), Tcl_NewStringObj(name, -1));
    Tcl_SetObjResult(interp, Tcl_NewStringObj(text.c_str(), -1));
    Tcl_SetReturnOptions(interp, blamed.get());
}

/*
 * AnswerCall --
 *
 *	The automatic answer to a method call served by a script
 *	(handlers.hpp).
 */

bool
AnswerCall(Tcl_Interp *interp, DBusConnection *conn, DBusMessage *msg,
	int code, int flags, Tcl_Obj *out)
{
    if (flags & HANDLER_NOREPLY) {
	return false;
    }
    if (code != TCL_ERROR && (flags & HANDLER_ASYNC)) {
	return true;
    }
    ObjPtr result = holdObj(Tcl_GetObjResult(interp));
    ObjPtr options = holdObj(Tcl_GetReturnOptions(interp, code));
    const char *dest = dbus_message_get_sender(msg);
    dbus_uint32_t serial = dbus_message_get_serial(msg);
    /* Marshalling appends its complaints to the result: start clean. */
    Tcl_ResetResult(interp);

    if (code == TCL_ERROR) {
	const char *errorName = NULL;
	Tcl_Obj *name = Option(options.get(), "-name");
	if (name != NULL && DBus_CheckIntfName(name)) {
	    errorName = Tcl_GetString(name);
	}
	if (DBus_Error(interp, conn, errorName, dest, serial,
		Tcl_GetString(result.get())) != TCL_OK) {
	    ReplyFailed(interp, conn, dest, serial);
	}
	return false;
    }
    Tcl_Obj *async = Option(options.get(), "-async");
    int deferred = 0;
    if (async != NULL
	    && Tcl_GetBooleanFromObj(NULL, async, &deferred) != TCL_OK) {
	deferred = 0;
    }
    if (deferred) {
	return true;
    }
    int sent;
    if (out != NULL) {
	sent = SendTypedReturn(interp, conn, msg, result.get(), out);
    } else {
	Tcl_Obj *args[1] = { result.get() };
	sent = DBus_SendMessage(interp, "RETURN", conn,
		DBUS_MESSAGE_TYPE_METHOD_RETURN, NULL, NULL, NULL, dest,
		serial, NULL, 1, args);
    }
    if (sent != TCL_OK) {
	ReplyFailed(interp, conn, dest, serial);
    }
    return false;
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
