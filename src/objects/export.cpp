/*
 * export.cpp --
 *
 *	[dbus object]: exporting an object at a path, the registry of the
 *	objects of each connection, the handle command through which the
 *	script sets properties, emits signals and answers calls later, and
 *	unexporting, by the script or by the teardown of the connection.
 */

#include <cstring>
#include <map>
#include "common.hpp"
#include "handlers/handlers.hpp"
#include "objects/objects.hpp"
#include "outgoing/outgoing.hpp"
#include "values/values.hpp"

namespace {

using vantrel::ExportedObject;
using vantrel::InterfacePtr;

/*
 * The objects of this thread's connections, by connection and path. The
 * registry's reference to each object is the one it was made with.
 */
using PathTable = std::map<std::string, ExportedObject *, std::less<>>;
thread_local std::map<DBusConnection *, PathTable> *registry = nullptr;

/* Numbers the handle commands of the thread. */
thread_local int handleCounter = 0;

/* The open calls of the thread's objects: none spares the search. */
thread_local size_t openCalls = 0;

/* Answers an open call that its object can no longer answer. */
void
AnswerGone(ExportedObject *obj, DBusMessage *call)
{
    if (dbus_connection_get_is_connected(obj->conn)) {
	vantrel::ReplyError(obj->conn, call, DBUS_ERROR_UNKNOWN_OBJECT,
		"the object was unexported");
    }
}

PathTable *
Paths(DBusConnection *conn, bool create)
{
    if (registry == nullptr) {
	if (!create) {
	    return nullptr;
	}
	registry = new std::map<DBusConnection *, PathTable>;
    }
    auto it = registry->find(conn);
    if (it == registry->end()) {
	if (!create) {
	    return nullptr;
	}
	it = registry->emplace(conn, PathTable()).first;
    }
    return &it->second;
}

void
Forget(ExportedObject *obj)
{
    PathTable *paths = Paths(obj->conn, false);
    if (paths == nullptr) {
	return;
    }
    paths->erase(obj->path);
    if (paths->empty()) {
	registry->erase(obj->conn);
	if (registry->empty()) {
	    delete registry;
	    registry = nullptr;
	}
    }
}

/*
 * Unexport --
 *
 *	Takes an object out of service: out of the registry, its path
 *	released, its queued work discarded, its manager told (when
 *	announce is true and it was announced), its handle command gone.
 *	Drops the registry's reference.
 */
void
Unexport(ExportedObject *obj, bool announce)
{
    if (obj->gone) {
	return;
    }
    obj->gone = true;
    Forget(obj);
    vantrel::ReleasePath(obj->conn, obj->path.c_str());
    if (announce) {
	vantrel::Withdraw(obj);
    }
    vantrel::DiscardObjectEvents(obj);
    vantrel::CloseOpenCalls(obj,
	    dbus_connection_get_is_connected(obj->conn));
    if (obj->handle != nullptr) {
	Tcl_Command handle = obj->handle;
	obj->handle = nullptr;
	Tcl_DeleteCommandFromToken(obj->interp, handle);
    }
    vantrel::ReleaseObject(obj);
}

/* Delete procedure of a handle command: unexports its object. */
void
HandleDeleted(ClientData clientData)
{
    auto *obj = static_cast<ExportedObject *>(clientData);
    if (obj->handle != nullptr) {
	obj->handle = nullptr;
	Unexport(obj, !Tcl_InterpDeleted(obj->interp));
    }
    vantrel::ReleaseObject(obj);	/* The handle's reference. */
}

int
ObjectFail(Tcl_Interp *interp, const char *kind, const char *what,
	Tcl_Obj *word)
{
    return vantrel::FailWord(interp, "OBJECT", kind, what, word);
}

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
    if (vantrel::SendMessage(interp, "OBJECT", obj->conn,
	    DBUS_MESSAGE_TYPE_METHOD_RETURN, NULL, NULL, NULL,
	    Tcl_GetString(fields[2]), static_cast<dbus_uint32_t>(serial),
	    method->outSig.c_str(), objc - 3, objv + 3,
	    vantrel::MARSHAL_RANGE) != TCL_OK) {
	return vantrel::ValueError(interp, "OBJECT");
    }
    return TCL_OK;
}

