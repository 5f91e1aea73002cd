/*
 * watch.cpp --
 *
 *	libdbus watches as Tcl channel handlers. Each connection gets one
 *	Tcl file channel on its socket; every enabled watch of the
 *	connection is a channel handler on it, with libdbus's readable,
 *	writable and error flags mapped to Tcl's masks.
 */

#include <unistd.h>
#include "vantrel.h"

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
 * Makes the connection's channel at the first watch seen. The channel
 * wraps a duplicate of the socket's descriptor: it can then be closed
 * when libdbus drops the watch record without touching the descriptor
 * libdbus owns, so neither the channel nor a descriptor outlives the
 * connection. The channel belongs to no interpreter.
 */
Tcl_Channel
WatchChannel(DBusWatch *watch, DBusWatchData *record)
{
    if (record->chan == NULL) {
	int fd = dup(dbus_watch_get_unix_fd(watch));
	if (fd < 0) {
	    return NULL;
	}
	record->chan = Tcl_MakeFileChannel(
		reinterpret_cast<ClientData>(static_cast<intptr_t>(fd)),
		TCL_READABLE | TCL_WRITABLE);
	if (record->chan == NULL) {
	    close(fd);
	    return NULL;
	}
	Tcl_RegisterChannel(NULL, record->chan);
    }
    return record->chan;
}

/* Installs or removes the watch's channel handler. */
void
SetWatchHandler(DBusWatch *watch, DBusWatchData *record, bool enabled)
{
    Tcl_Channel chan = WatchChannel(watch, record);
    if (chan == NULL) {
	return;
    }
    if (enabled) {
	Tcl_CreateChannelHandler(chan, TclMask(dbus_watch_get_flags(watch)),
		DBus_WatchHandler, watch);
    } else {
	Tcl_DeleteChannelHandler(chan, DBus_WatchHandler, watch);
    }
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
