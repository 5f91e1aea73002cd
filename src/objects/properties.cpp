/*
 * properties.cpp --
 *
 *	The properties of exported objects: finding them by name, checking
 *	values against their declared types, reading them (stored, or
 *	through the -get command), and PropertiesChanged, gathered per
 *	interface and sent once per turn of the event loop.
 */

#include "common.hpp"
#include "objects/objects.hpp"
#include "outgoing/outgoing.hpp"
#include "values/values.hpp"

namespace {

using vantrel::Emits;
using vantrel::ExportedObject;

/*
 * Flush --
 *
 *	Idle callback: sends one PropertiesChanged per interface whose
 *	properties changed since the last flush: the values of those that
 *	emit "true" (read now, so the latest value goes) and the names of
 *	those that emit "invalidates", or whose getter failed.
 */
void
Flush(ClientData clientData)
{
    auto *obj = static_cast<ExportedObject *>(clientData);
    obj->flushQueued = false;
    if (obj->gone || Tcl_InterpDeleted(obj->interp)) {
	vantrel::ReleaseObject(obj);
	return;
    }
    Tcl_Interp *interp = obj->interp;
    for (size_t i = 0; i < obj->interfaces.size() && !obj->gone; i++) {
	const vantrel::InterfaceDecl &decl = *obj->interfaces[i];
	vantrel::ObjPtr changed = vantrel::holdObj(Tcl_NewDictObj());
	vantrel::ObjPtr invalidated = vantrel::holdObj(Tcl_NewListObj(0, NULL));
	bool any = false;
	for (size_t p = 0; p < decl.properties.size(); p++) {
	    if (!obj->changed[i][p]) {
		continue;
	    }
	    obj->changed[i][p] = false;
	    const vantrel::PropertyDecl &prop = decl.properties[p];
	    Tcl_Obj *name = Tcl_NewStringObj(prop.name.c_str(), -1);
	    any = true;
	    if (prop.emits == Emits::True) {
		Tcl_Obj *value = vantrel::ReadProperty(interp, obj, i, p);
		if (value != NULL) {
		    Tcl_DictObjPut(NULL, changed.get(), name,
			    vantrel::VariantOf(prop, value));
		    Tcl_DecrRefCount(value);
		    continue;
		}
		Tcl_ResetResult(interp);
	    }
	    Tcl_ListObjAppendElement(NULL, invalidated.get(), name);
	}
	if (!any || obj->gone) {
	    continue;
	}
	Tcl_Obj *args[3] = {
	    Tcl_NewStringObj(decl.name.c_str(), -1), changed.get(),
	    invalidated.get()
	};
	vantrel::ObjPtr first = vantrel::holdObj(args[0]);
	if (vantrel::SendMessage(interp, "OBJECT", obj->conn,
		DBUS_MESSAGE_TYPE_SIGNAL, obj->path.c_str(),
		DBUS_INTERFACE_PROPERTIES, "PropertiesChanged", NULL, 0,
		"sa{sv}as", 3, args, vantrel::MARSHAL_RANGE) != TCL_OK) {
	    /* A closed connection: nothing to tell anybody. */
	    Tcl_ResetResult(interp);
	}
    }
    Tcl_ResetResult(interp);
    vantrel::ReleaseObject(obj);
}

} // namespace

