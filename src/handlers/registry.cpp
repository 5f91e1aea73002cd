/*
 * registry.cpp --
 *
 *	The handler registry of a connection: one DBusPathData record per
 *	object path that carries handlers (or an exported object), in the
 *	table of the connection's parts, plus the pathless record in the
 *	connection record. Holds the add and remove steps the listen, method
 *	and unknown commands share, the listing of the paths below a path,
 *	and the cleanup run when a connection closes. The router
 *	(dispatch.cpp) reads the table; libdbus's own object-path registry is
 *	not used, so the table goes wherever the connection's parts go.
 */

#include <cstring>
#include <string>
#include <utility>
#include <vector>
#include "common.hpp"
#include "handlers/handlers.hpp"

namespace {

using vantrel::PathRecords;

/* The path table of a connection, made when create asks for it. */
PathRecords *
Records(DBusConnection *conn, bool create)
{
    return vantrel::PartOf(conn, &DBusConnParts::paths, create);
}

/*
 * NewRecord --
 *
 *	Allocates a handler record without tables.
 *
 * Results:
 *	The record; the caller owns it and frees it with Tcl_Free.
 */
DBusPathData *
NewRecord()
{
    auto *record = reinterpret_cast<DBusPathData *>(
	    Tcl_Alloc(sizeof(DBusPathData)));
    record->signal = NULL;
    record->method = NULL;
    record->flags = 0;
    return record;
}

/*
 * FreeEntry --
 *
 *	Releases a signal or method entry: its references and the entry.
 *	A method entry is told apart by its table, not by its contents.
 */
void
FreeEntry(void *value, bool method)
{
    if (value == NULL) {
	return;
    }
    if (method) {
	auto *entry = static_cast<DBusMethodEntry *>(value);
	Tcl_DecrRefCount(entry->script);
	if (entry->in != NULL) {
	    Tcl_DecrRefCount(entry->in);
	}
	if (entry->out != NULL) {
	    Tcl_DecrRefCount(entry->out);
	}
    } else {
	Tcl_DecrRefCount(static_cast<DBusSignalEntry *>(value)->script);
    }
    Tcl_Free(static_cast<char *>(value));
}

/*
 * EmptyTable --
 *
 *	Releases every entry of a signal or method table: the entries'
 *	references, the entries and the hash entries. The table itself
 *	stays.
 *
 * Results:
 *	1 when the table is empty afterwards.
 */
int
EmptyTable(Tcl_HashTable *table, bool method)
{
    Tcl_HashSearch search;
    for (Tcl_HashEntry *h = Tcl_FirstHashEntry(table, &search); h != NULL;
	    h = Tcl_NextHashEntry(&search)) {
	FreeEntry(Tcl_GetHashValue(h), method);
	Tcl_DeleteHashEntry(h);
    }
    return Tcl_CheckHashEmpty(table);
}

/* Holds a new reference to obj, or nothing for null. */
Tcl_Obj *
Hold(Tcl_Obj *obj)
{
    if (obj != NULL) {
	Tcl_IncrRefCount(obj);
    }
    return obj;
}

/*
 * DropRecordIfIdle --
 *
 *	Frees the record of a path, and takes it from the table, once it
 *	has no handler tables left and nothing keeps it (the fallback of
 *	"/", an exported object).
 */
void
DropRecordIfIdle(DBusConnection *conn, const char *path,
	DBusPathData *record)
{
    if (record->signal != NULL || record->method != NULL
	    || (record->flags & (HANDLER_FALLBACK | HANDLER_EXPORTED))) {
	return;
    }
    Tcl_Free(reinterpret_cast<char *>(record));
    if (path[0] == '\0') {
	vantrel::ConnRecord(conn)->fallback = NULL;
    } else if (PathRecords *records = Records(conn, false)) {
	records->erase(records->find(std::string_view(path)));
	records->Forget();
    }
}

/*
 * DropTableIfEmpty --
 *
 *	Deletes and frees a table that has no entries left.
 *
 * Side effects:
 *	Clears *table when the table went.
 */
void
DropTableIfEmpty(Tcl_HashTable **table)
{
    if (*table != NULL && Tcl_CheckHashEmpty(*table)) {
	Tcl_DeleteHashTable(*table);
	Tcl_Free(reinterpret_cast<char *>(*table));
	*table = NULL;
    }
}

} // namespace

