/*
 * outgoing.hpp --
 *
 *	What the outgoing subsystem offers its neighbours besides the
 *	exported routines of vantrel.h: the bookkeeping of asynchronous
 *	calls that have not completed, which the teardown of a connection
 *	needs, the names and rules kept for a reconnection, and awaited
 *	calls. Not exported from the library.
 */

#ifndef VANTREL_OUTGOING_HPP
#define VANTREL_OUTGOING_HPP

#include <functional>
#include "common.hpp"
#include "reply/reply.hpp"

namespace vantrel {

/*
 * Records an asynchronous call whose notification DBus_CallResult will
 * run with the call record. The pending call reference is the one the
 * call command handed over to DBus_CallResult.
 */
void TrackCall(DBusPendingCall *pending, DBusCallData *call,
	dbus_uint32_t serial);

/*
 * Drops the record of a call on conn that completed or was never sent.
 */
void ForgetCall(DBusPendingCall *pending, DBusConnection *conn);

/*
 * Releases every call of the connection that is still outstanding: the
 * call is cancelled, its record, script and pending call freed, and its
 * handler never runs. libdbus does not complete such calls when the
 * connection is closed, so the teardown of a connection must.
 */
void AbandonCalls(DBusConnection *conn);

/*
 * The awaited calls of a closing connection: cancelled, their
 * coroutines resumed later with "connection is closed". Part of
 * AbandonCalls.
 */
void AbandonAwaits(DBusConnection *conn);

/*
 * Completes every outstanding call of a lost connection, exactly once,
 * with org.freedesktop.DBus.Error.Disconnected: handlers get it as their
 * reply, awaiting coroutines raise it. libdbus itself leaves them
 * outstanding for ever.
 */
void FailCalls(DBusConnection *conn);
void FailAwaits(DBusConnection *conn);

/*
 * The error reply (Disconnected) of a call whose connection was lost or
 * closed, for its serial, 0 for a call never sent (new reference).
 */
DBusMessage *LostReply(dbus_uint32_t serial, const char *text =
	"the connection was lost before the reply came");

/*
 * The names a connection requested and the match rules it added (dbus
 * filter, and the rules of bindings), kept so that a reconnection asks
 * for them again (requests.cpp).
 */
void RememberName(DBusConnection *conn, const char *name, unsigned int flags);
void ForgetName(DBusConnection *conn, const char *name);
void RememberRule(DBusConnection *conn, const char *rule);
void ForgetRule(DBusConnection *conn, const char *rule);

/*
 * Told, from dispatch, of a name asked for again after a reconnection
 * that the new connection did not get: reply is the bus's answer,
 * DBUS_REQUEST_NAME_REPLY_IN_QUEUE or _EXISTS (the name is then no
 * longer kept).
 */
using NameRefused = void (*)(DBusConnection *conn, const char *name,
	int reply);

/*
 * After a reconnection: asks the new bus for the kept names and match
 * rules again, without waiting; names the bus does not give at once are
 * told to refused when the answers come.
 */
void AskAgain(DBusConnection *conn, NameRefused refused);
void ForgetRequests(DBusConnection *conn);

/*
 * Turns the reply of a call into the waiting command's result (the
 * reply is borrowed). Returns TCL_OK or TCL_ERROR, or the NR result of
 * a further WaitReply.
 */
using AwaitFinish = std::function<int(Tcl_Interp *, DBusMessage *)>;

/*
 * Sees the reply of a call where it arrives, before any message received
 * after it is dispatched (the reply is borrowed); runs no script.
 */
using ReplyTaken = std::function<void(DBusMessage *)>;

/*
 * Turns a reply into a command's outcome as dbus call does: the header
 * dict as return options, the arguments as the result (one as itself),
 * an error reply as an error with errorCode DBUS CALL REPLY name.
 */
int CallResult(Tcl_Interp *interp, DBusMessage *reply, int details,
	int mode = 0);

/* The procedure of dbus call in the non-recursive engine. */
Tcl_ObjCmdProc DBusCallNRCmd;

/* How a command waits for the reply of a call it sends. */
struct ReplyWait {
    const char *tag;		/* The command's errorCode word. */
    int timeout;		/* Milliseconds, or DBUS_TIMEOUT_USE_DEFAULT. */
    bool yield;			/* Inside a coroutine, suspend it. */
    bool busMethod = false;	/* A call of the bus's own methods (names,
				 * match rules): a closed connection is
				 * the error reply Disconnected, "Connection
				 * is closed", handed to finish, as
				 * libdbus's dbus_bus_* routines report
				 * it. */
};

/*
 * The one way a command waits for a reply: sends msg (stolen) on conn
 * and makes the command's result of the reply with finish. taken, when
 * given, sees the reply first, where it arrives.
 *
 * With how.yield inside a coroutine, the coroutine is suspended while
 * the event loop goes on, and resumed (whatever its name by then) when
 * the reply comes; deleting it cancels the call; closing the connection
 * resumes it with "connection is closed" (DBUS CALL CONNECTION).
 * Otherwise the thread blocks: no Tcl timer fires meanwhile, so the
 * timeouts libdbus adds get none, and a connection found lost after a
 * failed wait gets its Disconnected signal dispatched.
 *
 * To be returned from a command's NR procedure (or a finish). Fails at
 * once, without sending, on a closed connection (DBUS tag CONNECTION);
 * a blocking wait that ends without a reply fails with "no reply"
 * (DBUS tag TIMEOUT).
 */
int WaitReply(Tcl_Interp *interp, DBusConnection *conn, MessagePtr msg,
	const ReplyWait &how, AwaitFinish finish, ReplyTaken taken = nullptr);

/*
 * The credentials of a bus name (GetConnectionCredentials), or with name
 * null of the connection's peer as its socket tells them, as the
 * interpreter's result: a dict keyed as the bus keys it. Waits as
 * WaitReply does (with yield inside a coroutine, suspending it); to be
 * returned from an NR procedure. The answers for unique names are kept
 * until the name leaves the bus or the connection is lost.
 */
int Credentials(Tcl_Interp *interp, DBusConnection *conn, const char *name,
	bool yield);

/*
 * Whether the credentials of a unique name are kept: from the answer
 * to its first lookup until it leaves the bus.
 */
bool KnowsCredentials(DBusConnection *conn, const char *name);

/* Empties the kept credentials of a closing connection. */
void DropCredentials(DBusConnection *conn);

/* Installs the kept credentials' step of the router; once, at load. */
void InitCredentials();

/* dbus credentials, and its procedure in the non-recursive engine. */
Tcl_ObjCmdProc DBusCredentialsCmd;
Tcl_ObjCmdProc DBusCredentialsNRCmd;

/*
 * A call of a method of the bus itself (org.freedesktop.DBus), without
 * arguments yet; null without memory.
 */
MessagePtr BusCall(const char *method);

} // namespace vantrel

#endif
