/*
 * handles.hpp --
 *
 *	The handle commands of the client side, shared by its files: a
 *	command per binding, watch or proxy, whose deletion releases what
 *	it holds. Not exported from the library.
 */

#ifndef VANTREL_HANDLES_HPP
#define VANTREL_HANDLES_HPP

#include <functional>
#include <string>
#include "common.hpp"

namespace vantrel {

struct ClientHandle {
    ConnRef conn;
    Tcl_Interp *interp = nullptr;
    std::string name;		/* The fully qualified command name. */
    Tcl_Command token = nullptr;
    std::function<void()> release; /* Run once when the command goes. */
    std::function<int(Tcl_Interp *, int, Tcl_Obj *const[])> subcommand;
				/* Everything but destroy, or empty. It
				 * runs in the non-recursive engine and
				 * may return WaitReply's result. */
};

/*
 * Makes a handle command ::dbus::<kind>N on the connection; the caller
 * sets release and subcommand. The handle belongs to its command.
 */
ClientHandle *NewHandle(Tcl_Interp *interp, DBusConnection *conn,
	const char *kind);

/* Drops the introspection data kept for a closing connection. */
void ForgetIntrospection(DBusConnection *conn);

/* Drops the bindings and followed names of a connection. */
void ForgetClientState(DBusConnection *conn);

} // namespace vantrel

#endif
