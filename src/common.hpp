/*
 * common.hpp --
 *
 *	What every subsystem of the library shares besides the exported
 *	declarations of vantrel.h: the scope guards, the one way to find
 *	the record of an interpreter or of a connection, and the error
 *	helper of the commands. Not exported from the library.
 */

#ifndef VANTREL_COMMON_HPP
#define VANTREL_COMMON_HPP

#include <vector>
#include "vantrel.h"
#include "guards.hpp"

namespace vantrel {

/* The key of the interpreter record among the interpreter's assoc data. */
constexpr const char *interpKey = "dbus";

/*
 * InterpRecord --
 *
 *	The record of an interpreter, borrowed; null until the
 *	interpreter's first connection.
 */
inline DBusInterpData *
InterpRecord(Tcl_Interp *interp) noexcept
{
    return static_cast<DBusInterpData *>(
	    Tcl_GetAssocData(interp, interpKey, NULL));
}

/*
 * The connection whose record this thread looked up last, and the
 * record (libdbus takes a lock for every lookup, and one message may
 * need several). A connection lives in one thread; the record's free
 * function forgets it here (ForgetLastRecord, base/names.cpp).
 */
struct LastRecord {
    DBusConnection *conn = nullptr;
    DBusConnData *cd = nullptr;
};
extern thread_local LastRecord lastRecord;
void ForgetLastRecord(const DBusConnData *cd) noexcept;

/*
 * ConnRecord --
 *
 *	The record of a connection, borrowed; null only for a connection
 *	this library never set up.
 */
inline DBusConnData *
ConnRecord(DBusConnection *conn) noexcept
{
    if (conn == lastRecord.conn) {
	return lastRecord.cd;
    }
    auto *cd = static_cast<DBusConnData *>(
	    dbus_connection_get_data(conn, dataSlot));
    if (cd != nullptr) {
	lastRecord = {conn, cd};
    }
    return cd;
}

struct ClientState;
struct ClientHandle;
struct Requests;
struct CallTable;
struct AwaitTable;
struct CredentialsCache;
struct IntrospectionCache;
struct ObjectTable;
struct PathRecords;
struct PacedWork;
class RunWork;

/*
 * The work a connection has queued for its interpreter (eventloop/
 * queue.cpp), in its parts: counted from when it is queued until it has
 * run or is discarded; the work that waits and the work that runs are
 * linked here. Not owned.
 */
struct WorkCount {
    int queued = 0;		/* In Tcl's queue, running work included. */
    int serving = 0;		/* Running now. */
    PacedWork *waiting = nullptr;
    RunWork *running = nullptr;
};

} // namespace vantrel

/*
 * DBusConnParts --
 *
 *	What the subsystems keep about one connection, in its record:
 *	each part is made by its subsystem when first needed and emptied
 *	by that subsystem's step of the connection's ordered close. A
 *	reconnection hands the whole to the new connection's record and
 *	swaps the libdbus connection in it (conn), so the state stays
 *	where it is, whatever holds it (ConnRef) follows, and only what the
 *	bus forgot (match rules, names, owners) is asked for again.
 */
struct DBusConnParts {
    DBusConnection *conn = nullptr; /* The libdbus connection the parts
				 * belong to now; not owned. */
    vantrel::WorkCount work;	/* Its paced queue (eventloop/). */
    vantrel::PathRecords *paths = nullptr; /* The handler records by
				 * path (handlers/registry.cpp); owned. */
    vantrel::ObjectTable *objects = nullptr; /* The exported objects by
				 * path (objects/export.cpp); owned. */
    vantrel::ClientState *client = nullptr; /* Bindings and followed
				 * names (client/bindings.cpp); owned. */
    std::vector<vantrel::ClientHandle *> handles; /* The live handle
				 * commands of bindings, watches and
				 * proxies (client/handles.cpp); each
				 * owned by its command. */
    vantrel::IntrospectionCache *introspection = nullptr; /* What
				 * proxies learnt of the objects of each
				 * bus name (client/proxynode.cpp); owned. */
    vantrel::Requests *requests = nullptr; /* Names and match rules to
				 * ask for again (outgoing/requests.cpp);
				 * owned. */
    vantrel::CallTable *calls = nullptr; /* Asynchronous calls without
				 * their reply (outgoing/callresult.cpp);
				 * owned. */
    vantrel::AwaitTable *awaits = nullptr; /* Calls coroutines await
				 * without their reply yet
				 * (outgoing/await.cpp); owned. */
    vantrel::CredentialsCache *credentials = nullptr; /* What the bus
				 * said of unique names still on it
				 * (outgoing/credentials.cpp); owned. */
};

