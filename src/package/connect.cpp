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

Tcl_WideInt
NowMs()
{
    Tcl_Time now;
    Tcl_GetTime(&now);
    return static_cast<Tcl_WideInt>(now.sec) * 1000 + now.usec / 1000;
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
 *	?-notify cmd? ?-peer bool? ?-reconnect bool? ?-strict bool?
 *	?-timeout ms? ?busId?: opens a new private connection to the
 *	session, system or starter bus or to an address, registers it with
 *	the bus (unless -peer: then the busId is the address of a peer,
 *	which has -timeout ms to authenticate) and hooks it into Tcl's
 *	event loop. The options set the connection's settings
 *	(CONN_BGERROR or CONN_QUIET, CONN_BYTES, CONN_STRICT, the message
 *	limit). With -server command (and -anonymous bool) it listens on
 *	an address instead (server.cpp), and -timeout bounds each peer's
 *	authentication.
 *
 * Results:
 *	The new busId name (dbus1, dbus2, ...), or an error; with -server
 *	the server's handle command.
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
	"-anonymous", "-bgerror", "-bytes", "-maxmessage", "-notify",
	"-peer", "-reconnect", "-server", "-strict", "-timeout", NULL
    };
    enum {
	OPT_ANONYMOUS, OPT_BGERROR, OPT_BYTES, OPT_MAXMESSAGE, OPT_NOTIFY,
	OPT_PEER, OPT_RECONNECT, OPT_SERVER, OPT_STRICT, OPT_TIMEOUT
    };
    vantrel::ConnSettings settings;
    int reconnect = 0;
    int peer = 0;
    int anonymous = -1;			/* -1: not given. */
    bool timeout = false;		/* -timeout given. */
    Tcl_Obj *server = NULL;
    Tcl_WideInt maxMessage = 0;		/* 0: the default. */
    int i = 1;
    /* An option is a word beginning with "-" that has a value after it. */
    for (; i + 1 < objc && Tcl_GetString(objv[i])[0] == '-'; i += 2) {
	int index, on = 0;
	/* "-s" named -strict before -server came, and still does. */
	if (std::strcmp(Tcl_GetString(objv[i]), "-s") == 0) {
	    index = OPT_STRICT;
	} else if (Tcl_GetIndexFromObjStruct(interp, objv[i], options,
		sizeof(char *), "option", 0, &index) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (index == OPT_NOTIFY) {
	    settings.notify = Tcl_GetCharLength(objv[i + 1]) > 0
		    ? objv[i + 1] : NULL;
	    continue;
	}
	if (index == OPT_SERVER) {
	    server = objv[i + 1];
	    continue;
	}
	if (index == OPT_TIMEOUT) {
	    int ms;
	    if (Tcl_GetIntFromObj(interp, objv[i + 1], &ms) != TCL_OK) {
		return TCL_ERROR;
	    }
	    if (ms <= 0) {
		return vantrel::Fail(interp, "CONNECT", "RANGE",
			"option -timeout: the milliseconds must be positive");
	    }
	    settings.authTimeout = ms;
	    timeout = true;
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
	    settings.maxMessage = static_cast<size_t>(maxMessage);
	    continue;
	}
	if (Tcl_GetBooleanFromObj(interp, objv[i + 1], &on) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (index == OPT_RECONNECT) {
	    reconnect = on;
	    continue;
	}
	if (index == OPT_PEER) {
	    peer = on;
	    continue;
	}
	if (index == OPT_ANONYMOUS) {
	    anonymous = on;
	    continue;
	}
	if (index == OPT_BGERROR) {
	    /* Given either way, it overrides what each script does unasked. */
	    settings.options &= ~(CONN_BGERROR | CONN_QUIET);
	    settings.options |= on ? CONN_BGERROR : CONN_QUIET;
	    continue;
	}
	int bit = (index == OPT_BYTES) ? CONN_BYTES : CONN_STRICT;
	settings.options = on ? (settings.options | bit)
		: (settings.options & ~bit);
    }
    if (server != NULL) {
	if (objc - i != 1) {
	    Tcl_WrongNumArgs(interp, 1, objv,
		    "-server command ?option value ...? address");
	    return TCL_ERROR;
	}
	if (reconnect) {
	    return vantrel::Fail(interp, "CONNECT", "OPTION",
		    "option -reconnect: a peer that connected cannot be "
		    "reconnected");
	}
	return vantrel::Listen(interp, objv[i], server, anonymous == 1,
		settings);
    }
    if (anonymous != -1) {
	return vantrel::Fail(interp, "CONNECT", "OPTION",
		"option -anonymous: only a server admits peers");
    }
    if (timeout && !peer) {
	return vantrel::Fail(interp, "CONNECT", "OPTION",
		"option -timeout: only a peer connection or a server waits "
		"for an authentication");
    }
    if (objc - i > 1 || (peer && objc - i != 1)) {
	Tcl_WrongNumArgs(interp, 1, objv,
		peer ? "?option value ...? address" : "?busId?");
	return TCL_ERROR;
    }
    Tcl_Obj *busId = (objc - i == 1) ? objv[i] : NULL;
    /* A peer is never one of the buses, whatever its address. */
    int type = peer ? DBUS_BUSTYPE_ADDRESS : DBus_BusType(interp, busId);
    if (type == DBUS_BUSTYPE_UNRESOLVED) {
	return TCL_ERROR;
    }

    const char *addressText = BusAddress(interp, type, busId);
    std::string address = addressText ? addressText : "";
    DBusConnection *conn;
    if (vantrel::OpenBus(interp, type, addressText ? address.c_str() : NULL,
	    peer != 0, &conn, settings.authTimeout) != TCL_OK) {
	return TCL_ERROR;
    }
    if (peer) {
	settings.options |= CONN_NOBUS;
    }
    settings.reconnect = reconnect != 0;
    settings.address = addressText ? address.c_str() : NULL;
    Tcl_Obj *name;
    if (vantrel::AdoptConnection(interp, conn, type, settings, &name)
	    != TCL_OK) {
	return TCL_ERROR;
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
 * AdoptConnection --
 *
 *	Gives an open connection its record with the settings, sets it up
 *	and enters it in the interpreter's tables under a new busId name,
 *	as the default of its bus type if it has none (package.hpp).
 *
 * Results:
 *	TCL_OK with *name, borrowed from the record; TCL_ERROR without
 *	memory, the connection then closed and released.
 *
 *----------------------------------------------------------------------
 */

int
AdoptConnection(Tcl_Interp *interp, DBusConnection *conn, int type,
	const ConnSettings &settings, Tcl_Obj **name)
{
    DBusInterpData *data = InterpData(interp);
    Tcl_Obj *busname = Tcl_ObjPrintf("dbus%d", ++data->dbusid);
    Tcl_IncrRefCount(busname);		/* Owned by the connection record. */

    auto *cd = reinterpret_cast<DBusConnData *>(
	    Tcl_Alloc(sizeof(DBusConnData)));
    cd->busname = busname;
    cd->interp = interp;
    cd->snoop = NULL;
    cd->fallback = NULL;
    cd->type = type;
    cd->options = settings.options;
    /*
     * A bus refuses a message beyond its limit by dropping the whole
     * connection: unless the script states the limit, a bus connection
     * keeps to the limit every system bus has, a peer-to-peer one (which
     * has no unique name) to the D-Bus maximum.
     */
    cd->maxMessage = settings.maxMessage != 0 ? settings.maxMessage
	    : dbus_bus_get_unique_name(conn) != NULL
	    ? busMessageLimit : DBUS_MAXIMUM_MESSAGE_LENGTH;
    cd->parts = new DBusConnParts;
    cd->recovery = (settings.notify != NULL || settings.reconnect)
	    ? NewRecovery(settings.notify, settings.reconnect,
		    settings.address)
	    : NULL;
    if (SetUpConnection(conn, cd) != TCL_OK) {
	return DBus_MemoryError(interp);
    }

    int isNew;
    Tcl_HashEntry *entry = Tcl_CreateHashEntry(&data->bus, (char *) busname,
	    &isNew);
    Tcl_SetHashValue(entry, conn);
    if (type <= DBUS_BUSTYPE_STARTER && data->defaultbus[type] == NULL) {
	data->defaultbus[type] = conn;
    }
    *name = busname;
    return TCL_OK;
}

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
 *	bus, unless it is to a peer (package.hpp).
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
OpenBus(Tcl_Interp *interp, int type, const char *address, bool peer,
	DBusConnection **out, int authTimeout)
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
    if (peer) {
	/*
	 * No bus to register with: wait, as registering would, until the
	 * peer has accepted the authentication, refused it, or said
	 * nothing for as long as a call waits for its reply.
	 */
	Tcl_WideInt deadline = NowMs() + authTimeout;
	while (dbus_connection_get_is_connected(conn)
		&& !dbus_connection_get_is_authenticated(conn)
		&& NowMs() < deadline) {
	    dbus_connection_read_write(conn, 100);
	}
	if (RefuseClosed(interp, conn, "authentication refused") != TCL_OK) {
	    Abandon(conn);
	    return TCL_ERROR;
	}
	if (!dbus_connection_get_is_authenticated(conn)) {
	    Abandon(conn);
	    return Fail(interp, "CONNECT", "TIMEOUT",
		    "connection error: the peer did not authenticate");
	}
    } else {
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
