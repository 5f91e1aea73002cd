/*
 * calls.cpp --
 *
 *	The calls of exported objects that need the interpreter: a declared
 *	method, a property operation that may run the -get or -set command,
 *	GetManagedObjects. Each is an event of its connection's paced
 *	queue, in arrival order with the handlers' script events and under
 *	the same batch and nesting limits; it runs the scripts and answers.
 */

#include <cstring>
#include <memory>
#include "common.hpp"
#include "eventloop/eventloop.hpp"
#include "objects/objects.hpp"
#include "reply/reply.hpp"
#include "values/values.hpp"

namespace {

using vantrel::ExportedObject;
using vantrel::InterfaceDecl;
using vantrel::ObjectWork;
using vantrel::PropertyDecl;

/* A call that needs the interpreter, queued. */
struct ObjectEvent {
    Tcl_Event event;		/* Must be first: Tcl's event header. */
    vantrel::PacedWork paced;	/* Its place in the paced queue. */
    ExportedObject *obj;	/* One reference. */
    DBusMessage *msg;		/* One libdbus reference. */
    ObjectWork work;
    const vantrel::MethodDecl *method; /* Call: kept alive by obj. */
    size_t iface, prop;		/* Call and GetAll (iface), Get, Set. */
    Tcl_Obj *value;		/* Set: the new value, one reference. */
    bool authorized;		/* The -authorize command consented. */
};

int ObjectEventProc(Tcl_Event *evPtr, int flags);

/*
 * A call waiting for its verdict, with what it needs to be queued again
 * once consented: a reference to its object, its message and its value.
 */
struct Admitted {
    ExportedObject *obj;
    vantrel::MessagePtr msg;
    ObjectWork work;
    const vantrel::MethodDecl *method;
    size_t iface, prop;
    vantrel::ObjPtr value;