/*
 *----------------------------------------------------------------------
 *
 * HandleCmd --
 *
 *	The handle command of an exported object: set, get, changed,
 *	emit, caller, return, path, destroy.
 *
 *----------------------------------------------------------------------
 */

int
HandleCmd(ClientData clientData, Tcl_Interp *interp, int objc,
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

/*
 * The prefix through which calls reach an implementation. A TclOO
 * object named alone is called through its own [my] command, so that
 * its methods serve D-Bus calls whether or not they are exported to Tcl
 * (TclOO exports only the names that begin with a lower-case letter,
 * and D-Bus members usually begin with a capital). Anything else is
 * called as it is. Returns a new reference.
 */
Tcl_Obj *
CallPrefix(Tcl_Interp *interp, Tcl_Obj *command)
{
    int n;
    if (Tcl_ListObjLength(NULL, command, &n) != TCL_OK || n != 1) {
	return vantrel::holdObj(command).release();
    }
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    Tcl_Obj *words[4] = {
	Tcl_NewStringObj("info", -1), Tcl_NewStringObj("object", -1),
	Tcl_NewStringObj("namespace", -1), command
    };
    vantrel::ObjPtr query = vantrel::holdObj(Tcl_NewListObj(4, words));
    Tcl_Obj *prefix = command;
    vantrel::ObjPtr my;
    if (Tcl_EvalObjEx(interp, query.get(), TCL_EVAL_GLOBAL) == TCL_OK) {
	my = vantrel::holdObj(Tcl_DuplicateObj(Tcl_GetObjResult(interp)));
	Tcl_AppendToObj(my.get(), "::my", -1);
	prefix = Tcl_NewListObj(1, NULL);
	Tcl_ListObjAppendElement(NULL, prefix, my.get());
    }
    Tcl_RestoreInterpState(interp, state);
    Tcl_IncrRefCount(prefix);
    return prefix;
}

/* Reads the interface list of [dbus object]; false with an error. */
bool
ReadInterfaces(Tcl_Interp *interp, Tcl_Obj *list,
	std::vector<InterfacePtr> *out)
{
    int n;
    Tcl_Obj **elems;
    if (Tcl_ListObjGetElements(interp, list, &n, &elems) != TCL_OK) {
	return false;
    }
    for (int i = 0; i < n; i++) {
	InterfacePtr decl = vantrel::FindInterface(interp,
		Tcl_GetString(elems[i]));
	if (!decl) {
	    ObjectFail(interp, "UNKNOWN", "unknown interface", elems[i]);
	    return false;
	}
	for (const InterfacePtr &seen : *out) {
	    if (seen->name == decl->name) {
		ObjectFail(interp, "DUPLICATE", "interface listed twice:",
			elems[i]);
		return false;
	    }
	}
	out->push_back(std::move(decl));
    }
    return true;
}

} // namespace

