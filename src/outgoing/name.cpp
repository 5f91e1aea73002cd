/*
 * name.cpp --
 *
 *	Ownership of well-known bus names: [dbus name] asks the bus for a
 *	name, [dbus release] gives one up. Both wait for the bus's answer
 *	and turn every answer other than plain success into a Tcl error.
 */

#include <string>
#include "common.hpp"
#include "outgoing/outgoing.hpp"

namespace {

/* Options of [dbus name] and the request flags they set, in table order. */
struct NameOption {
    const char *name;
    unsigned int flag;
};

const NameOption nameOptions[] = {
    {"-noqueue", DBUS_NAME_FLAG_DO_NOT_QUEUE},
    {"-replace", DBUS_NAME_FLAG_REPLACE_EXISTING},
    {"-yield", DBUS_NAME_FLAG_ALLOW_REPLACEMENT},
    {NULL, 0}
};

/*
 *----------------------------------------------------------------------
 *
 * UnexpectedReply --
 *
 *	Reports a reply code that the bus protocol does not define, which
 *	only something posing as a bus can send.
 *
 * Results:
 *	TCL_ERROR; result "unexpected reply N from the bus", errorCode
 *	DBUS tag REPLY.
 *
 *----------------------------------------------------------------------
 */

int
UnexpectedReply(Tcl_Interp *interp, const char *tag, int code)
{
    Tcl_SetObjResult(interp,
	    Tcl_ObjPrintf("unexpected reply %d from the bus", code));
    Tcl_SetErrorCode(interp, libname, tag, "REPLY", (char *) NULL);
    return TCL_ERROR;
}

/*
 *----------------------------------------------------------------------
 *
 * BusError --
 *
 *	Reads the bus's answer to RequestName or ReleaseName as libdbus's
 *	own routines do: an error reply, or an answer without its one
 *	UINT32, is a libdbus error.
 *
 * Results:
 *	False with *code set when the answer is a code; true otherwise,
 *	with result "what: message" and the errorCode Tcl_DBusErrorCode
 *	makes of the error.
 *
 *----------------------------------------------------------------------
 */

bool
BusError(Tcl_Interp *interp, const char *tag, const char *what,
	DBusMessage *answer, dbus_uint32_t *code)
{
    vantrel::ErrorGuard err;
    if (!dbus_set_error_from_message(err.get(), answer)
	    && dbus_message_get_args(answer, err.get(), DBUS_TYPE_UINT32, code,
		    DBUS_TYPE_INVALID)) {
	return false;
    }
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%s: %s", what, err.message()));
    Tcl_DBusErrorCode(interp, tag, err.get());
    return true;
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBusNameCmd --
 *
 *	Implements [dbus name ?busId? ?options? name]: requests a
 *	well-known bus name for the connection and waits for the bus.
 *
 *	With two or more arguments the first is the busId unless it begins
 *	with "-"; every word between it and the last is an option. The
 *	lookup of the connection is reported only after the name check, so
 *	an invalid name is the error a script sees first.
 *
 * Results:
 *	TCL_OK with an empty result when the connection became the primary
 *	owner; TCL_ERROR otherwise, also when the request was queued or
 *	the connection already owned the name.
 *
 * Side effects:
 *	The bus records the request; a queued request stays queued.
 *
 *----------------------------------------------------------------------
 */

int
DBusNameCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc < 2) {
	Tcl_WrongNumArgs(interp, 1, objv, "?busId? ?options? name");
	return TCL_ERROR;
    }
    Tcl_Obj *busId = NULL;
    int first = 1;
    if (objc >= 3 && Tcl_GetString(objv[1])[0] != '-') {
	busId = objv[1];
	first = 2;
    }

    unsigned int flags = 0;
    for (int i = first; i < objc - 1; i++) {
	int index;
	if (Tcl_GetIndexFromObjStruct(interp, objv[i], nameOptions,
		sizeof(NameOption), "option", 0, &index) != TCL_OK) {
	    return TCL_ERROR;
	}
	flags |= nameOptions[index].flag;
    }

    Tcl_Obj *name = objv[objc - 1];
    if (!DBus_CheckBusName(name)) {
	return vantrel::Fail(interp, "NAME", "SERVICEUNKNOWN",
		"invalid bus name");
    }
    DBusConnection *conn = DBus_GetConnection(interp, "NAME", busId);
    if (conn == NULL || vantrel::RefuseNoBus(interp, "NAME", conn) != TCL_OK) {
	return TCL_ERROR;
    }

