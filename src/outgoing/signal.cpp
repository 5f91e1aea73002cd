/*
 * signal.cpp --
 *
 *	dbus signal: emits one signal, broadcast or to one destination.
 */

#include "common.hpp"
#include "reply/reply.hpp"

/*
 *----------------------------------------------------------------------
 *
 * DBusSignalCmd --
 *
 *	dbus signal ?busId? ?-signature string? path interface name
 *	?arg ...? (also -dest busname): checks the words and sends the
 *	signal.
 *
 *	A busId is present when there are four or more arguments and the
 *	first begins with neither "/" nor "-". A word is an option only
 *	while its value and the path, interface and name follow it. A
 *	failed connection lookup is reported after the options and the
 *	argument count have been checked.
 *
 * Results:
 *	The serial of the signal, or an error with errorCode DBUS SIGNAL
 *	and SIGNATURE, DESTINATION, PATH, BUSNAME, INTERFACE or MEMBER, or
 *	what the lookup, the marshalling or the sending reported.
 *
 *	The interface word must pass the bus-name rules ("invalid bus
 *	name") and, since libdbus accepts only interface names in that
 *	header, the interface-name rules too ("invalid interface name").
 *	The reserved local path and interface are refused when the
 *	message is built.
 *
 *----------------------------------------------------------------------
 */

int
DBusSignalCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    static const char *const options[] = {"-dest", "-signature", NULL};
    enum { OPT_DEST, OPT_SIGNATURE };

    int idx = 1;
    Tcl_Obj *busId = NULL;
    if (objc - 1 >= 4) {
	char c = Tcl_GetString(objv[1])[0];
	if (c != '/' && c != '-') {
	    busId = objv[1];
	    idx = 2;
	}
    }
    /* Reported below, after the options and the usage check. */
    DBusConnection *conn = DBus_GetConnection(interp, "SIGNAL", busId);

    const char *dest = NULL;
    const char *signature = NULL;
    while (idx < objc && objc - idx - 1 >= 4
	    && Tcl_GetString(objv[idx])[0] == '-') {
	int index;
	if (Tcl_GetIndexFromObjStruct(interp, objv[idx], options,
		sizeof(char *), "option", 0, &index) != TCL_OK) {
	    return TCL_ERROR;
	}
	Tcl_Obj *value = objv[idx + 1];
	if (index == OPT_SIGNATURE) {
	    if (!dbus_signature_validate(Tcl_GetString(value), NULL)) {
		return vantrel::Fail(interp, "SIGNAL", "SIGNATURE",
			"invalid type signature");
	    }
	    signature = Tcl_GetString(value);
	} else {
	    if (!DBus_CheckBusName(value)) {
		return vantrel::Fail(interp, "SIGNAL", "DESTINATION",
			"invalid destination");
	    }
	    dest = Tcl_GetString(value);
	}
	idx += 2;
    }
    if (objc - idx < 3) {
	Tcl_WrongNumArgs(interp, 1, objv,
		"?busId? ?-signature string? path interface name ?arg ...?");
	return TCL_ERROR;
    }
    if (conn == NULL) {
	return TCL_ERROR;	/* With the lookup's result and errorCode. */
    }
    Tcl_Obj *path = objv[idx];
    Tcl_Obj *intf = objv[idx + 1];
    Tcl_Obj *name = objv[idx + 2];
    if (!DBus_CheckPath(path)) {
	return vantrel::Fail(interp, "SIGNAL", "PATH", "invalid path");
    }
    if (!DBus_CheckBusName(intf)) {
	return vantrel::Fail(interp, "SIGNAL", "BUSNAME", "invalid bus name");
    }
    if (!DBus_CheckIntfName(intf)) {
	/* A hyphen or a leading colon: a bus name, not an interface. */
	return vantrel::Fail(interp, "SIGNAL", "INTERFACE",
		"invalid interface name");
    }
    if (!DBus_CheckMember(name)) {
	return vantrel::Fail(interp, "SIGNAL", "MEMBER", "invalid member");
    }
    return vantrel::SendMessage(interp, "SIGNAL", conn,
	    DBUS_MESSAGE_TYPE_SIGNAL, Tcl_GetString(path), Tcl_GetString(intf),
	    Tcl_GetString(name), dest, 0, signature, objc - idx - 3,
	    objv + idx + 3, 0);
}
