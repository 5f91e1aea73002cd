/*
 * authorize.cpp --
 *
 *	Calls that an exported object's -authorize command must consent to
 *	before they reach the object. Each is decided in a coroutine of its
 *	own (::dbus::verdict::N, running ::dbus::verdict::run N): the
 *	caller's credentials are fetched as [dbus credentials -yield] does,
 *	then {*}prefix credentials header runs, free to yield in turn
 *	(dbus call -yield, proxies), while the event loop serves everything
 *	else. The verdict admits the call to the paced queue again or
 *	answers it; an object unexported meanwhile answers its waiting
 *	calls itself and the late verdicts are ignored.
 */

#include <algorithm>
#include <cstring>
#include <map>
#include "common.hpp"
#include "objects/objects.hpp"
#include "outgoing/outgoing.hpp"
#include "reply/reply.hpp"

namespace vantrel {

/*
 * One call awaiting its verdict. Held by the Authorize that made it
 * until the coroutine is created, and by the coroutine's callbacks from
 * when it starts until it ends; listed, not held, in its object's
 * verdicts until decided or abandoned.
 */
struct Verdict {
    ExportedObject *obj;	/* One reference. */
    MessagePtr msg;		/* The call. */
    std::function<void()> admit;
    bool done = false;		/* Admitted or answered. */
    int refs = 1;
};

} // namespace vantrel

