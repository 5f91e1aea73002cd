/*
 * package.hpp --
 *
 *	What the files of the package subsystem share among themselves:
 *	the step that removes a connection from its interpreter's tables,
 *	used by the teardown, and noticing the loss of a connection.
 *	Nothing below this subsystem includes it.
 */

#ifndef VANTREL_PACKAGE_HPP
#define VANTREL_PACKAGE_HPP

#include "vantrel.h"

namespace vantrel {

/*
 * Removes a connection from the interpreter's busId table and, when it
 * is its bus type's default connection there, from the defaults. The
 * connection's record and its libdbus reference stay.
 */
void ForgetConnection(Tcl_Interp *interp, DBusConnection *conn);

/*
 * How long a peer may take to finish the authentication, unless
 * -timeout says otherwise: as long as a call waits for its reply.
 */
constexpr int defaultAuthTimeout = 25000;

/*
 * Opens a connection to address (null: the bus of the type as libdbus
 * finds it) and registers it with the bus; a peer's instead only
 * authenticates, waiting at most authTimeout ms. TCL_OK with *out, the
 * caller's reference; TCL_ERROR with the reason.
 */
int OpenBus(Tcl_Interp *interp, int type, const char *address, bool peer,
	DBusConnection **out, int authTimeout = defaultAuthTimeout);

/* What a script asks of a new connection (the options of connect). */

struct ConnSettings {
    int options = 0;		/* CONN_* bits. */
    int authTimeout = defaultAuthTimeout; /* -timeout, in ms: a peer
				 * connection's wait for the peer, a
				 * server's for each peer it accepted. */
    size_t maxMessage = 0;	/* -maxmessage; 0 for the default. */
    Tcl_Obj *notify = nullptr;	/* -notify prefix, or null. Borrowed. */
    bool reconnect = false;
    const char *address = nullptr; /* To reconnect to; null: the bus as
				 * libdbus finds it. Borrowed. */
};

/*
 * Gives an open connection (the caller's reference passes to the
 * interpreter) its record with the settings, hooks it into the event
 * loop and names it: TCL_OK with *name, the busId (borrowed); TCL_ERROR
 * without memory, the connection then closed and released.
 */
int AdoptConnection(Tcl_Interp *interp, DBusConnection *conn, int type,
	const ConnSettings &settings, Tcl_Obj **name);

/*
 * dbus connect -server command ?options? address (server.cpp): listens
 * on address, and makes each peer that connects and authenticates a
 * connection with the settings, whose busId {*}command is called with.
 * Admits anonymous peers when asked. The result is the server's
 * handle command, or the error.
 */
int Listen(Tcl_Interp *interp, Tcl_Obj *address, Tcl_Obj *command,
	bool anonymous, const ConnSettings &settings);

/*
 * Gives a new connection its record (owned by libdbus from here), hooks
 * it into the event loop and installs the router. TCL_ERROR only
 * without memory, the connection then closed and released.
 */
int SetUpConnection(DBusConnection *conn, DBusConnData *cd);

/*
 * A recovery record for -notify (a command prefix, or null) and
 * -reconnect, reconnecting to address (null: as libdbus finds the bus).
 * FreeRecovery cancels a pending reconnection and frees it.
 */
DBusRecovery *NewRecovery(Tcl_Obj *notify, bool reconnect,
	const char *address);
void FreeRecovery(DBusRecovery *recovery);

/* Installs the loss step of the router; once, at load. */
void InitLoss();

/*
 * What follows the loss of a connection, once its outstanding calls have
 * been failed: the script's -notify command, and reconnecting when
 * asked (reconnect.cpp). Runs inside libdbus's dispatch: only queues.
 */
void ConnectionLost(DBusConnection *conn);

} // namespace vantrel

#endif