namespace vantrel {

/*
 * Parts --
 *
 *	The subsystems' state of a connection, borrowed; null for a
 *	connection this library never set up, or one whose state a
 *	reconnection has handed on.
 */
inline DBusConnParts *
Parts(DBusConnection *conn) noexcept
{
    DBusConnData *cd = ConnRecord(conn);
    return cd != nullptr ? cd->parts : nullptr;
}

/*
 * ConnRef --
 *
 *	What a subsystem keeps to reach a connection for longer than a
 *	command or a callback: the connection's parts, so that it names
 *	the current libdbus connection even after a reconnection swapped
 *	it. It converts to that connection (null when unset), and is made
 *	from a connection this library set up. Valid as long as the
 *	connection's parts, which the ordered close outlives.
 */
class ConnRef {
public:
    ConnRef() noexcept = default;
    ConnRef(DBusConnection *conn) noexcept
	: parts_(conn != nullptr ? Parts(conn) : nullptr) {}
    operator DBusConnection *() const noexcept {
	return parts_ != nullptr ? parts_->conn : nullptr;
    }
private:
    DBusConnParts *parts_ = nullptr;
};

/*
 * PartOf, DropPart --
 *
 *	A subsystem's part of a connection's state (a field of
 *	DBusConnParts): PartOf borrows it, making it first when create
 *	asks; null for a connection without parts. DropPart frees it, in
 *	the subsystem's step of the ordered close. Both are instantiated
 *	where the part's type is complete.
 */
template <typename T>
T *
PartOf(DBusConnection *conn, T *DBusConnParts::*field, bool create)
{
    DBusConnParts *parts = Parts(conn);
    if (parts == nullptr) {
	return nullptr;
    }
    if (parts->*field == nullptr && create) {
	parts->*field = new T;
    }
    return parts->*field;
}

template <typename T>
void
DropPart(DBusConnection *conn, T *DBusConnParts::*field)
{
    if (DBusConnParts *parts = Parts(conn)) {
	delete (parts->*field);
	parts->*field = nullptr;
    }
}

/*
 * ReportsErrors --
 *
 *	Whether the error of a script that the event loop ran, and whose
 *	error can become no reply, goes to [interp bgerror]. -bgerror 1
 *	reports every such error and -bgerror 0 none; without the option,
 *	only the scripts that report by default do (bindings, watches,
 *	property callbacks, resumed coroutines), while listen, method and
 *	-handler scripts stay silent. cd may be null (a connection gone).
 */
inline bool
ReportsErrors(const DBusConnData *cd, bool byDefault) noexcept
{
    if (cd == nullptr) {
	return byDefault;
    }
    if (cd->options & CONN_BGERROR) {
	return true;
    }
    return byDefault && !(cd->options & CONN_QUIET);
}

/*
 * HasBus --
 *
 *	Whether a connection has a bus daemon at its other end; false for
 *	a peer-to-peer connection (accepted by a server, or opened with
 *	-peer), on which names, match rules and owners mean nothing.
 */
inline bool
HasBus(DBusConnection *conn) noexcept
{
    DBusConnData *cd = ConnRecord(conn);
    return cd == nullptr || !(cd->options & CONN_NOBUS);
}

/*
 * Fails a command that needs a bus on a peer-to-peer connection: "no
 * bus on peer-to-peer connection busId" with errorCode DBUS tag NOBUS.
 * Returns TCL_OK (nothing set) when the connection has a bus.
 */
int RefuseNoBus(Tcl_Interp *interp, const char *tag, DBusConnection *conn);

/*
 * Sets the errorCode DBUS tag kind (kind may be null for two words) and
 * the interpreter result to msg. Returns TCL_ERROR.
 */
int Fail(Tcl_Interp *interp, const char *tag, const char *kind,
	const char *msg);

/*
 * Fail with a message naming the offending word: what "word". Returns
 * TCL_ERROR.
 */
int FailWord(Tcl_Interp *interp, const char *tag, const char *kind,
	const char *what, Tcl_Obj *word);

/*
 * Gives a failed marshalling of typed values the command's errorCode
 * words: a Tcl reader's complaint becomes DBUS tag VALUE, a count that
 * does not match the declaration DBUS tag ARGLIST. Returns TCL_ERROR.
 */
int ValueError(Tcl_Interp *interp, const char *tag);

} // namespace vantrel

#endif
