/*
 * reconnect.cpp --
 *
 *	What follows the loss of a connection opened with -notify or
 *	-reconnect: the script is told, and a connection that asked for it
 *	opens a new connection to the same address, with a back-off from
 *	100 ms doubling to 5 s, until it succeeds. The new connection then
 *	takes the old one's place under the same busId: its handlers,
 *	monitor, exported objects, bindings, watches and proxies move over,
 *	its names are requested and its match rules added again, and the
 *	script is told it is back, and then of every name that somebody
 *	else holds now.
 */

#include <string>
#include "client/client.hpp"
#include "common.hpp"
#include "eventloop/eventloop.hpp"
#include "handlers/handlers.hpp"
#include "objects/objects.hpp"
#include "outgoing/outgoing.hpp"
#include "package/package.hpp"

/* The recovery record of a connection (vantrel.h names it). */
struct DBusRecovery {
    vantrel::ObjPtr notify;	/* Command prefix, or null. */
    bool reconnect = false;
    bool hasAddress = false;	/* Else the bus as libdbus finds it. */
    std::string address;
    DBusConnection *lost = nullptr; /* While reconnecting. Not owned:
				 * DBus_Close cancels us first. */
    Tcl_TimerToken timer = nullptr;
    int delay = 0;		/* Milliseconds until the next attempt. */
};

