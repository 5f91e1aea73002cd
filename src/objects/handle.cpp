/*
 * handle.cpp --
 *
 *	The handle command of an exported object, through which the script
 *	sets and reads properties, announces changes, emits signals,
 *	answers deferred calls and unexports the object.
 */

#include <string_view>
#include <utility>
#include <vector>
#include "common.hpp"
#include "objects/objects.hpp"
#include "reply/reply.hpp"
#include "values/values.hpp"

namespace {

using vantrel::ExportedObject;
using vantrel::InterfacePtr;
using vantrel::ObjectFail;

/* $obj set property value ?property value ...? */
int
SetCmd(Tcl_Interp *interp, ExportedObject *obj, int objc,
	Tcl_Obj *const objv[])
{
    if (objc < 4 || objc % 2 != 0) {
	Tcl_WrongNumArgs(interp, 2, objv, "property value ?property value ...?");
	return TCL_ERROR;
    }
    /* Every pair is checked before any value is stored. */
    std::vector<std::pair<size_t, size_t>> where;
    for (int i = 2; i < objc; i += 2) {
	size_t iface, prop;
	if (!vantrel::ResolveProperty(interp, obj, objv[i], &iface, &prop)) {
	    return TCL_ERROR;
	}
	const vantrel::PropertyDecl &decl =
		obj->interfaces[iface]->properties[prop];
	if (vantrel::CheckProperty(interp, obj->conn, decl, objv[i + 1])
		!= TCL_OK) {
	    return TCL_ERROR;
	}
	where.emplace_back(iface, prop);
    }
    for (size_t k = 0; k < where.size(); k++) {
	auto [iface, prop] = where[k];
	obj->values[iface][prop] = vantrel::holdObj(objv[3 + 2 * k]);
	vantrel::MarkChanged(obj, iface, prop);
    }
    Tcl_ResetResult(interp);
    return TCL_OK;
}

/* $obj emit signal ?arg ...? */
int
EmitCmd(Tcl_Interp *interp, ExportedObject *obj, int objc,
	Tcl_Obj *const objv[])
{
    if (objc < 3) {
	Tcl_WrongNumArgs(interp, 2, objv, "signal ?arg ...?");
	return TCL_ERROR;
    }
    std::string_view name = Tcl_GetString(objv[2]);
    std::string_view intf;
    size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) {
	intf = name.substr(0, dot);
	name = name.substr(dot + 1);
    }
    const vantrel::SignalDecl *found = nullptr;
    const vantrel::InterfaceDecl *owner = nullptr;
    for (const InterfacePtr &decl : obj->interfaces) {
	if (!intf.empty() && decl->name != intf) {
	    continue;
	}
	if (const vantrel::SignalDecl *s = decl->FindSignal(name)) {
	    if (found != nullptr) {
		return ObjectFail(interp, "SIGNAL", "ambiguous signal",
			objv[2]);
	    }
	    found = s;
	    owner = decl.get();
	}
    }
    if (found == nullptr) {
	return ObjectFail(interp, "SIGNAL", "unknown signal", objv[2]);
    }
    if (vantrel::SendMessage(interp, "OBJECT", obj->conn,
	    DBUS_MESSAGE_TYPE_SIGNAL, obj->path.c_str(), owner->name.c_str(),
	    found->name.c_str(), NULL, 0, found->sig.c_str(), objc - 3,
	    objv + 3, vantrel::MARSHAL_RANGE) != TCL_OK) {
	return vantrel::ValueError(interp, "OBJECT");
    }
    return TCL_OK;
}

