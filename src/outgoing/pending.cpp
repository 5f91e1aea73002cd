/*
 * pending.cpp --
 *
 *	Commands of this subsystem that are not built yet.
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

int DBusCallCmd(ClientData cd, Tcl_Interp *i, int c, Tcl_Obj *const v[])
{ return NotYet(cd, i, c, v); }
int DBusSignalCmd(ClientData cd, Tcl_Interp *i, int c, Tcl_Obj *const v[])
{ return NotYet(cd, i, c, v); }
int DBusMethodReturnCmd(ClientData cd, Tcl_Interp *i, int c, Tcl_Obj *const v[])
{ return NotYet(cd, i, c, v); }
int DBusErrorCmd(ClientData cd, Tcl_Interp *i, int c, Tcl_Obj *const v[])
{ return NotYet(cd, i, c, v); }
int DBusNameCmd(ClientData cd, Tcl_Interp *i, int c, Tcl_Obj *const v[])
{ return NotYet(cd, i, c, v); }
int DBusReleaseCmd(ClientData cd, Tcl_Interp *i, int c, Tcl_Obj *const v[])
{ return NotYet(cd, i, c, v); }
int DBusFilterCmd(ClientData cd, Tcl_Interp *i, int c, Tcl_Obj *const v[])
{ return NotYet(cd, i, c, v); }
