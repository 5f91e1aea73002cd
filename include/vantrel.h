/*
 * vantrel.h --
 *
 *	The one shared header of the D-Bus extension for Tcl: the records that
 *	tie interpreters, connections and handlers together, the handler flag
 *	bits, the bus type numbers and the routines the subsystems share.
 *
 *	Every routine declared here is exported from the library with C
 *	linkage; everything else in the library is hidden.
 */

#ifndef VANTREL_H
#define VANTREL_H

#include <tcl.h>
#include <dbus/dbus.h>

#define VANTREL_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Handler flag bits, kept in every handler entry, handler record, script
 * event and pending-call record.
 */

#define HANDLER_ASYNC    1	/* No automatic method return on success. */
#define HANDLER_NOREPLY  2	/* No automatic reply at all. */
#define HANDLER_FALLBACK 4	/* Record registered as fallback for "/". */
#define HANDLER_DETAILS  8	/* Variants arrive with their signature. */
#define HANDLER_EXPORTED 16	/* Record kept for an exported object. */
#define HANDLER_BARE     32	/* The arguments only, no header dict. */

/*
 * Connection settings and state, kept in the connection record: variants
 * must be written {signature value}; handler errors go to [interp
 * bgerror]; the connection was lost.
 */

#define CONN_STRICT  1
#define CONN_BGERROR 2
#define CONN_LOST    4		/* The connection was lost (not closed). */
#define CONN_BYTES   8		/* Arrays of bytes are Tcl byte arrays. */
#define CONN_QUIET   16		/* -bgerror 0: no event script's error goes
				 * to [interp bgerror]. */
#define CONN_NOBUS   32		/* A peer-to-peer connection: no bus
				 * daemon at the other end, so nothing
				 * that needs one (names, match rules,
				 * owners) is asked for. */

/*
 * Bus type numbers: index of busnames[] and of the default connections.
 */

#define DBUS_BUSTYPE_UNRESOLVED (-1)
#define DBUS_BUSTYPE_SESSION    0
#define DBUS_BUSTYPE_SYSTEM     1
#define DBUS_BUSTYPE_STARTER    2
#define DBUS_BUSTYPE_ADDRESS    3

#define DBUS_SYSTEM_ADDRESS "unix:path=/var/run/dbus/system_bus_socket"

/*
 * Per-interpreter record, assoc data "dbus" of the interpreter.
 */

typedef struct DBusInterpData {
    Tcl_HashTable bus;		/* busId name object -> DBusConnection*. */
    DBusConnection *defaultbus[3]; /* Default connection per bus type 0-2,
				 * plain pointers, null when none. */
    int dbusid;			/* Connection counter for busId names. */
} DBusInterpData;

/*
 * Monitor of a connection: the user data of the DBus_Monitor filter.
 */

typedef struct DBusMonitorEntry {
    Tcl_Obj *script;		/* Private copy, one reference held. */
    int flags;			/* HANDLER_DETAILS or 0. */
} DBusMonitorEntry;

/*
 * Handler record of an object path, or the pathless record of a
 * connection. Tables are created with their first entry and freed with
 * their last one, so a null table means no handlers of that kind.
 */

typedef struct DBusPathData {
    Tcl_HashTable *signal;	/* Signal name -> DBusSignalEntry*. */
    Tcl_HashTable *method;	/* Method name -> DBusMethodEntry*; the key
				 * "" holds the unknown-method handler. */
    int flags;			/* HANDLER_FALLBACK or 0. */
} DBusPathData;

typedef struct DBusSignalEntry {
    Tcl_Obj *script;		/* Private copy, one reference held. */
    int flags;			/* HANDLER_DETAILS or 0. */
} DBusSignalEntry;

typedef struct DBusMethodEntry {
    Tcl_Obj *script;		/* Private copy, one reference held. */
    DBusConnection *conn;	/* Connection of the first registration,
				 * as registered; not owned. Replies go out
				 * on the connection the call came on, the
				 * same one until a reconnection swaps it. */
    int flags;			/* HANDLER_ASYNC, HANDLER_DETAILS. */
    Tcl_Obj *in;		/* Signature the arguments must have, or
				 * null for any; one reference held. */
    Tcl_Obj *out;		/* Signature of the automatic reply, or
				 * null for one string; one reference. */
} DBusMethodEntry;

/*
 * Notification data of an asynchronous method call's pending reply.
 */

typedef struct DBusCallData {
    Tcl_Obj *script;		/* Private copy of the -handler script, one
				 * reference; passes to the script event. */
    DBusConnection *conn;	/* Connection the call was sent on. */
    int flags;			/* HANDLER_DETAILS or 0. */
} DBusCallData;

/*
 * The connection record, attached to each open connection in dataSlot.
 */

/* What a connection that reconnects by itself keeps (src/package). */
typedef struct DBusRecovery DBusRecovery;

/* What the subsystems keep about a connection (src/common.hpp). */
typedef struct DBusConnParts DBusConnParts;

