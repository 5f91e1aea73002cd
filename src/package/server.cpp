/*
 * server.cpp --
 *
 *	Serving D-Bus without a bus: [dbus connect -server command address]
 *	listens on a D-Bus server address, and each peer that connects and
 *	authenticates becomes a connection of the interpreter, as [dbus
 *	connect] makes them, whose busId the command is called with. The
 *	server is a handle command (::dbus::server1, ...) that answers
 *	address and close, and stops listening when it is deleted.
 */

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include "common.hpp"
#include "eventloop/eventloop.hpp"
#include "package/package.hpp"
#include "values/values.hpp"

namespace {

using vantrel::ObjPtr;

struct Server;

/*
 * An accepted connection whose peer has not authenticated yet: one
 * reference to it, and the timer that drops it when the peer takes
 * longer than the server's -timeout.
 */
struct Unsettled {
    Server *srv;
    DBusConnection *conn;
    Tcl_TimerToken timer = nullptr;
};

/*
 * The record of a server, owned by its handle command.
 */
struct Server {
    DBusServer *server = nullptr; /* One reference; null once closed. */
    Tcl_Interp *interp = nullptr; /* Where the command runs. Not owned. */
    Tcl_Command token = nullptr; /* The handle command. */
    ObjPtr command;		/* The prefix called with each busId. */
    ObjPtr notify;		/* -notify of every accepted connection,
				 * or null. */
    vantrel::ConnSettings settings; /* Of every accepted connection;
				 * notify borrowed from the field above. */
    bool anonymous = false;	/* Anonymous peers are admitted. */
    std::vector<std::unique_ptr<Unsettled>> pending; /* Accepted,
				 * their peers not authenticated yet. */
};


thread_local int serverCounter = 0;

/* Closes and releases a connection nobody else knows. */
void
Drop(DBusConnection *conn)
{
    dbus_connection_close(conn);
    dbus_connection_unref(conn);
}

/*
 * Takes an accepted connection off the server's list of those whose
 * peers have not authenticated, and cancels its deadline. Returns the
 * connection (the server's reference), or null when it is not listed.
 */
DBusConnection *
Unlist(Server *srv, DBusConnection *conn)
{
    auto &pending = srv->pending;
    for (auto it = pending.begin(); it != pending.end(); ++it) {
	if ((*it)->conn == conn) {
	    Tcl_DeleteTimerHandler((*it)->timer);
	    pending.erase(it);
	    return conn;
	}
    }
    return nullptr;
}

/*
 * Timer procedure: a peer that has not authenticated within the
 * server's -timeout is dropped unseen, so that silent clients cannot
 * hold the server's descriptors.
 */
void
AuthExpired(ClientData clientData)
{
    auto *u = static_cast<Unsettled *>(clientData);
    u->timer = nullptr;
    Drop(Unlist(u->srv, u->conn));
}

/*
 * Settled --
 *
 *	The end of an accepted connection's authentication (AuthSettled):
 *	a refused peer, or one that left first, is dropped unseen; an
 *	admitted one becomes a connection of the interpreter, and the
 *	server's command is called with its busId at once, before anything
 *	it sent is dispatched. An error of the command goes to [interp
 *	bgerror], unless the connection has -bgerror 0.
 */
void
Settled(DBusConnection *conn, bool ok, void *data)
{
    auto *srv = static_cast<Server *>(data);
    Unlist(srv, conn);
    Tcl_Interp *interp = srv->interp;
    if (!ok || Tcl_InterpDeleted(interp)) {
	Drop(conn);
	return;
    }
    vantrel::ConnSettings settings = srv->settings;
    settings.options |= CONN_NOBUS;
    /* The server's command may delete the server: copy what it needs. */
    ObjPtr words = vantrel::holdObj(Tcl_DuplicateObj(srv->command.get()));
    Tcl_Preserve(interp);
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    Tcl_Obj *busId;
    /* The server's reference passes to the interpreter. */
    if (vantrel::AdoptConnection(interp, conn, DBUS_BUSTYPE_ADDRESS,
	    settings, &busId) != TCL_OK) {
	Tcl_BackgroundException(interp, TCL_ERROR);
    } else {
	bool report = vantrel::ReportsErrors(vantrel::ConnRecord(conn), true);
	Tcl_ListObjAppendElement(NULL, words.get(), busId);
	if (Tcl_EvalObjEx(interp, words.get(), TCL_EVAL_GLOBAL) == TCL_ERROR
		&& report && !Tcl_InterpDeleted(interp)) {
	    Tcl_BackgroundException(interp, TCL_ERROR);
	}
    }
    Tcl_RestoreInterpState(interp, state);
    Tcl_Release(interp);
}

/*
 * NewConnection --
 *
 *	New-connection function of libdbus, from inside the listening
 *	socket's handler: the connection is kept (one reference) while
 *	its peer authenticates. Who may connect is libdbus's check: a
 *	process of the same user (or root) over EXTERNAL or the cookie
 *	mechanism, and anybody with -anonymous.
 */
void
NewConnection(DBusServer *, DBusConnection *conn, void *data)
{
    auto *srv = static_cast<Server *>(data);
    dbus_connection_ref(conn);
    dbus_connection_set_exit_on_disconnect(conn, FALSE);
    if (srv->anonymous) {
	dbus_connection_set_allow_anonymous(conn, TRUE);
    }
    if (!vantrel::AwaitAuthentication(conn, Settled, srv)) {
	Drop(conn);
	return;
    }
    auto u = std::make_unique<Unsettled>();
    u->srv = srv;
    u->conn = conn;
    u->timer = Tcl_CreateTimerHandler(srv->settings.authTimeout,
	    AuthExpired, u.get());
    srv->pending.push_back(std::move(u));
}

/*
 * Stops listening and drops the connections whose peers have not
 * authenticated yet; those accepted stay. Closing twice is harmless.
 */
void
CloseServer(Server *srv)
{
    if (srv->server != nullptr) {
	dbus_server_disconnect(srv->server);
	dbus_server_unref(srv->server);
	srv->server = nullptr;
    }
    while (!srv->pending.empty()) {
	Drop(Unlist(srv, srv->pending.front()->conn));
    }
}

/* Delete procedure of the handle command: the server goes with it. */
void
ServerDeleted(ClientData clientData)
{
    auto *srv = static_cast<Server *>(clientData);
    CloseServer(srv);
    delete srv;
}

/*
 * ServerCmd --
 *
 *	The handle command: $server address, $server close.
 */
int
ServerCmd(ClientData clientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    static const char *const subcommands[] = {"address", "close", NULL};
    enum { SUB_ADDRESS, SUB_CLOSE };
    auto *srv = static_cast<Server *>(clientData);
    int index;
    if (objc != 2) {
	Tcl_WrongNumArgs(interp, 1, objv, "address|close");
	return TCL_ERROR;
    }
    if (Tcl_GetIndexFromObjStruct(interp, objv[1], subcommands,
	    sizeof(char *), "subcommand", 0, &index) != TCL_OK) {
	return TCL_ERROR;
    }
    if (index == SUB_CLOSE) {
	Tcl_DeleteCommandFromToken(interp, srv->token);
	Tcl_ResetResult(interp);
	return TCL_OK;
    }
    char *address = dbus_server_get_address(srv->server);
    if (address == NULL) {
	return DBus_MemoryError(interp);
    }
    Tcl_SetObjResult(interp, Tcl_NewStringObj(address, -1));
    dbus_free(address);
    return TCL_OK;
}

/*
 * PathInUse --
 *
 *	Whether a server already listens on the socket at path. libdbus
 *	would remove the socket file and take the path over; a socket
 *	that nobody listens on any more is left to it.
 */
bool
PathInUse(const char *path)
{
    struct stat sb;
    struct sockaddr_un sa;
    if (stat(path, &sb) != 0 || !S_ISSOCK(sb.st_mode)
	    || std::strlen(path) >= sizeof(sa.sun_path)) {
	return false;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
	return false;
    }
    std::memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, path);
    bool listening = connect(fd, reinterpret_cast<struct sockaddr *>(&sa),
	    sizeof(sa)) == 0;
    close(fd);
    return listening;
}