namespace vantrel {

/*
 * FindEntry --
 *
 *	Looks a key up in the method or signal table of a record, which
 *	may be null (handlers.hpp).
 *
 * Results:
 *	The entry (borrowed from the registry) or null.
 */
void *
FindEntry(const DBusPathData *record, bool method, const char *key)
{
    if (record == NULL) {
	return NULL;
    }
    Tcl_HashTable *table = method ? record->method : record->signal;
    if (table == NULL) {
	return NULL;
    }
    Tcl_HashEntry *h = Tcl_FindHashEntry(table, key);
    return h ? Tcl_GetHashValue(h) : NULL;
}

/*
 * JoinChildPath --
 *
 *	Forms the path of a registered child in a DString: the parent, a
 *	"/" unless the parent already ends in one, and the child's name.
 *	(Tcl's allocator never throws, so no C++ exception can leave the
 *	callers.)
 *
 * Results:
 *	The child's path, held by the caller's DString.
 */
const char *
JoinChildPath(Tcl_DString *buffer, const char *parent, const char *name)
{
    Tcl_DStringInit(buffer);
    Tcl_DStringAppend(buffer, parent, -1);
    int length = Tcl_DStringLength(buffer);
    if (length == 0 || parent[length - 1] != '/') {
	Tcl_DStringAppend(buffer, "/", 1);
    }
    Tcl_DStringAppend(buffer, name, -1);
    return Tcl_DStringValue(buffer);
}

/*
 * LookupRecord, AddHandler, RemoveHandler --
 *
 *	The lookup, add and remove steps that the listen, method and
 *	unknown commands share; handlers.hpp describes their results.
 */

bool
LookupRecord(DBusConnection *conn, const char *path, DBusPathData **record)
{
    if (path[0] == '\0') {
	DBusConnData *cd = ConnRecord(conn);
	*record = cd ? cd->fallback : NULL;
	return true;
    }
    *record = FindRecord(Parts(conn), path);
    return true;
}

DBusPathData *
FindRecord(const DBusConnParts *parts, std::string_view path)
{
    if (parts == nullptr || parts->paths == nullptr) {
	return nullptr;
    }
    const PathRecords &records = *parts->paths;
    if (records.lastRecord != nullptr && path == records.lastPath) {
	return records.lastRecord;
    }
    auto it = records.find(path);
    if (it == records.end()) {
	return nullptr;
    }
    records.lastPath = it->first;
    records.lastRecord = it->second;
    return it->second;
}

std::vector<std::string>
ListChildren(DBusConnection *conn, const char *path)
{
    std::vector<std::string> children;
    PathRecords *records = Records(conn, false);
    if (records == nullptr) {
	return children;
    }
    /*
     * Every path below this one begins with the prefix. "/" sorts before
     * every character a path element may hold, so the paths below one
     * child follow each other and a child is listed once.
     */
    std::string prefix = path;
    if (prefix.empty() || prefix.back() != '/') {
	prefix.push_back('/');
    }
    for (auto it = records->lower_bound(std::string_view(prefix));
	    it != records->end() && it->first.compare(0, prefix.size(),
		    prefix) == 0; ++it) {
	size_t end = it->first.find('/', prefix.size());
	std::string child = it->first.substr(prefix.size(),
		end == std::string::npos ? std::string::npos
		: end - prefix.size());
	if (!child.empty() && (children.empty() || children.back() != child)) {
	    children.push_back(std::move(child));
	}
    }
    return children;
}

int
AddHandler(Tcl_Interp *interp, DBusConnection *conn, const char *path,
	Table table, const char *key, Tcl_Obj *script, int flags,
	Tcl_Obj *in, Tcl_Obj *out)
{
    DBusPathData *record = DBus_GetMessageHandler(interp, conn, path);
    if (record == NULL) {
	return DBus_MemoryError(interp);
    }
    Tcl_HashTable **slot = (table == Table::Signal)
	    ? &record->signal : &record->method;
    if (*slot == NULL) {
	*slot = reinterpret_cast<Tcl_HashTable *>(
		Tcl_Alloc(sizeof(Tcl_HashTable)));
	Tcl_InitHashTable(*slot, TCL_STRING_KEYS);
    }
    int isNew;
    Tcl_HashEntry *h = Tcl_CreateHashEntry(*slot, key, &isNew);
    Tcl_Obj *copy = Tcl_DuplicateObj(script);
    Tcl_IncrRefCount(copy);		/* Held by the entry. */
    if (table == Table::Signal) {
	DBusSignalEntry *entry;
	if (isNew) {
	    entry = reinterpret_cast<DBusSignalEntry *>(
		    Tcl_Alloc(sizeof(DBusSignalEntry)));
	    Tcl_SetHashValue(h, entry);
	} else {
	    entry = static_cast<DBusSignalEntry *>(Tcl_GetHashValue(h));
	    Tcl_DecrRefCount(entry->script);
	}
	entry->script = copy;
	entry->flags = flags;
    } else {
	DBusMethodEntry *entry;
	if (isNew) {
	    entry = reinterpret_cast<DBusMethodEntry *>(
		    Tcl_Alloc(sizeof(DBusMethodEntry)));
	    entry->conn = conn;
	    Tcl_SetHashValue(h, entry);
	} else {
	    /* A replaced handler keeps the connection it was made on. */
	    entry = static_cast<DBusMethodEntry *>(Tcl_GetHashValue(h));
	    Tcl_DecrRefCount(entry->script);
	    if (entry->in != NULL) {
		Tcl_DecrRefCount(entry->in);
	    }
	    if (entry->out != NULL) {
		Tcl_DecrRefCount(entry->out);
	    }
	}
	entry->script = copy;
	entry->flags = flags;
	entry->in = Hold(in);		/* Held by the entry, as is out. */
	entry->out = Hold(out);
    }
    return TCL_OK;
}

int
RemoveHandler(Tcl_Interp *interp, DBusConnection *conn, const char *path,
	Table table, const char *key)
{
    DBusPathData *record;
    if (!LookupRecord(conn, path, &record)) {
	return DBus_MemoryError(interp);
    }
    if (record == NULL) {
	return TCL_OK;
    }
    Tcl_HashTable **slot = (table == Table::Signal)
	    ? &record->signal : &record->method;
    if (*slot == NULL) {
	return TCL_OK;
    }
    Tcl_HashEntry *h = Tcl_FindHashEntry(*slot, key);
    if (h == NULL) {
	return TCL_OK;
    }
    FreeEntry(Tcl_GetHashValue(h), table == Table::Method);
    Tcl_DeleteHashEntry(h);

    DropTableIfEmpty(slot);
    DropRecordIfIdle(conn, path, record);
    return TCL_OK;
}

/*
 * RetainPath, ReleasePath --
 *
 *	Keep and let go the record of an exported object's path
 *	(handlers.hpp).
 */

bool
RetainPath(Tcl_Interp *interp, DBusConnection *conn, const char *path)
{
    DBusPathData *record = DBus_GetMessageHandler(interp, conn, path);
    if (record == NULL) {
	return false;
    }
    record->flags |= HANDLER_EXPORTED;
    return true;
}

void
ReleasePath(DBusConnection *conn, const char *path)
{
    DBusPathData *record;
    if (!LookupRecord(conn, path, &record) || record == NULL) {
	return;
    }
    record->flags &= ~HANDLER_EXPORTED;
    DropRecordIfIdle(conn, path, record);
}

/*
 * DropHandlers --
 *
 *	Removes every handler of a closing connection: the records of "/"
 *	and every path below it, then the pathless record (handlers.hpp).
 */

void
DropHandlers(Tcl_Interp *interp, DBusConnection *conn)
{
    DBus_PathCleanup(interp, conn, "/");
    DBusConnData *cd = ConnRecord(conn);
    if (cd != NULL && cd->fallback != NULL
	    && DBus_HandlerCleanup(interp, cd->fallback)) {
	Tcl_Free(reinterpret_cast<char *>(cd->fallback));
	cd->fallback = NULL;
    }
    PathRecords *records = Records(conn, false);
    if (records != nullptr && records->empty()) {
	DropPart(conn, &DBusConnParts::paths);
    }
}

} // namespace vantrel

