/*
 * reply.cpp --
 *
 *	The return and error commands, with which a script answers a
 *	method call itself: a method return carrying values, or an error
 *	reply carrying an error name and a text. The replies themselves
 *	are built by the reply module.
 */

#include "common.hpp"
#include "reply/reply.hpp"

namespace {

/*
 * The words of a reply command: an optional busId, at most one option
 * with its value, then destination, serial and the rest.
 */
struct ReplyArgs {
    DBusConnection *conn = nullptr; /* Null when the lookup failed; its
				 * error stays in the interpreter. */
    Tcl_Obj *option = nullptr;	/* Value of the option, or null. */
    int next = 0;		/* Index of the destination word. */
};

/*
 * ParseReplyArgs --
 *
 *	Parses the busId and the option of a reply command. With three or
 *	more arguments the first is the busId unless it begins with "-" or
 *	":" (a unique bus name is a destination, never a busId). Only the
 *	word in the option position is examined, and only when at least
 *	two words follow it.
 *
 * Results:
 *	TCL_OK, or TCL_ERROR with Tcl's message for a bad option.
 *
 * Side effects:
 *	A failed connection lookup leaves its message and errorCode in the
 *	interpreter, for the caller to report after the usage check.
 */
int
ParseReplyArgs(Tcl_Interp *interp, int objc, Tcl_Obj *const objv[],
	const char *tag, const char *optionName, ReplyArgs *args)
{
    const char *const options[] = { optionName, NULL };
    int i = 1;
    Tcl_Obj *busId = NULL;
    if (objc - 1 >= 3) {
	const char *first = Tcl_GetString(objv[1]);
	if (first[0] != '-' && first[0] != ':') {
	    busId = objv[1];
	    i = 2;
	}
    }
    args->conn = DBus_GetConnection(interp, tag, busId);
    if (i < objc && Tcl_GetString(objv[i])[0] == '-' && objc - i - 1 >= 2) {
	int index;
	if (Tcl_GetIndexFromObjStruct(interp, objv[i], options,
		sizeof(char *), "option", 0, &index) != TCL_OK) {
	    return TCL_ERROR;
	}
	args->option = objv[i + 1];
	i += 2;
    }
    args->next = i;
    return TCL_OK;
}

/*
 * ReplyDestination --
 *
 *	The destination of a reply: the caller's bus name, or on a
 *	peer-to-peer connection, whose caller has none (the header dict's
 *	sender is empty there), also the empty name for none. False for
 *	anything else.
 */
bool
ReplyDestination(DBusConnection *conn, Tcl_Obj *dest, const char **to)
{
    if (Tcl_GetCharLength(dest) == 0 && !vantrel::HasBus(conn)) {
	*to = NULL;
	return true;
    }
    *to = Tcl_GetString(dest);
    return DBus_CheckBusName(dest) != 0;
}

/*
 * GetSerial --
 *
 *	Reads the serial of the call being answered. Serials are handed
 *	to scripts as signed 32-bit integers and read back the same way.
 *	Zero is never the serial of a message, and libdbus does not accept
 *	it as a reply serial, so it is refused like a word that is no
 *	integer.
 *
 * Results:
 *	TCL_OK with *serial set, or TCL_ERROR with "invalid serial".
 */
int
GetSerial(Tcl_Interp *interp, const char *tag, Tcl_Obj *word,
	dbus_uint32_t *serial)
{
    int value;
    if (Tcl_GetIntFromObj(NULL, word, &value) != TCL_OK || value == 0) {
	return vantrel::Fail(interp, tag, "SERIAL", "invalid serial");
    }
    *serial = static_cast<dbus_uint32_t>(value);
    return TCL_OK;
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBusMethodReturnCmd --
 *
 *	dbus return ?busId? ?-signature string? destination serial
 *	?arg ...?: sends a method return for the call with the given
 *	serial to its sender, carrying the arguments (as strings, or by
 *	the signature).
 *
 * Results:
 *	The serial of the method return, or an error.
 *
 *----------------------------------------------------------------------
 */

int
DBusMethodReturnCmd(ClientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    ReplyArgs args;
    if (ParseReplyArgs(interp, objc, objv, "RETURN", "-signature", &args)
	    != TCL_OK) {
	return TCL_ERROR;
    }
    const char *signature = NULL;
    if (args.option != NULL) {
	signature = Tcl_GetString(args.option);
	if (!dbus_signature_validate(signature, NULL)) {
	    return vantrel::Fail(interp, "RETURN", "SIGNATURE",
		    "invalid type signature");
	}
    }
    if (objc - args.next < 2) {
	Tcl_WrongNumArgs(interp, 1, objv,
		"?busId? ?-signature string? destination serial ?arg ...?");
	return TCL_ERROR;
    }
    if (args.conn == NULL) {
	return TCL_ERROR;
    }
    Tcl_Obj *dest = objv[args.next];
    dbus_uint32_t serial;
    if (GetSerial(interp, "RETURN", objv[args.next + 1], &serial) != TCL_OK) {
	return TCL_ERROR;
    }
    const char *to;
    if (!ReplyDestination(args.conn, dest, &to)) {
	return vantrel::Fail(interp, "RETURN", "DESTINATION",
		"invalid destination");
    }
    return vantrel::SendMessage(interp, "RETURN", args.conn,
	    DBUS_MESSAGE_TYPE_METHOD_RETURN, NULL, NULL, NULL,
	    to, serial, signature,
	    objc - args.next - 2, objv + args.next + 2, 0);
}

/*
 *----------------------------------------------------------------------
 *
 * DBusErrorCmd --
 *
 *	dbus error ?busId? ?-name string? destination serial ?message?:
 *	sends an error reply for the call with the given serial to its
 *	sender, named org.freedesktop.DBus.Error.Failed unless -name says
 *	otherwise, with the message as its one argument when given.
 *
 * Results:
 *	The serial of the error reply, or an error.
 *
 *----------------------------------------------------------------------
 */

int
DBusErrorCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    ReplyArgs args;
    if (ParseReplyArgs(interp, objc, objv, "ERROR", "-name", &args)
	    != TCL_OK) {
	return TCL_ERROR;
    }
    const char *errorName = NULL;
    if (args.option != NULL) {
	if (!DBus_CheckIntfName(args.option)) {
	    return vantrel::Fail(interp, "ERROR", "ERRORNAME",
		    "invalid error name");
	}
	errorName = Tcl_GetString(args.option);
    }
    int n = objc - args.next;
    if (n < 2 || n > 3) {
	Tcl_WrongNumArgs(interp, 1, objv,
		"?busId? ?-name string? destination serial ?message?");
	return TCL_ERROR;
    }
    if (args.conn == NULL) {
	return TCL_ERROR;
    }
    Tcl_Obj *dest = objv[args.next];
    const char *to;
    if (!ReplyDestination(args.conn, dest, &to)) {
	return vantrel::Fail(interp, "ERROR", "DESTINATION",
		"invalid destination");
    }
    dbus_uint32_t serial;
    if (GetSerial(interp, "ERROR", objv[args.next + 1], &serial) != TCL_OK) {
	return TCL_ERROR;
    }
    return vantrel::SendError(interp, "ERROR", args.conn, errorName,
	    to, serial, n == 3 ? objv[args.next + 2] : NULL);
}
