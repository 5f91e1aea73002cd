/*
 * answer.cpp --
 *
 *	The answers to received method calls: what the library answers by
 *	itself, and what a script's outcome becomes. Error names and texts
 *	are chosen here, and a text that cannot travel as D-Bus text is
 *	replaced here, once for every caller.
 */

#include <string>
#include "common.hpp"
#include "reply/reply.hpp"
#include "values/values.hpp"

namespace {

/*
 * WantsAnswer --
 *
 *	Whether an answer to call can reach anybody: the caller waits for
 *	one and the connection is still open.
 */
bool
WantsAnswer(DBusConnection *conn, DBusMessage *call)
{
    return !dbus_message_get_no_reply(call)
	    && dbus_connection_get_is_connected(conn);
}

/*
 * Send --
 *
 *	Queues an answer made for call (adopted; null when libdbus lacked
 *	the memory to make it) and tells the open calls.
 *
 * Results:
 *	False when the answer could not be made or queued.
 */
bool
Send(DBusConnection *conn, DBusMessage *call, DBusMessage *made)
{
    vantrel::MessagePtr answer = vantrel::adoptMessage(made);
    if (!answer || !dbus_connection_send(conn, answer.get(), NULL)) {
	return false;
    }
    vantrel::OpenCalls::Answered(conn, dbus_message_get_sender(call),
	    dbus_message_get_serial(call));
    return true;
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
 * ReplyTyped --
 *
 *	The method return of a script whose answer is typed by sig: no
 *	value for the empty signature, the result itself for one complete
 *	type, the elements of the result for several. A result that does
 *	not fit is answered with an error.
 */
void
ReplyTyped(Tcl_Interp *interp, DBusConnection *conn, DBusMessage *call,
	Tcl_Obj *result, const char *sig)
{
    int wanted = CountTypes(sig);
    int objc = wanted;
    Tcl_Obj *single[1] = {result};
    Tcl_Obj **objv = single;
    if (wanted > 1) {
	bool fits = false;
	if (Tcl_ListObjGetElements(interp, result, &objc, &objv) == TCL_OK) {
	    fits = (objc == wanted);
	    if (!fits) {
		Tcl_SetObjResult(interp, Tcl_ObjPrintf("result must be a list "
			"of %d values for the reply signature \"%s\"", wanted,
			sig));
	    }
	}
	if (!fits) {
	    vantrel::ReplyError(conn, call, DBUS_ERROR_FAILED,
		    Tcl_GetObjResult(interp));
	    Tcl_ResetResult(interp);
	    return;
	}
    }
    /* Declared types: out of range integers are refused, not cut. */
    vantrel::ReplyValues(interp, "RETURN", conn, call, sig, objc, objv,
	    vantrel::MARSHAL_RANGE);
}

} // namespace

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * ReplyString, ReplyError, ReplyUnknownMethod, ReplyUnknownObject,
 * CheckCallSignature --
 *
 *	The answers the library gives without a script (reply.hpp).
 *
 *----------------------------------------------------------------------
 */

bool
ReplyString(DBusConnection *conn, DBusMessage *call, const char *text)
{
    if (!WantsAnswer(conn, call)) {
	return true;
    }
    MessagePtr answer = adoptMessage(dbus_message_new_method_return(call));
    return answer && dbus_message_append_args(answer.get(), DBUS_TYPE_STRING,
	    &text, DBUS_TYPE_INVALID)
	    && Send(conn, call, answer.release());	/* Send owns it now. */
}

void
ReplyError(DBusConnection *conn, DBusMessage *call, const char *name,
	const char *text)
{
    if (!WantsAnswer(conn, call)) {
	return;
    }
    /* libdbus aborts the process on a bad name or text: never give one. */
    if (name == NULL || !dbus_validate_error_name(name, NULL)) {
	name = DBUS_ERROR_FAILED;
    }
    if (text != NULL && !dbus_validate_utf8(text, NULL)) {
	text = "string is not valid UTF-8";
    }
    Send(conn, call, dbus_message_new_error(call, name, text));
}

void
ReplyError(DBusConnection *conn, DBusMessage *call, const char *name,
	Tcl_Obj *text)
{
    if (!WantsAnswer(conn, call)) {
	return;
    }
    ExternalText external;
    external.From(text);
    const char *kind;
    const char *problem = external.Problem(&kind);
    ReplyError(conn, call, name, problem != NULL ? problem : external.bytes);
}

void
ReplyUnknownMethod(DBusConnection *conn, DBusMessage *call)
{
    const char *intf = dbus_message_get_interface(call);
    const char *path = dbus_message_get_path(call);
    const char *member = dbus_message_get_member(call);
    const char *sig = dbus_message_get_signature(call);
    std::string text = std::string("No such method '") + (member ? member : "")
	    + "' in interface '" + (intf ? intf : "") + "' at object path '"
	    + (path ? path : "") + "' (signature '" + (sig ? sig : "") + "')";
    ReplyError(conn, call, DBUS_ERROR_UNKNOWN_METHOD, text.c_str());
}

void
ReplyUnknownObject(DBusConnection *conn, DBusMessage *call)
{
    ReplyError(conn, call, DBUS_ERROR_UNKNOWN_OBJECT,
	    "the object was unexported");
}

bool
CheckCallSignature(DBusConnection *conn, DBusMessage *call,
	const char *expected)
{
    const char *sig = dbus_message_get_signature(call);
    if (std::strcmp(sig ? sig : "", expected) == 0) {
	return true;
    }
    std::string text = std::string("invalid arguments for ")
	    + dbus_message_get_member(call) + ": expected signature '"
	    + expected + "', got '" + (sig ? sig : "") + "'";
    ReplyError(conn, call, DBUS_ERROR_INVALID_ARGS, text.c_str());
    return false;
}

/*
 *----------------------------------------------------------------------
 *
 * ReplyValues --
 *
 *	A method return carrying values, or the error that says why they
 *	cannot be sent (reply.hpp).
 *
 *----------------------------------------------------------------------
 */

int
ReplyValues(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessage *call, const char *signature, int objc,
	Tcl_Obj *const objv[], int mode)
{
    if (dbus_message_get_no_reply(call)) {
	Tcl_ResetResult(interp);
	return TCL_OK;
    }
    int code = SendMessage(interp, tag, conn, DBUS_MESSAGE_TYPE_METHOD_RETURN,
	    NULL, NULL, NULL, dbus_message_get_sender(call),
	    dbus_message_get_serial(call), signature, objc, objv, mode);
    if (code != TCL_OK) {
	ReplyError(conn, call, DBUS_ERROR_FAILED, Tcl_GetObjResult(interp));
    }
    Tcl_ResetResult(interp);
    return code;
}

/*
 *----------------------------------------------------------------------
 *
 * AnswerCall --
 *
 *	The automatic answer to a method call served by a script
 *	(reply.hpp).
 *
 *----------------------------------------------------------------------
 */

bool
AnswerCall(Tcl_Interp *interp, DBusConnection *conn, DBusMessage *call,
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
    /* Marshalling appends its complaints to the result: start clean. */
    Tcl_ResetResult(interp);

    if (code == TCL_ERROR) {
	const char *name = NULL;
	Tcl_Obj *named = Option(options.get(), "-name");
	if (named != NULL && DBus_CheckIntfName(named)) {
	    name = Tcl_GetString(named);
	}
	ReplyError(conn, call, name, result.get());
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
    if (out != NULL) {
	ReplyTyped(interp, conn, call, result.get(), Tcl_GetString(out));
    } else {
	Tcl_Obj *args[1] = {result.get()};
	ReplyValues(interp, "RETURN", conn, call, NULL, 1, args, 0);
    }
    return false;
}

/*
 *----------------------------------------------------------------------
 *
 * BlameCall --
 *
 *	Tells a failure of Tcl's in calling a script from a failure of
 *	the script itself (reply.hpp). Calling it fails before any of its
 *	script runs when it lacks the member (a TclOO method, an
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
BlameCall(Tcl_Interp *interp, DBusMessage *call, const char *intf)
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
    const char *member = dbus_message_get_member(call);
    const char *name;
    std::string text;
    if (std::strcmp(Tcl_GetString(words[1]), "WRONGARGS") == 0) {
	const char *sig = dbus_message_get_signature(call);
	name = DBUS_ERROR_INVALID_ARGS;
	text = std::string("invalid arguments for ") + member
		+ ": the implementation does not take "
		+ (*sig ? std::string("signature '") + sig + "'"
		    : std::string("a call without arguments"));
    } else if (c >= 3 && std::strcmp(Tcl_GetString(words[1]), "LOOKUP") == 0
	    && (std::strcmp(Tcl_GetString(words[2]), "METHOD") == 0
		|| std::strcmp(Tcl_GetString(words[2]), "SUBCOMMAND") == 0
		|| std::strcmp(Tcl_GetString(words[2]), "COMMAND") == 0)) {
	if (const char *named = dbus_message_get_interface(call)) {
	    intf = named;
	}
	name = DBUS_ERROR_UNKNOWN_METHOD;
	text = std::string("method '") + member + "'"
		+ (intf ? std::string(" of interface '") + intf + "'"
		    : std::string())
		+ " is not implemented at object path '"
		+ dbus_message_get_path(call) + "'";
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

} // namespace vantrel
