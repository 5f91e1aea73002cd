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

#include <functional>
#include <string>
#include <string_view>
#include <vector>
#include "common.hpp"
#include "introspect/introspect.hpp"
#include "reply/reply.hpp"

namespace vantrel {

struct Verdict;

/*
 * One exported object. The registry holds one reference while it is
 * exported; every queued event, idle callback and running script that
 * uses it holds another, so that it outlives its unexporting until they
 * are done.
 */
struct ExportedObject {
    ConnRef conn;		/* Objects go before their connection
				 * closes. */
    Tcl_Interp *interp = nullptr; /* The connection's; not owned. */
    std::string path;
    std::vector<InterfacePtr> interfaces; /* In the order exported. */
    ObjPtr command;		/* Prefix receiving method calls, or null. */
    ObjPtr getter;		/* -get prefix, or null. */
    ObjPtr setter;		/* -set prefix, or null. */
    bool manager = false;	/* Serves ObjectManager for the paths
				 * below. */
    bool details = false;	/* Variants reach the command and -set as
				 * {signature value}. */
    ObjPtr authorize;		/* -authorize prefix, or null. */
    bool gateAll = false;	/* -private: the prefix is asked about the
				 * reading calls too. */
    std::vector<Verdict *> verdicts; /* Calls awaiting their verdict;
				 * each owned by its coroutine. */
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
    OpenCalls open;		/* Method calls served and not yet
				 * answered. */
    bool gone = false;		/* Unexported. */
    int refs = 1;
};

/* The interface of object managers. */
constexpr const char *objectManagerInterface =
	"org.freedesktop.DBus.ObjectManager";

/* Fails with errorCode DBUS OBJECT kind and a message naming the word. */
inline int
ObjectFail(Tcl_Interp *interp, const char *kind, const char *what,
	Tcl_Obj *word)
{
    return FailWord(interp, "OBJECT", kind, what, word);
}

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
 * Disposes of the error in the interpreter that a script of the object
 * raised where no reply can carry it (a -get while answering GetAll or
 * announcing changes, a call or Set that wants no reply): to [interp
 * bgerror] unless the connection was opened with -bgerror 0, else
 * dropped. With fromScript false (a property without a -get and without
 * a value) the error is only dropped.
 */
void LostError(Tcl_Interp *interp, ExportedObject *obj, bool fromScript);

/*
 * Reads a property's value: the stored one, else through the -get
 * command. Returns a new reference, or null with an error in the
 * interpreter (the getter's, or "property has no value").
 */
Tcl_Obj *ReadProperty(Tcl_Interp *interp, ExportedObject *obj,
	size_t iface, size_t prop);

/*
 * The containers around a property's value in the deepest message that
 * carries it: GetManagedObjects, a{oa{sa{sv}}}, has seven (an object's
 * depth below its manager adds none). Get (v), GetAll and
 * PropertiesChanged (a{sv}) and InterfacesAdded (oa{sa{sv}}) have fewer.
 */
constexpr int propertyEnvelope = 7;

/*
 * The deepest a property's own value may be nested: the value subsystem
 * sends nothing nested deeper than 63 containers in all (one less than
 * D-Bus allows, for dbus-broker's sake), the envelope included.
 */
constexpr int propertyDepth = 2 * DBUS_MAXIMUM_TYPE_RECURSION_DEPTH - 1
	- propertyEnvelope;

/*
 * Checks that a value of a property can go out as its declared type in
 * every message that carries it, by marshalling it into a scratch
 * message inside propertyEnvelope variants. Returns TCL_OK, or
 * TCL_ERROR with the marshalling's message, prefixed with the property
 * (and for a dictionary the first key whose value fails, and the
 * value), and its errorCode DBUS OBJECT kind; DEPTH for a value nested
 * too deep for that envelope.
 */
int CheckProperty(Tcl_Interp *interp, DBusConnection *conn,
	const PropertyDecl &decl, Tcl_Obj *value);

/*
 * The variant form of a property value for marshalling with "v": the
 * list {type value}; for a property of type v, {v value}, since its
 * value is a variant of its own. Returns a new object with a reference
 * count of 0.
 */
Tcl_Obj *VariantOf(const PropertyDecl &decl, Tcl_Obj *value);

/*
 * A value of type sig received with details, with every variant in it
 * replaced by its contents: what the value looks like received without
 * details. Returns value itself when sig holds no variant, else a new
 * object with a reference count of 0.
 */
Tcl_Obj *WithoutDetails(const char *sig, Tcl_Obj *value);

/*
 * Marks properties changed and queues one PropertiesChanged per
 * interface for the next idle time, as each property's annotation says.
 */
void MarkChanged(ExportedObject *obj, size_t iface, size_t prop);

/* Cancels a queued PropertiesChanged flush. */
void CancelFlush(ExportedObject *obj);

/*
 * The dispatcher of exported objects (handlers.hpp's ObjectDispatch):
 * answers at once what needs no script and queues the rest.
 */
bool DispatchObject(DBusConnection *conn, DBusMessage *msg,
	const char *path);

/* What a queued call of an object does. */
enum class ObjectWork { Call, Get, GetAll, Set, Managed, Introspect };

/*
 * Whether a call of this work must have the object's -authorize
 * command's consent before it is served: method calls and Set always,
 * the reading calls with -private.
 */
inline bool
Gated(const ExportedObject *obj, ObjectWork work)
{
    return obj->authorize
	    && (work == ObjectWork::Call || work == ObjectWork::Set
		|| obj->gateAll);
}

/* Answers Introspect at an object's path (serve.cpp). */
void ReplyObjectIntrospect(ExportedObject *obj, DBusMessage *msg);

/*
 * Queues a call that needs the interpreter as work of the connection's
 * paced queue: a declared method (method, in interface iface), Get of a
 * property without a stored value, GetAll of an interface, Set (value,
 * referenced here, after the checks) or GetManagedObjects. The event
 * holds a reference to the object and one to the message.
 */
void QueueObjectCall(ExportedObject *obj, DBusMessage *msg, ObjectWork work,
	const MethodDecl *method = nullptr, size_t iface = 0,
	size_t prop = 0, Tcl_Obj *value = nullptr, bool authorized = false);

/*
 * Asks the object's -authorize command about a call, in a coroutine of
 * its own that may yield: {*}prefix credentials header, the caller's
 * credentials as [dbus credentials] gives them. admit runs once, from
 * the coroutine, when the command answers true; otherwise the call is
 * answered here: AccessDenied when the command says false or fails
 * (its error then goes to [interp bgerror]) or the credentials cannot
 * be had, nothing when the caller has left the bus, UnknownObject when
 * the object goes first (AbandonVerdicts). Every call is answered or
 * admitted exactly once.
 */
void Authorize(ExportedObject *obj, DBusMessage *msg,
	std::function<void()> admit);

/*
 * The calls of an object being unexported that await their verdict:
 * answered with UnknownObject (on a connection still open); their
 * coroutines go on, and their verdicts are ignored.
 */
void AbandonVerdicts(ExportedObject *obj);

/*
 * Creates the command that the verdict coroutines run
 * (::dbus::verdict::run); once per interpreter.
 */
void CreateVerdictCommand(Tcl_Interp *interp);

/*
 * Every interface of an object with its readable properties
 * (a{sa{sv}}); properties that cannot be read are left out. Returns a
 * new object with a reference count of 0.
 */
Tcl_Obj *InterfacesDict(Tcl_Interp *interp, ExportedObject *obj);

/*
 * Announces an object to its manager (InterfacesAdded) at the next idle
 * time, and withdraws it (InterfacesRemoved, at once, when it was
 * announced).
 */
void QueueAnnounce(ExportedObject *obj);
void Withdraw(ExportedObject *obj);

/* Cancels a queued announcement. */
void CancelAnnounce(ExportedObject *obj);

/* Discards the queued events and idle callbacks of an object. */
void DiscardObjectEvents(ExportedObject *obj);

/* The command [dbus object], and the handle command of an object. */
Tcl_ObjCmdProc DBusObjectCmd;
Tcl_ObjCmdProc ObjectHandleCmd;

/*
 * A lost connection: the calls the objects still had to answer are
 * forgotten (their callers were on the lost connection).
 */
void ObjectsLost(DBusConnection *conn);

/* Installs the dispatcher; once per process. */
void InitObjects();

/*
 * Unexports every object of a closing connection, without announcing
 * anything, and deletes their handle commands.
 */
void DropObjects(Tcl_Interp *interp, DBusConnection *conn);

} // namespace vantrel

#endif