/* $obj return header ?value ...? */
int
ReturnCmd(Tcl_Interp *interp, ExportedObject *obj, int objc,
	Tcl_Obj *const objv[])
{
    if (objc < 3) {
	Tcl_WrongNumArgs(interp, 2, objv, "header ?value ...?");
	return TCL_ERROR;
    }
    Tcl_Obj *fields[4] = {NULL, NULL, NULL, NULL};
    const char *keys[4] = {"interface", "member", "sender", "serial"};
    for (int k = 0; k < 4; k++) {
	vantrel::ObjPtr key = vantrel::holdObj(Tcl_NewStringObj(keys[k], -1));
	if (Tcl_DictObjGet(interp, objv[2], key.get(), &fields[k]) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (fields[k] == NULL) {
	    return ObjectFail(interp, "HEADER", "header lacks the key",
		    key.get());
	}
    }
    std::string_view intf = Tcl_GetString(fields[0]);
    std::string_view member = Tcl_GetString(fields[1]);
    const vantrel::MethodDecl *method = nullptr;
    for (const InterfacePtr &decl : obj->interfaces) {
	if (intf.empty() || decl->name == intf) {
	    if ((method = decl->FindMethod(member)) != nullptr) {
		break;
	    }
	}
    }
    if (method == nullptr) {
	return ObjectFail(interp, "METHOD", "the object declares no method",
		fields[1]);
    }
    int serial;
    if (Tcl_GetIntFromObj(NULL, fields[3], &serial) != TCL_OK
	    || serial == 0) {
	return vantrel::Fail(interp, "OBJECT", "SERIAL", "invalid serial");
    }
    if (!DBus_CheckBusName(fields[2])) {
	return vantrel::Fail(interp, "OBJECT", "DESTINATION",
		"invalid destination");
    }
    /* Whoever answers a call it deferred, the call is no longer open. */
    if (vantrel::SendMessage(interp, "OBJECT", obj->conn,
	    DBUS_MESSAGE_TYPE_METHOD_RETURN, NULL, NULL, NULL,
	    Tcl_GetString(fields[2]), static_cast<dbus_uint32_t>(serial),
	    method->outSig.c_str(), objc - 3, objv + 3,
	    vantrel::MARSHAL_RANGE) != TCL_OK) {
	return vantrel::ValueError(interp, "OBJECT");
    }
    return TCL_OK;
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * ObjectHandleCmd --
 *
 *	The handle command of an exported object: set, get, changed,
 *	emit, caller, return, path, destroy.
 *
 *----------------------------------------------------------------------
 */

int
vantrel::ObjectHandleCmd(ClientData clientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    static const char *const subcommands[] = {
	"caller", "changed", "destroy", "emit", "get", "path", "return",
	"set", NULL
    };
    enum {
	SUB_CALLER, SUB_CHANGED, SUB_DESTROY, SUB_EMIT, SUB_GET, SUB_PATH,
	SUB_RETURN, SUB_SET
    };
    auto *obj = static_cast<ExportedObject *>(clientData);
    if (objc < 2) {
	Tcl_WrongNumArgs(interp, 1, objv, "subcommand ?arg ...?");
	return TCL_ERROR;
    }
    int index;
    if (Tcl_GetIndexFromObjStruct(interp, objv[1], subcommands,
	    sizeof(char *), "subcommand", 0, &index) != TCL_OK) {
	return TCL_ERROR;
    }
    /* A getter may unexport the object: keep it until we are done. */
    vantrel::HoldObject(obj);
    struct Release {
	ExportedObject *obj;
	~Release() { vantrel::ReleaseObject(obj); }
    } release{obj};

    switch (index) {
    case SUB_SET:
	return SetCmd(interp, obj, objc, objv);
    case SUB_EMIT:
	return EmitCmd(interp, obj, objc, objv);
    case SUB_RETURN:
	return ReturnCmd(interp, obj, objc, objv);
    case SUB_GET: {
	if (objc != 3) {
	    Tcl_WrongNumArgs(interp, 2, objv, "property");
	    return TCL_ERROR;
	}
	size_t iface, prop;
	if (!vantrel::ResolveProperty(interp, obj, objv[2], &iface, &prop)) {
	    return TCL_ERROR;
	}
	Tcl_Obj *value = vantrel::ReadProperty(interp, obj, iface, prop);
	if (value == NULL) {
	    return TCL_ERROR;
	}
	Tcl_SetObjResult(interp, value);
	Tcl_DecrRefCount(value);
	return TCL_OK;
    }
    case SUB_CHANGED:
	for (int i = 2; i < objc; i++) {
	    size_t iface, prop;
	    if (!vantrel::ResolveProperty(interp, obj, objv[i], &iface,
		    &prop)) {
		return TCL_ERROR;
	    }
	    vantrel::MarkChanged(obj, iface, prop);
	}
	Tcl_ResetResult(interp);
	return TCL_OK;
    case SUB_CALLER:
	if (objc != 2) {
	    Tcl_WrongNumArgs(interp, 2, objv, NULL);
	    return TCL_ERROR;
	}
	if (obj->serving.empty()) {
	    return vantrel::Fail(interp, "OBJECT", "CALLER",
		    "no call is being served");
	}
	Tcl_SetObjResult(interp, DBus_MessageInfo(interp,
		obj->serving.back()));
	return TCL_OK;
    case SUB_PATH:
	Tcl_SetObjResult(interp, Tcl_NewStringObj(obj->path.c_str(), -1));
	return TCL_OK;
    case SUB_DESTROY:
	if (objc != 2) {
	    Tcl_WrongNumArgs(interp, 2, objv, NULL);
	    return TCL_ERROR;
	}
	if (obj->handle != nullptr) {
	    Tcl_DeleteCommandFromToken(interp, obj->handle);
	}
	Tcl_ResetResult(interp);
	return TCL_OK;
    }
    return TCL_OK;
}
