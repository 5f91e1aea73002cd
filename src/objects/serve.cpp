/*
 * serve.cpp --
 *
 *	The dispatcher of exported objects: it takes the calls of their
 *	declared interfaces and of Introspectable, Properties and
 *	ObjectManager at their paths, answers at once what needs no script
 *	and queues the rest (calls.cpp).
 */

#include <cstring>
#include "common.hpp"
#include "handlers/handlers.hpp"
#include "objects/objects.hpp"
#include "reply/reply.hpp"
#include "values/values.hpp"

namespace {

using vantrel::ExportedObject;
using vantrel::InterfaceDecl;
using vantrel::ObjectWork;
using vantrel::PropertyDecl;

/*
 * Finds the interface and property a Properties call names, answering
 * UnknownInterface or UnknownProperty when there is none.
 */
bool
FindProperty(DBusConnection *conn, DBusMessage *msg, ExportedObject *obj,
	const char *intf, const char *name, size_t *iface, size_t *prop)
{
    for (size_t i = 0; i < obj->interfaces.size(); i++) {
	const InterfaceDecl &decl = *obj->interfaces[i];
	if (decl.name != intf) {
	    continue;
	}
	*iface = i;
	if (name == NULL) {
	    return true;
	}
	for (size_t p = 0; p < decl.properties.size(); p++) {
	    if (decl.properties[p].name == name) {
		*prop = p;
		return true;
	    }
	}
	std::string text = std::string("no property '") + name
		+ "' in interface '" + intf + "'";
	vantrel::ReplyError(conn, msg, DBUS_ERROR_UNKNOWN_PROPERTY,
		text.c_str());
	return false;
    }
    std::string text = std::string("no interface '") + intf
	    + "' at object path '" + obj->path + "'";
    vantrel::ReplyError(conn, msg, DBUS_ERROR_UNKNOWN_INTERFACE,
	    text.c_str());
    return false;
}

/*
 * Answers Properties.Get of a stored value at once; the reply goes out
 * without a script, so the interpreter's state is kept around it.
 */
void
ReplyStored(Tcl_Interp *interp, DBusConnection *conn, DBusMessage *msg,
	const PropertyDecl &decl, Tcl_Obj *stored)
{
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    vantrel::ObjPtr variant = vantrel::holdObj(
	    vantrel::VariantOf(decl, stored));
    Tcl_Obj *objv[1] = {variant.get()};
    vantrel::ReplyValues(interp, "OBJECT", conn, msg, "v", 1, objv,
	    vantrel::MARSHAL_RANGE);
    Tcl_RestoreInterpState(interp, state);
}

/* The Properties interface of an object. */
void
ServeProperties(DBusConnection *conn, DBusMessage *msg, ExportedObject *obj)
{
    const char *member = dbus_message_get_member(msg);
    const char *intf = NULL;
    const char *name = NULL;
    size_t iface = 0, prop = 0;
    if (std::strcmp(member, "GetAll") == 0) {
	if (!vantrel::CheckCallSignature(conn, msg, "s")) {
	    return;
	}
	dbus_message_get_args(msg, NULL, DBUS_TYPE_STRING, &intf,
		DBUS_TYPE_INVALID);
	if (FindProperty(conn, msg, obj, intf, NULL, &iface, &prop)) {
	    vantrel::QueueObjectCall(obj, msg, ObjectWork::GetAll, nullptr,
		    iface);
	}
	return;
    }
    bool get = std::strcmp(member, "Get") == 0;
    bool set = std::strcmp(member, "Set") == 0;
    if (!get && !set) {
	vantrel::ReplyUnknownMethod(conn, msg);
	return;
    }
    if (!vantrel::CheckCallSignature(conn, msg, get ? "ss" : "ssv")) {
	return;
    }
    dbus_message_get_args(msg, NULL, DBUS_TYPE_STRING, &intf,
	    DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    if (!FindProperty(conn, msg, obj, intf, name, &iface, &prop)) {
	return;
    }
    const PropertyDecl &decl = obj->interfaces[iface]->properties[prop];
    if (get) {
	if (!(decl.access & vantrel::ACCESS_READ)) {
	    vantrel::ReplyError(conn, msg, DBUS_ERROR_INVALID_ARGS,
		    ("property '" + decl.name + "' is not readable").c_str());
	} else if (Tcl_Obj *stored = obj->values[iface][prop].get();
		stored != NULL && !Gated(obj, ObjectWork::Get)) {
	    ReplyStored(obj->interp, conn, msg, decl, stored);
	} else {
	    vantrel::QueueObjectCall(obj, msg, ObjectWork::Get, nullptr,
		    iface, prop);
	}
	return;
    }
    if (!(decl.access & vantrel::ACCESS_WRITE)) {
	vantrel::ReplyError(conn, msg, DBUS_ERROR_PROPERTY_READ_ONLY,
		("property '" + decl.name + "' is read-only").c_str());
	return;
    }
    DBusMessageIter iter, variant;
    dbus_message_iter_init(msg, &iter);
    dbus_message_iter_next(&iter);
    dbus_message_iter_next(&iter);
    dbus_message_iter_recurse(&iter, &variant);
    char *got = dbus_message_iter_get_signature(&variant);
    bool fits = got != NULL && (decl.type == "v" || decl.type == got);
    std::string text = "property '" + decl.name + "' has type '"
	    + decl.type + "', not '" + (got ? got : "") + "'";
    dbus_free(got);
    if (!fits) {
	vantrel::ReplyError(conn, msg, DBUS_ERROR_INVALID_ARGS, text.c_str());
	return;
    }
    /*
     * The value is stored with details, so that nested variants keep
     * their types and it goes back out as it came. The value of a
     * property of type v is a variant of its own, inside the one that
     * Set takes; a peer that sends it bare is taken at its word.
     */
    vantrel::ObjPtr args = vantrel::holdObj(
	    vantrel::IterList(obj->interp, &iter, 1, NULL,
		    vantrel::ConnMode(conn)));
    Tcl_Obj *value = NULL, *type = NULL;
    Tcl_ListObjIndex(NULL, args.get(), 0, &value);
    if (value != NULL) {
	Tcl_ListObjIndex(NULL, value, 0, &type);
    }
    if (type != NULL && (decl.type != "v"
	    || std::strcmp(Tcl_GetString(type), "v") == 0)) {
	Tcl_ListObjIndex(NULL, value, 1, &value);
    }
    if (value == NULL) {
	vantrel::ReplyError(conn, msg, DBUS_ERROR_INVALID_ARGS,
		"no value given");
	return;
    }
    vantrel::QueueObjectCall(obj, msg, ObjectWork::Set, nullptr, iface, prop,
	    value);
}

} // namespace

namespace vantrel {

/* Answers Introspect at an object's path (objects.hpp). */
void
ReplyObjectIntrospect(ExportedObject *obj, DBusMessage *msg)
{
    if (dbus_message_get_no_reply(msg)) {
	return;
    }
    std::string xml;
    AppendNodeHead(xml);
    AppendStandardXml(xml, true, obj->manager, 2);
    for (const InterfacePtr &decl : obj->interfaces) {
	AppendInterfaceXml(xml, *decl, 2);
    }
    AppendChildrenAndClose(xml, ListChildren(obj->conn, obj->path.c_str()));
    ReplyString(obj->conn, msg, xml.c_str());
}

/*
 * Answers Introspect at once, or queues it when the object's -authorize
 * command must be asked first.
 */
static void
ServeIntrospect(ExportedObject *obj, DBusMessage *msg)
{
    if (Gated(obj, ObjectWork::Introspect)) {
	QueueObjectCall(obj, msg, ObjectWork::Introspect);
    } else {
	ReplyObjectIntrospect(obj, msg);
    }
}

/*
 *----------------------------------------------------------------------
 *
 * DispatchObject --
 *
 *	Offered every method call at an exported object's path before the
 *	plain handlers (handlers.hpp). Takes Introspect, the Properties
 *	calls, GetManagedObjects where the object is a manager, and the
 *	calls of the object's declared interfaces; a call without an
 *	interface is taken when one of them declares the method.
 *
 * Results:
 *	True when the call was answered or queued; false leaves it to the
 *	plain handlers.
 *
 *----------------------------------------------------------------------
 */

bool
DispatchObject(DBusConnection *conn, DBusMessage *msg, const char *path)
{
    ExportedObject *obj = FindObject(conn, path);
    if (obj == nullptr) {
	return false;
    }
    const char *intf = dbus_message_get_interface(msg);
    const char *member = dbus_message_get_member(msg);
    if (intf != NULL) {
	if (std::strcmp(intf, DBUS_INTERFACE_INTROSPECTABLE) == 0) {
	    if (std::strcmp(member, "Introspect") != 0) {
		return false;
	    }
	    ServeIntrospect(obj, msg);
	    return true;
	}
	if (std::strcmp(intf, DBUS_INTERFACE_PROPERTIES) == 0) {
	    ServeProperties(conn, msg, obj);
	    return true;
	}
	if (obj->manager && std::strcmp(intf, objectManagerInterface) == 0
		&& std::strcmp(member, "GetManagedObjects") == 0) {
	    if (CheckCallSignature(conn, msg, "")) {
		QueueObjectCall(obj, msg, ObjectWork::Managed);
	    }
	    return true;
	}
    } else if (std::strcmp(member, "Introspect") == 0) {
	ServeIntrospect(obj, msg);
	return true;
    }

    const MethodDecl *method = nullptr;
    bool ours = false;
    size_t iface = 0;
    for (; iface < obj->interfaces.size(); iface++) {
	const InterfaceDecl &decl = *obj->interfaces[iface];
	if (intf != NULL && decl.name != intf) {
	    continue;
	}
	ours = true;
	if ((method = decl.FindMethod(member)) != nullptr) {
	    break;
	}
    }
    if (method == nullptr) {
	if (intf == NULL || !ours) {
	    return false;
	}
	ReplyUnknownMethod(conn, msg);
	return true;
    }
    if (!CheckCallSignature(conn, msg, method->inSig.c_str())) {
	return true;
    }
    if (!obj->command) {
	ReplyError(conn, msg, DBUS_ERROR_FAILED,
		"the object has no implementation");
	return true;
    }
    QueueObjectCall(obj, msg, ObjectWork::Call, method, iface);
    return true;
}

} // namespace vantrel