namespace {

constexpr int firstDelay = 100;
constexpr int longestDelay = 5000;

/*
 * A queued call of the -notify command: {*}notify state busId. Work of
 * the connection's paced queue.
 */
struct NotifyEvent {
    Tcl_Event event;		/* Must be first: Tcl's event header. */
    vantrel::PacedWork work;
    Tcl_Interp *interp;		/* Preserved until the event is done. */
    Tcl_Obj *words;		/* One reference. */
    bool report;		/* Whether an error goes to bgerror. */
};

int
NotifyProc(Tcl_Event *evPtr, int flags)
{
    auto *ev = reinterpret_cast<NotifyEvent *>(evPtr);
    vantrel::RunWork running(&ev->work, flags);
    if (!running) {
	return 0;
    }
    vantrel::ObjPtr words = vantrel::adoptObj(ev->words);
    Tcl_Interp *interp = ev->interp;
    if (!Tcl_InterpDeleted(interp)) {
	/* An event script's error goes to bgerror, as Tcl's own do. */
	if (Tcl_EvalObjEx(interp, words.get(), TCL_EVAL_GLOBAL) == TCL_ERROR
		&& ev->report && !Tcl_InterpDeleted(interp)) {
	    Tcl_BackgroundException(interp, TCL_ERROR);
	}
    }
    Tcl_Release(interp);
    return 1;
}

/*
 * Queues {*}notify state busId ?name? for the connection (cd is its
 * record), if it has -notify.
 */
void
Notify(DBusConnection *conn, DBusConnData *cd, const char *state,
	const char *name = NULL)
{
    if (cd->recovery == NULL || !cd->recovery->notify) {
	return;
    }
    Tcl_Obj *words = Tcl_DuplicateObj(cd->recovery->notify.get());
    Tcl_IncrRefCount(words);		/* Passes to the event. */
    Tcl_ListObjAppendElement(NULL, words, Tcl_NewStringObj(state, -1));
    Tcl_ListObjAppendElement(NULL, words, cd->busname);
    if (name != NULL) {
	Tcl_ListObjAppendElement(NULL, words, Tcl_NewStringObj(name, -1));
    }
    auto *ev = reinterpret_cast<NotifyEvent *>(
	    Tcl_Alloc(sizeof(NotifyEvent)));
    ev->event.proc = NotifyProc;
    ev->event.nextPtr = NULL;
    ev->interp = cd->interp;
    Tcl_Preserve(cd->interp);
    ev->words = words;
    ev->report = vantrel::ReportsErrors(cd, true);
    vantrel::QueueWork(&ev->event, &ev->work, conn);
}

/*
 * NameRefused --
 *
 *	A name asked for again on a new connection that it did not get
 *	(from dispatch): the script hears "queued" when the bus queued
 *	the request behind another owner, "exists" when it did not even
 *	queue it (-noqueue).
 */
void
NameRefused(DBusConnection *conn, const char *name, int reply)
{
    DBusConnData *cd = vantrel::ConnRecord(conn);
    if (cd == NULL) {
	return;
    }
    Notify(conn, cd, reply == DBUS_REQUEST_NAME_REPLY_IN_QUEUE ? "queued"
	    : "exists", name);
}

/*
 * Replace --
 *
 *	Puts a new connection in the place of a lost one: a copy of the
 *	record (the old one keeps only its busId name, freed with it), the
 *	state of every subsystem, the interpreter's tables. Then the old
 *	connection is released.
 *
 * Results:
 *	False when the new connection could not be set up (no memory); it
 *	is then closed and the old one stays as it was.
 */
bool
Replace(DBusConnection *old, DBusConnection *fresh)
{
    DBusConnData *oldCd = vantrel::ConnRecord(old);
    Tcl_Interp *interp = oldCd->interp;
    auto *cd = reinterpret_cast<DBusConnData *>(
	    Tcl_Alloc(sizeof(DBusConnData)));
    *cd = *oldCd;
    Tcl_IncrRefCount(cd->busname);	/* One per record. */
    cd->options &= ~CONN_LOST;
    /* A failed set-up frees the new record: it owns nothing yet. */
    cd->recovery = NULL;
    cd->parts = NULL;
    if (vantrel::SetUpConnection(fresh, cd) != TCL_OK) {
	return false;
    }
    /*
     * The pathless record, the monitor, the recovery and the subsystems'
     * state are the new connection's; the parts now name it, which is
     * all whatever holds them needs to know. What the bus forgot is
     * asked for again.
     */
    cd->recovery = oldCd->recovery;
    cd->parts = oldCd->parts;
    cd->parts->conn = fresh;
    oldCd->snoop = NULL;
    oldCd->fallback = NULL;
    oldCd->recovery = NULL;
    oldCd->parts = NULL;

    vantrel::AskAgain(fresh, NameRefused);
    vantrel::AskOwnersAgain(fresh);

    if (DBusInterpData *data = vantrel::InterpRecord(interp)) {
	Tcl_HashEntry *entry = Tcl_FindHashEntry(&data->bus,
		(char *) cd->busname);
	if (entry != NULL) {
	    Tcl_SetHashValue(entry, fresh);
	}
	for (DBusConnection *&conn : data->defaultbus) {
	    if (conn == old) {
		conn = fresh;
	    }
	}
    }

    /*
     * The handler scripts queued for the old connection cannot reach
     * anybody now; the rest of its queued work is the new one's.
     */
    DBus_DiscardEvents(old);
    vantrel::StopRouting(old);
    vantrel::DetachEventLoop(old);
    dbus_connection_close(old);
    while (dbus_connection_dispatch(old) == DBUS_DISPATCH_DATA_REMAINS) {
	/* Nothing is registered on it any more. */
    }
    dbus_connection_unref(old);
    DBusDispatchCancel(old);
    return true;
}

void Attempt(ClientData clientData);

void
Schedule(DBusRecovery *r)
{
    r->delay = r->delay == 0 ? firstDelay
	    : (r->delay * 2 > longestDelay ? longestDelay : r->delay * 2);
    r->timer = Tcl_CreateTimerHandler(r->delay, Attempt, r);
}

/*
 * Attempt --
 *
 *	Timer procedure: one attempt to reconnect; the next one is
 *	scheduled when it fails.
 */
void
Attempt(ClientData clientData)
{
    auto *r = static_cast<DBusRecovery *>(clientData);
    r->timer = nullptr;
    DBusConnection *old = r->lost;
    DBusConnData *cd = vantrel::ConnRecord(old);
    Tcl_Interp *interp = cd->interp;
    if (Tcl_InterpDeleted(interp)) {
	return;
    }
    Tcl_InterpState state = Tcl_SaveInterpState(interp, TCL_OK);
    DBusConnection *fresh = NULL;
    bool peer = (cd->options & CONN_NOBUS) != 0;
    bool opened = vantrel::OpenBus(interp, cd->type,
	    r->hasAddress ? r->address.c_str() : NULL, peer, &fresh) == TCL_OK;
    Tcl_RestoreInterpState(interp, state);
    if (!opened || !dbus_connection_get_is_connected(fresh)
	    || (!peer && dbus_bus_get_unique_name(fresh) == NULL)) {
	if (fresh != NULL) {
	    dbus_connection_close(fresh);
	    dbus_connection_unref(fresh);
	}
	Schedule(r);
	return;
    }
    r->lost = nullptr;
    r->delay = 0;
    if (!Replace(old, fresh)) {
	/* SetUpConnection released the new one. */
	r->lost = old;
	Schedule(r);
	return;
    }
    Notify(fresh, vantrel::ConnRecord(fresh), "back");
}

/*
 * WithoutGuid --
 *
 *	An address without its guid keys: a bus restarted at the same
 *	address has a new guid, which libdbus would refuse. Values are
 *	escaped in addresses, so "," and ";" only separate.
 */
std::string
WithoutGuid(const char *address)
{
    std::string out;
    std::string text(address);
    size_t start = 0;
    while (start <= text.size()) {
	size_t end = text.find_first_of(",;", start);
	if (end == std::string::npos) {
	    end = text.size();
	}
	std::string piece = text.substr(start, end - start);
	size_t colon = piece.find(':');
	std::string key = piece.substr(colon == std::string::npos ? 0
		: colon + 1);
	if (key.compare(0, 5, "guid=") != 0) {
	    out += piece;
	    if (end < text.size()) {
		out.push_back(text[end]);
	    }
	} else if (colon != std::string::npos) {
	    /* The method went with the first key: keep it. */
	    out += piece.substr(0, colon + 1);
	} else if (end < text.size() && text[end] == ';' && !out.empty()
		&& out.back() == ',') {
	    out.back() = ';';
	}
	start = end + 1;
    }
    while (!out.empty() && (out.back() == ',' || out.back() == ';')) {
	out.pop_back();
    }
    /* "unix:,path=..." after dropping a leading guid. */
    for (size_t pos; (pos = out.find(":,")) != std::string::npos;) {
	out.erase(pos + 1, 1);
    }
    return out;
}

} // namespace