typedef struct DBusConnData {
    Tcl_Obj *busname;		/* busId name object, one reference. */
    Tcl_Interp *interp;		/* Interpreter that opened the connection;
				 * handler scripts run in it. Not owned. */
    DBusMonitorEntry *snoop;	/* The monitor, or null. Owned. */
    DBusPathData *fallback;	/* The pathless record, or null. Owned. */
    int type;			/* Bus type number, 0 to 3. */
    int options;		/* CONN_STRICT, CONN_BGERROR, CONN_LOST,
				 * CONN_BYTES, CONN_QUIET, CONN_NOBUS. */
    DBusRecovery *recovery;	/* -notify and -reconnect, or null.
				 * Owned. */
    size_t maxMessage;		/* The largest message sent, header
				 * included (-maxmessage); 0 for the
				 * D-Bus maximum. */
    DBusConnParts *parts;	/* The subsystems' state; owned, and
				 * handed on to the record of the new
				 * connection by a reconnection. */
} DBusConnData;

/*
 * The watch record of a connection, data of its watch functions.
 */

typedef struct DBusWatchData {
    Tcl_Channel chan;		/* Channel on the connection's socket, or
				 * null until the first watch is seen. */
} DBusWatchData;

/*
 * A queued request to run a handler script for a message.
 */

typedef struct DBusScriptEvent {
    Tcl_Event event;		/* Must be first: Tcl's event header. */
    Tcl_Obj *script;		/* One reference owned by the event. */
    DBusConnection *conn;	/* Names the interpreter; carries replies. */
    DBusMessage *msg;		/* One libdbus reference owned. */
    int flags;			/* Handler flag bits. */
    Tcl_Obj *out;		/* Signature of the automatic reply, or
				 * null for one string; one reference. */
} DBusScriptEvent;

/*
 * Process-wide state.
 */

VANTREL_EXPORT extern dbus_int32_t dataSlot;
VANTREL_EXPORT extern const char *libname;
VANTREL_EXPORT extern const char *busnames[];

/*
 * Package, errors, bus selection, connections, info (src/package).
 */

VANTREL_EXPORT int Dbus_Init(Tcl_Interp *interp);
VANTREL_EXPORT Tcl_Command TclInitDBusCmd(Tcl_Interp *interp);
VANTREL_EXPORT void Tcl_DBusErrorCode(Tcl_Interp *interp, const char *tag,
	const DBusError *err);
VANTREL_EXPORT int DBus_MemoryError(Tcl_Interp *interp);

VANTREL_EXPORT DBusConnection *DBus_GetConnection(Tcl_Interp *interp,
	const char *tag, Tcl_Obj *const name);
VANTREL_EXPORT int DBus_BusType(Tcl_Interp *interp, Tcl_Obj *const name);
VANTREL_EXPORT int DBus_BusEqual(DBusAddressEntry *entry,
	const char *address);

VANTREL_EXPORT void DBus_Close(Tcl_Interp *interp, DBusConnection *conn);
VANTREL_EXPORT void DBus_InterpDelete(ClientData data, Tcl_Interp *interp);
VANTREL_EXPORT void DBus_FreeDataSlot(void *data);

VANTREL_EXPORT Tcl_ObjCmdProc DBusConnectCmd;
VANTREL_EXPORT Tcl_ObjCmdProc DBusCloseCmd;
VANTREL_EXPORT Tcl_ObjCmdProc DBusInfoCmd;

/*
 * Event-loop integration (src/eventloop).
 */

VANTREL_EXPORT dbus_bool_t DBus_AddWatch(DBusWatch *watch, void *data);
VANTREL_EXPORT void DBus_RemoveWatch(DBusWatch *watch, void *data);
VANTREL_EXPORT void DBus_ToggleWatch(DBusWatch *watch, void *data);
VANTREL_EXPORT dbus_bool_t DBus_ModifyWatch(DBusWatch *watch, void *data,
	int enable);
VANTREL_EXPORT void DBus_FreeWatch(void *data);
VANTREL_EXPORT dbus_bool_t DBus_AddTimeout(DBusTimeout *timeout, void *data);
VANTREL_EXPORT void DBus_RemoveTimeout(DBusTimeout *timeout, void *data);
VANTREL_EXPORT void DBus_ToggleTimeout(DBusTimeout *timeout, void *data);
VANTREL_EXPORT void DBus_Timeout(ClientData timeout);
VANTREL_EXPORT void DBus_FreeTimeout(void *token);
VANTREL_EXPORT void DBusDispatchChange(DBusConnection *conn,
	DBusDispatchStatus status, void *data);
VANTREL_EXPORT void DBusIdleProc(ClientData conn);
VANTREL_EXPORT void DBusDispatchCancel(DBusConnection *conn);

/*
 * Validation and marshalling (src/values).
 */