namespace vantrel {

void
HoldObject(ExportedObject *obj) noexcept
{
    obj->refs++;
}

void
ReleaseObject(ExportedObject *obj) noexcept
{
    if (--obj->refs == 0) {
	delete obj;
    }
}

ExportedObject *
FindObject(DBusConnection *conn, std::string_view path)
{
    PathTable *paths = Paths(conn, false);
    if (paths == nullptr) {
	return nullptr;
    }
    auto it = paths->find(path);
    return it == paths->end() ? nullptr : it->second;
}

std::vector<ExportedObject *>
ObjectsBelow(DBusConnection *conn, std::string_view path)
{
    std::vector<ExportedObject *> below;
    PathTable *paths = Paths(conn, false);
    if (paths == nullptr) {
	return below;
    }
    std::string prefix(path);
    if (prefix != "/") {
	prefix.push_back('/');
    }
    for (auto it = paths->lower_bound(prefix); it != paths->end(); ++it) {
	if (it->first.compare(0, prefix.size(), prefix) != 0) {
	    break;
	}
	if (it->first != path) {
	    below.push_back(it->second);
	}
    }
    return below;
}

ExportedObject *
ManagerOf(DBusConnection *conn, std::string_view path)
{
    std::string above(path);
    while (above != "/") {
	size_t slash = above.rfind('/');
	above.resize(slash == 0 ? 1 : slash);
	ExportedObject *obj = FindObject(conn, above);
	if (obj != nullptr && obj->manager) {
	    return obj;
	}
    }
    return nullptr;
}

/*
 *----------------------------------------------------------------------
 *
 * DBusObjectCmd --
 *
 *	dbus object ?busId? ?-details bool? ?-get cmd? ?-manager bool?
 *	?-set cmd? path interfaces ?command?: exports an object.
 *
 * Results:
 *	The name of the object's handle command, or an error with
 *	errorCode DBUS OBJECT PATH, UNKNOWN, DUPLICATE or EXISTS, or the
 *	connection lookup's.
 *
 * Side effects:
 *	Registers the path on the connection; queues InterfacesAdded when
 *	an object manager serves a path above.
 *
 *----------------------------------------------------------------------
 */

int
DBusObjectCmd(ClientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    static const char *const options[] = {
	"-details", "-get", "-manager", "-set", NULL
    };
    enum { OPT_DETAILS, OPT_GET, OPT_MANAGER, OPT_SET };
    static const char *const usage =
	    "?busId? ?option value ...? path interfaces ?command?";

    int i = 1;
    Tcl_Obj *busId = NULL;
    if (objc > 1) {
	char c = Tcl_GetString(objv[1])[0];
	if (c != '-' && c != '/') {
	    busId = objv[1];
	    i = 2;
	}
    }
    Tcl_Obj *getter = NULL, *setter = NULL;
    int manager = 0, details = 0;
    for (; i < objc && Tcl_GetString(objv[i])[0] == '-'; i += 2) {
	int index;
	if (Tcl_GetIndexFromObjStruct(interp, objv[i], options,
		sizeof(char *), "option", 0, &index) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (i + 1 >= objc) {
	    Tcl_WrongNumArgs(interp, 1, objv, usage);
	    return TCL_ERROR;
	}
	switch (index) {
	case OPT_GET:
	    getter = objv[i + 1];
	    break;
	case OPT_SET:
	    setter = objv[i + 1];
	    break;
	case OPT_DETAILS:
	case OPT_MANAGER:
	    if (Tcl_GetBooleanFromObj(interp, objv[i + 1],
		    index == OPT_DETAILS ? &details : &manager) != TCL_OK) {
		return TCL_ERROR;
	    }
	    break;
	}
    }
    if (objc - i < 2 || objc - i > 3) {
	Tcl_WrongNumArgs(interp, 1, objv, usage);
	return TCL_ERROR;
    }
    Tcl_Obj *path = objv[i];
    if (!DBus_CheckPath(path)) {
	return ObjectFail(interp, "PATH", "invalid path", path);
    }
    const char *kind;
    if (const char *reserved = LocalHeader(Tcl_GetString(path), NULL,
	    &kind)) {
	return Fail(interp, "OBJECT", "PATH", reserved);
    }
    std::vector<InterfacePtr> interfaces;
    if (!ReadInterfaces(interp, objv[i + 1], &interfaces)) {
	return TCL_ERROR;
    }
    DBusConnection *conn = DBus_GetConnection(interp, "OBJECT", busId);
    if (conn == NULL) {
	return TCL_ERROR;
    }
    if (FindObject(conn, Tcl_GetString(path)) != nullptr) {
	return ObjectFail(interp, "EXISTS",
		"an object is already exported at", path);
    }
    if (!RetainPath(interp, conn, Tcl_GetString(path))) {
	return DBus_MemoryError(interp);
    }

    auto *obj = new ExportedObject;
    obj->conn = conn;
    obj->interp = interp;
    obj->path = Tcl_GetString(path);
    obj->interfaces = std::move(interfaces);
    if (objc - i == 3 && Tcl_GetCharLength(objv[i + 2]) > 0) {
	obj->command = adoptObj(CallPrefix(interp, objv[i + 2]));
    }
    if (getter != NULL && Tcl_GetCharLength(getter) > 0) {
	obj->getter = holdObj(getter);
    }
    if (setter != NULL && Tcl_GetCharLength(setter) > 0) {
	obj->setter = holdObj(setter);
    }
    obj->manager = manager != 0;
    obj->details = details != 0;
    for (const InterfacePtr &decl : obj->interfaces) {
	obj->values.emplace_back(decl->properties.size());
	obj->changed.emplace_back(decl->properties.size(), false);
    }
    (*Paths(conn, true))[obj->path] = obj;

    obj->handleName = "::dbus::object" + std::to_string(++handleCounter);
    HoldObject(obj);			/* The handle's reference. */
    obj->handle = Tcl_CreateObjCommand(interp, obj->handleName.c_str(),
	    HandleCmd, obj, HandleDeleted);
    QueueAnnounce(obj);
    Tcl_SetObjResult(interp, Tcl_NewStringObj(obj->handleName.c_str(), -1));
    return TCL_OK;
}

void
DropObjects(Tcl_Interp *, DBusConnection *conn)
{
    PathTable *paths = Paths(conn, false);
    if (paths == nullptr) {
	return;
    }
    std::vector<ExportedObject *> all;
    for (auto &entry : *paths) {
	all.push_back(entry.second);
    }
    for (ExportedObject *obj : all) {
	Unexport(obj, false);
    }
}

void
MoveObjects(DBusConnection *from, DBusConnection *to)
{
    if (registry == nullptr) {
	return;
    }
    auto it = registry->find(from);
    if (it == registry->end()) {
	return;
    }
    PathTable moved = std::move(it->second);
    registry->erase(it);
    for (auto &entry : moved) {
	/* Their callers were on the lost connection. */
	CloseOpenCalls(entry.second, false);
	entry.second->conn = to;
    }
    (*registry)[to] = std::move(moved);
}

/*
 * OpenCall, CloseCall, CloseOpenCalls --
 *
 *	The method calls an object serves, from the moment its script is
 *	called until they are answered (objects.hpp).
 */

void
OpenCall(ExportedObject *obj, DBusMessage *call)
{
    if (dbus_message_get_no_reply(call)) {
	return;
    }
    obj->open.push_back({holdMessage(call), true});
    openCalls++;
}

void
CloseCall(ExportedObject *obj, DBusMessage *call, bool deferred)
{
    auto &open = obj->open;
    for (auto it = open.begin(); it != open.end(); ++it) {
	if (it->msg.get() != call) {
	    continue;
	}
	if (deferred && !obj->gone) {
	    it->running = false;
	    return;
	}
	if (deferred) {
	    /* The script deferred a call of an object it unexported. */
	    AnswerGone(obj, call);
	}
	open.erase(it);
	openCalls--;
	return;
    }
}

void
CloseOpenCalls(ExportedObject *obj, bool answer)
{
    auto &open = obj->open;
    for (auto it = open.begin(); it != open.end();) {
	if (answer && it->running) {
	    ++it;			/* CloseCall answers it. */
	    continue;
	}
	if (answer) {
	    AnswerGone(obj, it->msg.get());
	}
	it = open.erase(it);
	openCalls--;
    }
}

/*
 * ReplySent --
 *
 *	Observer of the replies sent on a connection: the reply that
 *	answers an open call of an object closes it, whoever sent it
 *	($obj return, dbus return, dbus error or the automatic answer).
 */
void
ReplySent(DBusConnection *conn, const char *dest, dbus_uint32_t serial)
{
    if (openCalls == 0) {
	return;
    }
    PathTable *paths = Paths(conn, false);
    if (paths == nullptr) {
	return;
    }
    for (auto &entry : *paths) {
	auto &open = entry.second->open;
	for (auto it = open.begin(); it != open.end(); ++it) {
	    DBusMessage *call = it->msg.get();
	    const char *sender = dbus_message_get_sender(call);
	    if (dbus_message_get_serial(call) == serial
		    && (sender == NULL ? dest == NULL
			: dest != NULL && std::strcmp(sender, dest) == 0)) {
		open.erase(it);
		openCalls--;
		return;
	    }
	}
    }
}

void
InitObjects()
{
    SetObjectDispatch(DispatchObject);
    SetReplyObserver(ReplySent);
}

} // namespace vantrel
