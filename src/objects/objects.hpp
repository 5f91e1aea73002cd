/*
 * objects.hpp --
 *
 *	Exported objects: a path on a connection that implements declared
 *	interfaces, bound to a command prefix, with its property values,
 *	its pending PropertiesChanged and its place under an object
 *	manager. The files of this folder share the record and the
 *	registry; the package sees only InitObjects and DropObjects. Not
 *	exported from the library.
 */

#ifndef VANTREL_OBJECTS_HPP
#define VANTREL_OBJECTS_HPP

#include <string>
#include <string_view>
#include <vector>
#include "common.hpp"
#include "introspect/introspect.hpp"

namespace vantrel {

/*
 * One exported object. The registry holds one reference while it is
 * exported; every queued event, idle callback and running script that
 * uses it holds another, so that it outlives its unexporting until they
 * are done.
 */
struct ExportedObject {
    DBusConnection *conn = nullptr; /* Not owned: objects go before their
				 * connection closes. */
    Tcl_Interp *interp = nullptr; /* The connection's; not owned. */
    std::string path;
    std::vector<InterfacePtr> interfaces; /* In the order exported. */
    ObjPtr command;		/* Prefix receiving method calls, or null. */
    ObjPtr getter;		/* -get prefix, or null. */
    ObjPtr setter;		/* -set prefix, or null. */
    bool manager = false;	/* Serves ObjectManager for the paths
				 * below. */
    Tcl_Command handle = nullptr; /* The handle command while it exists. */
    std::string handleName;

    /* Stored values, [interface][property]; null when none. */
    std::vector<std::vector<ObjPtr>> values;
    /* Properties changed since the last flush, [interface][property]. */
    std::vector<std::vector<bool>> changed;
    bool flushQueued = false;	/* A PropertiesChanged flush is queued. */
    bool announceQueued = false; /* InterfacesAdded waits for idle time. */
    bool announced = false;	/* InterfacesAdded went out. */

    std::vector<DBusMessage *> serving; /* Calls being served, innermost
				 * last; borrowed from their events. */
    bool gone = false;		/* Unexported. */
    int refs = 1;
};

/* Takes and drops a reference; the last one frees the object. */
void HoldObject(ExportedObject *obj) noexcept;
void ReleaseObject(ExportedObject *obj) noexcept;

/* The object exported at path on the connection, or null. */
ExportedObject *FindObject(DBusConnection *conn, std::string_view path);

/*
 * The objects exported on the connection strictly below path (every
 * other object for "/"), in path order.
 */
std::vector<ExportedObject *> ObjectsBelow(DBusConnection *conn,
	std::string_view path);

/*
 * The nearest object above path on the connection that serves
 * ObjectManager, or null.
 */
ExportedObject *ManagerOf(DBusConnection *conn, std::string_view path);

/*
 * Finds a property by a bare name or interface.name. Returns false with
 * an error in the interpreter when there is none or a bare name is
 * ambiguous.
 */
bool ResolveProperty(Tcl_Interp *interp, ExportedObject *obj,
	Tcl_Obj *name, size_t *iface, size_t *prop);

/*
 * Reads a property's value: the stored one, else through the -get
 * command. Returns a new reference, or null with an error in the
 * interpreter (the getter's, or "property has no value").
 */
Tcl_Obj *ReadProperty(Tcl_Interp *interp, ExportedObject *obj,
	size_t iface, size_t prop);

/*
 * Checks that value can go out as type, by marshalling it into a
 * scratch message. Returns TCL_OK, or TCL_ERROR with the marshalling's
 * message and errorCode DBUS tag kind.
 */
int CheckValue(Tcl_Interp *interp, DBusConnection *conn, const char *tag,
	const std::string &type, Tcl_Obj *value);

/*
 * The variant form of a property value for marshalling with "v": the
 * value itself for a property of type v, else the list {type value}.
 * Returns a new object with a reference count of 0.
 */
Tcl_Obj *VariantOf(const PropertyDecl &decl, Tcl_Obj *value);

/*
 * Marks properties changed and queues one PropertiesChanged per
 * interface for the next idle time, as each property's annotation says.
 */
void MarkChanged(ExportedObject *obj, size_t iface, size_t prop);

/* Cancels a queued PropertiesChanged flush. */
void CancelFlush(ExportedObject *obj);

/*
 * The dispatcher of exported objects (handlers.hpp's ObjectDispatch),
 * and the answers it gives from the event loop.
 */
bool DispatchObject(DBusConnection *conn, DBusMessage *msg,
	const char *path);

/*
 * Announces an object to its manager (InterfacesAdded) at the next idle
 * time, and withdraws it (InterfacesRemoved, at once, when it was
 * announced).
 */
void QueueAnnounce(ExportedObject *obj);
void Withdraw(ExportedObject *obj);

/* Discards the queued events and idle callbacks of an object. */
void DiscardObjectEvents(ExportedObject *obj);

/* The command [dbus object]. */
Tcl_ObjCmdProc DBusObjectCmd;

/* After a reconnection: the objects of one connection serve on another. */
void MoveObjects(DBusConnection *from, DBusConnection *to);

/* Installs the dispatcher; once per process. */
void InitObjects();

/*
 * Unexports every object of a closing connection, without announcing
 * anything, and deletes their handle commands.
 */
void DropObjects(Tcl_Interp *interp, DBusConnection *conn);

} // namespace vantrel

#endif
