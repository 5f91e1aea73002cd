/*
 * handlers.hpp --
 *
 *	What the handler subsystem shares among its files and offers its
 *	neighbours besides the exported routines of vantrel.h: the add and
 *	remove steps of the handler tables, record lookup, the listing
 *	routine, the removal of a closing connection's handlers and the
 *	queueing of script events (which the completion of asynchronous
 *	calls uses too). None of them is exported from the library.
 */

#ifndef VANTREL_HANDLERS_HPP
#define VANTREL_HANDLERS_HPP

#include <map>
#include <string>
#include <string_view>
#include <vector>
#include "common.hpp"

namespace vantrel {
struct HeaderFields;		/* values/values.hpp */
}

/*
 * The mode bits of DBus_CollectHandlers: which handlers of a path it
 * lists, and whether it descends into the paths registered below.
 */
enum CollectMode {
    COLLECT_SIGNALS = 0,	/* The signal handlers. */
    COLLECT_DESCEND = 1,	/* Also every registered sub-path. */
    COLLECT_METHODS = 2,	/* The named method handlers instead. */
    COLLECT_UNKNOWN = 4		/* With COLLECT_METHODS: only the
				 * unknown-method handler, without a
				 * name element. */
};

/*
 * Lists the handlers of a path as the mode bits say. Returns a new list
 * with a reference count of 0.
 */
Tcl_Obj *DBus_CollectHandlers(DBusConnection *conn, const char *path,
	int mode);

