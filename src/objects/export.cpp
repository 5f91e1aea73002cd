/*
 * export.cpp --
 *
 *	[dbus object]: exporting an object at a path, the registry of the
 *	objects of each connection, and unexporting, by the script (its
 *	handle command, handle.cpp) or by the teardown of the connection.
 */

#include <cstring>
#include <map>
#include "common.hpp"
#include "handlers/handlers.hpp"
#include "objects/objects.hpp"
#include "reply/reply.hpp"

namespace {

using vantrel::ExportedObject;
using vantrel::InterfacePtr;
using vantrel::ObjectFail;

} // namespace

namespace vantrel {

/*
 * The objects of a connection, in its parts, by path. The table's
 * reference to each object is the one it was made with.
 */
struct ObjectTable {
    std::map<std::string, ExportedObject *, std::less<>> byPath;
};

} // namespace vantrel

namespace {

using PathTable = std::map<std::string, ExportedObject *, std::less<>>;

/* Numbers the handle commands of the thread. */
thread_local int handleCounter = 0;

/* The objects of a connection by path, made when create asks for them. */
PathTable *
Paths(DBusConnection *conn, bool create)
{
    vantrel::ObjectTable *table = vantrel::PartOf(conn,
	    &DBusConnParts::objects, create);
    return table != nullptr ? &table->byPath : nullptr;
}

void
Forget(ExportedObject *obj)
{
    if (PathTable *paths = Paths(obj->conn, false)) {
	paths->erase(obj->path);
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
    vantrel::AbandonVerdicts(obj);
    obj->open.CloseAll(dbus_connection_get_is_connected(obj->conn));
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
 *	dbus object ?busId? ?-authorize cmd? ?-details bool? ?-get cmd?
 *	?-manager bool? ?-private bool? ?-set cmd? path interfaces
 *	?command?: exports an object.
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
	"-authorize", "-details", "-get", "-manager", "-private", "-set", NULL
    };
    enum {
	OPT_AUTHORIZE, OPT_DETAILS, OPT_GET, OPT_MANAGER, OPT_PRIVATE, OPT_SET
    };
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
    Tcl_Obj *getter = NULL, *setter = NULL, *authorize = NULL;
    int manager = 0, details = 0, gateAll = 0;
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
	case OPT_AUTHORIZE:
	    authorize = objv[i + 1];
	    break;
	case OPT_DETAILS:
	case OPT_MANAGER:
	case OPT_PRIVATE:
	    if (Tcl_GetBooleanFromObj(interp, objv[i + 1],
		    index == OPT_DETAILS ? &details
		    : index == OPT_MANAGER ? &manager : &gateAll) != TCL_OK) {
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
    if (authorize != NULL && Tcl_GetCharLength(authorize) > 0) {
	obj->authorize = holdObj(authorize);
    }
    obj->gateAll = gateAll != 0;
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
	    ObjectHandleCmd, obj, HandleDeleted);
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
    DropPart(conn, &DBusConnParts::objects);
}

void
ObjectsLost(DBusConnection *conn)
{
    PathTable *paths = Paths(conn, false);
    if (paths == nullptr) {
	return;
    }
    for (auto &entry : *paths) {
	entry.second->open.CloseAll(false);
    }
}

void
InitObjects()
{
    SetObjectDispatch(DispatchObject);
}

} // namespace vantrel