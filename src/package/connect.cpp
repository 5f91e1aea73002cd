/*
 * connect.cpp --
 *
 *	Opening connections, and the two records that tie them to their
 *	interpreter: DBusInterpData per interpreter (assoc data "dbus") and
 *	DBusConnData per connection (libdbus data slot). The close command
 *	is here too; the teardown itself is in teardown.cpp.
 */

#include <cstdio>
#include <cstring>
#include <string>
#include "common.hpp"
#include "eventloop/eventloop.hpp"
#include "handlers/handlers.hpp"
#include "package/package.hpp"
#include "values/values.hpp"

namespace {

/*
 * Prints the one diagnostic line of the library on standard output,
 * through Tcl's stdout channel so that it keeps its place among the
 * script's own output.
 */
void
ReportRegisterFailure(const char *message)
{
    Tcl_Channel out = Tcl_GetStdChannel(TCL_STDOUT);
    Tcl_Obj *line = Tcl_ObjPrintf("ERROR: dbus_bus_register failed: %s\n",
	    message ? message : "");
    Tcl_IncrRefCount(line);
    if (out != NULL) {
	Tcl_WriteObj(out, line);
	Tcl_Flush(out);
    } else {
	std::fputs(Tcl_GetString(line), stdout);
	std::fflush(stdout);
    }
    Tcl_DecrRefCount(line);
}

/*
 * Returns the interpreter's DBusInterpData, creating it at the first
 * successful connection.
 */
DBusInterpData *
InterpData(Tcl_Interp *interp)
{
    DBusInterpData *data = vantrel::InterpRecord(interp);
    if (data == NULL) {
	data = reinterpret_cast<DBusInterpData *>(
		Tcl_Alloc(sizeof(DBusInterpData)));
	std::memset(data, 0, sizeof(DBusInterpData));
	Tcl_InitObjHashTable(&data->bus);
	Tcl_SetAssocData(interp, vantrel::interpKey, DBus_InterpDelete, data);
    }
    return data;
}

/*
 * The address to open for a bus type, or null to let libdbus find the
 * bus. libdbus reads the session and starter addresses from the process
 * environment only once per process; taking them from Tcl's env array
 * here makes a script's change to env(DBUS_SESSION_BUS_ADDRESS) or
 * env(DBUS_STARTER_ADDRESS) reach [dbus connect], as it reaches the
 * busId matching.
 */
const char *
BusAddress(Tcl_Interp *interp, int type, Tcl_Obj *busId)
{
    switch (type) {
    case DBUS_BUSTYPE_ADDRESS:
	return Tcl_GetString(busId);
    case DBUS_BUSTYPE_SESSION:
	return Tcl_GetVar2(interp, "env", "DBUS_SESSION_BUS_ADDRESS",
		TCL_GLOBAL_ONLY);
    case DBUS_BUSTYPE_STARTER:
	return Tcl_GetVar2(interp, "env", "DBUS_STARTER_ADDRESS",
		TCL_GLOBAL_ONLY);
    default:
	return NULL;
    }
}

/*
 * Closes a connection that never became known to Tcl and drops the
 * only reference to it.
 */
void
Abandon(DBusConnection *conn)
{
    dbus_connection_close(conn);
    dbus_connection_unref(conn);
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBusConnectCmd --
 *
 *	dbus connect ?-bgerror bool? ?-bytes bool? ?-maxmessage bytes?
 *	?-notify cmd? ?-reconnect bool? ?-strict bool? ?busId?: opens a
 *	new private connection to the session, system or starter bus or to
 *	an address, registers it with the bus and hooks it into Tcl's event
 *	loop. The options set the connection's settings (CONN_BGERROR or
 *	CONN_QUIET, CONN_BYTES, CONN_STRICT, the message limit).
 *
 * Results:
 *	The new busId name (dbus1, dbus2, ...), or an error.
 *
 * Side effects:
 *	A failed registration prints one line on standard output; the
 *	connection stays open.
 *
 *----------------------------------------------------------------------
 */

int
DBusConnectCmd(ClientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    static const char *const options[] = {
	"-bgerror", "-bytes", "-maxmessage", "-notify", "-reconnect",
	"-strict", NULL
    };
    enum {
	OPT_BGERROR, OPT_BYTES, OPT_MAXMESSAGE, OPT_NOTIFY, OPT_RECONNECT,
	OPT_STRICT
    };
    int settings = 0;
    int reconnect = 0;
    Tcl_WideInt maxMessage = 0;		/* 0: the default. */
    Tcl_Obj *notify = NULL;
    int i = 1;
    /* An option is a word beginning with "-" that has a value after it. */
    for (; i + 1 < objc && Tcl_GetString(objv[i])[0] == '-'; i += 2) {
	int index, on = 0;
	if (Tcl_GetIndexFromObjStruct(interp, objv[i], options,
		sizeof(char *), "option", 0, &index) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (index == OPT_NOTIFY) {
	    notify = Tcl_GetCharLength(objv[i + 1]) > 0 ? objv[i + 1] : NULL;
	    continue;
	}
	if (index == OPT_MAXMESSAGE) {
	    if (Tcl_GetWideIntFromObj(interp, objv[i + 1], &maxMessage)
		    != TCL_OK) {
		return TCL_ERROR;
	    }
	    if (maxMessage < static_cast<Tcl_WideInt>(vantrel::minMessageLimit)
		    || maxMessage > DBUS_MAXIMUM_MESSAGE_LENGTH) {
		Tcl_SetObjResult(interp, Tcl_ObjPrintf("message limit out of "
			"range: %d to %d bytes",
			static_cast<int>(vantrel::minMessageLimit),
			DBUS_MAXIMUM_MESSAGE_LENGTH));
		Tcl_SetErrorCode(interp, libname, "CONNECT", "RANGE",
			(char *) NULL);
		return TCL_ERROR;
	    }
	    continue;
	}
	if (Tcl_GetBooleanFromObj(interp, objv[i + 1], &on) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (index == OPT_RECONNECT) {
	    reconnect = on;
	    continue;
	}
	if (index == OPT_BGERROR) {
	    /* Given either way, it overrides what each script does unasked. */
	    settings &= ~(CONN_BGERROR | CONN_QUIET);
	    settings |= on ? CONN_BGERROR : CONN_QUIET;
	    continue;
	}
	int bit = (index == OPT_BYTES) ? CONN_BYTES : CONN_STRICT;
	settings = on ? (settings | bit) : (settings & ~bit);
    }
    if (objc - i > 1) {
	Tcl_WrongNumArgs(interp, 1, objv, "?busId?");
	return TCL_ERROR;
    }
    Tcl_Obj *busId = (objc - i == 1) ? objv[i] : NULL;
    int type = DBus_BusType(interp, busId);
    if (type == DBUS_BUSTYPE_UNRESOLVED) {
	return TCL_ERROR;
    }

    const char *addressText = BusAddress(interp, type, busId);
    std::string address = addressText ? addressText : "";
    DBusConnection *conn;
    if (vantrel::OpenBus(interp, type, addressText ? address.c_str() : NULL,
	    &conn) != TCL_OK) {
	return TCL_ERROR;
    }

    DBusInterpData *data = InterpData(interp);
    Tcl_Obj *name = Tcl_ObjPrintf("dbus%d", ++data->dbusid);
    Tcl_IncrRefCount(name);		/* Owned by the connection record. */

    auto *cd = reinterpret_cast<DBusConnData *>(
	    Tcl_Alloc(sizeof(DBusConnData)));
    cd->busname = name;
    cd->interp = interp;
    cd->snoop = NULL;
    cd->fallback = NULL;
    cd->type = type;
    cd->options = settings;
    /*
     * A bus refuses a message beyond its limit by dropping the whole
     * connection: unless the script states the limit, a bus connection
     * keeps to the limit every system bus has, a peer-to-peer one (which
     * has no unique name) to the D-Bus maximum.
     */
    cd->maxMessage = maxMessage != 0 ? static_cast<size_t>(maxMessage)
	    : dbus_bus_get_unique_name(conn) != NULL
	    ? vantrel::busMessageLimit : DBUS_MAXIMUM_MESSAGE_LENGTH;
    cd->parts = new DBusConnParts;
    cd->recovery = (notify != NULL || reconnect)
	    ? vantrel::NewRecovery(notify, reconnect != 0,
		    addressText ? addressText : NULL)
	    : NULL;
    if (vantrel::SetUpConnection(conn, cd) != TCL_OK) {
	return DBus_MemoryError(interp);
    }

    int isNew;
    Tcl_HashEntry *entry = Tcl_CreateHashEntry(&data->bus, (char *) name,
	    &isNew);
    Tcl_SetHashValue(entry, conn);
    if (type <= DBUS_BUSTYPE_STARTER && data->defaultbus[type] == NULL) {
	data->defaultbus[type] = conn;
    }
    Tcl_SetObjResult(interp, name);
    return TCL_OK;
}

/*
 *----------------------------------------------------------------------
 *
 * DBusCloseCmd --
 *
 *	dbus close ?busId?: closes the connection the busId names (the
 *	session default connection without one).
 *
 * Results:
 *	Empty, or an error from the connection lookup.
 *
 *----------------------------------------------------------------------
 */

int
DBusCloseCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc > 2) {
	Tcl_WrongNumArgs(interp, 1, objv, "?busId?");
	return TCL_ERROR;
    }
    DBusConnection *conn = DBus_GetConnection(interp, "CLOSE",
	    objc == 2 ? objv[1] : NULL);
    if (conn == NULL) {
	return TCL_ERROR;
    }
    DBus_Close(interp, conn);
    Tcl_ResetResult(interp);
    return TCL_OK;
}

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * ForgetConnection --
 *
 *	Removes a connection from its interpreter's tables: its busId name
 *	and, when it is one, its bus type's default (package.hpp).
 *
 *----------------------------------------------------------------------
 */

void
ForgetConnection(Tcl_Interp *interp, DBusConnection *conn)
{
    DBusInterpData *data = InterpRecord(interp);
    DBusConnData *cd = ConnRecord(conn);
    if (data == NULL || cd == NULL) {
	return;
    }
    Tcl_HashEntry *entry = Tcl_FindHashEntry(&data->bus,
	    (char *) cd->busname);
    if (entry == NULL) {
	return;
    }
    Tcl_DeleteHashEntry(entry);
    if (cd->type <= DBUS_BUSTYPE_STARTER
	    && data->defaultbus[cd->type] == conn) {
	data->defaultbus[cd->type] = NULL;
    }
}

} // namespace vantrel

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * OpenBus --
 *
 *	Opens a private connection to an address, or with address null to
 *	the bus of the type as libdbus finds it, and registers it with the
 *	bus (package.hpp).
 *
 * Results:
 *	TCL_OK with *out set (one reference, the caller's), or TCL_ERROR
 *	with "connection error: ..." and DBUS CONNECT errorCode.
 *
 * Side effects:
 *	A failed registration prints one line on standard output; the
 *	connection stays open.
 *
 *----------------------------------------------------------------------
 */

int
OpenBus(Tcl_Interp *interp, int type, const char *address,
	DBusConnection **out)
{
    DBusConnection *conn;
    {
	ErrorGuard err;
	if (address != NULL) {
	    conn = dbus_connection_open_private(address, err.get());
	} else {
	    static const DBusBusType busTypes[] = {
		DBUS_BUS_SESSION, DBUS_BUS_SYSTEM, DBUS_BUS_STARTER
	    };
	    conn = dbus_bus_get_private(busTypes[type], err.get());
	}
	if (err.isSet()) {
	    if (conn != NULL) {
		Abandon(conn);
	    }
	    Tcl_SetObjResult(interp, Tcl_ObjPrintf("connection error: %s",
		    err.message()));
	    Tcl_DBusErrorCode(interp, "CONNECT", err.get());
	    return TCL_ERROR;
	}
	if (conn == NULL) {
	    return Fail(interp, "MEMORY", NULL, "connection error");
	}
    }
    {
	ErrorGuard err;
	bool registered = dbus_bus_register(conn, err.get());
	/* A connection closed already (say, another guid) is no connection. */
	if (RefuseClosed(interp, conn, err.isSet() ? err.message() : NULL)
		!= TCL_OK) {
	    Abandon(conn);
	    return TCL_ERROR;
	}
	if (!registered && err.isSet()) {
	    ReportRegisterFailure(err.message());
	}
    }
    dbus_connection_set_exit_on_disconnect(conn, FALSE);
    *out = conn;
    return TCL_OK;
}

/*
 *----------------------------------------------------------------------
 *
 * SetUpConnection --
 *
 *	Gives an open connection its record, hooks it into the event loop
 *	and installs the router (package.hpp).
 *
 * Results:
 *	TCL_OK, or TCL_ERROR when libdbus lacks memory: the connection is
 *	then closed and released, and the record freed with it.
 *
 *----------------------------------------------------------------------
 */

int
SetUpConnection(DBusConnection *conn, DBusConnData *cd)
{
    if (!dbus_connection_set_data(conn, dataSlot, cd, DBus_FreeDataSlot)) {
	DBus_FreeDataSlot(cd);
	Abandon(conn);
	return TCL_ERROR;
    }
    if (cd->parts != NULL) {
	cd->parts->conn = conn;
    }
    if (!AttachEventLoop(conn) || !StartRouting(conn, cd)) {
	/* Frees the record through the slot, and what was installed. */
	Abandon(conn);
	return TCL_ERROR;
    }
    return TCL_OK;
}

} // namespace vantrel
