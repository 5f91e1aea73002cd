/*
 * pending_reply.cpp --
 *
 *	Commands of this subsystem that are not built yet.
 */

#include "vantrel.h"

namespace {

int
NotYet(Tcl_Interp *interp)
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj("not implemented yet", -1));
    return TCL_ERROR;
}

} // namespace

int DBusMethodReturnCmd(ClientData, Tcl_Interp *interp, int, Tcl_Obj *const[])
{ return NotYet(interp); }
int DBusErrorCmd(ClientData, Tcl_Interp *interp, int, Tcl_Obj *const[])
{ return NotYet(interp); }
