/*
 * properties.cpp --
 *
 *	The properties of exported objects: finding them by name, checking
 *	values against their declared types, reading them (stored, or
 *	through the -get command), and PropertiesChanged, gathered per
 *	interface and sent once per turn of the event loop.
 */

#include <cstring>
#include "common.hpp"
#include "objects/objects.hpp"
#include "outgoing/outgoing.hpp"
#include "values/values.hpp"

namespace {

using vantrel::Emits;
using vantrel::ExportedObject;
using vantrel::ObjPtr;

/*
 * Marshals value as type into a scratch message. Returns TCL_OK, or
 * TCL_ERROR with the marshalling's message and errorCode DBUS OBJECT
 * kind.
 */
int
Marshal(Tcl_Interp *interp, DBusConnection *conn, const char *type,
	Tcl_Obj *value)
{
    vantrel::MessagePtr scratch = vantrel::adoptMessage(
	    dbus_message_new_signal("/", "org.freedesktop.DBus.Scratch",
		    "Check"));
    if (!scratch) {
	return DBus_MemoryError(interp);
    }
    /* Marshalling appends its complaints to the result. */
    Tcl_ResetResult(interp);
    Tcl_Obj *objv[1] = {value};
    if (vantrel::AppendArgs(interp, "OBJECT", conn, scratch.get(), type, 1,
	    objv, vantrel::MARSHAL_RANGE) != TCL_OK) {
	return vantrel::ValueError(interp, "OBJECT");
    }
    return TCL_OK;
}

/* The errorCode of a failure in the interpreter (ref count 0). */
Tcl_Obj *
ErrorCode(Tcl_Interp *interp)
{
    ObjPtr options = vantrel::holdObj(Tcl_GetReturnOptions(interp,
	    TCL_ERROR));
    ObjPtr key = vantrel::holdObj(Tcl_NewStringObj("-errorcode", -1));
    Tcl_Obj *code = NULL;
    Tcl_DictObjGet(NULL, options.get(), key.get(), &code);
    return code != NULL ? Tcl_DuplicateObj(code) : Tcl_NewStringObj("NONE",
	    -1);
}

/* A value's text for a message, cut after 60 characters. */
std::string
Shortened(Tcl_Obj *value)
{
    constexpr int most = 60;
    if (Tcl_GetCharLength(value) <= most) {
	return Tcl_GetString(value);
    }
    ObjPtr head = vantrel::holdObj(Tcl_GetRange(value, 0, most - 1));
    return std::string(Tcl_GetString(head.get())) + "...";
}

/*
 * Plain --
 *
 *	WithoutDetails for the complete type at sig: variants become their
 *	contents, containers are rebuilt around their changed elements.
 *	A value that is not of the form its type wants is left as it is.
 *
 * Results:
 *	value itself, or a new object with a reference count of 0.
 */
Tcl_Obj *
Plain(DBusSignatureIter *sig, Tcl_Obj *value)
{
    int n;
    Tcl_Obj **elems;
    switch (dbus_signature_iter_get_current_type(sig)) {
    case DBUS_TYPE_VARIANT: {
	if (Tcl_ListObjGetElements(NULL, value, &n, &elems) != TCL_OK
		|| n != 2) {
	    return value;
	}
	const char *contents = Tcl_GetString(elems[0]);
	if (!dbus_signature_validate_single(contents, NULL)) {
	    return value;
	}
	DBusSignatureIter inner;
	dbus_signature_iter_init(&inner, contents);
	return Plain(&inner, elems[1]);
    }
    case DBUS_TYPE_ARRAY:
    case DBUS_TYPE_STRUCT: {
	DBusSignatureIter member;
	dbus_signature_iter_recurse(sig, &member);
	bool dict = dbus_signature_iter_get_current_type(&member)
		== DBUS_TYPE_DICT_ENTRY;
	if (dict) {
	    /* Keys are basic: only the values can hold variants. */
	    dbus_signature_iter_recurse(&member, &member);
	    dbus_signature_iter_next(&member);
	}
	bool array = dbus_signature_iter_get_current_type(sig)
		== DBUS_TYPE_ARRAY;
	char *text = dbus_signature_iter_get_signature(array ? &member : sig);
	bool variants = text != NULL
		&& std::strchr(text, DBUS_TYPE_VARIANT) != NULL;
	dbus_free(text);
	if (!variants || Tcl_ListObjGetElements(NULL, value, &n, &elems)
		!= TCL_OK) {
	    return value;
	}
	Tcl_Obj *list = Tcl_NewListObj(0, NULL);
	for (int i = 0; i < n; i++) {
	    if (dict && i % 2 == 0) {
		Tcl_ListObjAppendElement(NULL, list, elems[i]);
		continue;
	    }
	    Tcl_ListObjAppendElement(NULL, list, Plain(&member, elems[i]));
	    if (!array && !dbus_signature_iter_next(&member)) {
		/* More elements than members: kept as they are. */
		for (i++; i < n; i++) {
		    Tcl_ListObjAppendElement(NULL, list, elems[i]);
		}
	    }
	}
	return list;
    }
    default:
	return value;
    }
}

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
		vantrel::LostError(interp, obj, obj->getter != nullptr);
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

void
LostError(Tcl_Interp *interp, ExportedObject *obj, bool fromScript)
{
    if (fromScript && !Tcl_InterpDeleted(interp)
	    && ReportsErrors(ConnRecord(obj->conn), true)) {
	Tcl_BackgroundException(interp, TCL_ERROR);
    }
    Tcl_ResetResult(interp);
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
    if (CheckProperty(interp, obj->conn, property, value) != TCL_OK) {
	Tcl_DecrRefCount(value);
	return NULL;
    }
    Tcl_ResetResult(interp);
    return value;
}

/*
 *----------------------------------------------------------------------
 *
 * CheckProperty --
 *
 *	Checks a property's value against its type and the deepest
 *	message that carries it (objects.hpp).
 *
 *----------------------------------------------------------------------
 */

int
CheckProperty(Tcl_Interp *interp, DBusConnection *conn,
	const PropertyDecl &decl, Tcl_Obj *value)
{
    ObjPtr hold = holdObj(value);	/* The result may hold the only one. */
    ObjPtr wrapped = holdObj(VariantOf(decl, value));
    for (int i = 1; i < propertyEnvelope; i++) {
	Tcl_Obj *pair[2] = {Tcl_NewStringObj("v", 1), wrapped.get()};
	wrapped = holdObj(Tcl_NewListObj(2, pair));
    }
    if (Marshal(interp, conn, "v", wrapped.get()) == TCL_OK) {
	return TCL_OK;
    }
    std::string context = "property \"" + decl.name + "\"";
    ObjPtr code = holdObj(ErrorCode(interp));
    Tcl_Obj *kind = NULL;
    Tcl_ListObjIndex(NULL, code.get(), 2, &kind);
    if (kind != NULL && std::strcmp(Tcl_GetString(kind), "DEPTH") == 0) {
	Tcl_SetObjResult(interp, Tcl_ObjPrintf("%s: value nested deeper "
		"than %d containers", context.c_str(), propertyDepth));
	return TCL_ERROR;
    }
    ObjPtr reason = holdObj(Tcl_GetObjResult(interp));
    Tcl_Obj *culprit = value;
    if (decl.type.compare(0, 2, "a{") == 0) {
	/* A dictionary: name the first key whose entry does not fit. */
	Tcl_DictSearch search;
	Tcl_Obj *key, *entry;
	int done;
	if (Tcl_DictObjFirst(NULL, value, &search, &key, &entry, &done)
		== TCL_OK) {
	    for (; !done; Tcl_DictObjNext(&search, &key, &entry, &done)) {
		Tcl_Obj *pair[2] = {key, entry};
		ObjPtr one = holdObj(Tcl_NewListObj(2, pair));
		if (Marshal(interp, conn, decl.type.c_str(), one.get())
			!= TCL_OK) {
		    context += ", key \"" + std::string(Tcl_GetString(key))
			    + "\"";
		    culprit = entry;
		    break;
		}
	    }
	    Tcl_DictObjDone(&search);
	}
    }
    /* The first failure's message and errorCode, with its context. */
    Tcl_SetObjErrorCode(interp, code.get());
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%s, value \"%s\": %s",
	    context.c_str(), Shortened(culprit).c_str(),
	    Tcl_GetString(reason.get())));
    return TCL_ERROR;
}

Tcl_Obj *
VariantOf(const PropertyDecl &decl, Tcl_Obj *value)
{
    Tcl_Obj *pair[2] = {Tcl_NewStringObj(decl.type.c_str(), -1), value};
    return Tcl_NewListObj(2, pair);
}

Tcl_Obj *
WithoutDetails(const char *sig, Tcl_Obj *value)
{
    if (std::strchr(sig, DBUS_TYPE_VARIANT) == NULL) {
	return value;
    }
    DBusSignatureIter iter;
    dbus_signature_iter_init(&iter, sig);
    return Plain(&iter, value);
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
