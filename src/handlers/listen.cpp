/*
 * listen.cpp --
 *
 *	The listen command, which registers, queries, lists and removes the
 *	scripts that handle incoming signals, and the listing routine it
 *	shares with the method and unknown commands.
 */

#include <cstring>
#include "common.hpp"
#include "handlers/handlers.hpp"

/*
 *----------------------------------------------------------------------
 *
 * DBus_CollectHandlers --
 *
 *	Lists the handlers of a path ("" for the pathless record) as a
 *	flat list: path, name and script for each handler, or path and
 *	script for unknown-method handlers. The mode bits (handlers.hpp)
 *	choose the table and whether the registered sub-paths follow,
 *	depth first.
 *
 * Results:
 *	A new list with a reference count of 0. The scripts in it are the
 *	registry's own objects, shared.
 *
 *----------------------------------------------------------------------
 */

Tcl_Obj *
DBus_CollectHandlers(DBusConnection *conn, const char *path, int mode)
{
    Tcl_Obj *list = Tcl_NewListObj(0, NULL);
    DBusPathData *record = NULL;
    vantrel::LookupRecord(conn, path, &record);
    Tcl_HashTable *table = NULL;
    if (record != NULL) {
	table = (mode & COLLECT_METHODS) ? record->method : record->signal;
    }
    if (table != NULL) {
	bool methods = (mode & COLLECT_METHODS) != 0;
	bool unknownOnly = methods && (mode & COLLECT_UNKNOWN);
	Tcl_Obj *pathObj = Tcl_NewStringObj(path, -1);
	Tcl_HashSearch search;
	for (Tcl_HashEntry *h = Tcl_FirstHashEntry(table, &search);
		h != NULL; h = Tcl_NextHashEntry(&search)) {
	    const char *key = static_cast<const char *>(
		    Tcl_GetHashKey(table, h));
	    auto *entry = static_cast<DBusSignalEntry *>(Tcl_GetHashValue(h));
	    if (methods && (key[0] == '\0') != unknownOnly) {
		continue;
	    }
	    Tcl_ListObjAppendElement(NULL, list, pathObj);
	    if (!unknownOnly) {
		Tcl_ListObjAppendElement(NULL, list,
			Tcl_NewStringObj(key, -1));
	    }
	    Tcl_ListObjAppendElement(NULL, list, entry->script);
	}
	/* Frees the path object when no entry took it. */
	Tcl_IncrRefCount(pathObj);
	Tcl_DecrRefCount(pathObj);
    }
    if (mode & COLLECT_DESCEND) {
	for (const std::string &child : vantrel::ListChildren(conn, path)) {
	    Tcl_DString childPath;
	    vantrel::ObjPtr sub = vantrel::holdObj(DBus_CollectHandlers(conn,
		    vantrel::JoinChildPath(&childPath, path, child.c_str()),
		    mode));
	    Tcl_DStringFree(&childPath);
	    Tcl_ListObjAppendList(NULL, list, sub.get());
	}
    }
    return list;
}

