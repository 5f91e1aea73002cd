/*
 * watch.cpp --
 *
 *	libdbus watches as Tcl channel handlers. Each connection gets one
 *	Tcl file channel on its socket; every enabled watch of the
 *	connection is a channel handler on it, with libdbus's readable,
 *	writable and error flags mapped to Tcl's masks. A server gets one
 *	channel per listening socket, and a connection it accepted has
 *	watches of its own until its peer has authenticated.
 *
 *	A connection this library set up reads its socket only while
 *	libdbus has no message left to dispatch: after a read that left
 *	messages waiting, its reading watch stands down until dispatch has
 *	taken the last (ResumeReading). A flood then waits in the socket
 *	and the bus, which bound it, instead of in the process, and each
 *	message is dispatched soon after it was read. While a reply is
 *	awaited with a deadline (libdbus then has a timeout armed for the
 *	connection), the connection reads as it comes, so that a reply
 *	behind a flood is taken in time, as it always was.
 */

#include <unistd.h>
#include <new>
#include <unordered_set>
#include <utility>
#include <vector>
#include "eventloop/eventloop.hpp"
#include "eventloop/pacing.hpp"

namespace {

/*
 * libdbus's watch flags and Tcl's file-event masks name the same
 * conditions one bit apart, so each mapping is a shift.
 */
constexpr int tclMaskShift = 1;
static_assert(DBUS_WATCH_READABLE << tclMaskShift == TCL_READABLE);
static_assert(DBUS_WATCH_WRITABLE << tclMaskShift == TCL_WRITABLE);
static_assert(DBUS_WATCH_ERROR << tclMaskShift == TCL_EXCEPTION);

/* The Tcl mask to wait for a watch's flags (readable, writable). */
constexpr int
TclMask(unsigned int watchFlags)
{
    return static_cast<int>(watchFlags
	    & (DBUS_WATCH_READABLE | DBUS_WATCH_WRITABLE)) << tclMaskShift;
}

/* The libdbus flags for the conditions Tcl reported. */
constexpr unsigned int
WatchFlags(int tclMask)
{
    return static_cast<unsigned int>(tclMask >> tclMaskShift)
	    & (DBUS_WATCH_READABLE | DBUS_WATCH_WRITABLE | DBUS_WATCH_ERROR);
}
static_assert(WatchFlags(TclMask(DBUS_WATCH_READABLE | DBUS_WATCH_WRITABLE))
	== (DBUS_WATCH_READABLE | DBUS_WATCH_WRITABLE));

/*
 * Ready conditions reported by Tcl, handed to libdbus. The client data
 * is the watch.
 */
void
DBus_WatchHandler(ClientData clientData, int mask)
{
    dbus_watch_handle(static_cast<DBusWatch *>(clientData), WatchFlags(mask));
}

/*
 * Makes a channel on the socket a watch watches. The channel wraps a
 * duplicate of the socket's descriptor: it can then be closed when
 * libdbus drops the watch record without touching the descriptor
 * libdbus owns, so neither the channel nor a descriptor outlives the
 * connection (or server). The channel belongs to no interpreter; null
 * when no descriptor is left.
 */
Tcl_Channel
NewWatchChannel(DBusWatch *watch)
{
    int fd = dup(dbus_watch_get_unix_fd(watch));
    if (fd < 0) {
	return NULL;
    }
    Tcl_Channel chan = Tcl_MakeFileChannel(
	    reinterpret_cast<ClientData>(static_cast<intptr_t>(fd)),
	    TCL_READABLE | TCL_WRITABLE);
    if (chan == NULL) {
	close(fd);
	return NULL;
    }
    Tcl_RegisterChannel(NULL, chan);
    return chan;
}

/* Makes the connection's channel at the first watch seen. */
Tcl_Channel
WatchChannel(DBusWatch *watch, DBusWatchData *record)
{
    if (record->chan == NULL) {
	record->chan = NewWatchChannel(watch);
    }
    return record->chan;
}

/* Installs or removes the watch's channel handler proc on chan. */
void
SetHandler(Tcl_Channel chan, DBusWatch *watch, bool enabled,
	Tcl_ChannelProc *proc)
{
    if (chan == NULL) {
	return;
    }
    if (enabled) {
	Tcl_CreateChannelHandler(chan, TclMask(dbus_watch_get_flags(watch)),
		proc, watch);
    } else {
	Tcl_DeleteChannelHandler(chan, proc, watch);
    }
}

void
SetWatchHandler(DBusWatch *watch, DBusWatchData *record, bool enabled)
{
    SetHandler(WatchChannel(watch, record), watch, enabled,
	    DBus_WatchHandler);
}

} // namespace