namespace {

using vantrel::ExportedObject;
using vantrel::Verdict;

/* The name of the coroutines' command and their namespace. */
constexpr const char *verdictNamespace = "::dbus::verdict";
constexpr const char *runCommand = "::dbus::verdict::run";

/* Verdicts made and not yet started by their coroutine, by number. */
thread_local std::map<unsigned long, Verdict *> unstarted;
thread_local unsigned long verdictCounter = 0;

void
Release(Verdict *v)
{
    if (--v->refs == 0) {
	vantrel::ReleaseObject(v->obj);
	delete v;
    }
}

/* Takes a verdict out of its object's list of waiting calls. */
void
Unlist(Verdict *v)
{
    std::vector<Verdict *> &waiting = v->obj->verdicts;
    waiting.erase(std::remove(waiting.begin(), waiting.end(), v),
	    waiting.end());
}

/*
 * Whether the caller of a call on a bus has left it since its
 * credentials were fetched: they are kept exactly as long as it stays.
 */
bool
CallerLeft(DBusConnection *conn, DBusMessage *msg)
{
    const char *sender = dbus_message_get_sender(msg);
    return sender != NULL && sender[0] == ':'
	    && dbus_bus_get_unique_name(conn) != NULL
	    && !vantrel::KnowsCredentials(conn, sender);
}

/*
 * Decide --
 *
 *	Acts on a verdict once: admits the call, or answers AccessDenied;
 *	a caller that left gets nothing, since nobody is there to hear.
 */
void
Decide(Verdict *v, bool allowed)
{
    if (v->done) {
	return;
    }
    v->done = true;
    Unlist(v);
    ExportedObject *obj = v->obj;
    DBusMessage *msg = v->msg.get();
    if (CallerLeft(obj->conn, msg)) {
	return;
    }
    if (allowed) {
	v->admit();
	return;
    }
    if (!dbus_message_get_no_reply(msg)
	    && dbus_connection_get_is_connected(obj->conn)) {
	std::string text = std::string("not authorized to call ")
		+ dbus_message_get_member(msg) + " at "
		+ obj->path;
	vantrel::ReplyError(obj->conn, msg, DBUS_ERROR_ACCESS_DENIED,
		text.c_str());
    }
}

/*
 * Reports the error in the interpreter that refused a call, as the
 * connection's -bgerror asks, with the call named in the error info.
 */
void
ReportRefusal(Tcl_Interp *interp, Verdict *v)
{
    if (Tcl_InterpDeleted(interp)
	    || !vantrel::ReportsErrors(vantrel::ConnRecord(v->obj->conn),
		    true)) {
	return;
    }
    Tcl_AddErrorInfo(interp, "\n    (authorizing ");
    Tcl_AddErrorInfo(interp, dbus_message_get_member(v->msg.get()));
    Tcl_AddErrorInfo(interp, " at ");
    Tcl_AddErrorInfo(interp, v->obj->path.c_str());
    Tcl_AddErrorInfo(interp, ")");
    Tcl_BackgroundException(interp, TCL_ERROR);
}

/*
 * VerdictGiven --
 *
 *	NR callback in the coroutine, after the -authorize command: a
 *	true result admits the call; false, anything that is not a
 *	boolean and an error refuse it, the last two reported.
 *
 * Results:
 *	TCL_OK always: the coroutine ends quietly.
 */
int
VerdictGiven(ClientData data[], Tcl_Interp *interp, int result)
{
    auto *v = static_cast<Verdict *>(data[0]);
    int allowed = 0;
    if (result == TCL_OK) {
	Tcl_Obj *answer = Tcl_GetObjResult(interp);
	if (Tcl_GetBooleanFromObj(NULL, answer, &allowed) != TCL_OK) {
	    Tcl_SetObjResult(interp, Tcl_ObjPrintf(
		    "authorization verdict is not a boolean: \"%s\"",
		    Tcl_GetString(answer)));
	    Tcl_SetErrorCode(interp, libname, "OBJECT", "VERDICT",
		    (char *) NULL);
	    result = TCL_ERROR;
	}
    } else if (result != TCL_ERROR) {
	Tcl_SetObjResult(interp, Tcl_ObjPrintf(
		"authorization command returned code %d", result));
	Tcl_SetErrorCode(interp, libname, "OBJECT", "VERDICT",
		(char *) NULL);
	result = TCL_ERROR;
    }
    if (result == TCL_ERROR && !v->done) {
	ReportRefusal(interp, v);
    }
    Decide(v, result == TCL_OK && allowed);
    Release(v);
    Tcl_ResetResult(interp);
    return TCL_OK;
}

/*
 * CredentialsGiven --
 *
 *	NR callback in the coroutine, after the caller's credentials: runs
 *	the -authorize command with them and the call's header. Credentials
 *	that cannot be had (the caller left, the connection closed) or a
 *	coroutine deleted refuse the call unreported.
 */
int
CredentialsGiven(ClientData data[], Tcl_Interp *interp, int result)
{
    auto *v = static_cast<Verdict *>(data[0]);
    if (result != TCL_OK || v->done || !v->obj->authorize) {
	Decide(v, false);
	Release(v);
	Tcl_ResetResult(interp);
	return TCL_OK;
    }
    vantrel::ObjPtr credentials = vantrel::holdObj(Tcl_GetObjResult(interp));
    Tcl_ResetResult(interp);
    vantrel::ObjPtr cmd = vantrel::holdObj(
	    Tcl_DuplicateObj(v->obj->authorize.get()));
    Tcl_ListObjAppendElement(NULL, cmd.get(), credentials.get());
    Tcl_ListObjAppendElement(NULL, cmd.get(),
	    DBus_MessageInfo(interp, v->msg.get()));
    Tcl_NRAddCallback(interp, VerdictGiven, v, NULL, NULL, NULL);
    return Tcl_NREvalObj(interp, cmd.get(), TCL_EVAL_GLOBAL);
}

/*
 * RunVerdictCmd --
 *
 *	::dbus::verdict::run N, the body of the coroutine of verdict N:
 *	fetches the caller's credentials (on a bus those of its unique
 *	name, else those of the connection's peer), yielding if it must.
 *
 * Results:
 *	The NR result of the credentials; an error for a number that no
 *	verdict waits under.
 */
int
RunVerdictNRCmd(ClientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    Tcl_WideInt id;
    if (objc != 2 || Tcl_GetWideIntFromObj(NULL, objv[1], &id) != TCL_OK) {
	Tcl_WrongNumArgs(interp, 1, objv, "verdict");
	return TCL_ERROR;
    }
    auto it = unstarted.find(static_cast<unsigned long>(id));
    if (it == unstarted.end()) {
	return vantrel::FailWord(interp, "OBJECT", "VERDICT",
		"no call awaits verdict", objv[1]);
    }
    Verdict *v = it->second;
    unstarted.erase(it);
    v->refs++;			/* The callbacks' from here. */
    DBusConnection *conn = v->obj->conn;
    const char *sender = dbus_message_get_sender(v->msg.get());
    bool bus = dbus_bus_get_unique_name(conn) != NULL && sender != NULL;
    Tcl_NRAddCallback(interp, CredentialsGiven, v, NULL, NULL, NULL);
    return vantrel::Credentials(interp, conn, bus ? sender : NULL, true);
}

int
RunVerdictCmd(ClientData clientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    return Tcl_NRCallObjProc(interp, RunVerdictNRCmd, clientData, objc,
	    objv);
}

} // namespace

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * Authorize --
 *
 *	Starts the verdict on a call in a coroutine of its own
 *	(objects.hpp). Runs from the call's event, with the interpreter
 *	preserved.
 *
 * Side effects:
 *	Runs the coroutine up to its first yield: a verdict that needs no
 *	waiting is acted on before this returns.
 *
 *----------------------------------------------------------------------
 */

