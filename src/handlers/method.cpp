/*
 * method.cpp --
 *
 *	The method and unknown commands, which manage the scripts that
 *	serve incoming method calls: named handlers, and per path the
 *	handler for calls that no named handler takes.
 */

#include "common.hpp"
#include "handlers/handlers.hpp"

namespace {

/*
 * ListAll --
 *
 *	Lists the named method handlers (unknownMode 0) or the
 *	unknown-method handlers (unknownMode COLLECT_UNKNOWN) of the whole
 *	connection: the pathless ones first, then every path from "/"
 *	down.
 *
 * Side effects:
 *	Sets the interpreter result to the list.
 */
void
ListAll(Tcl_Interp *interp, DBusConnection *conn, int unknownMode)
{
    Tcl_Obj *list = DBus_CollectHandlers(conn, "",
	    COLLECT_METHODS | unknownMode);
    vantrel::ObjPtr rest = vantrel::holdObj(DBus_CollectHandlers(conn, "/",
	    COLLECT_METHODS | COLLECT_DESCEND | unknownMode));
    Tcl_ListObjAppendList(NULL, list, rest.get());
    Tcl_SetObjResult(interp, list);
}

/*
 * Update --
 *
 *	Adds or replaces (non-empty script) or removes (empty script) the
 *	method handler registered under key on a path.
 *
 * Results:
 *	TCL_OK with an empty result, or the out-of-memory error.
 */
int
Update(Tcl_Interp *interp, DBusConnection *conn, const char *path,
	const char *key, Tcl_Obj *script, int flags, Tcl_Obj *in = nullptr,
	Tcl_Obj *out = nullptr)
{
    int code;
    if (Tcl_GetCharLength(script) > 0) {
	code = vantrel::AddHandler(interp, conn, path, vantrel::Table::Method,
		key, script, flags, in, out);
    } else {
	code = vantrel::RemoveHandler(interp, conn, path,
		vantrel::Table::Method, key);
    }
    if (code == TCL_OK) {
	Tcl_ResetResult(interp);
    }
    return code;
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBusMethodCmd --
 *
 *	dbus method ?busId? ?options? ?path ?method ?script???: lists the
 *	named method handlers of the connection or of one path, queries
 *	one, adds or replaces one (non-empty script) or removes one (empty
 *	script). With -async the script answers the call itself; -in sig
 *	refuses calls of another signature with InvalidArgs before the
 *	script runs, and -out sig types the automatic reply.
 *
 * Results:
 *	A flat list of path, method and script for the listings, the
 *	script for a query, else empty; or an error.
 *
 *----------------------------------------------------------------------
 */

int
DBusMethodCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    static const char *const options[] = {
	"-async", "-details", "-in", "-out", NULL
    };
    static const int optionFlags[] = {
	HANDLER_ASYNC, HANDLER_DETAILS, vantrel::OPTION_IN, vantrel::OPTION_OUT
    };
    vantrel::HandlerArgs args;
    if (vantrel::ParseHandlerArgs(interp, objc, objv, "METHOD", options,
	    optionFlags, &args) != TCL_OK) {
	return TCL_ERROR;
    }
    int n = objc - args.next;
    Tcl_Obj *const *words = objv + args.next;
    const char *path = args.path;
    if (n > 1 && !vantrel::ValidHandlerName(words[1])) {
	return vantrel::Fail(interp, "METHOD", "METHOD",
		"invalid method name");
    }
    if (n > 3) {
	Tcl_WrongNumArgs(interp, 1, objv,
		"?busId? ?options? ?path ?method ?script???");
	return TCL_ERROR;
    }
    if (args.conn == NULL) {
	return TCL_ERROR;
    }
    DBusConnection *conn = args.conn;

    if (n < 3) {
	if (args.async) {
	    return vantrel::Fail(interp, "METHOD", "WRONGARGS", "the -async "
		    "option is not applicable for querying method handlers");
	}
	if (args.in != NULL || args.out != NULL) {
	    return vantrel::Fail(interp, "METHOD", "WRONGARGS", "the -in and "
		    "-out options are not applicable for querying method "
		    "handlers");
	}
	if (n == 0) {
	    ListAll(interp, conn, 0);
	} else if (n == 1) {
	    Tcl_SetObjResult(interp, DBus_CollectHandlers(conn, path,
		    COLLECT_METHODS));
	} else {
	    auto *entry = static_cast<DBusMethodEntry *>(DBus_FindListeners(
		    conn, path, Tcl_GetString(words[1]), 1));
	    if (entry != NULL) {
		Tcl_SetObjResult(interp, entry->script);
	    } else {
		Tcl_ResetResult(interp);
	    }
	}
	return TCL_OK;
    }
    if (Tcl_GetCharLength(words[2]) == 0 && args.async) {
	return vantrel::Fail(interp, "METHOD", "WRONGARGS", "the -async "
		"option is not applicable for unregistering method handlers");
    }
    return Update(interp, conn, path, Tcl_GetString(words[1]), words[2],
	    args.flags, args.in, args.out);
}

/*
 *----------------------------------------------------------------------
 *
 * DBusUnknownCmd --
 *
 *	dbus unknown ?busId? ?options? ?path ?script??: lists the
 *	unknown-method handlers of the connection, queries the one of a
 *	path, adds or replaces it (non-empty script) or removes it (empty
 *	script). Such a handler always answers the call itself, with dbus
 *	return or dbus error, unless its script fails.
 *
 * Results:
 *	A flat list of path and script for the listing, the script for a
 *	query, else empty; or an error.
 *
 *----------------------------------------------------------------------
 */

int
DBusUnknownCmd(ClientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    static const char *const options[] = { "-details", NULL };
    static const int optionFlags[] = { HANDLER_DETAILS };
    /* An unknown-method handler always answers the call itself. */
    vantrel::HandlerArgs args;
    args.flags = HANDLER_ASYNC;
    if (vantrel::ParseHandlerArgs(interp, objc, objv, "UNKNOWN", options,
	    optionFlags, &args) != TCL_OK) {
	return TCL_ERROR;
    }
    int n = objc - args.next;
    Tcl_Obj *const *words = objv + args.next;
    const char *path = args.path;
    if (n > 2) {
	Tcl_WrongNumArgs(interp, 1, objv, "?busId? ?options? ?path ?script??");
	return TCL_ERROR;
    }
    if (args.conn == NULL) {
	return TCL_ERROR;
    }
    DBusConnection *conn = args.conn;

    if (n == 0) {
	ListAll(interp, conn, COLLECT_UNKNOWN);
	return TCL_OK;
    }
    if (n == 1) {
	auto *entry = static_cast<DBusMethodEntry *>(
		DBus_FindListeners(conn, path, "", 1));
	if (entry != NULL) {
	    Tcl_SetObjResult(interp, entry->script);
	} else {
	    Tcl_ResetResult(interp);
	}
	return TCL_OK;
    }
    return Update(interp, conn, path, "", words[1], args.flags);
}
