/*
 * reply.hpp --
 *
 *	Replies: the one place where method returns and error replies are
 *	built and sent, for the commands that answer calls (dbus return,
 *	dbus error, $obj return), for the automatic answers to the calls
 *	that handler scripts and exported objects serve, and for the
 *	answers the library gives by itself (Introspect, UnknownMethod,
 *	InvalidArgs, UnknownObject). Error names, error texts and the
 *	typing of returned values are decided here, and here the calls an
 *	exported object still has to answer are kept track of. The builder
 *	of every message that expects no answer lives here too, so signals
 *	go out through it as well. Not exported from the library.
 */

#ifndef VANTREL_REPLY_HPP
#define VANTREL_REPLY_HPP

#include <cstring>
#include <vector>
#include "common.hpp"

namespace vantrel {

/*
 * The object path and interface that libdbus reserves for messages
 * about a connection itself. They never go out on the wire: the bus
 * closes a connection that sends a message with either of them.
 *
 * Returns NULL when neither the path nor the interface (either may be
 * NULL) is the reserved one, else the message for the script, with the
 * errorCode word ("PATH" or "INTERFACE") in *kind.
 */
inline const char *
LocalHeader(const char *path, const char *intf, const char **kind) noexcept
{
    if (path != NULL && std::strcmp(path, DBUS_PATH_LOCAL) == 0) {
	*kind = "PATH";
	return "path is reserved for the local connection";
    }
    if (intf != NULL && std::strcmp(intf, DBUS_INTERFACE_LOCAL) == 0) {
	*kind = "INTERFACE";
	return "interface is reserved for the local connection";
    }
    return NULL;
}

/*
 * Builds a signal, method return or error (any other type is built like
 * a method return), marks it as expecting no reply, appends the
 * arguments with the marshalling mode bits (values.hpp: typed senders
 * pass MARSHAL_RANGE) and queues it on the connection. Returns TCL_OK
 * with the serial as the result, or TCL_ERROR: "connection is closed"
 * (DBUS tag CONNECTION), a malformed or reserved header value (DBUS tag
 * PATH, INTERFACE, DESTINATION, MEMBER, ERRORNAME or SERIAL), the
 * marshalling's error, or lack of memory. DBus_SendMessage is this with
 * mode 0.
 */
int SendMessage(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	int type, const char *path, const char *intf, const char *name,
	const char *dest, dbus_uint32_t replySerial, const char *signature,
	int objc, Tcl_Obj *const objv[], int mode);

/*
 * The error reply of a command: named name (org.freedesktop.DBus.Error.
 * Failed when null), with text, if not null, as its one argument; a
 * text that cannot travel as D-Bus text is the command's error. Returns
 * as SendMessage.
 */
int SendError(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	const char *name, const char *dest, dbus_uint32_t replySerial,
	Tcl_Obj *text);

/*
 * The answers to a received method call (borrowed). None of them sends
 * anything for a call that wants no reply, or on a closed connection;
 * none of them fails for want of an interpreter.
 */

/*
 * A method return with one string, which must be valid UTF-8 already
 * (libdbus checks it again, and ends the process when it is not): the
 * introspection documents the library writes. False without memory.
 */
bool ReplyString(DBusConnection *conn, DBusMessage *call, const char *text);

/*
 * An error reply named name with a text (either of UTF-8 already, or a
 * Tcl value); a Tcl text that cannot travel as D-Bus text (a NUL
 * character in it, an unpaired surrogate) gives way to the plain reason
 * why it cannot.
 */
void ReplyError(DBusConnection *conn, DBusMessage *call, const char *name,
	const char *text);
void ReplyError(DBusConnection *conn, DBusMessage *call, const char *name,
	Tcl_Obj *text);

/* UnknownMethod, naming the method, interface, path and signature. */
void ReplyUnknownMethod(DBusConnection *conn, DBusMessage *call);

/* UnknownObject, for a call whose object was unexported meanwhile. */
void ReplyUnknownObject(DBusConnection *conn, DBusMessage *call);

/*
 * Checks that a call's arguments have the signature expected; when not,
 * answers it with InvalidArgs and returns false.
 */
bool CheckCallSignature(DBusConnection *conn, DBusMessage *call,
	const char *expected);

/*
 * A method return carrying values, by signature (null: every value a
 * string). When they cannot be sent, the call is answered with an error
 * org.freedesktop.DBus.Error.Failed whose text is the reason, so that
 * its caller does not wait for its timeout. Resets the interpreter
 * result. Returns TCL_OK when the method return went out.
 */
int ReplyValues(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessage *call, const char *signature, int objc,
	Tcl_Obj *const objv[], int mode);

/*
 * Answers a method call after the script that served it ended with the
 * given code and left its result in the interpreter: an error reply for
 * an error (named by the script's -name return option), nothing when the
 * handler flags or the script's -async return option defer the answer,
 * else a method return. With out null the result goes as one string;
 * otherwise it is typed by out: no value for "", the result itself for
 * one complete type, the elements of the result as a list for several.
 * Replaces the interpreter result. Returns true when the answer was
 * left to the script.
 */
bool AnswerCall(Tcl_Interp *interp, DBusConnection *conn, DBusMessage *call,
	int code, int flags, Tcl_Obj *out);

/*
 * After a script called with a method call's arguments failed: when
 * the failure is Tcl's, in calling it, rather than the script's, puts
 * in its place the error a peer should get, for AnswerCall to send:
 * UnknownMethod for a member the script lacks (naming intf when the
 * call names no interface; intf may be null), InvalidArgs for arguments
 * it does not take, each with -name and a message about the call.
 * Other errors stay as they are.
 */
void BlameCall(Tcl_Interp *interp, DBusMessage *call, const char *intf);

/*
 * The method calls an exported object has taken on and not answered
 * yet: those whose script runs and those it deferred. Whatever sends
 * the reply to one of them (the automatic answer, $obj return, dbus
 * return or dbus error), the call is no longer open; those still open
 * when the object goes are answered with UnknownObject. Each open call
 * holds a libdbus reference to its message. One record per object,
 * used in the thread of its connection.
 */
class OpenCalls {
public:
    OpenCalls() noexcept = default;
    ~OpenCalls();
    OpenCalls(const OpenCalls &) = delete;
    OpenCalls &operator=(const OpenCalls &) = delete;

    /* A call whose script is about to run; not one that wants no reply. */
    void Open(DBusConnection *conn, DBusMessage *call);

    /*
     * After the script of a call returned: the call stays open when the
     * script deferred the answer and the object is still exported, is
     * answered with UnknownObject when it deferred it and the object is
     * gone, and is otherwise (answered already) forgotten.
     */
    void Close(DBusMessage *call, bool deferred, bool gone);

    /*
     * The object goes: with answer true, the open calls whose script
     * does not run any more are answered with UnknownObject (those whose
     * script runs are left to Close); with answer false (the connection
     * is lost or moved, nobody here waits for the answers) every open
     * call is only forgotten.
     */
    void CloseAll(bool answer);

    /* Told by the reply module of every reply that goes out. */
    static void Answered(DBusConnection *conn, const char *dest,
	    dbus_uint32_t serial);

private:
    struct Call {
	DBusConnection *conn;	/* Not owned: the object's. */
	MessagePtr msg;
	bool running;		/* Its script has not returned yet. */
    };
    void Erase(std::vector<Call>::iterator it);
    void Link();

    std::vector<Call> calls_;
    OpenCalls *prev_ = nullptr;	/* Among the thread's records that */
    OpenCalls *next_ = nullptr;	/* have open calls. */
};

} // namespace vantrel

#endif
