/*
 * pending.cpp --
 *
 *	Commands of this subsystem that are not built yet.
 */

#include "vantrel.h"

int
DBusValidateCmd(ClientData, Tcl_Interp *interp, int, Tcl_Obj *const[])
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj("not implemented yet", -1));
    return TCL_ERROR;
}
