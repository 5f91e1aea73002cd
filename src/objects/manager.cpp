/*
 * manager.cpp --
 *
 *	The announcements of an object manager: InterfacesAdded for an
 *	object exported below it, at the next idle time and with the
 *	properties the object has by then, and InterfacesRemoved when an
 *	announced object goes.
 */

#include "common.hpp"
#include "objects/objects.hpp"
#include "reply/reply.hpp"
#include "values/values.hpp"

namespace {

using vantrel::ExportedObject;

/*
 * Announce --
 *
 *	Idle callback: sends InterfacesAdded for an object from the
 *	manager above it, with the properties it has by then.
 */
void
Announce(ClientData clientData)
{
    auto *obj = static_cast<ExportedObject *>(clientData);
    obj->announceQueued = false;
    ExportedObject *manager = obj->gone ? nullptr
	    : vantrel::ManagerOf(obj->conn, obj->path);
    if (manager != nullptr && !Tcl_InterpDeleted(obj->interp)) {
	Tcl_Interp *interp = obj->interp;
	/*
	 * What changed so far goes out with the object; what changes while
	 * its values are read, in PropertiesChanged after it.
	 */
	std::vector<std::vector<bool>> changed = obj->changed;
	for (std::vector<bool> &flags : obj->changed) {
	    flags.assign(flags.size(), false);
	}
	Tcl_Obj *args[2] = {
	    Tcl_NewStringObj(obj->path.c_str(), -1),
	    vantrel::InterfacesDict(interp, obj)
	};
	vantrel::ObjPtr first = vantrel::holdObj(args[0]);
	vantrel::ObjPtr second = vantrel::holdObj(args[1]);
	if (!obj->gone && vantrel::SendMessage(interp, "OBJECT", obj->conn,
		DBUS_MESSAGE_TYPE_SIGNAL, manager->path.c_str(),
		vantrel::objectManagerInterface, "InterfacesAdded", NULL, 0,
		"oa{sa{sv}}", 2, args, vantrel::MARSHAL_RANGE) == TCL_OK) {
	    obj->announced = true;
	} else {
	    for (size_t i = 0; i < changed.size(); i++) {
		for (size_t p = 0; p < changed[i].size(); p++) {
		    if (changed[i][p]) {
			obj->changed[i][p] = true;
		    }
		}
	    }
	}
	Tcl_ResetResult(interp);
    }
    vantrel::ReleaseObject(obj);
}

} // namespace

namespace vantrel {

/*
 * QueueAnnounce, Withdraw, CancelAnnounce --
 *
 *	An object's announcement to its manager, queued, withdrawn or
 *	cancelled (objects.hpp).
 */

void
QueueAnnounce(ExportedObject *obj)
{
    if (obj->announceQueued || ManagerOf(obj->conn, obj->path) == nullptr) {
	return;
    }
    obj->announceQueued = true;
    HoldObject(obj);			/* Released by Announce. */
    Tcl_DoWhenIdle(Announce, obj);
}

void
Withdraw(ExportedObject *obj)
{
    CancelAnnounce(obj);
    ExportedObject *manager = ManagerOf(obj->conn, obj->path);
    if (!obj->announced || manager == nullptr
	    || Tcl_InterpDeleted(obj->interp)) {
	return;
    }
    obj->announced = false;
    Tcl_Interp *interp = obj->interp;
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    Tcl_Obj *names = Tcl_NewListObj(0, NULL);
    for (const InterfacePtr &decl : obj->interfaces) {
	Tcl_ListObjAppendElement(NULL, names,
		Tcl_NewStringObj(decl->name.c_str(), -1));
    }
    Tcl_Obj *args[2] = {Tcl_NewStringObj(obj->path.c_str(), -1), names};
    ObjPtr first = holdObj(args[0]);
    ObjPtr second = holdObj(args[1]);
    SendMessage(interp, "OBJECT", obj->conn, DBUS_MESSAGE_TYPE_SIGNAL,
	    manager->path.c_str(), objectManagerInterface, "InterfacesRemoved",
	    NULL, 0, "oas", 2, args, MARSHAL_RANGE);
    Tcl_RestoreInterpState(interp, state);
}

void
CancelAnnounce(ExportedObject *obj)
{
    if (obj->announceQueued) {
	obj->announceQueued = false;
	Tcl_CancelIdleCall(Announce, obj);
	ReleaseObject(obj);
    }
}

} // namespace vantrel
