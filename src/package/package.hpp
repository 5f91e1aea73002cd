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
 * Opens a connection to address (null: the bus of the type as libdbus
 * finds it) and registers it with the bus. TCL_OK with *out, the
 * caller's reference; TCL_ERROR with the reason.
 */
int OpenBus(Tcl_Interp *interp, int type, const char *address,
	DBusConnection **out);

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
