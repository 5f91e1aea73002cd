/*
 * credentials.cpp --
 *
 *	[dbus credentials]: who is at the other end. With a bus name the bus
 *	is asked (GetConnectionCredentials) through WaitReply, so inside a
 *	coroutine with -yield the event loop runs on meanwhile; the answers
 *	for unique names are kept in the connection's parts and dropped
 *	when the name leaves the bus (NameOwnerChanged, one match rule for
 *	all the names kept) or the connection is lost. Without a name the
 *	answer is what the connection's socket tells of its peer: a
 *	peer-to-peer peer, or on a bus connection the bus itself.
 */

#include <sys/socket.h>
#include <sys/types.h>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include "common.hpp"
#include "handlers/handlers.hpp"
#include "outgoing/outgoing.hpp"
#include "values/values.hpp"

namespace vantrel {

/*
 * The credentials the bus gave for unique names of a connection, in its
 * parts. While there are entries, the rule that tells of every name
 * that leaves the bus is in place; an entry's dict is null until an
 * answer came after the rule was added.
 */
struct CredentialsCache {
    std::map<std::string, ObjPtr, std::less<>> byName;
};

} // namespace vantrel

namespace {

using vantrel::CredentialsCache;
using vantrel::ObjPtr;

/* A reference to a connection, kept by a lookup that may outlive it. */
using HeldConn = std::shared_ptr<DBusConnection>;

CredentialsCache *
CacheOf(DBusConnection *conn, bool create)
{
    return vantrel::PartOf(conn, &DBusConnParts::credentials, create);
}

/*
 * The rule that tells when any name leaves the bus. One rule serves
 * every name kept: a rule per name would take up to as many of the
 * connection's match rules as it has callers (the system bus allows a
 * connection 512), and leave none for the program's own.
 */
const char *const leaveRule = "type='signal',sender='" DBUS_SERVICE_DBUS
	"',path='" DBUS_PATH_DBUS "',interface='" DBUS_INTERFACE_DBUS
	"',member='NameOwnerChanged',arg2=''";

/*
 * Drops a followed name: its entry and, with the last, on a live
 * connection, the rule.
 */
void
Unfollow(DBusConnection *conn, CredentialsCache *cache,
	const std::string &name)
{
    auto it = cache->byName.find(name);
    if (it == cache->byName.end()) {
	return;
    }
    cache->byName.erase(it);
    if (cache->byName.empty() && dbus_connection_get_is_connected(conn)) {
	/* Without an error to fill, libdbus does not wait for the bus. */
	dbus_bus_remove_match(conn, leaveRule, NULL);
    }
}

/*
 * RouteToCredentials --
 *
 *	The kept credentials' step of the router, for every signal: a
 *	followed name that leaves the bus loses its entry. (A lost
 *	connection loses them all in the loss step: DropCredentials.)
 */
void
RouteToCredentials(DBusConnection *conn, DBusConnParts *parts,
	DBusMessage *msg, const char *, const char *intf,
	const char *member)
{
    CredentialsCache *cache = parts->credentials;
    if (cache == nullptr || intf == NULL) {
	return;
    }
    const char *name, *oldOwner, *newOwner;
    if (std::strcmp(intf, DBUS_INTERFACE_DBUS) == 0
	    && std::strcmp(member, "NameOwnerChanged") == 0
	    && dbus_message_has_sender(msg, DBUS_SERVICE_DBUS)
	    && dbus_message_get_args(msg, NULL, DBUS_TYPE_STRING, &name,
		    DBUS_TYPE_STRING, &oldOwner, DBUS_TYPE_STRING, &newOwner,
		    DBUS_TYPE_INVALID)
	    && *newOwner == '\0') {
	Unfollow(conn, cache, name);
    }
}

/*
 * Starts following a unique name: its entry, and with the first the
 * rule (sent without waiting, ahead of the question, so that the bus
 * reports a leave that follows its answer). False without memory.
 */
bool
Follow(DBusConnection *conn, const std::string &name)
{
    CredentialsCache *cache = CacheOf(conn, true);
    if (cache == nullptr) {
	return false;
    }
    if (cache->byName.count(name) == 0) {
	if (cache->byName.empty()) {
	    dbus_bus_add_match(conn, leaveRule, NULL);
	}
	cache->byName.emplace(name, nullptr);
    }
    return true;
}

/*
 * The value of one entry of a credentials dict, read from its variant:
 * the security label as text (the bus sends its bytes with a closing
 * NUL), anything else as a received value. Null for what cannot be
 * kept as a value (a descriptor).
 */
ObjPtr
EntryValue(Tcl_Interp *interp, const char *key, DBusMessageIter *variant,
	int mode)
{
    char *sig = dbus_message_iter_get_signature(variant);
    bool fd = sig == NULL || std::strchr(sig, DBUS_TYPE_UNIX_FD) != NULL;
    bool bytes = sig != NULL && std::strcmp(sig, "ay") == 0;
    dbus_free(sig);
    if (fd) {
	return nullptr;
    }
    if (bytes && std::strcmp(key, "LinuxSecurityLabel") == 0) {
	DBusMessageIter array;
	dbus_message_iter_recurse(variant, &array);
	const char *data = NULL;
	int n = 0;
	dbus_message_iter_get_fixed_array(&array, &data, &n);
	std::string label(data != NULL ? data : "", static_cast<size_t>(n));
	label.resize(std::strlen(label.c_str()));
	return vantrel::holdObj(vantrel::NewUtf8Obj(label.c_str()));
    }
    ObjPtr list = vantrel::holdObj(
	    vantrel::IterList(interp, variant, 0, NULL, mode));
    Tcl_Obj *value = NULL;
    Tcl_ListObjIndex(NULL, list.get(), 0, &value);
    return value != NULL ? vantrel::holdObj(value) : nullptr;
}

/*
 * The dict of a GetConnectionCredentials answer (a{sv}). Returns a new
 * object with a reference count of 0.
 */
Tcl_Obj *
AnswerDict(Tcl_Interp *interp, DBusMessage *reply, int mode)
{
    Tcl_Obj *dict = Tcl_NewDictObj();
    DBusMessageIter top, array;
    if (!dbus_message_iter_init(reply, &top)
	    || dbus_message_iter_get_arg_type(&top) != DBUS_TYPE_ARRAY
	    || dbus_message_iter_get_element_type(&top)
		    != DBUS_TYPE_DICT_ENTRY) {
	return dict;
    }
    for (dbus_message_iter_recurse(&top, &array);
	    dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_DICT_ENTRY;
	    dbus_message_iter_next(&array)) {
	DBusMessageIter entry, variant;
	dbus_message_iter_recurse(&array, &entry);
	if (dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_STRING) {
	    continue;
	}
	const char *key;
	dbus_message_iter_get_basic(&entry, &key);
	dbus_message_iter_next(&entry);
	if (dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_VARIANT) {
	    continue;
	}
	dbus_message_iter_recurse(&entry, &variant);
	if (ObjPtr value = EntryValue(interp, key, &variant, mode)) {
	    Tcl_DictObjPut(NULL, dict, Tcl_NewStringObj(key, -1),
		    value.get());
	}
    }
    return dict;
}

/*
 * PeerDict --
 *
 *	What the socket of the connection tells of its peer, under the
 *	keys of GetConnectionCredentials: the user and process libdbus
 *	learnt when it authenticated the peer (only a server learns them),
 *	else those the kernel recorded when the socket connected, and
 *	where Linux tells them, the peer's groups and security label.
 *
 * Results:
 *	A new dict with a reference count of 0; empty for a peer whose
 *	socket tells nothing (TCP).
 */
Tcl_Obj *
PeerDict(DBusConnection *conn)
{
    unsigned long uid = 0, pid = 0;
    bool haveUid = dbus_connection_get_unix_user(conn, &uid);
    bool havePid = dbus_connection_get_unix_process_id(conn, &pid);
    int fd = -1;
    if (!dbus_connection_get_socket(conn, &fd)) {
	fd = -1;
    }
#ifdef SO_PEERCRED
    struct ucred cred;
    socklen_t credSize = sizeof(cred);
    if (fd >= 0 && (!haveUid || !havePid) && getsockopt(fd, SOL_SOCKET,
	    SO_PEERCRED, &cred, &credSize) == 0 && cred.pid > 0) {
	if (!haveUid) {
	    uid = cred.uid;
	    haveUid = true;
	}
	if (!havePid) {
	    pid = static_cast<unsigned long>(cred.pid);
	    havePid = true;
	}
    }
#endif
    Tcl_Obj *dict = Tcl_NewDictObj();
    if (haveUid) {
	Tcl_DictObjPut(NULL, dict, Tcl_NewStringObj("UnixUserID", -1),
		Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(uid)));
    }
    if (havePid) {
	Tcl_DictObjPut(NULL, dict, Tcl_NewStringObj("ProcessID", -1),
		Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(pid)));
    }
    if (fd < 0) {
	return dict;
    }