    const char *text = Tcl_GetString(name);
    dbus_uint32_t requestFlags = flags;
    vantrel::MessagePtr msg = vantrel::BusCall("RequestName");
    if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &text,
	    DBUS_TYPE_UINT32, &requestFlags, DBUS_TYPE_INVALID)) {
	return DBus_MemoryError(interp);
    }
    std::string wanted = text;
    return vantrel::WaitReply(interp, conn, std::move(msg),
	    {"NAME", DBUS_TIMEOUT_USE_DEFAULT, false, true},
	    [conn, wanted, flags](Tcl_Interp *ip, DBusMessage *answer) {
	dbus_uint32_t reply;
	if (BusError(ip, "NAME", "Name Error", answer, &reply)) {
	    return TCL_ERROR;
	}
	if (reply == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER
		|| reply == DBUS_REQUEST_NAME_REPLY_IN_QUEUE) {
	    vantrel::RememberName(conn, wanted.c_str(), flags);
	}
	switch (reply) {
	case DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER:
	    Tcl_ResetResult(ip);
	    return TCL_OK;
	case DBUS_REQUEST_NAME_REPLY_IN_QUEUE:
	    return vantrel::Fail(ip, "NAME", "QUEUED",
		    "name in use, request queued");
	case DBUS_REQUEST_NAME_REPLY_EXISTS:
	    return vantrel::Fail(ip, "NAME", "EXISTS", "name exists");
	case DBUS_REQUEST_NAME_REPLY_ALREADY_OWNER:
	    return vantrel::Fail(ip, "NAME", "OWNER", "already owner");
	default:
	    return UnexpectedReply(ip, "NAME", static_cast<int>(reply));
	}
    });
}

/*
 *----------------------------------------------------------------------
 *
 * DBusReleaseCmd --
 *
 *	Implements [dbus release ?busId? name]: gives up a well-known bus
 *	name and waits for the bus. With two arguments the first is always
 *	the busId, whatever it begins with.
 *
 * Results:
 *	TCL_OK with an empty result when the name was released; TCL_ERROR
 *	when nobody or somebody else owns it, or the bus refuses.
 *
 * Side effects:
 *	The bus passes the name to the next queued owner, if any.
 *
 *----------------------------------------------------------------------
 */

int
DBusReleaseCmd(ClientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    if (objc != 2 && objc != 3) {
	Tcl_WrongNumArgs(interp, 1, objv, "?busId? name");
	return TCL_ERROR;
    }
    Tcl_Obj *busId = (objc == 3) ? objv[1] : NULL;
    Tcl_Obj *name = objv[objc - 1];
    if (!DBus_CheckBusName(name)) {
	return vantrel::Fail(interp, "RELEASE", "BUSNAME", "invalid bus name");
    }
    DBusConnection *conn = DBus_GetConnection(interp, "RELEASE", busId);
    if (conn == NULL
	    || vantrel::RefuseNoBus(interp, "RELEASE", conn) != TCL_OK) {
	return TCL_ERROR;
    }

    const char *text = Tcl_GetString(name);
    vantrel::MessagePtr msg = vantrel::BusCall("ReleaseName");
    if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &text,
	    DBUS_TYPE_INVALID)) {
	return DBus_MemoryError(interp);
    }
    /* Not asked for again after a reconnection, whatever the bus says. */
    vantrel::ForgetName(conn, text);
    return vantrel::WaitReply(interp, conn, std::move(msg),
	    {"RELEASE", DBUS_TIMEOUT_USE_DEFAULT, false, true},
	    [](Tcl_Interp *ip, DBusMessage *answer) {
	dbus_uint32_t reply;
	if (BusError(ip, "RELEASE", "Release Error", answer, &reply)) {
	    return TCL_ERROR;
	}
	switch (reply) {
	case DBUS_RELEASE_NAME_REPLY_RELEASED:
	    Tcl_ResetResult(ip);
	    return TCL_OK;
	case DBUS_RELEASE_NAME_REPLY_NON_EXISTENT:
	    return vantrel::Fail(ip, "RELEASE", "NOSUCHNAME",
		    "name does not exist");
	case DBUS_RELEASE_NAME_REPLY_NOT_OWNER:
	    return vantrel::Fail(ip, "RELEASE", "NOTOWNER", "not owner");
	default:
	    return UnexpectedReply(ip, "RELEASE", static_cast<int>(reply));
	}
    });
}
