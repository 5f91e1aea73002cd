/*
 * serve.cpp --
 *
 *	Serving exported objects: the dispatcher that takes the calls of
 *	their declared interfaces and of Introspectable, Properties and
 *	ObjectManager at their paths, the events that run the scripts
 *	those calls need, and the object manager's announcements.
 */

#include <cstring>
#include "common.hpp"
#include "handlers/handlers.hpp"
#include "objects/objects.hpp"
#include "outgoing/outgoing.hpp"
#include "values/values.hpp"

namespace {

using vantrel::ExportedObject;
using vantrel::InterfaceDecl;
using vantrel::PropertyDecl;

constexpr const char *objectManager = "org.freedesktop.DBus.ObjectManager";

/* What an object event does. */
enum class Work { Call, Get, GetAll, Set, Managed };

/*
 * A call that needs the interpreter: a declared method, or a property
 * operation that may run the -get or -set command. Runs from the event
 * loop like the handlers' script events, in arrival order with them.
 */
struct ObjectEvent {
    Tcl_Event event;		/* Must be first: Tcl's event header. */
    ExportedObject *obj;	/* One reference. */
    DBusMessage *msg;		/* One libdbus reference. */
    Work work;
    const vantrel::MethodDecl *method; /* Call: kept alive by obj. */
    size_t iface, prop;		/* Call and GetAll (iface), Get, Set. */
    Tcl_Obj *value;		/* Set: the new value, one reference. */
};

int ObjectEventProc(Tcl_Event *evPtr, int flags);

/*
 * Makes a call the one an object serves ($obj caller) while its
 * scripts run for it. The message is borrowed from the event.
 */
class Serving {
public:
    Serving(ExportedObject *obj, DBusMessage *msg) : obj_(obj) {
	obj_->serving.push_back(msg);
    }
    ~Serving() { obj_->serving.pop_back(); }
    Serving(const Serving &) = delete;
    Serving &operator=(const Serving &) = delete;
private:
    ExportedObject *obj_;
};

void
Queue(ExportedObject *obj, DBusMessage *msg, Work work,
	const vantrel::MethodDecl *method = nullptr, size_t iface = 0,
	size_t prop = 0, Tcl_Obj *value = nullptr)
{
    auto *ev = reinterpret_cast<ObjectEvent *>(
	    Tcl_Alloc(sizeof(ObjectEvent)));
    ev->event.proc = ObjectEventProc;
    ev->event.nextPtr = NULL;
    vantrel::HoldObject(obj);
    ev->obj = obj;
    ev->msg = dbus_message_ref(msg);
    ev->work = work;
    ev->method = method;
    ev->iface = iface;
    ev->prop = prop;
    ev->value = value;
    if (value != NULL) {
	Tcl_IncrRefCount(value);
    }
    /* The event now belongs to Tcl's event queue. */
    Tcl_QueueEvent(&ev->event, TCL_QUEUE_TAIL);
}

/*
 * Sends an error reply whose text is the interpreter result, converted
 * as every text that goes out is; a text that cannot travel (a NUL in
 * it) gives way to a plain one.
 */
void
ReplyWithResult(Tcl_Interp *interp, DBusConnection *conn, DBusMessage *msg,
	const char *name)
{
    if (!dbus_message_get_no_reply(msg)) {
	vantrel::ObjPtr text = vantrel::holdObj(Tcl_GetObjResult(interp));
	if (DBus_Error(interp, conn, name, dbus_message_get_sender(msg),
		dbus_message_get_serial(msg), Tcl_GetString(text.get()))
		!= TCL_OK) {
	    vantrel::ReplyError(conn, msg, name,
		    "the reason cannot be sent as D-Bus text");
	}
    }
    Tcl_ResetResult(interp);
}

/*
 * Answers a Get or Set with the error of reading or writing the
 * property: a -get or -set script's is named by its -name. Neither
 * script is called with the call's arguments, so Tcl's failures to call
 * one are the script's own, not the peer's (no BlameCall). A call that
 * wants no reply leaves the error to LostError.
 */
void
ReplyScriptError(Tcl_Interp *interp, ExportedObject *obj, DBusMessage *msg,
	bool fromScript = true)
{
    if (dbus_message_get_no_reply(msg)) {
	vantrel::LostError(interp, obj, fromScript);
	return;
    }
    vantrel::AnswerCall(interp, obj->conn, msg, TCL_ERROR, 0, NULL);
}

/* Sends a method return carrying values by signature. */
void
ReplyValues(Tcl_Interp *interp, DBusConnection *conn, DBusMessage *msg,
	const char *signature, int objc, Tcl_Obj *const objv[])
{
    if (dbus_message_get_no_reply(msg)) {
	return;
    }
    if (vantrel::SendMessage(interp, "OBJECT", conn,
	    DBUS_MESSAGE_TYPE_METHOD_RETURN, NULL, NULL, NULL,
	    dbus_message_get_sender(msg), dbus_message_get_serial(msg),
	    signature, objc, objv, vantrel::MARSHAL_RANGE) != TCL_OK) {
	ReplyWithResult(interp, conn, msg, DBUS_ERROR_FAILED);
    }
    Tcl_ResetResult(interp);
}

/*
 * The readable properties of one interface of an object as a dict
 * (a{sv}); properties that cannot be read are left out.
 */
Tcl_Obj *
PropertiesDict(Tcl_Interp *interp, ExportedObject *obj, size_t iface)
{
    const InterfaceDecl &decl = *obj->interfaces[iface];
    Tcl_Obj *props = Tcl_NewDictObj();
    for (size_t p = 0; p < decl.properties.size() && !obj->gone; p++) {
	const PropertyDecl &prop = decl.properties[p];
	if (!(prop.access & vantrel::ACCESS_READ)) {
	    continue;
	}
	Tcl_Obj *value = vantrel::ReadProperty(interp, obj, iface, p);
	if (value == NULL) {
	    /* Left out of the dict: its error can become no reply. */
	    vantrel::LostError(interp, obj, obj->getter != nullptr);
	    continue;
	}
	Tcl_DictObjPut(NULL, props, Tcl_NewStringObj(prop.name.c_str(), -1),
		vantrel::VariantOf(prop, value));
	Tcl_DecrRefCount(value);
    }
    return props;
}

/* Every interface of an object with its properties (a{sa{sv}}). */
Tcl_Obj *
InterfacesDict(Tcl_Interp *interp, ExportedObject *obj)
{
    Tcl_Obj *dict = Tcl_NewDictObj();
    for (size_t i = 0; i < obj->interfaces.size() && !obj->gone; i++) {
	Tcl_DictObjPut(NULL, dict,
		Tcl_NewStringObj(obj->interfaces[i]->name.c_str(), -1),
		PropertiesDict(interp, obj, i));
    }
    return dict;
}

/* Runs the object's command for a declared method and answers. */
void
ServeCall(Tcl_Interp *interp, ObjectEvent *ev)
{
    ExportedObject *obj = ev->obj;
    int flags = (ev->method->noReply || dbus_message_get_no_reply(ev->msg))
	    ? HANDLER_NOREPLY : 0;
    vantrel::ObjPtr cmd = vantrel::holdObj(
	    Tcl_DuplicateObj(obj->command.get()));
    Tcl_ListObjAppendElement(NULL, cmd.get(),
	    Tcl_NewStringObj(ev->method->name.c_str(), -1));
    DBusMessageIter iter;
    vantrel::FdChannels made;
    if (dbus_message_iter_init(ev->msg, &iter)) {
	vantrel::ObjPtr args = vantrel::holdObj(vantrel::IterList(interp,
		&iter, obj->details, &made, vantrel::ConnMode(obj->conn)));
	Tcl_ListObjAppendList(NULL, cmd.get(), args.get());
    }
    vantrel::ObjPtr out = vantrel::holdObj(
	    Tcl_NewStringObj(ev->method->outSig.c_str(), -1));
    vantrel::OpenCall(obj, ev->msg);
    int code;
    {
	Serving serving(obj, ev->msg);
	code = Tcl_EvalObjEx(interp, cmd.get(), TCL_EVAL_GLOBAL);
    }
    bool deferred = false;
    if (!Tcl_InterpDeleted(interp)) {
	if (code == TCL_ERROR && (flags & HANDLER_NOREPLY)) {
	    vantrel::LostError(interp, obj, true);
	    code = TCL_OK;
	} else if (code == TCL_ERROR) {
	    vantrel::BlameCall(interp, ev->msg,
		    obj->interfaces[ev->iface]->name.c_str());
	}
	deferred = vantrel::AnswerCall(interp, obj->conn, ev->msg, code,
		flags, out.get());
    }
    vantrel::CloseCall(obj, ev->msg, deferred);
    if (made.Count() > 0 && !Tcl_InterpDeleted(interp)) {
	/* Descriptors the implementation did not keep are closed. */
	cmd.reset();
	Tcl_ResetResult(interp);
	made.Settle(interp);
    }
}

/* Properties.Set, after the checks: through -set, or stored. */
void
ServeSet(Tcl_Interp *interp, ObjectEvent *ev)
{
    ExportedObject *obj = ev->obj;
    const InterfaceDecl &decl = *obj->interfaces[ev->iface];
    const PropertyDecl &prop = decl.properties[ev->prop];
    /* What could not be read back would break GetAll for everybody. */
    if (vantrel::CheckProperty(interp, obj->conn, prop, ev->value)
	    != TCL_OK) {
	ReplyWithResult(interp, obj->conn, ev->msg, DBUS_ERROR_INVALID_ARGS);
	return;
    }
    if (obj->setter) {
	vantrel::ObjPtr cmd = vantrel::holdObj(
		Tcl_DuplicateObj(obj->setter.get()));
	Tcl_Obj *words[3] = {
	    Tcl_NewStringObj(decl.name.c_str(), -1),
	    Tcl_NewStringObj(prop.name.c_str(), -1),
	    obj->details ? ev->value
		: vantrel::WithoutDetails(prop.type.c_str(), ev->value)
	};
	for (Tcl_Obj *word : words) {
	    Tcl_ListObjAppendElement(NULL, cmd.get(), word);
	}
	int code;
	{
	    Serving serving(obj, ev->msg);
	    code = Tcl_EvalObjEx(interp, cmd.get(), TCL_EVAL_GLOBAL);
	}
	if (Tcl_InterpDeleted(interp)) {
	    return;
	}
	if (code == TCL_ERROR) {
	    ReplyScriptError(interp, obj, ev->msg);
	    return;
	}
	Tcl_ResetResult(interp);
    }
    if (!obj->gone && (obj->values[ev->iface][ev->prop] || !obj->getter)) {
	obj->values[ev->iface][ev->prop] = vantrel::holdObj(ev->value);
	vantrel::MarkChanged(obj, ev->iface, ev->prop);
    }
    ReplyValues(interp, obj->conn, ev->msg, "", 0, NULL);
}

/*
 * ObjectEventProc --
 *
 *	Event procedure of object events: runs the work, holding the
 *	interpreter and the connection while scripts run. A call queued
 *	for an object unexported since is answered with UnknownObject.
 */
int
ObjectEventProc(Tcl_Event *evPtr, int flags)
{
    if (!(flags & TCL_IDLE_EVENTS)) {
	return 0;
    }
    auto *ev = reinterpret_cast<ObjectEvent *>(evPtr);
    ExportedObject *obj = ev->obj;
    vantrel::MessagePtr msg = vantrel::adoptMessage(ev->msg);
    vantrel::ObjPtr value;
    if (ev->value != NULL) {
	value = vantrel::adoptObj(ev->value);
    }
    Tcl_Interp *interp = obj->interp;
    if (obj->gone || Tcl_InterpDeleted(interp)) {
	if (!Tcl_InterpDeleted(interp)) {
	    vantrel::ReplyError(obj->conn, msg.get(),
		    DBUS_ERROR_UNKNOWN_OBJECT, "the object was unexported");
	}
	vantrel::ReleaseObject(obj);
	return 1;
    }
    DBusConnection *conn = dbus_connection_ref(obj->conn);
    Tcl_Preserve(interp);
    switch (ev->work) {
    case Work::Call:
	ServeCall(interp, ev);
	break;
    case Work::Set:
	ServeSet(interp, ev);
	break;
    case Work::Get: {
	const PropertyDecl &prop =
		obj->interfaces[ev->iface]->properties[ev->prop];
	Tcl_Obj *got;
	{
	    Serving serving(obj, msg.get());
	    got = vantrel::ReadProperty(interp, obj, ev->iface, ev->prop);
	}
	if (got == NULL) {
	    ReplyScriptError(interp, obj, msg.get(), obj->getter != nullptr);
	    break;
	}
	vantrel::ObjPtr variant = vantrel::holdObj(
		vantrel::VariantOf(prop, got));
	Tcl_DecrRefCount(got);
	Tcl_Obj *objv[1] = {variant.get()};
	ReplyValues(interp, conn, msg.get(), "v", 1, objv);
	break;
    }
    case Work::GetAll: {
	vantrel::ObjPtr props;
	{
	    Serving serving(obj, msg.get());
	    props = vantrel::holdObj(PropertiesDict(interp, obj, ev->iface));
	}
	Tcl_Obj *objv[1] = {props.get()};
	ReplyValues(interp, conn, msg.get(), "a{sv}", 1, objv);
	break;
    }
    case Work::Managed: {
	vantrel::ObjPtr managed = vantrel::holdObj(Tcl_NewDictObj());
	for (ExportedObject *below : vantrel::ObjectsBelow(conn,
		obj->path)) {
	    vantrel::HoldObject(below);
	    Tcl_Obj *dict;
	    {
		Serving serving(below, msg.get());
		dict = InterfacesDict(interp, below);
	    }
	    if (!below->gone) {
		Tcl_DictObjPut(NULL, managed.get(),
			Tcl_NewStringObj(below->path.c_str(), -1), dict);
	    } else {
		Tcl_DecrRefCount(dict);
	    }
	    vantrel::ReleaseObject(below);
	}
	Tcl_Obj *objv[1] = {managed.get()};
	ReplyValues(interp, conn, msg.get(), "a{oa{sa{sv}}}", 1, objv);
	break;
    }
    }
    Tcl_Release(interp);
    dbus_connection_unref(conn);
    vantrel::ReleaseObject(obj);
    return 1;
}

/* Predicate of Tcl_DeleteEvents: the queued events of one object. */
int
DiscardMatch(Tcl_Event *evPtr, ClientData clientData)
{
    if (evPtr->proc != ObjectEventProc) {
	return 0;
    }
    auto *ev = reinterpret_cast<ObjectEvent *>(evPtr);
    if (ev->obj != static_cast<ExportedObject *>(clientData)) {
	return 0;
    }
    /* The caller waits for an answer that its object can no longer give. */
    if (dbus_connection_get_is_connected(ev->obj->conn)) {
	vantrel::ReplyError(ev->obj->conn, ev->msg, DBUS_ERROR_UNKNOWN_OBJECT,
		"the object was unexported");
    }
    dbus_message_unref(ev->msg);
    if (ev->value != NULL) {
	Tcl_DecrRefCount(ev->value);
    }
    vantrel::ReleaseObject(ev->obj);
    return 1;
}

/* Answers Introspect at an object's path. */
void
ReplyIntrospect(DBusConnection *conn, DBusMessage *msg, ExportedObject *obj)
{
    if (dbus_message_get_no_reply(msg)) {
	return;
    }
    std::string xml;
    vantrel::AppendNodeHead(xml);
    vantrel::AppendStandardXml(xml, true, obj->manager, 2);
    for (const vantrel::InterfacePtr &decl : obj->interfaces) {
	vantrel::AppendInterfaceXml(xml, *decl, 2);
    }
    vantrel::AppendChildrenAndClose(xml, conn, obj->path.c_str());
    vantrel::ReplyString(conn, msg, xml.c_str());
}

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
    ReplyValues(interp, conn, msg, "v", 1, objv);
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
	    Queue(obj, msg, Work::GetAll, nullptr, iface);
	}
	return;
    }
    bool get = std::strcmp(member, "Get") == 0;
    bool set = std::strcmp(member, "Set") == 0;
    if (!get && !set) {
	vantrel::ReplyError(conn, msg, DBUS_ERROR_UNKNOWN_METHOD,
		"no such method in org.freedesktop.DBus.Properties");
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
	} else if (Tcl_Obj *stored = obj->values[iface][prop].get()) {
	    ReplyStored(obj->interp, conn, msg, decl, stored);
	} else {
	    Queue(obj, msg, Work::Get, nullptr, iface, prop);
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
    Queue(obj, msg, Work::Set, nullptr, iface, prop, value);
}

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
	    InterfacesDict(interp, obj)
	};
	vantrel::ObjPtr first = vantrel::holdObj(args[0]);
	vantrel::ObjPtr second = vantrel::holdObj(args[1]);
	if (!obj->gone && vantrel::SendMessage(interp, "OBJECT", obj->conn,
		DBUS_MESSAGE_TYPE_SIGNAL, manager->path.c_str(),
		objectManager, "InterfacesAdded", NULL, 0, "oa{sa{sv}}", 2,
		args, vantrel::MARSHAL_RANGE) == TCL_OK) {
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

void
CancelAnnounce(ExportedObject *obj)
{
    if (obj->announceQueued) {
	obj->announceQueued = false;
	Tcl_CancelIdleCall(Announce, obj);
	vantrel::ReleaseObject(obj);
    }
}

} // namespace

