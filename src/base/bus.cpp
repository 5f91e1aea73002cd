/*
 * bus.cpp --
 *
 *	Turning a busId into a connection or a bus type, and deciding
 *	whether two D-Bus addresses denote the same bus.
 */

#include <cstring>
#include "common.hpp"

namespace {

/*
 * Address keys compared after "guid"; the table starts with "guid", which
 * is looked at on its own, and ends with a null entry.
 */
const char *const addressKeys[] = {
    "guid", "path", "tmpdir", "abstract", "runtime", "host", "port",
    "bind", "family", NULL
};

/* Owns the entry array that dbus_parse_address returns. */
struct AddressEntries {
    DBusAddressEntry **entries = nullptr;
    int count = 0;
    ~AddressEntries() { if (entries) dbus_address_entries_free(entries); }
};

/*
 * Compares two values of one address key: paths by their normalised
 * file system form, everything else as exact strings.
 */
bool
SameValue(const char *a, const char *b)
{
    if (a[0] == '/' && b[0] == '/') {
	vantrel::ObjPtr pa = vantrel::holdObj(Tcl_NewStringObj(a, -1));
	vantrel::ObjPtr pb = vantrel::holdObj(Tcl_NewStringObj(b, -1));
	return Tcl_FSEqualPaths(pa.get(), pb.get()) != 0;
    }
    return std::strcmp(a, b) == 0;
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBus_BusEqual --
 *
 *	Decides whether a parsed address entry and the first entry of an
 *	address string denote the same bus: by guid when both have one,
 *	otherwise by transport and the transport's keys.
 *
 * Results:
 *	1 when equal, 0 otherwise (also when the address does not parse).
 *
 *----------------------------------------------------------------------
 */

int
DBus_BusEqual(DBusAddressEntry *entry, const char *address)
{
    AddressEntries other;
    vantrel::ErrorGuard err;
    if (!dbus_parse_address(address, &other.entries, &other.count, err.get())
	    || other.count < 1) {
	return 0;
    }
    DBusAddressEntry *that = other.entries[0];
    const char *g1 = dbus_address_entry_get_value(entry, addressKeys[0]);
    const char *g2 = dbus_address_entry_get_value(that, addressKeys[0]);
    if (g1 != NULL && g2 != NULL) {
	return std::strcmp(g1, g2) == 0;
    }
    if (std::strcmp(dbus_address_entry_get_method(entry),
	    dbus_address_entry_get_method(that)) != 0) {
	return 0;
    }
    for (const char *const *key = addressKeys + 1; *key != NULL; key++) {
	const char *v1 = dbus_address_entry_get_value(entry, *key);
	const char *v2 = dbus_address_entry_get_value(that, *key);
	if (v1 == NULL && v2 == NULL) {
	    continue;
	}
	if (v1 == NULL || v2 == NULL || !SameValue(v1, v2)) {
	    return 0;
	}
    }
    return 1;
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_BusType --
 *
 *	Resolves a busId to a bus type: absent or "session" 0, "system" 1,
 *	"starter" the bus that env(DBUS_STARTER_ADDRESS) names, and any
 *	other text parsed as an address and compared with the session bus
 *	(env(DBUS_SESSION_BUS_ADDRESS)) and the system bus.
 *
 *	A starter address that is neither the session nor the system bus
 *	gives 2, the starter bus, so that [dbus connect starter] opens
 *	libdbus's starter bus and "starter" then names that connection.
 *
 * Results:
 *	0, 1, 2 or 3; -1 with the parse error as result and errorCode
 *	DBUS CONNECT <short name> <message>.
 *
 *----------------------------------------------------------------------
 */

int
DBus_BusType(Tcl_Interp *interp, Tcl_Obj *const name)
{
    if (name == NULL) {
	return DBUS_BUSTYPE_SESSION;
    }
    int index;
    bool starter = false;
    Tcl_Obj *address = name;
    if (Tcl_GetIndexFromObjStruct(NULL, name, busnames, sizeof(char *), "",
	    TCL_EXACT, &index) == TCL_OK) {
	if (index == DBUS_BUSTYPE_SESSION || index == DBUS_BUSTYPE_SYSTEM) {
	    return index;
	}
	address = Tcl_GetVar2Ex(interp, "env", "DBUS_STARTER_ADDRESS",
		TCL_GLOBAL_ONLY);
	if (address == NULL) {
	    return DBUS_BUSTYPE_SESSION;
	}
	starter = true;
    }

    AddressEntries parsed;
    vantrel::ErrorGuard err;
    if (!dbus_parse_address(Tcl_GetString(address), &parsed.entries,
	    &parsed.count, err.get())) {
	Tcl_SetObjResult(interp, Tcl_NewStringObj(err.message(), -1));
	Tcl_DBusErrorCode(interp, "CONNECT", err.get());
	return DBUS_BUSTYPE_UNRESOLVED;
    }
    if (parsed.count < 1) {
	/* An empty address list names no bus; libdbus would refuse it. */
	return starter ? DBUS_BUSTYPE_STARTER : DBUS_BUSTYPE_ADDRESS;
    }
    DBusAddressEntry *entry = parsed.entries[0];
    const char *session = Tcl_GetVar2(interp, "env",
	    "DBUS_SESSION_BUS_ADDRESS", TCL_GLOBAL_ONLY);
    if (session != NULL && DBus_BusEqual(entry, session)) {
	return DBUS_BUSTYPE_SESSION;
    }
    if (DBus_BusEqual(entry, DBUS_SYSTEM_ADDRESS)) {
	return DBUS_BUSTYPE_SYSTEM;
    }
    return starter ? DBUS_BUSTYPE_STARTER : DBUS_BUSTYPE_ADDRESS;
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_GetConnection --
 *
 *	Finds the connection a busId names in this interpreter: a busId
 *	name from [dbus connect], or the default connection of the bus
 *	that a bus name or an address denotes.
 *
 * Results:
 *	The connection, or null with result and errorCode set:
 *	bad busid "X" (DBUS tag BUSNAME) or "not connected"
 *	(DBUS tag CONNECTION).
 *
 *----------------------------------------------------------------------
 */

DBusConnection *
DBus_GetConnection(Tcl_Interp *interp, const char *tag, Tcl_Obj *const name)
{
    DBusInterpData *data = vantrel::InterpRecord(interp);
    if (data != NULL && name != NULL) {
	Tcl_HashEntry *entry = Tcl_FindHashEntry(&data->bus, (char *) name);
	if (entry != NULL) {
	    return static_cast<DBusConnection *>(Tcl_GetHashValue(entry));
	}
    }
    int type = DBus_BusType(interp, name);
    if (data != NULL && type >= DBUS_BUSTYPE_SESSION
	    && type <= DBUS_BUSTYPE_STARTER && data->defaultbus[type] != NULL) {
	return data->defaultbus[type];
    }
    if (type == DBUS_BUSTYPE_UNRESOLVED) {
	Tcl_SetObjResult(interp, Tcl_ObjPrintf("bad busid \"%s\"",
		Tcl_GetString(name)));
	Tcl_SetErrorCode(interp, libname, tag, "BUSNAME", (char *) NULL);
	return NULL;
    }
    vantrel::Fail(interp, tag, "CONNECTION", "not connected");
    return NULL;
}