namespace vantrel {

/* Which table of a handler record an operation works on. */
enum class Table { Signal, Method };

/*
 * The handler records of a connection's paths, by path (the pathless
 * record is the connection record's): owned by the table, in the
 * connection's parts. Sorted, so that the paths below a path follow it.
 */
struct PathRecords : std::map<std::string, DBusPathData *, std::less<>> {
    /*
     * The path found last and its record: a stream of messages to one
     * path is not looked up each time. Forgotten whenever a record
     * leaves the table (a record that joins it changes no other).
     */
    mutable std::string lastPath;
    mutable DBusPathData *lastRecord = nullptr;
    void Forget() { lastRecord = nullptr; }
};

/*
 * Finds the handler record of a path without creating it: the pathless
 * record for "", else the record of exactly this path. Returns true; a
 * path without a record gives *record null.
 */
bool LookupRecord(DBusConnection *conn, const char *path,
	DBusPathData **record);

/* The record of exactly this path, or null; parts may be null. */
DBusPathData *FindRecord(const DBusConnParts *parts, std::string_view path);

/*
 * The names of the nodes just below a path that lead to records (as
 * libdbus lists registered children), sorted.
 */
std::vector<std::string> ListChildren(DBusConnection *conn,
	const char *path);

/*
 * Adds or replaces the handler registered under key in the chosen table
 * of the path's record, creating and registering the record as needed.
 * The script is copied; a method handler also keeps the signatures its
 * calls must have (in) and its reply is given (out), either null. Returns
 * TCL_OK, or TCL_ERROR with the out-of-memory error set.
 */
int AddHandler(Tcl_Interp *interp, DBusConnection *conn, const char *path,
	Table table, const char *key, Tcl_Obj *script, int flags,
	Tcl_Obj *in = nullptr, Tcl_Obj *out = nullptr);

/*
 * Keeps the record of a path registered for an exported object
 * (HANDLER_EXPORTED), creating it as needed, so that its calls reach the
 * dispatcher whatever plain handlers come and go. Returns false when
 * libdbus lacks memory. ReleasePath drops the mark and the record with
 * it when no plain handler is left.
 */
bool RetainPath(Tcl_Interp *interp, DBusConnection *conn, const char *path);
void ReleasePath(DBusConnection *conn, const char *path);

/*
 * The dispatcher of exported objects, which the layer above installs: it
 * is offered every method call at a path retained for an object, before
 * any plain handler, and returns true when it took the call (answered
 * or queued it). Null until installed.
 */
using ObjectDispatch = bool (*)(DBusConnection *conn, DBusMessage *msg,
	const char *path);
void SetObjectDispatch(ObjectDispatch dispatch);

/*
 * The router: one libdbus filter on every connection (its record the
 * filter's data), which offers each incoming message to the steps
 * below in this order: the loss step (the local Disconnected signal),
 * the monitor, the signal steps in the order they were added (every
 * signal: the client layer's bindings, the kept credentials), the
 * handler records of the message's path (the object layer's dispatcher
 * first). The layers above install their steps once, at load; none may
 * run a script (they queue). StartRouting returns false without memory.
 */
using SignalRoute = void (*)(DBusConnection *conn, DBusConnParts *parts,
	DBusMessage *msg, const char *path, const char *intf,
	const char *member);
using LossRoute = void (*)(DBusConnection *conn);
void AddSignalRoute(SignalRoute route);
void SetLossRoute(LossRoute route);
bool StartRouting(DBusConnection *conn, DBusConnData *cd);
void StopRouting(DBusConnection *conn);

/*
 * Removes the handler registered under key, if any, freeing the table
 * and the record when they become empty. Returns TCL_OK, or TCL_ERROR
 * with the out-of-memory error set when the lookup fails.
 */
int RemoveHandler(Tcl_Interp *interp, DBusConnection *conn,
	const char *path, Table table, const char *key);

/*
 * Removes every handler of a connection that is being closed: the
 * records of all its paths and its pathless record.
 */
void DropHandlers(Tcl_Interp *interp, DBusConnection *conn);


/*
 * A flag of script events only: with HANDLER_NOREPLY, the script's error
 * goes to [interp bgerror] unless the connection was opened with
 * -bgerror 0 (bindings, watches and proxies report by default; listen
 * and method handlers only with -bgerror 1).
 */
constexpr int HANDLER_REPORTS = 64;
static_assert((HANDLER_REPORTS & (HANDLER_ASYNC | HANDLER_NOREPLY
	| HANDLER_FALLBACK | HANDLER_DETAILS | HANDLER_EXPORTED
	| HANDLER_BARE)) == 0, "HANDLER_REPORTS is a bit of its own");

/*
 * Queues a script event that runs script (referenced here) for msg
 * (referenced here) on conn with the given flags; out, if not null, types
 * the automatic reply (referenced here). With msg null the script runs
 * as it is, with nothing appended and no reply. fields, if not null,
 * holds what the caller already read of msg's header.
 */
void QueueScriptEvent(Tcl_Obj *script, DBusConnection *conn,
	DBusMessage *msg, int flags, Tcl_Obj *out = nullptr,
	const HeaderFields *fields = nullptr);

/*
 * Queues a script event that takes over one reference to script and
 * one libdbus reference to msg.
 */
void QueueScriptEventAdopt(Tcl_Obj *script, DBusConnection *conn,
	DBusMessage *msg, int flags);

/*
 * The busId and options of the listen, method and unknown commands.
 */
struct HandlerArgs {
    DBusConnection *conn = nullptr; /* Null when the lookup failed; its
				 * error stays in the interpreter. */
    int flags = 0;		/* Handler flags the options gave, on top
				 * of those the caller set beforehand. */
    bool async = false;		/* Whether -async was given. */
    Tcl_Obj *in = nullptr;	/* Value of -in, borrowed, or null. */
    Tcl_Obj *out = nullptr;	/* Value of -out, borrowed, or null. */
    int next = 0;		/* Index of the first word after them. */
    const char *path = nullptr;	/* That word, the path, checked; "" for
				 * the pathless handlers, null if absent. */
};

/*
 * The flag of an option in the table of ParseHandlerArgs that takes a
 * value instead of setting flag bits.
 */
constexpr int OPTION_IN = -1;
constexpr int OPTION_OUT = -2;

/*
 * Parses an optional busId (a first word that is neither empty nor
 * begins with "-" or "/"), looks the connection up at once, and then
 * reads every following word that begins with "-" as an option of the
 * table (optionFlags gives each option's flag bits, or OPTION_IN or
 * OPTION_OUT for the options that take a signature), and checks the
 * path that follows them. A failed lookup is not an error here: the
 * caller reports it after its own checks.
 *
 * Results:
 *	TCL_OK, or TCL_ERROR with Tcl's message for a bad option, or with
 *	"invalid path" (DBUS tag PATH) or "invalid type signature" (DBUS
 *	tag SIGNATURE).
 */
int ParseHandlerArgs(Tcl_Interp *interp, int objc, Tcl_Obj *const objv[],
	const char *tag, const char *const options[],
	const int optionFlags[], HandlerArgs *args);

/*
 * Forms the path of a registered child of parent in an initialised-here
 * DString, which the caller frees. Returns the path.
 */
const char *JoinChildPath(Tcl_DString *buffer, const char *parent,
	const char *name);

/*
 * Returns the entry under key in the method (or signal) table of a
 * record, which may be null; null when there is none. The entry stays
 * owned by the registry.
 */
void *FindEntry(const DBusPathData *record, bool method, const char *key);

/*
 * Tells whether a word names a handler: a member name, or an interface
 * name of at least two elements followed by a dot and a member.
 */
bool ValidHandlerName(Tcl_Obj *name);

} // namespace vantrel

#endif