/*
 * The watch and timeout record of a connection this library set up: its
 * channel, its reading watch while libdbus has one, whether that watch
 * stands down until dispatch catches up, and its armed timeouts. Owned
 * by libdbus's lists of watches and of timeouts together, freed when
 * both have let it go (with the connection); its pacing record points
 * to it.
 */
struct vantrel::ReadGate {
    DBusWatchData watches;
    DBusConnection *conn;	/* Not owned: the record goes with it. */
    DBusWatch *reader = nullptr; /* The watch that reads, or null. */
    bool held = false;		/* Its channel handler is off for now. */
    std::unordered_set<DBusTimeout *> armed; /* Its enabled timeouts. */
    int owners = 2;		/* libdbus's two lists. */
};

namespace {

using vantrel::ReadGate;

void GateHandler(ClientData clientData, int mask);

/* The reading watch stands down; messages wait for dispatch. */
void
Hold(ReadGate *gate)
{
    if (gate->reader != nullptr && !gate->held && gate->armed.empty()) {
	gate->held = true;
	SetHandler(gate->watches.chan, gate->reader, false, GateHandler);
    }
}

/*
 * Ready conditions of a gated connection, handed to libdbus; a read
 * that left messages to dispatch holds the reading back. The client
 * data is the watch, whose data is the record.
 */
void
GateHandler(ClientData clientData, int mask)
{
    auto *watch = static_cast<DBusWatch *>(clientData);
    auto *gate = static_cast<ReadGate *>(dbus_watch_get_data(watch));
    DBusConnection *conn = gate->conn;
    dbus_connection_ref(conn);		/* The record lives as long. */
    dbus_watch_handle(watch, WatchFlags(mask));
    /* libdbus may have dropped the watch meanwhile (a lost socket). */
    if (gate->reader == watch && dbus_connection_get_dispatch_status(conn)
	    == DBUS_DISPATCH_DATA_REMAINS) {
	Hold(gate);
    }
    dbus_connection_unref(conn);
}

dbus_bool_t
GateAddWatch(DBusWatch *watch, void *data)
{
    auto *gate = static_cast<ReadGate *>(data);
    dbus_watch_set_data(watch, gate, NULL);
    /* Only a watch that does nothing but read stands down. */
    if (dbus_watch_get_flags(watch) == DBUS_WATCH_READABLE) {
	gate->reader = watch;
    }
    bool enabled = dbus_watch_get_enabled(watch)
	    && !(watch == gate->reader && gate->held);
    SetHandler(WatchChannel(watch, &gate->watches), watch, enabled,
	    GateHandler);
    return TRUE;
}

void
GateRemoveWatch(DBusWatch *watch, void *data)
{
    auto *gate = static_cast<ReadGate *>(data);
    SetHandler(WatchChannel(watch, &gate->watches), watch, false,
	    GateHandler);
    if (gate->reader == watch) {
	gate->reader = nullptr;
	gate->held = false;
    }
}

void
GateToggleWatch(DBusWatch *watch, void *data)
{
    GateAddWatch(watch, data);
}

/*
 * The connection's timeouts, as Tcl timers (timeout.cpp), and which of
 * them are armed: an armed timeout lets reading go on.
 */
dbus_bool_t
GateAddTimeout(DBusTimeout *timeout, void *data)
{
    auto *gate = static_cast<ReadGate *>(data);
    if (!dbus_timeout_get_enabled(timeout)) {
	gate->armed.erase(timeout);
    } else if (gate->armed.insert(timeout).second) {
	vantrel::ResumeReading(gate);
    }
    return DBus_AddTimeout(timeout, NULL);
}

void
GateRemoveTimeout(DBusTimeout *timeout, void *data)
{
    static_cast<ReadGate *>(data)->armed.erase(timeout);
    DBus_RemoveTimeout(timeout, NULL);
}

void
GateToggleTimeout(DBusTimeout *timeout, void *data)
{
    GateAddTimeout(timeout, data);
}

/* One of libdbus's lists lets the record go; the last frees it. */
void
GateFree(void *data)
{
    auto *gate = static_cast<ReadGate *>(data);
    if (--gate->owners > 0) {
	return;
    }
    if (gate->watches.chan != NULL) {
	Tcl_UnregisterChannel(NULL, gate->watches.chan);
    }
    delete gate;
}

/*
 * The watch record of a server: a channel per listening socket (TCP
 * may listen on several addresses), by descriptor.
 */
struct ServerWatches {
    std::vector<std::pair<int, Tcl_Channel>> chans;
};

Tcl_Channel
ServerChannel(DBusWatch *watch, ServerWatches *record)
{
    int fd = dbus_watch_get_unix_fd(watch);
    for (auto &entry : record->chans) {
	if (entry.first == fd) {
	    return entry.second;
	}
    }
    Tcl_Channel chan = NewWatchChannel(watch);
    if (chan != NULL) {
	record->chans.emplace_back(fd, chan);
    }
    return chan;
}

dbus_bool_t
ServerAddWatch(DBusWatch *watch, void *data)
{
    SetHandler(ServerChannel(watch, static_cast<ServerWatches *>(data)),
	    watch, dbus_watch_get_enabled(watch), DBus_WatchHandler);
    return TRUE;
}

void
ServerRemoveWatch(DBusWatch *watch, void *data)
{
    SetHandler(ServerChannel(watch, static_cast<ServerWatches *>(data)),
	    watch, false, DBus_WatchHandler);
}

void
ServerToggleWatch(DBusWatch *watch, void *data)
{
    ServerAddWatch(watch, data);
}

void
ServerFreeWatches(void *data)
{
    auto *record = static_cast<ServerWatches *>(data);
    for (auto &entry : record->chans) {
	Tcl_UnregisterChannel(NULL, entry.second);
    }
    delete record;
}

/*
 * The watch record of an accepted connection whose peer has not
 * authenticated yet: its channel, and whom to tell how it ended.
 * Owned by libdbus through PendingFree, until AttachEventLoop replaces
 * it or the connection is finalised.
 */
struct Pending {
    DBusWatchData watches;
    DBusConnection *conn;	/* Not owned: the record goes with it. */
    vantrel::AuthSettled settled;
    void *data;
    bool done;			/* settled has run. */
};

/*
 * Channel handler of an accepted connection's watches: the
 * authentication runs inside dbus_watch_handle; when it has ended
 * either way, settled is told once. settled may replace or free the
 * record, so nothing of it is touched afterwards.
 */
void
PendingHandler(ClientData clientData, int mask)
{
    auto *watch = static_cast<DBusWatch *>(clientData);
    auto *p = static_cast<Pending *>(dbus_watch_get_data(watch));
    DBusConnection *conn = p->conn;
    dbus_connection_ref(conn);		/* Whatever settled does with it. */
    dbus_watch_handle(watch, WatchFlags(mask));
    if (!p->done) {
	bool connected = dbus_connection_get_is_connected(conn);
	/* Asking runs libdbus's check of who the peer is. */
	if (!connected || dbus_connection_get_is_authenticated(conn)) {
	    p->done = true;
	    p->settled(conn, connected
		    && dbus_connection_get_is_connected(conn), p->data);
	}
    }
    dbus_connection_unref(conn);
}

dbus_bool_t
PendingAddWatch(DBusWatch *watch, void *data)
{
    auto *p = static_cast<Pending *>(data);
    dbus_watch_set_data(watch, p, NULL);
    SetHandler(WatchChannel(watch, &p->watches), watch,
	    dbus_watch_get_enabled(watch), PendingHandler);
    return TRUE;
}

void
PendingRemoveWatch(DBusWatch *watch, void *data)
{
    auto *p = static_cast<Pending *>(data);
    SetHandler(WatchChannel(watch, &p->watches), watch, false,
	    PendingHandler);
}

void
PendingToggleWatch(DBusWatch *watch, void *data)
{
    PendingAddWatch(watch, data);
}

void
PendingFree(void *data)
{
    auto *p = static_cast<Pending *>(data);
    if (p->watches.chan != NULL) {
	Tcl_UnregisterChannel(NULL, p->watches.chan);
    }
    delete p;
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBus_AddWatch, DBus_ToggleWatch, DBus_ModifyWatch --
 *
 *	Watch functions of libdbus: the watch gets a channel handler for
 *	its flags while it is enabled (DBus_ModifyWatch takes the enabled
 *	state from its argument).
 *
 * Results:
 *	True, always.
 *
 *----------------------------------------------------------------------
 */

dbus_bool_t
DBus_AddWatch(DBusWatch *watch, void *data)
{
    SetWatchHandler(watch, static_cast<DBusWatchData *>(data),
	    dbus_watch_get_enabled(watch));
    return TRUE;
}

void
DBus_ToggleWatch(DBusWatch *watch, void *data)
{
    DBus_AddWatch(watch, data);
}

dbus_bool_t
DBus_ModifyWatch(DBusWatch *watch, void *data, int enable)
{
    SetWatchHandler(watch, static_cast<DBusWatchData *>(data), enable != 0);
    return TRUE;
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_RemoveWatch --
 *
 *	Remove function of libdbus: the watch's channel handler goes.
 *
 *----------------------------------------------------------------------
 */

void
DBus_RemoveWatch(DBusWatch *watch, void *data)
{
    SetWatchHandler(watch, static_cast<DBusWatchData *>(data), false);
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_FreeWatch --
 *
 *	Free function of the watch record, run when libdbus finalises the
 *	connection: closes the channel (and with it the duplicate
 *	descriptor) and frees the record.
 *
 *----------------------------------------------------------------------
 */

void
DBus_FreeWatch(void *data)
{
    auto *record = static_cast<DBusWatchData *>(data);
    if (record->chan != NULL) {
	Tcl_UnregisterChannel(NULL, record->chan);
    }
    Tcl_Free(reinterpret_cast<char *>(record));
}

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * AttachWatches, ResumeReading --
 *
 *	The gated watches of a connection, and the end of a hold
 *	(pacing.hpp).
 *
 *----------------------------------------------------------------------
 */

ReadGate *
AttachWatches(DBusConnection *conn)
{
    auto *gate = new (std::nothrow) ReadGate();
    if (gate == nullptr) {
	return nullptr;
    }
    gate->conn = conn;
    if (!dbus_connection_set_timeout_functions(conn, GateAddTimeout,
	    GateRemoveTimeout, GateToggleTimeout, gate, GateFree)) {
	delete gate;			/* libdbus took no share. */
	return nullptr;
    }
    if (!dbus_connection_set_watch_functions(conn, GateAddWatch,
	    GateRemoveWatch, GateToggleWatch, gate, GateFree)) {
	GateFree(gate);			/* The watches' share. */
	/* libdbus lets the timeouts' share go. */
	dbus_connection_set_timeout_functions(conn, NULL, NULL, NULL, NULL,
		NULL);
	return nullptr;
    }
    return gate;
}

void
ResumeReading(ReadGate *gate)
{
    if (gate->held) {
	gate->held = false;
	if (gate->reader != nullptr && dbus_watch_get_enabled(gate->reader)) {
	    SetHandler(gate->watches.chan, gate->reader, true, GateHandler);
	}
    }
}

/*
 *----------------------------------------------------------------------
 *
 * AttachServer, AwaitAuthentication --
 *
 *	The watches and timeouts of a server, and of a connection it
 *	accepted until its peer has authenticated (eventloop.hpp). Each
 *	watch record is handed to libdbus with its free function.
 *
 *----------------------------------------------------------------------
 */

bool
AttachServer(DBusServer *server)
{
    if (!dbus_server_set_timeout_functions(server, DBus_AddTimeout,
	    DBus_RemoveTimeout, DBus_ToggleTimeout, NULL, NULL)) {
	return false;
    }
    auto *record = new (std::nothrow) ServerWatches;
    if (record == nullptr) {
	return false;
    }
    if (!dbus_server_set_watch_functions(server, ServerAddWatch,
	    ServerRemoveWatch, ServerToggleWatch, record, ServerFreeWatches)) {
	ServerFreeWatches(record);	/* libdbus did not take it. */
	return false;
    }
    return true;
}

bool
AwaitAuthentication(DBusConnection *conn, AuthSettled settled, void *data)
{
    if (!dbus_connection_set_timeout_functions(conn, DBus_AddTimeout,
	    DBus_RemoveTimeout, DBus_ToggleTimeout, NULL, NULL)) {
	return false;
    }
    auto *p = new (std::nothrow) Pending{{NULL}, conn, settled, data, false};
    if (p == nullptr) {
	return false;
    }
    if (!dbus_connection_set_watch_functions(conn, PendingAddWatch,
	    PendingRemoveWatch, PendingToggleWatch, p, PendingFree)) {
	PendingFree(p);			/* libdbus did not take it. */
	return false;
    }
    return true;
}

} // namespace vantrel
