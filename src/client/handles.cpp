/*
 * handles.cpp --
 *
 *	[dbus bind] and [dbus watch], and the handle commands through which
 *	scripts hold bindings, watches and proxies: each goes with
 *	[$handle destroy], with [rename $handle {}], and with the teardown
 *	of its connection.
 */

#include <cstdio>
#include <algorithm>
#include <map>
#include <memory>
#include <vector>
#include "client/client.hpp"
#include "client/handles.hpp"
#include "handlers/handlers.hpp"
#include "values/values.hpp"

namespace {

using vantrel::ClientHandle;

thread_local int handleCounter = 0;

/* Takes a handle off its connection's list. */
void
Unlist(ClientHandle *h)
{
    DBusConnParts *parts = vantrel::Parts(h->conn);
    if (parts == nullptr) {
	return;
    }
    auto &v = parts->handles;
    v.erase(std::remove(v.begin(), v.end(), h), v.end());
}

/* Delete procedure of a handle command: releases what it holds. */
void
HandleDeleted(ClientData clientData)
{
    auto *h = static_cast<ClientHandle *>(clientData);
    Unlist(h);
    if (h->release) {
	h->release();
    }
    delete h;
}

/*
 * The handle commands run in Tcl's non-recursive engine, so that a
 * proxy's subcommand can suspend the coroutine it is called in.
 */
int
HandleNRCmd(ClientData clientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    auto *h = static_cast<ClientHandle *>(clientData);
    if (objc == 2 && std::string_view(Tcl_GetString(objv[1])) == "destroy") {
	Tcl_DeleteCommandFromToken(interp, h->token);
	Tcl_ResetResult(interp);
	return TCL_OK;
    }
    if (h->subcommand) {
	return h->subcommand(interp, objc, objv);
    }
    Tcl_WrongNumArgs(interp, 1, objv, "destroy");
    return TCL_ERROR;
}

int
HandleCmd(ClientData clientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    return Tcl_NRCallObjProc(interp, HandleNRCmd, clientData, objc, objv);
}

/* Reads -sender, -path, -interface, -member and -argN of dbus bind. */
int
ReadMatch(Tcl_Interp *interp, Tcl_Obj *key, Tcl_Obj *value,
	vantrel::SignalMatch *m, int *details)
{
    static const char *const options[] = {
	"-details", "-interface", "-member", "-path", "-sender", NULL
    };
    enum { OPT_DETAILS, OPT_INTERFACE, OPT_MEMBER, OPT_PATH, OPT_SENDER };
    const char *text = Tcl_GetString(key);
    int n;
    char extra;
    if (std::sscanf(text, "-arg%d%c", &n, &extra) == 1 && n >= 0 && n < 64
	    && text[4] != '+' && text[4] != '-' && text[4] != ' ') {
	vantrel::ExternalText v;
	v.From(value);
	const char *kind;
	if (v.Problem(&kind)) {
	    return vantrel::Fail(interp, "BIND", kind,
		    "argument values must be valid text without NUL");
	}
	m->args.emplace_back(n, std::string(v.bytes, v.length));
	return TCL_OK;
    }
    int index;
    if (Tcl_GetIndexFromObjStruct(interp, key, options, sizeof(char *),
	    "option", 0, &index) != TCL_OK) {
	return TCL_ERROR;
    }
    switch (index) {
    case OPT_DETAILS:
	return Tcl_GetBooleanFromObj(interp, value, details);
    case OPT_SENDER:
	if (!DBus_CheckBusName(value)) {
	    return vantrel::Fail(interp, "BIND", "SENDER", "invalid sender");
	}
	m->sender = Tcl_GetString(value);
	return TCL_OK;
    case OPT_PATH:
	if (!DBus_CheckPath(value)) {
	    return vantrel::Fail(interp, "BIND", "PATH", "invalid path");
	}
	m->path = Tcl_GetString(value);
	return TCL_OK;
    case OPT_INTERFACE:
	if (DBus_CheckIntfName(value) < 1) {
	    return vantrel::Fail(interp, "BIND", "INTERFACE",
		    "invalid interface name");
	}
	m->interface = Tcl_GetString(value);
	return TCL_OK;
    case OPT_MEMBER:
	if (!DBus_CheckMember(value)) {
	    return vantrel::Fail(interp, "BIND", "MEMBER", "invalid member");
	}
	m->member = Tcl_GetString(value);
	return TCL_OK;
    }
    return TCL_OK;
}

/* The first word that is a busId: neither empty nor an option. */
Tcl_Obj *
BusIdWord(int objc, Tcl_Obj *const objv[], int *next, int rest)
{
    if (objc - 1 > rest) {
	const char *first = Tcl_GetString(objv[1]);
	if (first[0] != '-' && first[0] != '\0') {
	    *next = 2;
	    return objv[1];
	}
    }
    *next = 1;
    return NULL;
}

} // namespace