/*
 * Refuses an address one of whose unix:path entries a live server
 * holds: "connection error: address in use: path", errorCode DBUS
 * CONNECT ADDRESSINUSE. TCL_OK for everything else, a malformed
 * address too (libdbus says what is wrong with it).
 */
int
RefuseTakenPath(Tcl_Interp *interp, const char *address)
{
    DBusAddressEntry **entries = NULL;
    int count = 0;
    if (!dbus_parse_address(address, &entries, &count, NULL)) {
	return TCL_OK;
    }
    int code = TCL_OK;
    for (int n = 0; n < count && code == TCL_OK; n++) {
	const char *path = dbus_address_entry_get_value(entries[n], "path");
	if (std::strcmp(dbus_address_entry_get_method(entries[n]), "unix") == 0
		&& path != NULL && PathInUse(path)) {
	    Tcl_SetObjResult(interp, Tcl_ObjPrintf(
		    "connection error: address in use: %s", path));
	    Tcl_SetErrorCode(interp, libname, "CONNECT", "ADDRESSINUSE",
		    (char *) NULL);
	    code = TCL_ERROR;
	}
    }
    dbus_address_entries_free(entries);
    return code;
}

} // namespace

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * Listen --
 *
 *	dbus connect -server command ?option value ...? address
 *	(package.hpp).
 *
 * Results:
 *	The handle command's name (::dbus::server1, ...), or "connection
 *	error: ..." with errorCode DBUS CONNECT and libdbus's reason
 *	(BADADDRESS, ADDRESSINUSE, ACCESSDENIED, ...); nothing listens
 *	then.
 *
 * Side effects:
 *	The server listens from the event loop until its handle goes.
 *
 *----------------------------------------------------------------------
 */