namespace vantrel {

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
	    ReplyIntrospect(conn, msg, obj);
	    return true;
	}
	if (std::strcmp(intf, DBUS_INTERFACE_PROPERTIES) == 0) {
	    ServeProperties(conn, msg, obj);
	    return true;
	}
	if (obj->manager && std::strcmp(intf, objectManager) == 0
		&& std::strcmp(member, "GetManagedObjects") == 0) {
	    if (CheckCallSignature(conn, msg, "")) {
		Queue(obj, msg, Work::Managed);
	    }
	    return true;
	}
    } else if (std::strcmp(member, "Introspect") == 0) {
	ReplyIntrospect(conn, msg, obj);
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
	std::string text = std::string("no method '") + member
		+ "' in interface '" + intf + "' at object path '" + path
		+ "'";
	ReplyError(conn, msg, DBUS_ERROR_UNKNOWN_METHOD, text.c_str());
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
    Queue(obj, msg, Work::Call, method, iface);
    return true;
}

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
    vantrel::SendMessage(interp, "OBJECT", obj->conn, DBUS_MESSAGE_TYPE_SIGNAL,
	    manager->path.c_str(), objectManager, "InterfacesRemoved", NULL,
	    0, "oas", 2, args, vantrel::MARSHAL_RANGE);
    Tcl_RestoreInterpState(interp, state);
}

void
DiscardObjectEvents(ExportedObject *obj)
{
    CancelAnnounce(obj);
    CancelFlush(obj);
    Tcl_DeleteEvents(DiscardMatch, obj);
}

} // namespace vantrel
