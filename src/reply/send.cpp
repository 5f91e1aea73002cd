/*
 * send.cpp --
 *
 *	Building and sending the messages that expect no answer: signals,
 *	method returns and errors, for every command and every automatic
 *	answer that sends one. The exported DBus_SendMessage and DBus_Error
 *	are thin wrappers that nothing inside the library needs.
 */

#include "common.hpp"
#include "reply/reply.hpp"
#include "values/values.hpp"

namespace {

/*
 * libdbus aborts the process when a header setter is given a malformed
 * name or path, or a reply serial of 0. The commands check what scripts
 * give them; this repeats the checks for every other caller, so that a
 * bad value becomes an error here rather than the end of the process.
 * The reserved local path and interface are refused too: the bus would
 * close the connection.
 * Returns NULL when the headers are acceptable, else the message, with
 * the errorCode word in *kind.
 */
const char *
CheckHeaders(int type, const char *path, const char *intf, const char *name,
	const char *dest, dbus_uint32_t replySerial, const char **kind)
{
    if (path != NULL && !dbus_validate_path(path, NULL)) {
	*kind = "PATH";
	return "invalid path";
    }
    if (intf != NULL && !dbus_validate_interface(intf, NULL)) {
	*kind = "INTERFACE";
	return "invalid interface name";
    }
    if (const char *reserved = vantrel::LocalHeader(path, intf, kind)) {
	return reserved;
    }
    if (dest != NULL && !dbus_validate_bus_name(dest, NULL)) {
	*kind = "DESTINATION";
	return "invalid destination";
    }
    if (type == DBUS_MESSAGE_TYPE_SIGNAL) {
	if (name == NULL || !dbus_validate_member(name, NULL)) {
	    *kind = "MEMBER";
	    return "invalid member";
	}
	return NULL;
    }
    if (type == DBUS_MESSAGE_TYPE_ERROR && name != NULL
	    && !dbus_validate_error_name(name, NULL)) {
	*kind = "ERRORNAME";
	return "invalid error name";
    }
    if (replySerial == 0) {
	*kind = "SERIAL";
	return "invalid reply serial";
    }
    return NULL;
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBus_SendMessage --
 *
 *	Builds a signal, method return or error (any other type is built
 *	like a method return), marks it as expecting no reply, appends the
 *	arguments and queues it on the connection.
 *
 * Results:
 *	TCL_OK with the message's serial (read as a signed 32-bit integer)
 *	as the result, or TCL_ERROR: "connection is closed" (DBUS tag
 *	CONNECTION), "unable to create message" or "unable to set message
 *	parameters" (DBUS MEMORY), a malformed or reserved header value
 *	(DBUS tag PATH, INTERFACE, DESTINATION, MEMBER, ERRORNAME or
 *	SERIAL), the
 *	marshalling's error, or "out of memory".
 *
 * Side effects:
 *	The message goes out as the event loop writes the connection;
 *	nothing is queued on failure.
 *
 *----------------------------------------------------------------------
 */

int
DBus_SendMessage(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	int type, const char *path, const char *intf, const char *name,
	const char *dest, dbus_uint32_t replySerial, const char *signature,
	int objc, Tcl_Obj *const objv[])
{
    return vantrel::SendMessage(interp, tag, conn, type, path, intf, name,
	    dest, replySerial, signature, objc, objv, 0);
}

/*
 *----------------------------------------------------------------------
 *
 * SendMessage --
 *
 *	DBus_SendMessage with the marshalling mode bits (reply.hpp).
 *
 * Side effects:
 *	A method return or error that goes out closes the open call of an
 *	exported object that it answers (OpenCalls).
 *
 *----------------------------------------------------------------------
 */

int
vantrel::SendMessage(Tcl_Interp *interp, const char *tag,
	DBusConnection *conn, int type, const char *path, const char *intf,
	const char *name, const char *dest, dbus_uint32_t replySerial,
	const char *signature, int objc, Tcl_Obj *const objv[], int mode)
{
    if (!dbus_connection_get_is_connected(conn)) {
	return vantrel::Fail(interp, tag, "CONNECTION",
		"connection is closed");
    }
    const char *kind;
    if (const char *problem = CheckHeaders(type, path, intf, name, dest,
	    replySerial, &kind)) {
	return vantrel::Fail(interp, tag, kind, problem);
    }
    vantrel::MessagePtr msg = vantrel::adoptMessage(dbus_message_new(type));
    if (!msg) {
	return vantrel::Fail(interp, "MEMORY", NULL,
		"unable to create message");
    }
    dbus_message_set_no_reply(msg.get(), TRUE);

    bool ok = dbus_message_set_path(msg.get(), path)
	    && dbus_message_set_interface(msg.get(), intf);
    if (ok) {
	switch (type) {
	case DBUS_MESSAGE_TYPE_ERROR:
	    ok = dbus_message_set_error_name(msg.get(),
		    name ? name : DBUS_ERROR_FAILED)
		    && dbus_message_set_destination(msg.get(), dest)
		    && dbus_message_set_reply_serial(msg.get(), replySerial);
	    break;
	case DBUS_MESSAGE_TYPE_SIGNAL:
	    ok = dbus_message_set_member(msg.get(), name)
		    && dbus_message_set_destination(msg.get(), dest);
	    break;
	default:
	    ok = dbus_message_set_destination(msg.get(), dest)
		    && dbus_message_set_reply_serial(msg.get(), replySerial);
	    break;
	}
    }
    if (!ok) {
	return vantrel::Fail(interp, "MEMORY", NULL,
		"unable to set message parameters");
    }

    if (vantrel::AppendArgs(interp, tag, conn, msg.get(), signature, objc,
	    objv, mode) != TCL_OK) {
	return TCL_ERROR;
    }
    dbus_uint32_t serial;
    if (!dbus_connection_send(conn, msg.get(), &serial)) {
	return DBus_MemoryError(interp);
    }
    if (type != DBUS_MESSAGE_TYPE_SIGNAL) {
	vantrel::OpenCalls::Answered(conn, dest, replySerial);
    }
    Tcl_SetObjResult(interp, Tcl_NewIntObj(static_cast<int>(serial)));
    return TCL_OK;
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_Error --
 *
 *	Sends an error reply (default name
 *	"org.freedesktop.DBus.Error.Failed") whose only argument, if
 *	message is not NULL, is the message text as a STRING.
 *
 * Results:
 *	As DBus_SendMessage, with the tag "ERROR".
 *
 *----------------------------------------------------------------------
 */

int
DBus_Error(Tcl_Interp *interp, DBusConnection *conn, const char *errorName,
	const char *dest, dbus_uint32_t replySerial, const char *message)
{
    vantrel::ObjPtr text;
    if (message != NULL) {
	text = vantrel::holdObj(Tcl_NewStringObj(message, -1));
    }
    return vantrel::SendError(interp, "ERROR", conn, errorName, dest,
	    replySerial, text.get());
}

/*
 *----------------------------------------------------------------------
 *
 * SendError --
 *
 *	The error reply of a command (reply.hpp).
 *
 *----------------------------------------------------------------------
 */

int
vantrel::SendError(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	const char *name, const char *dest, dbus_uint32_t replySerial,
	Tcl_Obj *text)
{
    Tcl_Obj *objv[1] = {text};
    return SendMessage(interp, tag, conn, DBUS_MESSAGE_TYPE_ERROR, NULL, NULL,
	    name, dest, replySerial, NULL, text != NULL ? 1 : 0, objv, 0);
}
