/*
 * init.cpp --
 *
 *	The library's entry point: process-wide libdbus set-up, the namespace
 *	::dbus with its commands, the ensemble over them and the two packages
 *	the library provides.
 */

#include "common.hpp"
#include "client/client.hpp"
#include "introspect/introspect.hpp"
#include "objects/objects.hpp"
#include "outgoing/outgoing.hpp"
#include "package/package.hpp"

TCL_DECLARE_MUTEX(initMutex)

namespace {

struct CommandRow {
    const char *sub;		/* Subcommand of the ensemble, and the
				 * command's name in ::dbus. */
    Tcl_ObjCmdProc *proc;
    Tcl_ObjCmdProc *nreProc = nullptr; /* For commands that may suspend
				 * a coroutine. */
};

/* The commands in the order in which they are created and listed. */
const CommandRow commands[] = {
    {"bind",     vantrel::DBusBindCmd},
    {"call",     DBusCallCmd, vantrel::DBusCallNRCmd},
    {"close",    DBusCloseCmd},
    {"connect",  DBusConnectCmd},
    {"credentials", vantrel::DBusCredentialsCmd,
		 vantrel::DBusCredentialsNRCmd},
    {"declare",  vantrel::DBusDeclareCmd},
    {"error",    DBusErrorCmd},
    {"filter",   DBusFilterCmd},
    {"info",     DBusInfoCmd},
    {"listen",   DBusListenCmd},
    {"method",   DBusMethodCmd},
    {"monitor",  DBusMonitorCmd},
    {"name",     DBusNameCmd},
    {"object",   vantrel::DBusObjectCmd},
    {"proxy",    vantrel::DBusProxyCmd},
    {"release",  DBusReleaseCmd},
    {"return",   DBusMethodReturnCmd},
    {"signal",   DBusSignalCmd},
    {"unknown",  DBusUnknownCmd},
    {"validate", DBusValidateCmd},
    {"watch",    vantrel::DBusWatchCmd},
};

constexpr int commandCount = sizeof(commands) / sizeof(commands[0]);

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * TclInitDBusCmd --
 *
 *	Creates the namespace ::dbus (unless it exists), its commands and
 *	the ensemble ::dbus over them, accepting unique prefixes.
 *
 * Results:
 *	The ensemble's command token.
 *
 * Side effects:
 *	Commands of the same names already in ::dbus are replaced.
 *
 *----------------------------------------------------------------------
 */

Tcl_Command
TclInitDBusCmd(Tcl_Interp *interp)
{
    Tcl_Namespace *ns = Tcl_FindNamespace(interp, "::dbus", NULL, 0);
    if (ns == NULL) {
	ns = Tcl_CreateNamespace(interp, "::dbus", NULL, NULL);
    }
    Tcl_Obj *subcmds = Tcl_NewListObj(commandCount, NULL);
    for (const CommandRow &row : commands) {
	Tcl_Obj *name = Tcl_ObjPrintf("::dbus::%s", row.sub);
	Tcl_IncrRefCount(name);
	if (row.nreProc != nullptr) {
	    Tcl_NRCreateCommand(interp, Tcl_GetString(name), row.proc,
		    row.nreProc, NULL, NULL);
	} else {
	    Tcl_CreateObjCommand(interp, Tcl_GetString(name), row.proc, NULL,
		    NULL);
	}
	Tcl_DecrRefCount(name);
	Tcl_ListObjAppendElement(NULL, subcmds, Tcl_NewStringObj(row.sub, -1));
    }
    vantrel::CreateDeclareCommands(interp);
    vantrel::CreateVerdictCommand(interp);
    Tcl_Command ensemble = Tcl_CreateEnsemble(interp, "::dbus", ns,
	    TCL_ENSEMBLE_PREFIX);
    Tcl_SetEnsembleSubcommandList(NULL, ensemble, subcmds);
    return ensemble;
}

/*
 *----------------------------------------------------------------------
 *
 * Dbus_Init --
 *
 *	Entry point called by [load]. Binds to Tcl through the stubs table,
 *	initialises libdbus's thread support and allocates the connection
 *	data slot once per process, creates the commands and provides the
 *	packages "dbus" and "vantrel".
 *
 * Results:
 *	TCL_OK, or TCL_ERROR with a message. When the data slot cannot be
 *	allocated the load fails with "out of memory"; the next load tries
 *	again, so no connection is ever opened without a valid slot.
 *
 *----------------------------------------------------------------------
 */

int
Dbus_Init(Tcl_Interp *interp)
{
    if (Tcl_InitStubs(interp, "8.6", 0) == NULL) {
	return TCL_ERROR;
    }
    if (Tcl_PkgRequireEx(interp, "Tcl", "8.5", 0, NULL) == NULL) {
	return TCL_ERROR;
    }
    Tcl_MutexLock(&initMutex);
    if (dataSlot == -1) {
	dbus_threads_init_default();
	dbus_connection_allocate_data_slot(&dataSlot);
	vantrel::InitObjects();
	vantrel::InitClient();
	vantrel::InitLoss();
	vantrel::InitCredentials();
    }
    bool haveSlot = (dataSlot != -1);
    Tcl_MutexUnlock(&initMutex);
    if (!haveSlot) {
	return DBus_MemoryError(interp);
    }
    TclInitDBusCmd(interp);
    Tcl_PkgProvideEx(interp, "vantrel", PACKAGE_VERSION, NULL);
    return Tcl_PkgProvideEx(interp, "dbus", PACKAGE_VERSION, NULL);
}