void
Authorize(ExportedObject *obj, DBusMessage *msg, std::function<void()> admit)
{
    Tcl_Interp *interp = obj->interp;
    auto *v = new Verdict;
    HoldObject(obj);
    v->obj = obj;
    v->msg = holdMessage(msg);
    v->admit = std::move(admit);
    unsigned long id = ++verdictCounter;
    unstarted[id] = v;
    obj->verdicts.push_back(v);

    ObjPtr words[4] = {
	holdObj(Tcl_NewStringObj("::coroutine", -1)),
	holdObj(Tcl_ObjPrintf("%s::%lu", verdictNamespace, id)),
	holdObj(Tcl_NewStringObj(runCommand, -1)),
	holdObj(Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(id)))
    };
    Tcl_Obj *objv[4] = {
	words[0].get(), words[1].get(), words[2].get(), words[3].get()
    };
    int code = Tcl_EvalObjv(interp, 4, objv, TCL_EVAL_GLOBAL);
    auto it = unstarted.find(id);
    if (it != unstarted.end()) {
	/* The coroutine could not be made: refused, and said why. */
	unstarted.erase(it);
	if (code == TCL_ERROR) {
	    ReportRefusal(interp, v);
	}
	Decide(v, false);
    }
    Tcl_ResetResult(interp);
    Release(v);
}

/*
 * AbandonVerdicts --
 *
 *	Answers the calls of an object being unexported that await their
 *	verdict (objects.hpp).
 */

void
AbandonVerdicts(ExportedObject *obj)
{
    std::vector<Verdict *> waiting;
    waiting.swap(obj->verdicts);
    bool open = dbus_connection_get_is_connected(obj->conn);
    for (Verdict *v : waiting) {
	v->done = true;
	v->admit = nullptr;
	if (open) {
	    ReplyUnknownObject(obj->conn, v->msg.get());
	}
    }
}

/*
 * CreateVerdictCommand --
 *
 *	The body of the verdict coroutines, in a namespace of its own
 *	(objects.hpp).
 */

void
CreateVerdictCommand(Tcl_Interp *interp)
{
    if (Tcl_FindNamespace(interp, verdictNamespace, NULL, 0) == NULL) {
	Tcl_CreateNamespace(interp, verdictNamespace, NULL, NULL);
    }
    Tcl_NRCreateCommand(interp, runCommand, RunVerdictCmd, RunVerdictNRCmd,
	    NULL, NULL);
}

} // namespace vantrel