#ifdef SO_PEERGROUPS
    std::vector<gid_t> groups(64);
    socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    int got = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size);
    if (got != 0 && errno == ERANGE) {
	groups.resize(size / sizeof(gid_t));
	got = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size);
    }
    if (got == 0) {
	Tcl_Obj *list = Tcl_NewListObj(0, NULL);
	for (size_t i = 0; i < size / sizeof(gid_t); i++) {
	    Tcl_ListObjAppendElement(NULL, list,
		    Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(groups[i])));
	}
	Tcl_DictObjPut(NULL, dict, Tcl_NewStringObj("UnixGroupIDs", -1),
		list);
    }
#endif
#ifdef SO_PEERSEC
    char label[4096];
    socklen_t length = sizeof(label) - 1;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERSEC, label, &length) == 0
	    && length > 0) {
	label[length] = '\0';
	Tcl_DictObjPut(NULL, dict, Tcl_NewStringObj("LinuxSecurityLabel", -1),
		vantrel::NewUtf8Obj(label));
    }
#endif
    return dict;
}

} // namespace

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * Credentials --
 *
 *	The credentials of a bus name, or with name null of the
 *	connection's peer, as the interpreter's result (outgoing.hpp).
 *
 * Results:
 *	TCL_OK with the dict; the NR result of a suspended coroutine; or
 *	an error: the bus's error reply as "credentials of "name": text",
 *	errorCode DBUS CREDENTIALS REPLY errorName; DBUS CREDENTIALS NOBUS
 *	for a name on a connection without a bus; WaitReply's.
 *
 *----------------------------------------------------------------------
 */