/*
 *----------------------------------------------------------------------
 *
 * DBus_GetMessageHandler --
 *
 *	Finds the handler record of a path, creating it in the
 *	connection's table when there is none yet. The path "" stands for
 *	the pathless record; it and "/" make the record of "/" the fallback
 *	(HANDLER_FALLBACK), so that the router hands every message of the
 *	connection that carries a path to the dispatcher.
 *
 * Results:
 *	The record, or null for a connection this library never set up.
 *
 * Side effects:
 *	May create the record of "/" or of the path and the pathless
 *	record. The records belong to the connection.
 *
 *----------------------------------------------------------------------
 */

DBusPathData *
DBus_GetMessageHandler(Tcl_Interp *, DBusConnection *conn, const char *path)
{
    bool pathless = (path[0] == '\0');
    PathRecords *records = Records(conn, true);
    if (records == nullptr) {
	return NULL;
    }
    std::string_view key = pathless ? "/" : path;
    auto it = records->find(key);
    if (it == records->end()) {
	DBusPathData *record = NewRecord();
	if (key == "/") {
	    record->flags = HANDLER_FALLBACK;
	}
	it = records->emplace(std::string(key), record).first;
    }
    if (!pathless) {
	return it->second;
    }
    DBusConnData *cd = vantrel::ConnRecord(conn);
    if (cd->fallback == NULL) {
	cd->fallback = NewRecord();
    }
    return cd->fallback;
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_FindListeners --
 *
 *	Looks up the handler registered under a name on a path ("" for the
 *	pathless record), in the signal table (method 0) or the method
 *	table (method non-zero).
 *
 * Results:
 *	The DBusSignalEntry or DBusMethodEntry, or null when there is
 *	none. The entry stays owned by the registry.
 *
 *----------------------------------------------------------------------
 */

void *
DBus_FindListeners(DBusConnection *conn, const char *path, const char *name,
	int method)
{
    DBusPathData *record;
    if (!vantrel::LookupRecord(conn, path, &record) || record == NULL) {
	return NULL;
    }
    return vantrel::FindEntry(record, method != 0, name);
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_HandlerCleanup --
 *
 *	Removes every handler of a record and frees its tables. The
 *	record itself stays for the caller to free or keep.
 *
 * Results:
 *	1 when both table pointers are null afterwards.
 *
 *----------------------------------------------------------------------
 */

int
DBus_HandlerCleanup(Tcl_Interp *, DBusPathData *data)
{
    if (data->signal != NULL) {
	EmptyTable(data->signal, false);
	DropTableIfEmpty(&data->signal);
    }
    if (data->method != NULL) {
	EmptyTable(data->method, true);
	DropTableIfEmpty(&data->method);
    }
    return data->signal == NULL && data->method == NULL;
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_PathCleanup --
 *
 *	Removes the handlers of a path and of every path below it, and
 *	the records left without handlers (the fallback of "/" included)
 *	with them.
 *
 *----------------------------------------------------------------------
 */

void
DBus_PathCleanup(Tcl_Interp *interp, DBusConnection *conn, const char *path)
{
    PathRecords *records = Records(conn, false);
    if (records == nullptr) {
	return;
    }
    std::string below = path;
    if (below.back() != '/') {
	below.push_back('/');
    }
    /*
     * The path comes first and the paths below it follow: "/" sorts
     * before every character a path element may hold.
     */
    for (auto it = records->lower_bound(std::string_view(path));
	    it != records->end() && (it->first == path
		    || it->first.compare(0, below.size(), below) == 0); ) {
	DBusPathData *record = it->second;
	if (DBus_HandlerCleanup(interp, record)) {
	    Tcl_Free(reinterpret_cast<char *>(record));
	    it = records->erase(it);
	    records->Forget();
	} else {
	    ++it;
	}
    }
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_SignalCleanup, DBus_MethodCleanup --
 *
 *	Remove every entry of a signal or method table, leaving the table
 *	itself in place.
 *
 * Results:
 *	1 when the table is empty afterwards.
 *
 *----------------------------------------------------------------------
 */

int
DBus_SignalCleanup(Tcl_Interp *, Tcl_HashTable *table)
{
    return EmptyTable(table, false);
}

int
DBus_MethodCleanup(Tcl_Interp *, Tcl_HashTable *table)
{
    return EmptyTable(table, true);
}

/*
 *----------------------------------------------------------------------
 *
 * Tcl_CheckHashEmpty --
 *
 *	Tells whether a hash table has no entry.
 *
 * Results:
 *	1 when empty, else 0.
 *
 *----------------------------------------------------------------------
 */

int
Tcl_CheckHashEmpty(Tcl_HashTable *table)
{
    Tcl_HashSearch search;
    return Tcl_FirstHashEntry(table, &search) == NULL;
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_Unregister --
 *
 *	Kept for callers of the library; has nothing to do: no path is
 *	registered with libdbus, the registry keeps its records itself.
 *
 *----------------------------------------------------------------------
 */

void
DBus_Unregister(DBusConnection *, void *)
{
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_CleanUpHandler --
 *
 *	Kept for callers of the library; has nothing to do.
 *
 *----------------------------------------------------------------------
 */

void
DBus_CleanUpHandler(void)
{
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_InterpPath --
 *
 *	The path of an interpreter as its master sees it.
 *
 * Results:
 *	The path, held in the master's result until the master's next
 *	command, or "" when the interpreter has no master.
 *
 *----------------------------------------------------------------------
 */

const char *
DBus_InterpPath(Tcl_Interp *interp)
{
    Tcl_Interp *master = Tcl_GetMaster(interp);
    if (master == NULL) {
	return "";
    }
    Tcl_GetInterpPath(master, interp);
    return Tcl_GetStringResult(master);
}