namespace vantrel {

bool
ResolveProperty(Tcl_Interp *interp, ExportedObject *obj, Tcl_Obj *name,
	size_t *iface, size_t *prop)
{
    std::string_view member = Tcl_GetString(name);
    std::string_view intf;
    size_t dot = member.rfind('.');
    if (dot != std::string_view::npos) {
	intf = member.substr(0, dot);
	member = member.substr(dot + 1);
    }
    bool found = false;
    for (size_t i = 0; i < obj->interfaces.size(); i++) {
	const InterfaceDecl &decl = *obj->interfaces[i];
	if (!intf.empty() && decl.name != intf) {
	    continue;
	}
	for (size_t p = 0; p < decl.properties.size(); p++) {
	    if (decl.properties[p].name != member) {
		continue;
	    }
	    if (found) {
		Tcl_SetObjResult(interp, Tcl_ObjPrintf("ambiguous property "
			"\"%s\": name its interface", Tcl_GetString(name)));
		Tcl_SetErrorCode(interp, libname, "OBJECT", "PROPERTY",
			(char *) NULL);
		return false;
	    }
	    found = true;
	    *iface = i;
	    *prop = p;
	}
    }
    if (!found) {
	Tcl_SetObjResult(interp, Tcl_ObjPrintf("unknown property \"%s\"",
		Tcl_GetString(name)));
	Tcl_SetErrorCode(interp, libname, "OBJECT", "PROPERTY",
		(char *) NULL);
    }
    return found;
}

Tcl_Obj *
ReadProperty(Tcl_Interp *interp, ExportedObject *obj, size_t iface,
	size_t prop)
{
    if (Tcl_Obj *stored = obj->values[iface][prop].get()) {
	Tcl_IncrRefCount(stored);
	return stored;
    }
    const InterfaceDecl &decl = *obj->interfaces[iface];
    const PropertyDecl &property = decl.properties[prop];
    if (!obj->getter) {
	Tcl_SetObjResult(interp, Tcl_ObjPrintf("property \"%s\" has no value",
		property.name.c_str()));
	Tcl_SetErrorCode(interp, libname, "OBJECT", "VALUE", (char *) NULL);
	return NULL;
    }
    ObjPtr cmd = holdObj(Tcl_DuplicateObj(obj->getter.get()));
    Tcl_ListObjAppendElement(NULL, cmd.get(),
	    Tcl_NewStringObj(decl.name.c_str(), -1));
    Tcl_ListObjAppendElement(NULL, cmd.get(),
	    Tcl_NewStringObj(property.name.c_str(), -1));
    HoldObject(obj);
    int code = Tcl_EvalObjEx(interp, cmd.get(), TCL_EVAL_GLOBAL);
    ReleaseObject(obj);
    if (code != TCL_OK) {
	return NULL;
    }
    Tcl_Obj *value = Tcl_GetObjResult(interp);
    Tcl_IncrRefCount(value);		/* For the caller, if it fits. */
    if (CheckValue(interp, obj->conn, "OBJECT", property.type, value)
	    != TCL_OK) {
	Tcl_DecrRefCount(value);
	return NULL;
    }
    Tcl_ResetResult(interp);
    return value;
}

int
CheckValue(Tcl_Interp *interp, DBusConnection *conn, const char *tag,
	const std::string &type, Tcl_Obj *value)
{
    ObjPtr hold = holdObj(value);	/* The result may hold the only one. */
    MessagePtr scratch = adoptMessage(dbus_message_new_signal("/",
	    "org.freedesktop.DBus.Scratch", "Check"));
    if (!scratch) {
	return DBus_MemoryError(interp);
    }
    Tcl_ResetResult(interp);
    Tcl_Obj *objv[1] = {value};
    if (AppendArgs(interp, tag, conn, scratch.get(), type.c_str(), 1, objv,
	    MARSHAL_RANGE) != TCL_OK) {
	return ValueError(interp, tag);
    }
    return TCL_OK;
}


Tcl_Obj *
VariantOf(const PropertyDecl &decl, Tcl_Obj *value)
{
    if (decl.type == "v") {
	return value;
    }
    Tcl_Obj *pair[2] = {Tcl_NewStringObj(decl.type.c_str(), -1), value};
    return Tcl_NewListObj(2, pair);
}

void
MarkChanged(ExportedObject *obj, size_t iface, size_t prop)
{
    Emits emits = obj->interfaces[iface]->properties[prop].emits;
    if (emits == Emits::Const || emits == Emits::False) {
	return;
    }
    obj->changed[iface][prop] = true;
    if (!obj->flushQueued) {
	obj->flushQueued = true;
	HoldObject(obj);		/* Released by Flush. */
	Tcl_DoWhenIdle(Flush, obj);
    }
}

/*
 * CancelFlush --
 *
 *	Cancels the PropertiesChanged flush of an unexported object.
 */
void
CancelFlush(ExportedObject *obj)
{
    if (obj->flushQueued) {
	obj->flushQueued = false;
	Tcl_CancelIdleCall(Flush, obj);
	ReleaseObject(obj);
    }
}

} // namespace vantrel
