/*
 * info.cpp --
 *
 *	dbus info: the bus's fixed names, the machine identity, the libdbus
 *	version, and a connection's name, server, output and capabilities.
 */

#include "common.hpp"

namespace {

const char *const infoOptions[] = {
    "capabilities", "local", "machineid", "name", "path", "pending",
    "serverid", "service", "version", NULL
};

enum InfoOption {
    INFO_CAPABILITIES, INFO_LOCAL, INFO_MACHINEID, INFO_NAME, INFO_PATH,
    INFO_PENDING, INFO_SERVERID, INFO_SERVICE, INFO_VERSION
};

/* Sets a string result, empty when libdbus gave none. */
void
SetStringResult(Tcl_Interp *interp, const char *text)
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj(text ? text : "", -1));
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBusInfoCmd --
 *
 *	dbus info ?busId? option. The option is looked up before the
 *	busId; the library-wide options never look at the busId.
 *
 *----------------------------------------------------------------------
 */

int
DBusInfoCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc < 2 || objc > 3) {
	Tcl_WrongNumArgs(interp, 1, objv, "?busId? option");
	return TCL_ERROR;
    }
    int index;
    if (Tcl_GetIndexFromObjStruct(interp, objv[objc - 1], infoOptions,
	    sizeof(char *), "option", 0, &index) != TCL_OK) {
	return TCL_ERROR;
    }
    switch (index) {
    case INFO_LOCAL:
	SetStringResult(interp, DBUS_PATH_LOCAL);
	return TCL_OK;
    case INFO_PATH:
	SetStringResult(interp, DBUS_PATH_DBUS);
	return TCL_OK;
    case INFO_SERVICE:
	SetStringResult(interp, DBUS_SERVICE_DBUS);
	return TCL_OK;
    case INFO_MACHINEID: {
	char *id = dbus_get_local_machine_id();
	SetStringResult(interp, id);
	dbus_free(id);
	return TCL_OK;
    }
    case INFO_VERSION: {
	int major, minor, micro;
	dbus_get_version(&major, &minor, &micro);
	Tcl_SetObjResult(interp, Tcl_ObjPrintf("%d.%d.%d", major, minor,
		micro));
	return TCL_OK;
    }
    default:
	break;
    }

    DBusConnection *conn = DBus_GetConnection(interp, "INFO",
	    objc == 3 ? objv[1] : NULL);
    if (conn == NULL) {
	return TCL_ERROR;
    }
    switch (index) {
    case INFO_CAPABILITIES: {
	Tcl_Obj *dict = Tcl_NewDictObj();
	Tcl_DictObjPut(NULL, dict, Tcl_NewStringObj("unixfd", -1),
		Tcl_NewIntObj(dbus_connection_can_send_type(conn,
			DBUS_TYPE_UNIX_FD) ? 1 : 0));
	Tcl_SetObjResult(interp, dict);
	break;
    }
    case INFO_NAME:
	/* A lost connection's name is no longer anybody's. */
	SetStringResult(interp, dbus_connection_get_is_connected(conn)
		? dbus_bus_get_unique_name(conn) : NULL);
	break;
    case INFO_PENDING:
	Tcl_SetObjResult(interp, Tcl_NewIntObj(
		dbus_connection_has_messages_to_send(conn) ? 1 : 0));
	break;
    case INFO_SERVERID: {
	char *id = dbus_connection_get_server_id(conn);
	SetStringResult(interp, id);
	dbus_free(id);
	break;
    }
    }
    return TCL_OK;
}