int
Credentials(Tcl_Interp *interp, DBusConnection *conn, const char *name,
	bool yield)
{
    if (name == NULL) {
	if (!dbus_connection_get_is_connected(conn)) {
	    return Fail(interp, "CREDENTIALS", "CONNECTION",
		    "connection is closed");
	}
	Tcl_SetObjResult(interp, PeerDict(conn));
	return TCL_OK;
    }
    if (RefuseNoBus(interp, "CREDENTIALS", conn) != TCL_OK) {
	return TCL_ERROR;
    }
    bool unique = name[0] == ':';
    if (unique) {
	if (CredentialsCache *cache = CacheOf(conn, false)) {
	    auto it = cache->byName.find(name);
	    if (it != cache->byName.end() && it->second) {
		Tcl_SetObjResult(interp, it->second.get());
		return TCL_OK;
	    }
	}
	if (dbus_connection_get_is_connected(conn) && !Follow(conn, name)) {
	    return DBus_MemoryError(interp);
	}
    }
    MessagePtr msg = BusCall("GetConnectionCredentials");
    if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &name,
	    DBUS_TYPE_INVALID)) {
	return DBus_MemoryError(interp);
    }
    HeldConn ref(dbus_connection_ref(conn), dbus_connection_unref);
    std::string asked(name);
    int mode = ConnMode(conn);
    return WaitReply(interp, conn, std::move(msg),
	    {"CREDENTIALS", DBUS_TIMEOUT_USE_DEFAULT, yield},
	    [ref, asked, unique, mode](Tcl_Interp *ip, DBusMessage *reply) {
	DBusConnection *on = ref.get();
	CredentialsCache *cache = unique ? CacheOf(on, false) : nullptr;
	if (dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR) {
	    if (cache != nullptr) {
		auto it = cache->byName.find(asked);
		if (it != cache->byName.end() && !it->second) {
		    Unfollow(on, cache, asked);
		}
	    }
	    ErrorGuard err;
	    dbus_set_error_from_message(err.get(), reply);
	    const char *errorName = dbus_message_get_error_name(reply);
	    Tcl_SetObjResult(ip, Tcl_ObjPrintf("credentials of \"%s\": %s",
		    asked.c_str(), err.message() ? err.message() : ""));
	    Tcl_SetErrorCode(ip, libname, "CREDENTIALS", "REPLY",
		    errorName ? errorName : "", (char *) NULL);
	    return TCL_ERROR;
	}
	Tcl_Obj *dict = AnswerDict(ip, reply, mode);
	if (cache != nullptr) {
	    /* Kept only while the rule that tells of a leave is there. */
	    auto it = cache->byName.find(asked);
	    if (it != cache->byName.end()) {
		it->second = holdObj(dict);
	    }
	}
	Tcl_SetObjResult(ip, dict);
	return TCL_OK;
    });
}