    Admitted(ExportedObject *o, vantrel::MessagePtr m, const ObjectEvent *ev,
	    vantrel::ObjPtr v)
	    : obj(o), msg(std::move(m)), work(ev->work), method(ev->method),
	      iface(ev->iface), prop(ev->prop), value(std::move(v)) {
	vantrel::HoldObject(obj);
    }
    ~Admitted() { vantrel::ReleaseObject(obj); }
    Admitted(const Admitted &) = delete;
    Admitted &operator=(const Admitted &) = delete;
};

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

/*
 * Answers with a method return carrying values by signature, or with
 * the error that says why they cannot be sent.
 */
void
ReturnValues(Tcl_Interp *interp, DBusConnection *conn, DBusMessage *msg,
	const char *signature, int objc, Tcl_Obj *const objv[])
{
    vantrel::ReplyValues(interp, "OBJECT", conn, msg, signature, objc, objv,
	    vantrel::MARSHAL_RANGE);
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
    obj->open.Open(obj->conn, ev->msg);
    int code;
    {
	Serving serving(obj, ev->msg);
	code = Tcl_EvalObjEx(interp, cmd.get(), TCL_EVAL_GLOBAL);
    }
    bool deferred = false;
    if (!Tcl_InterpDeleted(interp)) {
	if (code == TCL_ERROR && (flags & HANDLER_NOREPLY)) {
	    vantrel::LostError(interp, obj, true);
	} else if (code == TCL_ERROR) {
	    vantrel::BlameCall(interp, ev->msg,
		    obj->interfaces[ev->iface]->name.c_str());
	}
	deferred = vantrel::AnswerCall(interp, obj->conn, ev->msg, code,
		flags, out.get());
    }
    obj->open.Close(ev->msg, deferred, obj->gone);
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
	vantrel::ReplyError(obj->conn, ev->msg, DBUS_ERROR_INVALID_ARGS,
		Tcl_GetObjResult(interp));
	Tcl_ResetResult(interp);
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
    ReturnValues(interp, obj->conn, ev->msg, "", 0, NULL);
}

/*
 * ObjectEventProc --
 *
 *	Event procedure of object events: runs the work when the paced
 *	queue admits it, holding the interpreter and the connection while
 *	scripts run. A call queued for an object unexported since is
 *	answered with UnknownObject.
 *
 * Results:
 *	0 to stay queued, else 1.
 */
int
ObjectEventProc(Tcl_Event *evPtr, int flags)
{
    auto *ev = reinterpret_cast<ObjectEvent *>(evPtr);
    vantrel::RunWork running(&ev->paced, flags);
    if (!running) {
	return 0;
    }
    ExportedObject *obj = ev->obj;
    vantrel::MessagePtr msg = vantrel::adoptMessage(ev->msg);
    vantrel::ObjPtr value;
    if (ev->value != NULL) {
	value = vantrel::adoptObj(ev->value);
    }
    Tcl_Interp *interp = obj->interp;
    if (obj->gone || Tcl_InterpDeleted(interp)) {
	if (!Tcl_InterpDeleted(interp)) {
	    vantrel::ReplyUnknownObject(obj->conn, msg.get());
	}
	vantrel::ReleaseObject(obj);
	return 1;
    }
    DBusConnection *conn = dbus_connection_ref(obj->conn);
    Tcl_Preserve(interp);
    if (!ev->authorized && vantrel::Gated(obj, ev->work)) {
	/* Queued again, as consented, once the verdict is in. */
	auto again = std::make_shared<Admitted>(obj, std::move(msg), ev,
		std::move(value));
	vantrel::Authorize(obj, again->msg.get(), [again]() {
	    vantrel::QueueObjectCall(again->obj, again->msg.get(),
		    again->work, again->method, again->iface, again->prop,
		    again->value.get(), true);
	});
	Tcl_Release(interp);
	dbus_connection_unref(conn);
	vantrel::ReleaseObject(obj);
	return 1;
    }
    switch (ev->work) {
    case ObjectWork::Introspect:
	vantrel::ReplyObjectIntrospect(obj, msg.get());
	break;
    case ObjectWork::Call:
	ServeCall(interp, ev);
	break;
    case ObjectWork::Set:
	ServeSet(interp, ev);
	break;
    case ObjectWork::Get: {
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
	ReturnValues(interp, conn, msg.get(), "v", 1, objv);
	break;
    }
    case ObjectWork::GetAll: {
	vantrel::ObjPtr props;
	{
	    Serving serving(obj, msg.get());
	    props = vantrel::holdObj(PropertiesDict(interp, obj, ev->iface));
	}
	Tcl_Obj *objv[1] = {props.get()};
	ReturnValues(interp, conn, msg.get(), "a{sv}", 1, objv);
	break;
    }
    case ObjectWork::Managed: {
	vantrel::ObjPtr managed = vantrel::holdObj(Tcl_NewDictObj());
	for (ExportedObject *below : vantrel::ObjectsBelow(conn,
		obj->path)) {
	    vantrel::HoldObject(below);
	    Tcl_Obj *dict;
	    {
		Serving serving(below, msg.get());
		dict = vantrel::InterfacesDict(interp, below);
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
	ReturnValues(interp, conn, msg.get(), "a{oa{sa{sv}}}", 1, objv);
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
    vantrel::DropWork(&ev->paced);
    /* The caller waits for an answer that its object can no longer give. */
    vantrel::ReplyUnknownObject(ev->obj->conn, ev->msg);
    dbus_message_unref(ev->msg);
    if (ev->value != NULL) {
	Tcl_DecrRefCount(ev->value);
    }
    vantrel::ReleaseObject(ev->obj);
    return 1;
}

} // namespace

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * QueueObjectCall --
 *
 *	Queues the work of a call for the paced queue of the object's
 *	connection (objects.hpp).
 *
 *----------------------------------------------------------------------
 */

void
QueueObjectCall(ExportedObject *obj, DBusMessage *msg, ObjectWork work,
	const MethodDecl *method, size_t iface, size_t prop, Tcl_Obj *value,
	bool authorized)
{
    auto *ev = reinterpret_cast<ObjectEvent *>(
	    Tcl_Alloc(sizeof(ObjectEvent)));
    ev->event.proc = ObjectEventProc;
    ev->event.nextPtr = NULL;
    HoldObject(obj);
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
    ev->authorized = authorized;
    QueueWork(&ev->event, &ev->paced, obj->conn);
}

/* Every interface of an object with its properties (objects.hpp). */
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

void
DiscardObjectEvents(ExportedObject *obj)
{
    CancelAnnounce(obj);
    CancelFlush(obj);
    Tcl_DeleteEvents(DiscardMatch, obj);
}

} // namespace vantrel