namespace vantrel {

DBusRecovery *
NewRecovery(Tcl_Obj *notify, bool reconnect, const char *address)
{
    auto *r = new DBusRecovery;
    if (notify != NULL) {
	r->notify = holdObj(notify);
    }
    r->reconnect = reconnect;
    r->hasAddress = address != NULL;
    if (address != NULL) {
	r->address = WithoutGuid(address);
    }
    return r;
}

void
FreeRecovery(DBusRecovery *recovery)
{
    if (recovery == NULL) {
	return;
    }
    if (recovery->timer != nullptr) {
	Tcl_DeleteTimerHandler(recovery->timer);
    }
    delete recovery;
}

/*
 *----------------------------------------------------------------------
 *
 * ConnectionLost --
 *
 *	After the loss step failed the outstanding calls: watches hear
 *	their names vanish, the script is told "lost", and a reconnection
 *	is scheduled when asked for (package.hpp).
 *
 *----------------------------------------------------------------------
 */

void
ConnectionLost(DBusConnection *conn)
{
    ClientLost(conn);
    ObjectsLost(conn);
    DBusConnData *cd = ConnRecord(conn);
    if (cd == NULL || cd->recovery == NULL) {
	return;
    }
    Notify(conn, cd, "lost");
    DBusRecovery *r = cd->recovery;
    if (r->reconnect && r->timer == nullptr) {
	r->lost = conn;
	r->delay = 0;
	Schedule(r);
    }
}

} // namespace vantrel