/* KnowsCredentials -- whether a name's credentials are kept (outgoing.hpp). */
bool
KnowsCredentials(DBusConnection *conn, const char *name)
{
    CredentialsCache *cache = CacheOf(conn, false);
    if (cache == nullptr) {
	return false;
    }
    auto it = cache->byName.find(name);
    return it != cache->byName.end() && it->second;
}

/* InitCredentials -- the kept credentials' step of the router, once. */
void
InitCredentials()
{
    AddSignalRoute(RouteToCredentials);
}

/*
 * DropCredentials --
 *
 *	Empties the credentials of a closing connection (outgoing.hpp);
 *	the bus drops the rule with the connection.
 */
void
DropCredentials(DBusConnection *conn)
{
    DropPart(conn, &DBusConnParts::credentials);
}

/*
 *----------------------------------------------------------------------
 *
 * DBusCredentialsNRCmd --
 *
 *	dbus credentials ?busId? ?-yield? ?name?: the credentials of a bus
 *	name, or without one of the connection's peer. A single word that
 *	is a valid bus name is the name, anything else the busId.
 *
 * Results:
 *	The dict, or an error as Credentials describes; DBUS CREDENTIALS
 *	BUSNAME for a name that is not one.
 *
 *----------------------------------------------------------------------
 */

int
DBusCredentialsNRCmd(ClientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    static const char *const options[] = {"-yield", NULL};
    int i = 1;
    Tcl_Obj *busId = NULL;
    if (i < objc && Tcl_GetString(objv[i])[0] != '-'
	    && !(objc - i == 1 && DBus_CheckBusName(objv[i]))) {
	busId = objv[i++];
    }
    bool yield = false;
    if (i < objc && Tcl_GetString(objv[i])[0] == '-') {
	int index;
	if (Tcl_GetIndexFromObjStruct(interp, objv[i], options,
		sizeof(char *), "option", 0, &index) != TCL_OK) {
	    return TCL_ERROR;
	}
	yield = true;
	i++;
    }
    Tcl_Obj *name = i < objc ? objv[i++] : NULL;
    if (i < objc) {
	Tcl_WrongNumArgs(interp, 1, objv, "?busId? ?-yield? ?name?");
	return TCL_ERROR;
    }
    if (name != NULL && !DBus_CheckBusName(name)) {
	return FailWord(interp, "CREDENTIALS", "BUSNAME", "invalid bus name",
		name);
    }
    DBusConnection *conn = DBus_GetConnection(interp, "CREDENTIALS", busId);
    if (conn == NULL) {
	return TCL_ERROR;
    }
    return Credentials(interp, conn, name ? Tcl_GetString(name) : NULL,
	    yield);
}

int
DBusCredentialsCmd(ClientData clientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    return Tcl_NRCallObjProc(interp, DBusCredentialsNRCmd, clientData, objc,
	    objv);
}

} // namespace vantrel