namespace vantrel {

/*
 * NewHandle --
 *
 *	Makes a handle command ::dbus::<kind>N for what a script holds on
 *	a connection (handles.hpp).
 */

ClientHandle *
NewHandle(Tcl_Interp *interp, DBusConnection *conn, const char *kind)
{
    auto *h = new ClientHandle;
    h->conn = conn;
    h->interp = interp;
    h->name = std::string("::dbus::") + kind + std::to_string(++handleCounter);
    h->token = Tcl_NRCreateCommand(interp, h->name.c_str(), HandleCmd,
	    HandleNRCmd, h, HandleDeleted);
    if (DBusConnParts *parts = Parts(conn)) {
	parts->handles.push_back(h);
    }
    return h;
}

/*
 *----------------------------------------------------------------------
 *
 * DBusBindCmd --
 *
 *	dbus bind ?busId? ?-sender name? ?-path path? ?-interface name?
 *	?-member name? ?-argN value? ?-details bool? script: runs the
 *	script with the header dict and the arguments of every signal that
 *	matches, whatever other bindings and handlers see it too.
 *
 * Results:
 *	The binding's handle command, or an error (DBUS BIND ...).
 *
 *----------------------------------------------------------------------
 */

int
DBusBindCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    int i;
    Tcl_Obj *busId = BusIdWord(objc, objv, &i, 1);
    SignalMatch match;
    int details = 0;
    for (; i + 1 < objc; i += 2) {
	if (Tcl_GetString(objv[i])[0] != '-') {
	    break;
	}
	if (ReadMatch(interp, objv[i], objv[i + 1], &match, &details)
		!= TCL_OK) {
	    return TCL_ERROR;
	}
    }
    if (objc - i != 1 || Tcl_GetCharLength(objv[i]) == 0) {
	Tcl_WrongNumArgs(interp, 1, objv, "?busId? ?option value ...? script");
	return TCL_ERROR;
    }
    DBusConnection *conn = DBus_GetConnection(interp, "BIND", busId);
    if (conn == NULL) {
	return TCL_ERROR;
    }
    /* A peer sends under no name: only a bus names senders. */
    if (!match.sender.empty() && RefuseNoBus(interp, "BIND", conn) != TCL_OK) {
	return TCL_ERROR;
    }
    ObjPtr script = holdObj(objv[i]);
    int flags = HANDLER_NOREPLY | HANDLER_REPORTS
	    | (details ? HANDLER_DETAILS : 0);
    int token = -1;
    if (!match.sender.empty() && match.sender[0] != ':') {
	token = FollowOwner(interp, conn, match.sender,
		[](DBusConnection *, const std::string &) {}, "BIND");
	if (token < 0) {
	    return TCL_ERROR;
	}
    }
    Tcl_Obj *held = script.get();
    Binding *binding = AddBinding(interp, conn, match,
	    [held, flags](DBusConnection *on, DBusMessage *msg,
		    const HeaderFields &fields) {
	QueueScriptEvent(held, on, msg, flags, nullptr, &fields);
    }, "BIND");
    if (binding == nullptr) {
	if (token >= 0) {
	    StopFollowing(conn, token);
	}
	return TCL_ERROR;
    }
    ClientHandle *h = NewHandle(interp, conn, "binding");
    h->release = [h, binding, token, script = script.release()]() {
	RemoveBinding(binding);
	if (token >= 0) {
	    StopFollowing(h->conn, token);
	}
	Tcl_DecrRefCount(script);
    };
    Tcl_SetObjResult(interp, Tcl_NewStringObj(h->name.c_str(), -1));
    return TCL_OK;
}