namespace vantrel {

/*
 * ParseHandlerArgs --
 *
 *	Reads the busId and the options of the listen, method and unknown
 *	commands (handlers.hpp gives the rules).
 *
 * Results:
 *	TCL_OK, or TCL_ERROR with Tcl's message for a bad option or
 *	"invalid path".
 *
 * Side effects:
 *	A failed connection lookup leaves its message and errorCode in the
 *	interpreter, for the caller to report after its own checks.
 */

int
ParseHandlerArgs(Tcl_Interp *interp, int objc, Tcl_Obj *const objv[],
	const char *tag, const char *const options[],
	const int optionFlags[], HandlerArgs *args)
{
    int i = 1;
    Tcl_Obj *busId = NULL;
    if (objc > 1) {
	const char *first = Tcl_GetString(objv[1]);
	if (first[0] != '\0' && first[0] != '-' && first[0] != '/') {
	    busId = objv[1];
	    i = 2;
	}
    }
    args->conn = DBus_GetConnection(interp, tag, busId);
    for (; i < objc && Tcl_GetString(objv[i])[0] == '-'; i++) {
	int index;
	if (Tcl_GetIndexFromObjStruct(interp, objv[i], options,
		sizeof(char *), "option", 0, &index) != TCL_OK) {
	    return TCL_ERROR;
	}
	int flag = optionFlags[index];
	if (flag == OPTION_IN || flag == OPTION_OUT) {
	    if (i + 1 >= objc) {
		Tcl_SetObjResult(interp, Tcl_ObjPrintf("value for \"%s\" "
			"missing", Tcl_GetString(objv[i])));
		Tcl_SetErrorCode(interp, libname, tag, "WRONGARGS",
			(char *) NULL);
		return TCL_ERROR;
	    }
	    Tcl_Obj *sig = objv[++i];
	    if (!DBus_CheckSignature(sig)) {
		return Fail(interp, tag, "SIGNATURE", "invalid type signature");
	    }
	    (flag == OPTION_IN ? args->in : args->out) = sig;
	    continue;
	}
	args->flags |= flag;
	if (flag == HANDLER_ASYNC) {
	    args->async = true;
	}
    }
    args->next = i;
    args->path = NULL;
    if (i < objc) {
	args->path = Tcl_GetString(objv[i]);
	if (args->path[0] != '\0' && !DBus_CheckPath(objv[i])) {
	    return Fail(interp, tag, "PATH", "invalid path");
	}
    }
    return TCL_OK;
}

/*
 * ValidHandlerName --
 *
 *	Tells whether a word names a handler: a member name, or an
 *	interface name of at least two elements, a dot and a member. The
 *	interface and the member may each be as long as a name may be, so
 *	the whole may be longer than one name.
 *
 * Results:
 *	True when valid.
 */

bool
ValidHandlerName(Tcl_Obj *name)
{
    if (DBus_CheckMember(name) || DBus_CheckIntfName(name) >= 2) {
	return true;
    }
    int length;
    const char *text = Tcl_GetStringFromObj(name, &length);
    const char *dot = std::strrchr(text, '.');
    if (dot == NULL) {
	return false;
    }
    ObjPtr intf = holdObj(Tcl_NewStringObj(text,
	    static_cast<int>(dot - text)));
    ObjPtr member = holdObj(Tcl_NewStringObj(dot + 1, -1));
    return DBus_CheckIntfName(intf.get()) >= 1
	    && DBus_CheckMember(member.get());
}

} // namespace vantrel

/*
 *----------------------------------------------------------------------
 *
 * DBusListenCmd --
 *
 *	dbus listen ?busId? ?options? ?path ?signal ?script???: lists the
 *	signal handlers of the connection or of one path, queries one,
 *	adds or replaces one (non-empty script) or removes one (empty
 *	script). The path "" stands for the handlers that serve every
 *	path.
 *
 * Results:
 *	A flat list of path, signal and script for the listings, the
 *	script for a query, else empty; or an error.
 *
 *----------------------------------------------------------------------
 */

int
DBusListenCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    static const char *const options[] = { "-details", NULL };
    static const int optionFlags[] = { HANDLER_DETAILS };
    vantrel::HandlerArgs args;
    if (vantrel::ParseHandlerArgs(interp, objc, objv, "LISTEN", options,
	    optionFlags, &args) != TCL_OK) {
	return TCL_ERROR;
    }
    int n = objc - args.next;
    Tcl_Obj *const *words = objv + args.next;
    const char *path = args.path;
    if (n > 1 && !vantrel::ValidHandlerName(words[1])) {
	return vantrel::Fail(interp, "LISTEN", "SIGNAL",
		"invalid signal name");
    }
    if (n > 3) {
	Tcl_WrongNumArgs(interp, 1, objv,
		"?busId? ?options? ?path ?signal ?script???");
	return TCL_ERROR;
    }
    if (args.conn == NULL) {
	return TCL_ERROR;
    }
    DBusConnection *conn = args.conn;

    if (n == 0) {
	Tcl_Obj *list = DBus_CollectHandlers(conn, "", COLLECT_SIGNALS);
	vantrel::ObjPtr rest = vantrel::holdObj(DBus_CollectHandlers(conn,
		"/", COLLECT_SIGNALS | COLLECT_DESCEND));
	Tcl_ListObjAppendList(NULL, list, rest.get());
	Tcl_SetObjResult(interp, list);
	return TCL_OK;
    }
    if (n == 1) {
	Tcl_SetObjResult(interp, DBus_CollectHandlers(conn, path,
		COLLECT_SIGNALS));
	return TCL_OK;
    }
    const char *name = Tcl_GetString(words[1]);
    if (n == 2) {
	auto *entry = static_cast<DBusSignalEntry *>(
		DBus_FindListeners(conn, path, name, 0));
	if (entry != NULL) {
	    Tcl_SetObjResult(interp, entry->script);
	} else {
	    Tcl_ResetResult(interp);
	}
	return TCL_OK;
    }
    int code;
    if (Tcl_GetCharLength(words[2]) > 0) {
	code = vantrel::AddHandler(interp, conn, path,
		vantrel::Table::Signal, name, words[2], args.flags);
    } else {
	code = vantrel::RemoveHandler(interp, conn, path,
		vantrel::Table::Signal, name);
    }
    if (code == TCL_OK) {
	Tcl_ResetResult(interp);
    }
    return code;
}