VANTREL_EXPORT size_t DBus_ValidNameChars(const char *p);
VANTREL_EXPORT int DBus_CheckBusName(Tcl_Obj *name);
VANTREL_EXPORT int DBus_CheckIntfName(Tcl_Obj *name);
VANTREL_EXPORT int DBus_CheckPath(Tcl_Obj *path);
VANTREL_EXPORT int DBus_CheckMember(Tcl_Obj *name);
VANTREL_EXPORT int DBus_CheckName(Tcl_Obj *name);
VANTREL_EXPORT int DBus_CheckSignature(Tcl_Obj *sig);
VANTREL_EXPORT Tcl_ObjCmdProc DBusValidateCmd;

VANTREL_EXPORT int DBus_BasicArg(Tcl_Interp *interp, const char *tag,
	DBusMessageIter *iter, int type, Tcl_Obj *const arg);
VANTREL_EXPORT int DBus_AppendArgs(Tcl_Interp *interp, const char *tag,
	DBusConnection *conn, DBusMessage *msg, const char *signature,
	int objc, Tcl_Obj *const objv[]);
VANTREL_EXPORT int DBus_ArgList(Tcl_Interp *interp, const char *tag,
	DBusConnection *conn, DBusMessageIter *iter, DBusSignatureIter *sig,
	int *objc, Tcl_Obj *const objv[]);
VANTREL_EXPORT Tcl_Obj *DBus_IterList(Tcl_Interp *interp,
	DBusMessageIter *iter, int details);
VANTREL_EXPORT Tcl_Obj *DBus_MessageInfo(Tcl_Interp *interp,
	DBusMessage *msg);

/*
 * Outgoing messages and bus operations (src/outgoing).
 */

VANTREL_EXPORT int DBus_SendMessage(Tcl_Interp *interp, const char *tag,
	DBusConnection *conn, int type, const char *path,
	const char *intf, const char *name, const char *dest,
	dbus_uint32_t replySerial, const char *signature,
	int objc, Tcl_Obj *const objv[]);
VANTREL_EXPORT int DBus_Error(Tcl_Interp *interp, DBusConnection *conn,
	const char *errorName, const char *dest, dbus_uint32_t replySerial,
	const char *message);
VANTREL_EXPORT void DBus_CallResult(DBusPendingCall *pending, void *data);
VANTREL_EXPORT Tcl_Obj *DBus_QuoteRuleValue(Tcl_Obj *value);

VANTREL_EXPORT Tcl_ObjCmdProc DBusCallCmd;
VANTREL_EXPORT Tcl_ObjCmdProc DBusSignalCmd;
VANTREL_EXPORT Tcl_ObjCmdProc DBusMethodReturnCmd;
VANTREL_EXPORT Tcl_ObjCmdProc DBusErrorCmd;
VANTREL_EXPORT Tcl_ObjCmdProc DBusNameCmd;
VANTREL_EXPORT Tcl_ObjCmdProc DBusReleaseCmd;
VANTREL_EXPORT Tcl_ObjCmdProc DBusFilterCmd;

/*
 * Incoming messages and script handlers (src/handlers).
 */

VANTREL_EXPORT DBusPathData *DBus_GetMessageHandler(Tcl_Interp *interp,
	DBusConnection *conn, const char *path);
VANTREL_EXPORT void *DBus_FindListeners(DBusConnection *conn,
	const char *path, const char *name, int method);
VANTREL_EXPORT int DBus_HandlerCleanup(Tcl_Interp *interp,
	DBusPathData *data);
VANTREL_EXPORT void DBus_PathCleanup(Tcl_Interp *interp,
	DBusConnection *conn, const char *path);
VANTREL_EXPORT int DBus_SignalCleanup(Tcl_Interp *interp,
	Tcl_HashTable *table);
VANTREL_EXPORT int DBus_MethodCleanup(Tcl_Interp *interp,
	Tcl_HashTable *table);
VANTREL_EXPORT int Tcl_CheckHashEmpty(Tcl_HashTable *table);
VANTREL_EXPORT void DBus_Unregister(DBusConnection *conn, void *data);
VANTREL_EXPORT void DBus_CleanUpHandler(void);
VANTREL_EXPORT const char *DBus_InterpPath(Tcl_Interp *interp);
VANTREL_EXPORT DBusHandlerResult DBus_Message(DBusConnection *conn,
	DBusMessage *msg, void *data);
VANTREL_EXPORT DBusHandlerResult DBus_Monitor(DBusConnection *conn,
	DBusMessage *msg, void *data);
VANTREL_EXPORT void DBus_SnoopCleanup(DBusConnection *conn);
VANTREL_EXPORT void DBus_DiscardEvents(DBusConnection *conn);

VANTREL_EXPORT Tcl_ObjCmdProc DBusListenCmd;
VANTREL_EXPORT Tcl_ObjCmdProc DBusMethodCmd;
VANTREL_EXPORT Tcl_ObjCmdProc DBusUnknownCmd;
VANTREL_EXPORT Tcl_ObjCmdProc DBusMonitorCmd;

#ifdef __cplusplus
}
#endif

#endif /* VANTREL_H */