int
Listen(Tcl_Interp *interp, Tcl_Obj *address, Tcl_Obj *command,
	bool anonymous, const ConnSettings &settings)
{
    if (Tcl_GetCharLength(command) == 0) {
	return Fail(interp, "CONNECT", "OPTION",
		"option -server: the command is empty");
    }
    ExternalText text;
    text.From(address);
    const char *kind;
    if (const char *problem = text.Problem(&kind)) {
	Tcl_SetObjResult(interp, Tcl_ObjPrintf("connection error: %s",
		problem));
	Tcl_SetErrorCode(interp, libname, "CONNECT", "BADADDRESS",
		(char *) NULL);
	return TCL_ERROR;
    }
    if (RefuseTakenPath(interp, text.bytes) != TCL_OK) {
	return TCL_ERROR;
    }
    DBusServer *server;
    {
	ErrorGuard err;
	server = dbus_server_listen(text.bytes, err.get());
	if (server == NULL) {
	    if (!err.isSet()) {
		return DBus_MemoryError(interp);
	    }
	    Tcl_SetObjResult(interp, Tcl_ObjPrintf("connection error: %s",
		    err.message()));
	    Tcl_DBusErrorCode(interp, "CONNECT", err.get());
	    return TCL_ERROR;
	}
    }
    auto *srv = new Server;
    srv->server = server;
    srv->interp = interp;
    srv->command = holdObj(command);
    srv->settings = settings;
    if (settings.notify != nullptr) {
	srv->notify = holdObj(settings.notify);
    }
    srv->settings.notify = srv->notify.get();
    srv->settings.reconnect = false;
    srv->settings.address = nullptr;
    srv->anonymous = anonymous;
    dbus_server_set_new_connection_function(server, NewConnection, srv,
	    NULL);
    if (!AttachServer(server)) {
	CloseServer(srv);
	delete srv;
	return DBus_MemoryError(interp);
    }
    ObjPtr name;
    do {
	name = holdObj(Tcl_ObjPrintf("::dbus::server%d", ++serverCounter));
    } while (Tcl_FindCommand(interp, Tcl_GetString(name.get()), NULL, 0)
	    != NULL);
    srv->token = Tcl_CreateObjCommand(interp, Tcl_GetString(name.get()),
	    ServerCmd, srv, ServerDeleted);
    Tcl_SetObjResult(interp, name.get());
    return TCL_OK;
}

} // namespace vantrel
