/*
 * pending.cpp --
 *
 *	Parts of this subsystem that are not built yet. Until handlers can
 *	be registered, a connection has no paths, records or events to
 *	clean up, so the cleanup routines have nothing to do.
 */

#include "vantrel.h"

namespace {

int
NotYet(ClientData, Tcl_Interp *interp, int, Tcl_Obj *const[])
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj("not implemented yet", -1));
    return TCL_ERROR;
}

} // namespace

int DBusListenCmd(ClientData cd, Tcl_Interp *i, int c, Tcl_Obj *const v[])
{ return NotYet(cd, i, c, v); }
int DBusMethodCmd(ClientData cd, Tcl_Interp *i, int c, Tcl_Obj *const v[])
{ return NotYet(cd, i, c, v); }
int DBusUnknownCmd(ClientData cd, Tcl_Interp *i, int c, Tcl_Obj *const v[])
{ return NotYet(cd, i, c, v); }
int DBusMonitorCmd(ClientData cd, Tcl_Interp *i, int c, Tcl_Obj *const v[])
{ return NotYet(cd, i, c, v); }

void DBus_PathCleanup(Tcl_Interp *, DBusConnection *, const char *) {}
int DBus_HandlerCleanup(Tcl_Interp *, DBusPathData *) { return 1; }
void DBus_DiscardEvents(DBusConnection *) {}

DBusHandlerResult
DBus_Monitor(DBusConnection *, DBusMessage *, void *)
{
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}