/*
 *----------------------------------------------------------------------
 *
 * DBusWatchCmd --
 *
 *	dbus watch ?busId? name script: runs {*}script appeared name owner
 *	when the name gets an owner and {*}script vanished name when it
 *	loses it, starting with the state GetNameOwner reports.
 *
 * Results:
 *	The watch's handle command, or an error (DBUS WATCH ...).
 *
 *----------------------------------------------------------------------
 */

int
DBusWatchCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    int i;
    Tcl_Obj *busId = BusIdWord(objc, objv, &i, 2);
    if (objc - i != 2 || Tcl_GetCharLength(objv[i + 1]) == 0) {
	Tcl_WrongNumArgs(interp, 1, objv, "?busId? name script");
	return TCL_ERROR;
    }
    Tcl_Obj *name = objv[i];
    if (!DBus_CheckBusName(name)) {
	return Fail(interp, "WATCH", "BUSNAME", "invalid bus name");
    }
    DBusConnection *conn = DBus_GetConnection(interp, "WATCH", busId);
    if (conn == NULL || RefuseNoBus(interp, "WATCH", conn) != TCL_OK) {
	return TCL_ERROR;
    }
    /* What the script last heard, so that it hears each change once. */
    struct Seen {
	bool told = false;
	std::string owner;
    };
    auto seen = std::make_shared<Seen>();
    std::string watched = Tcl_GetString(name);
    Tcl_Obj *script = objv[i + 1];
    Tcl_IncrRefCount(script);		/* Held by the watch until it goes. */
    int token = FollowOwner(interp, conn, watched,
	    [seen, script, watched](DBusConnection *on,
		    const std::string &owner) {
	if (seen->told && seen->owner == owner) {
	    return;
	}
	seen->told = true;
	seen->owner = owner;
	ObjPtr words = holdObj(Tcl_DuplicateObj(script));
	Tcl_ListObjAppendElement(NULL, words.get(), Tcl_NewStringObj(
		owner.empty() ? "vanished" : "appeared", -1));
	Tcl_ListObjAppendElement(NULL, words.get(),
		Tcl_NewStringObj(watched.c_str(), -1));
	if (!owner.empty()) {
	    Tcl_ListObjAppendElement(NULL, words.get(),
		    Tcl_NewStringObj(owner.c_str(), -1));
	}
	QueueScriptEvent(words.get(), on, NULL,
		HANDLER_NOREPLY | HANDLER_REPORTS);
    }, "WATCH");
    if (token < 0) {
	Tcl_DecrRefCount(script);
	return TCL_ERROR;
    }
    ClientHandle *h = NewHandle(interp, conn, "watch");
    h->release = [h, token, script]() {
	StopFollowing(h->conn, token);
	Tcl_DecrRefCount(script);
    };
    h->subcommand = [seen](Tcl_Interp *interp, int objc,
	    Tcl_Obj *const objv[]) {
	if (objc != 2 || std::string_view(Tcl_GetString(objv[1])) != "owner") {
	    Tcl_WrongNumArgs(interp, 1, objv, "owner|destroy");
	    return TCL_ERROR;
	}
	Tcl_SetObjResult(interp, Tcl_NewStringObj(seen->owner.c_str(), -1));
	return TCL_OK;
    };
    Tcl_SetObjResult(interp, Tcl_NewStringObj(h->name.c_str(), -1));
    return TCL_OK;
}

void
DropClient(Tcl_Interp *interp, DBusConnection *conn)
{
    DBusConnParts *parts = Parts(conn);
    while (parts != nullptr && !parts->handles.empty()) {
	/* The delete procedure unlists and frees the handle. */
	Tcl_DeleteCommandFromToken(interp, parts->handles.front()->token);
    }
    ForgetIntrospection(conn);
    ForgetClientState(conn);
}

} // namespace vantrel
