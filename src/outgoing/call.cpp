/*
 * call.cpp --
 *
 *	dbus call: sends a method call and, by default, waits for the
 *	reply and returns its arguments; with a negative -timeout it sends
 *	the call expecting no reply and returns its serial.
 */

#include <cstdint>
#include <utility>
#include "common.hpp"
#include "outgoing/outgoing.hpp"
#include "values/values.hpp"

namespace {

/* Timeout marker: the caller wants no reply. */
constexpr int noReplyWanted = -2;

/* Option values of one invocation. */
struct CallOptions {
    int timeout = DBUS_TIMEOUT_USE_DEFAULT;
    int autostart = 1;
    int details = 0;
    int await = 0;
    int interactive = 0;	/* The callee may ask the user. */
    const char *dest = NULL;
    const char *signature = NULL;
    Tcl_Obj *handler = NULL;	/* Borrowed from objv; NULL: synchronous. */
};

/*
 * Reads the value of an option that may stand alone as a flag: a next
 * word that begins with "/" or "-" is not its value, and the flag means
 * true. Advances *idx past what it used.
 */
int
FlagValue(Tcl_Interp *interp, Tcl_Obj *const objv[], int *idx, int *out)
{
    char c = Tcl_GetString(objv[*idx + 1])[0];
    if (c == '/' || c == '-') {
	*out = 1;
	*idx += 1;
	return TCL_OK;
    }
    if (Tcl_GetBooleanFromObj(interp, objv[*idx + 1], out) != TCL_OK) {
	return TCL_ERROR;
    }
    *idx += 2;
    return TCL_OK;
}

/*
 * Parses the options from objv[*idx] on; a word is an option only while
 * three words (path, interface, method) follow it. Leaves *idx at the
 * path.
 */
int
ParseOptions(Tcl_Interp *interp, int objc, Tcl_Obj *const objv[], int *idx,
	CallOptions *opts)
{
    static const char *const options[] = {
	"-autostart", "-dest", "-details", "-handler", "-interactive",
	"-signature", "-timeout", "-yield", "--", NULL
    };
    enum {
	OPT_AUTOSTART, OPT_DEST, OPT_DETAILS, OPT_HANDLER, OPT_INTERACTIVE,
	OPT_SIGNATURE, OPT_TIMEOUT, OPT_YIELD, OPT_END
    };

    while (*idx < objc && objc - *idx - 1 >= 3
	    && Tcl_GetString(objv[*idx])[0] == '-') {
	int index;
	if (Tcl_GetIndexFromObjStruct(interp, objv[*idx], options,
		sizeof(char *), "option", 0, &index) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (index == OPT_END) {
	    *idx += 1;
	    break;
	}
	if (index == OPT_AUTOSTART || index == OPT_DETAILS
		|| index == OPT_INTERACTIVE || index == OPT_YIELD) {
	    int *flag = index == OPT_AUTOSTART ? &opts->autostart
		    : index == OPT_DETAILS ? &opts->details
		    : index == OPT_INTERACTIVE ? &opts->interactive
		    : &opts->await;
	    if (FlagValue(interp, objv, idx, flag) != TCL_OK) {
		return TCL_ERROR;
	    }
	    continue;
	}
	Tcl_Obj *value = objv[*idx + 1];
	*idx += 2;
	switch (index) {
	case OPT_DEST:
	    if (!DBus_CheckBusName(value)) {
		return vantrel::Fail(interp, "CALL", "DESTINATION",
			"invalid destination");
	    }
	    opts->dest = Tcl_GetString(value);
	    break;
	case OPT_HANDLER: {
	    int length;
	    Tcl_GetStringFromObj(value, &length);
	    if (length > 0) {
		opts->handler = value;
	    }
	    break;
	}
	case OPT_SIGNATURE:
	    if (!dbus_signature_validate(Tcl_GetString(value), NULL)) {
		return vantrel::Fail(interp, "CALL", "SIGNATURE",
			"invalid type signature");
	    }
	    opts->signature = Tcl_GetString(value);
	    break;
	case OPT_TIMEOUT: {
	    /*
	     * Read wide: Tcl's int reader takes 2^31 to 2^32-1 as well,
	     * wrapping them negative, which would silently mean no reply.
	     */
	    Tcl_WideInt timeout;
	    if (Tcl_GetWideIntFromObj(NULL, value, &timeout) != TCL_OK) {
		int unused;		/* For the int reader's own error. */
		return Tcl_GetIntFromObj(interp, value, &unused);
	    }
	    if (timeout < INT32_MIN || timeout > INT32_MAX) {
		return vantrel::Fail(interp, "CALL", "RANGE",
			"timeout out of range: at most 2147483647 ms");
	    }
	    opts->timeout = timeout < 0 ? noReplyWanted
		    : static_cast<int>(timeout);
	    break;
	}
	}
    }
    return TCL_OK;
}

/*
 * The asynchronous mode: the reply is handed to the handler script from
 * the event loop. DBus_CallResult runs once when the reply, or the error
 * libdbus makes up for a timeout, is dispatched, and takes over the
 * pending call and the call record; a call still outstanding when its
 * connection closes is abandoned by the teardown instead.
 *
 * Results:
 *	The call's serial, or the out-of-memory error (the call is then
 *	cancelled).
 */
int
CallAsync(Tcl_Interp *interp, DBusConnection *conn, DBusMessage *msg,
	vantrel::PendingPtr pending, Tcl_Obj *handler, int flags)
{
    auto *call = reinterpret_cast<DBusCallData *>(
	    Tcl_Alloc(sizeof(DBusCallData)));
    call->script = Tcl_DuplicateObj(handler);
    Tcl_IncrRefCount(call->script);	/* Passes to the script event. */
    call->conn = conn;
    call->flags = flags;
    /* Tracked first: libdbus may complete the call at once. */
    vantrel::TrackCall(pending.get(), call, dbus_message_get_serial(msg));
    if (!dbus_pending_call_set_notify(pending.get(), DBus_CallResult, call,
	    NULL)) {
	vantrel::ForgetCall(pending.get(), conn);
	dbus_pending_call_cancel(pending.get());
	Tcl_DecrRefCount(call->script);
	Tcl_Free(reinterpret_cast<char *>(call));
	return DBus_MemoryError(interp);
    }
    /*
     * From here DBus_CallResult owns the record and the pending call,
     * or the teardown of the connection if it closes first.
     */
    pending.release();
    Tcl_SetObjResult(interp, Tcl_NewIntObj(
	    static_cast<int>(dbus_message_get_serial(msg))));
    return TCL_OK;
}

} // namespace

/*
 * CallResult --
 *
 *	Turns the reply of a call into the command's outcome: its header
 *	dict as the return options, its arguments as the result (one
 *	argument as itself), and an error reply into an error with
 *	errorCode DBUS CALL REPLY errorName (outgoing.hpp).
 */
int
vantrel::CallResult(Tcl_Interp *interp, DBusMessage *reply, int details,
	int mode)
{
    Tcl_ResetResult(interp);
    vantrel::SetReturnHeader(interp, reply);
    DBusMessageIter iter;
    if (dbus_message_iter_init(reply, &iter)) {
	vantrel::ObjPtr list = vantrel::holdObj(
		vantrel::IterList(interp, &iter, details, NULL, mode));
	int n = 0;
	Tcl_ListObjLength(NULL, list.get(), &n);
	if (n == 1) {
	    Tcl_Obj *only;
	    Tcl_ListObjIndex(NULL, list.get(), 0, &only);
	    Tcl_SetObjResult(interp, only);
	} else {
	    Tcl_SetObjResult(interp, list.get());
	}
    }
    if (dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR) {
	const char *name = dbus_message_get_error_name(reply);
	Tcl_SetErrorCode(interp, libname, "CALL", "REPLY", name ? name : "",
		(char *) NULL);
	return TCL_ERROR;
    }
    return TCL_OK;
}


/*
 *----------------------------------------------------------------------
 *
 * DBusCallCmd --
 *
 *	dbus call ?busId? ?options? path interface method ?arg ...?
 *	Options: -autostart ?bool?, -dest name, -details ?bool?, -handler
 *	script, -interactive ?bool?, -signature sig, -timeout ms, -yield
 *	?bool?, --.
 *
 *	A busId is present when there are four or more arguments and the
 *	first begins with neither "/" nor "-". The words are checked in a
 *	fixed order; a failed connection lookup is reported after the
 *	path, interface and method checks. The reserved local path and
 *	interface are refused (DBUS CALL PATH or INTERFACE): the bus would
 *	close the connection.
 *
 * Results:
 *	Synchronous: the reply's arguments (one argument as itself), with
 *	the reply's header dict as the return options; an error reply is
 *	an error carrying its arguments, errorCode DBUS CALL REPLY name.
 *	Asynchronous (-handler) and no reply wanted (negative
 *	-timeout): the call's serial.
 *
 * Side effects:
 *	A synchronous call blocks until the reply or the timeout; no Tcl
 *	events are served meanwhile (WaitReply).
 *
 *----------------------------------------------------------------------
 */

int
DBusCallCmd(ClientData clientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    return Tcl_NRCallObjProc(interp, vantrel::DBusCallNRCmd, clientData,
	    objc, objv);
}

/*
 *----------------------------------------------------------------------
 *
 * DBusCallNRCmd --
 *
 *	The procedure of dbus call in Tcl's non-recursive engine, so that
 *	-yield can suspend the coroutine the call is made in; otherwise
 *	as DBusCallCmd describes.
 *
 *----------------------------------------------------------------------
 */

int
vantrel::DBusCallNRCmd(ClientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    if (objc - 1 < 3) {
	Tcl_WrongNumArgs(interp, 1, objv,
		"?busId? ?options? path interface method ?arg ...?");
	return TCL_ERROR;
    }
    int idx = 1;
    Tcl_Obj *busId = NULL;
    if (objc - 1 > 3) {
	char c = Tcl_GetString(objv[1])[0];
	if (c != '/' && c != '-') {
	    busId = objv[1];
	    idx = 2;
	}
    }
    /* Reported below, after the names have been checked. */
    DBusConnection *conn = DBus_GetConnection(interp, "CALL", busId);

    CallOptions opts;
    if (ParseOptions(interp, objc, objv, &idx, &opts) != TCL_OK) {
	return TCL_ERROR;
    }
    if (objc - idx < 3) {
	Tcl_WrongNumArgs(interp, 1, objv,
		"?option value ...? path interface method ?arg ...?");
	return TCL_ERROR;
    }
    Tcl_Obj *path = objv[idx];
    Tcl_Obj *intf = objv[idx + 1];
    Tcl_Obj *method = objv[idx + 2];
    if (!DBus_CheckPath(path)) {
	return vantrel::Fail(interp, "CALL", "PATH", "invalid path");
    }
    if (!DBus_CheckIntfName(intf)) {
	return vantrel::Fail(interp, "CALL", "INTERFACE",
		"invalid interface name");
    }
    if (!DBus_CheckMember(method)) {
	return vantrel::Fail(interp, "CALL", "METHOD", "invalid method");
    }
    const char *pathText = Tcl_GetString(path);
    const char *intfText = Tcl_GetString(intf);
    const char *methodText = Tcl_GetString(method);
    const char *kind;
    if (const char *reserved = vantrel::LocalHeader(pathText, intfText,
	    &kind)) {
	return vantrel::Fail(interp, "CALL", kind, reserved);
    }
    if (conn == NULL) {
	return TCL_ERROR;	/* With the lookup's result and errorCode. */
    }
    if (!dbus_connection_get_is_connected(conn)) {
	return vantrel::Fail(interp, "CALL", "CONNECTION",
		"connection is closed");
    }

    vantrel::MessagePtr msg = vantrel::adoptMessage(
	    dbus_message_new_method_call(opts.dest, pathText, intfText,
		    methodText));
    if (!msg) {
	return DBus_MemoryError(interp);
    }
    dbus_message_set_auto_start(msg.get(), opts.autostart ? TRUE : FALSE);
    dbus_message_set_allow_interactive_authorization(msg.get(),
	    opts.interactive ? TRUE : FALSE);
    size_t headerFields = vantrel::HeaderFieldsSize(pathText, intfText,
	    methodText, NULL, opts.dest, false, NULL);
    int mode = vantrel::ConnMode(conn);
    if (vantrel::AppendArgs(interp, "CALL", conn, msg.get(), opts.signature,
	    objc - idx - 3, objv + idx + 3, mode | vantrel::MARSHAL_CONN_READ,
	    headerFields) != TCL_OK) {
	return TCL_ERROR;
    }

    if (opts.timeout == noReplyWanted) {
	dbus_message_set_no_reply(msg.get(), TRUE);
	dbus_uint32_t serial;
	if (!dbus_connection_send(conn, msg.get(), &serial)) {
	    return DBus_MemoryError(interp);
	}
	Tcl_SetObjResult(interp, Tcl_NewIntObj(static_cast<int>(serial)));
	return TCL_OK;
    }

    if (opts.handler != NULL) {
	DBusPendingCall *rawPending = NULL;
	if (!dbus_connection_send_with_reply(conn, msg.get(), &rawPending,
		opts.timeout)) {
	    return DBus_MemoryError(interp);
	}
	if (rawPending == NULL) {
	    return vantrel::Fail(interp, "CALL", "CONNECTION",
		    "connection is closed");
	}
	vantrel::PendingPtr pending(rawPending);
	dbus_connection_flush(conn);
	return CallAsync(interp, conn, msg.get(), std::move(pending),
		opts.handler, opts.details ? HANDLER_DETAILS : 0);
    }

    int details = opts.details;
    return vantrel::WaitReply(interp, conn, std::move(msg),
	    {"CALL", opts.timeout, opts.await != 0},
	    [details, mode](Tcl_Interp *ip, DBusMessage *reply) {
	return vantrel::CallResult(ip, reply, details, mode);
    });
}
