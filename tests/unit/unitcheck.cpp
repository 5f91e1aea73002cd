/*
 * unitcheck.cpp --
 *
 *	Calls exported routines of the extension directly, for the cases
 *	that no script can reach: loads the library into a fresh Tcl
 *	interpreter and prints one line per check, "ok NAME" or
 *	"FAIL NAME: detail". The exit status is the number of failures.
 *
 *	Each Check... function below covers one exported routine or one
 *	concern; main loads the library, resolves the routines and calls
 *	them in turn.
 */

#include <dlfcn.h>
#include <unistd.h>
#include <fcntl.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "vantrel.h"

namespace {

int failures = 0;

/*
 * Check --
 *
 *	Reports one check: "ok NAME" when ok, else "FAIL NAME: detail".
 */
void
Check(bool ok, const char *name, const std::string &detail)
{
    if (ok) {
	std::printf("ok %s\n", name);
    } else {
	std::printf("FAIL %s: %s\n", name, detail.c_str());
	failures++;
    }
    std::fflush(stdout);
}

/*
 * ErrorCode --
 *
 *	The -errorcode of the interpreter's last error, as text.
 */
std::string
ErrorCode(Tcl_Interp *interp)
{
    Tcl_Obj *options = Tcl_GetReturnOptions(interp, TCL_ERROR);
    Tcl_IncrRefCount(options);
    Tcl_Obj *key = Tcl_NewStringObj("-errorcode", -1);
    Tcl_IncrRefCount(key);
    Tcl_Obj *code = NULL;
    Tcl_DictObjGet(NULL, options, key, &code);
    std::string text = code ? Tcl_GetString(code) : "";
    Tcl_DecrRefCount(key);
    Tcl_DecrRefCount(options);
    return text;
}

/*
 * Routines --
 *
 *	The exported routines under test, looked up in the loaded library.
 *	The types come from the declarations in vantrel.h, so a changed
 *	signature fails to compile here instead of misbehaving.
 */
struct Routines {
    decltype(&Tcl_DBusErrorCode) errorCode;
    decltype(&DBus_MemoryError) memoryError;
    decltype(&DBus_AppendArgs) appendArgs;
    decltype(&DBus_ArgList) argList;
    decltype(&DBus_InterpPath) interpPath;
    decltype(&Tcl_CheckHashEmpty) hashEmpty;
    decltype(&DBus_CheckName) checkName;
    decltype(&DBus_ModifyWatch) modifyWatch;
    decltype(&DBus_FreeWatch) freeWatch;
    decltype(&DBus_SignalCleanup) signalCleanup;
    decltype(&DBus_MethodCleanup) methodCleanup;
    dbus_int32_t *slot;
};

/*
 * Lookup --
 *
 *	Resolves one symbol of the library into *target and records its
 *	name in missing when the library does not export it.
 */
template <typename T>
void
Lookup(void *library, const char *name, T *target, std::string &missing)
{
    *target = reinterpret_cast<T>(dlsym(library, name));
    if (*target == NULL) {
	missing += std::string(missing.empty() ? "" : " ") + name;
    }
}

/*
 * ResolveRoutines --
 *
 *	Looks every routine up in the library the interpreter loaded.
 *
 * Results:
 *	True when all were found (the "exports" check).
 */
bool
ResolveRoutines(Routines *r)
{
    void *self = dlopen(VANTREL_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    std::string missing;
    if (self == NULL) {
	missing = "the library is not loaded";
    } else {
	Lookup(self, "Tcl_DBusErrorCode", &r->errorCode, missing);
	Lookup(self, "DBus_MemoryError", &r->memoryError, missing);
	Lookup(self, "DBus_AppendArgs", &r->appendArgs, missing);
	Lookup(self, "DBus_ArgList", &r->argList, missing);
	Lookup(self, "DBus_InterpPath", &r->interpPath, missing);
	Lookup(self, "Tcl_CheckHashEmpty", &r->hashEmpty, missing);
	Lookup(self, "DBus_CheckName", &r->checkName, missing);
	Lookup(self, "DBus_ModifyWatch", &r->modifyWatch, missing);
	Lookup(self, "DBus_FreeWatch", &r->freeWatch, missing);
	Lookup(self, "DBus_SignalCleanup", &r->signalCleanup, missing);
	Lookup(self, "DBus_MethodCleanup", &r->methodCleanup, missing);
	Lookup(self, "dataSlot", &r->slot, missing);
    }
    Check(missing.empty(), "exports", "not exported: " + missing);
    return missing.empty();
}

/*
 * CheckErrorCode --
 *
 *	Tcl_DBusErrorCode: the errorCode is DBUS, the tag, the last element
 *	of the error name upper-cased (at most 39 characters) and the text.
 */
void
CheckErrorCode(Tcl_Interp *interp, const Routines &r)
{
    struct {
	const char *check;
	std::string name;
	const char *text;
	const char *tag;
	std::string expected;
    } cases[] = {
	{"errorcode-basic", "org.freedesktop.DBus.Error.Failed", "it broke",
		"NAME", "DBUS NAME FAILED {it broke}"},
	/* A short name far beyond 39 characters is cut, never overrun. */
	{"errorcode-long-name", "org.example.Error." + std::string(300, 'x'),
		"long", "CALL", "DBUS CALL " + std::string(39, 'X') + " long"},
	{"errorcode-no-dot", "NoDots", "plain", "FILTER",
		"DBUS FILTER NODOTS plain"},
    };
    for (const auto &c : cases) {
	DBusError err;
	dbus_error_init(&err);
	dbus_set_error_const(&err, c.name.c_str(), c.text);
	r.errorCode(interp, c.tag, &err);
	dbus_error_free(&err);
	Check(ErrorCode(interp) == c.expected, c.check, ErrorCode(interp));
    }
}

/*
 * CheckMemoryError --
 *
 *	DBus_MemoryError: TCL_ERROR, "out of memory", errorCode DBUS MEMORY.
 */
void
CheckMemoryError(Tcl_Interp *interp, const Routines &r)
{
    Tcl_ResetResult(interp);
    int code = r.memoryError(interp);
    Check(code == TCL_ERROR && ErrorCode(interp) == "DBUS MEMORY"
	    && std::strcmp(Tcl_GetStringResult(interp), "out of memory") == 0,
	    "memory-error", ErrorCode(interp));
}

/*
 * BodyText --
 *
 *	Describes the body of a message read from the start, one word per
 *	argument: its type code, ":" and its value ("x,y" for arrays of
 *	strings, the type code alone for anything else). Lets a check see
 *	the exact D-Bus type each value was given.
 */
std::string
BodyText(DBusMessage *msg)
{
    std::string text;
    DBusMessageIter iter;
    if (!dbus_message_iter_init(msg, &iter)) {
	return text;
    }
    do {
	int type = dbus_message_iter_get_arg_type(&iter);
	text += text.empty() ? "" : " ";
	text += static_cast<char>(type);
	text += ':';
	if (type == DBUS_TYPE_ARRAY) {
	    DBusMessageIter sub;
	    dbus_message_iter_recurse(&iter, &sub);
	    bool first = true;
	    while (dbus_message_iter_get_arg_type(&sub) == DBUS_TYPE_STRING) {
		const char *s;
		dbus_message_iter_get_basic(&sub, &s);
		text += std::string(first ? "" : ",") + s;
		first = false;
		dbus_message_iter_next(&sub);
	    }
	    continue;
	}
	DBusBasicValue v;
	switch (type) {
	case DBUS_TYPE_BOOLEAN:
	    dbus_message_iter_get_basic(&iter, &v);
	    text += std::to_string(v.bool_val);
	    break;
	case DBUS_TYPE_INT32:
	    dbus_message_iter_get_basic(&iter, &v);
	    text += std::to_string(v.i32);
	    break;
	case DBUS_TYPE_UINT32:
	    dbus_message_iter_get_basic(&iter, &v);
	    text += std::to_string(v.u32);
	    break;
	case DBUS_TYPE_INT64:
	    dbus_message_iter_get_basic(&iter, &v);
	    text += std::to_string(v.i64);
	    break;
	case DBUS_TYPE_STRING:
	    dbus_message_iter_get_basic(&iter, &v);
	    text += v.str;
	    break;
	}
    } while (dbus_message_iter_next(&iter));
    return text;
}

/*
 * CheckVariantTypeNames --
 *
 *	DBus_AppendArgs with implicit variants: the contents type follows
 *	the Tcl type name of the value. This Tcl never makes values named
 *	"boolean" or "wideInt", so values with stand-in types of those
 *	names check the two rows.
 */
void
CheckVariantTypeNames(Tcl_Interp *interp, const Routines &r)
{
    static const Tcl_ObjType fakeBoolean = {"boolean", NULL, NULL, NULL,
	    NULL};
    static const Tcl_ObjType fakeWide = {"wideInt", NULL, NULL, NULL, NULL};
    Tcl_Obj *typed[2] = {Tcl_NewStringObj("yes", -1),
	    Tcl_NewStringObj("5000000000", -1)};
    typed[0]->typePtr = &fakeBoolean;
    typed[1]->typePtr = &fakeWide;
    Tcl_IncrRefCount(typed[0]);
    Tcl_IncrRefCount(typed[1]);
    DBusMessage *msg = dbus_message_new_signal("/a", "org.ex.I", "S");
    std::string got;
    if (r.appendArgs(interp, "SIGNAL", NULL, msg, "vv", 2, typed)
	    == TCL_OK) {
	DBusMessageIter iter, sub;
	dbus_message_iter_init(msg, &iter);
	do {
	    dbus_message_iter_recurse(&iter, &sub);
	    char *sig = dbus_message_iter_get_signature(&sub);
	    DBusBasicValue v;
	    dbus_message_iter_get_basic(&sub, &v);
	    got += std::string(sig) + "="
		    + std::to_string(sig[0] == 'b' ? v.bool_val : v.i64) + " ";
	    dbus_free(sig);
	} while (dbus_message_iter_next(&iter));
    } else {
	got = Tcl_GetStringResult(interp);
    }
    dbus_message_unref(msg);
    Tcl_DecrRefCount(typed[0]);
    Tcl_DecrRefCount(typed[1]);
    Check(got == "b=1 x=5000000000 ", "variant-type-names", got);
}

/*
 * ArgListRun --
 *
 *	One call of DBus_ArgList on a fresh message: the values against the
 *	signature, starting skip complete types into it, with tag SIGNAL.
 *	Records what the call left behind.
 */
struct ArgListRun {
    int code;			/* What DBus_ArgList returned. */
    int count;			/* *countPtr afterwards. */
    std::string body;		/* BodyText of the message. */
    int nextType;		/* Type code where sig stands afterwards. */
    bool moreTypes;		/* Whether a type follows that one. */
    std::string result;		/* The interpreter result. */
    std::string errorCode;	/* The errorCode, after an error. */
};

ArgListRun
RunArgList(Tcl_Interp *interp, const Routines &r, const char *signature,
	int skip, std::vector<const char *> values)
{
    std::vector<Tcl_Obj *> objv;
    for (const char *v : values) {
	objv.push_back(Tcl_NewStringObj(v, -1));
	Tcl_IncrRefCount(objv.back());
    }
    DBusMessage *msg = dbus_message_new_signal("/a", "org.ex.I", "S");
    DBusMessageIter iter;
    dbus_message_iter_init_append(msg, &iter);
    DBusSignatureIter sig;
    dbus_signature_iter_init(&sig, signature);
    for (int i = 0; i < skip; i++) {
	dbus_signature_iter_next(&sig);
    }
    Tcl_ResetResult(interp);
    ArgListRun run;
    run.count = static_cast<int>(objv.size());
    run.code = r.argList(interp, "SIGNAL", NULL, &iter, &sig, &run.count,
	    objv.data());
    run.nextType = dbus_signature_iter_get_current_type(&sig);
    run.moreTypes = dbus_signature_iter_next(&sig);
    run.result = Tcl_GetStringResult(interp);
    run.errorCode = run.code == TCL_ERROR ? ErrorCode(interp) : "";
    if (run.code == TCL_OK) {
	run.body = BodyText(msg);
    }
    dbus_message_unref(msg);
    for (Tcl_Obj *o : objv) {
	Tcl_DecrRefCount(o);
    }
    return run;
}

std::string
Describe(const ArgListRun &run)
{
    return "code " + std::to_string(run.code) + ", count "
	    + std::to_string(run.count) + ", body {" + run.body
	    + "}, next type " + std::to_string(run.nextType) + ", result {"
	    + run.result + "}, errorCode {" + run.errorCode + "}";
}

/*
 * CheckArgList --
 *
 *	DBus_ArgList marshals values by consecutive complete types from
 *	where the signature iterator stands, decrements the count for each
 *	value it consumes, leaves surplus types to the caller and fails
 *	with DBUS tag ARGLIST when values are left over.
 */
void
CheckArgList(Tcl_Interp *interp, const Routines &r)
{
    ArgListRun run = RunArgList(interp, r, "ubasx", 0,
	    {"7", "yes", "x y", "-5000000000"});
    Check(run.code == TCL_OK && run.count == 0
	    && run.body == "u:7 b:1 a:x,y x:-5000000000"
	    && run.nextType == DBUS_TYPE_INVALID,
	    "arglist-typed", Describe(run));

    /* The first type is skipped: the values take the types after it. */
    run = RunArgList(interp, r, "sib", 1, {"-5", "0"});
    Check(run.code == TCL_OK && run.count == 0 && run.body == "i:-5 b:0",
	    "arglist-from-iterator", Describe(run));

    /* Fewer values than types: the rest of the signature stays. */
    run = RunArgList(interp, r, "iiu", 0, {"1", "2"});
    Check(run.code == TCL_OK && run.count == 0 && run.body == "i:1 i:2"
	    && run.nextType == DBUS_TYPE_UINT32 && !run.moreTypes,
	    "arglist-types-left", Describe(run));

    run = RunArgList(interp, r, "i", 0, {});
    Check(run.code == TCL_OK && run.count == 0 && run.body.empty()
	    && run.nextType == DBUS_TYPE_INT32,
	    "arglist-no-values", Describe(run));

    /* One value consumed, one left over. */
    run = RunArgList(interp, r, "i", 0, {"1", "2"});
    Check(run.code == TCL_ERROR && run.count == 1
	    && run.result == "arguments left after exhausting the type signature"
	    && run.errorCode == "DBUS SIGNAL ARGLIST",
	    "arglist-surplus", Describe(run));

    /* The value that fails to convert is not counted as consumed. */
    run = RunArgList(interp, r, "ii", 0, {"1", "abc"});
    Check(run.code == TCL_ERROR && run.count == 1
	    && run.result == "expected integer but got \"abc\"",
	    "arglist-bad-value", Describe(run));
}

/*
 * CheckName --
 *
 *	DBus_CheckName accepts one name element: 1 to 255 ASCII letters,
 *	digits and underscores, a leading digit allowed.
 */
void
CheckName(const Routines &r)
{
    struct {
	std::string text;
	int valid;
    } cases[] = {
	{"a", 1}, {"_", 1}, {"9lives", 1}, {"Get_1", 1},
	{std::string(255, 'n'), 1},
	{"", 0}, {std::string(256, 'n'), 0}, {"a.b", 0}, {"a-b", 0},
	{"a b", 0}, {"/a", 0}, {":1", 0}, {"a$", 0},
	/* Non-ASCII text, and NUL as Tcl holds it (C0 80). */
	{"caf\xc3\xa9", 0}, {"a\xc0\x80" "b", 0},
    };
    std::string wrong;
    for (const auto &c : cases) {
	Tcl_Obj *name = Tcl_NewStringObj(c.text.data(),
		static_cast<int>(c.text.size()));
	Tcl_IncrRefCount(name);
	int got = r.checkName(name);
	Tcl_DecrRefCount(name);
	if (got != c.valid) {
	    wrong += " {" + (c.text.size() > 20
		    ? c.text.substr(0, 3) + "...(" + std::to_string(c.text.size())
			+ " bytes)"
		    : c.text) + "}=" + std::to_string(got);
	}
    }
    Check(wrong.empty(), "check-name", "misjudged:" + wrong);
}

/*
 * The watch check drives a real libdbus watch: the listening socket of a
 * private DBusServer. Its watch functions only note the watch; the check
 * then hands it to DBus_ModifyWatch itself. A client connecting makes the
 * socket readable, and the server counts the connections it accepts,
 * which it does only when a channel handler hands it the readable event.
 */
struct ServerWatch {
    DBusWatch *watch = NULL;	/* The listening socket's watch. */
    int accepted = 0;		/* Connections the server accepted. */
};

dbus_bool_t
NoteWatch(DBusWatch *watch, void *data)
{
    auto *sw = static_cast<ServerWatch *>(data);
    if (sw->watch == NULL
	    && (dbus_watch_get_flags(watch) & DBUS_WATCH_READABLE)) {
	sw->watch = watch;
    }
    return TRUE;
}

void
ForgetWatch(DBusWatch *watch, void *data)
{
    auto *sw = static_cast<ServerWatch *>(data);
    if (sw->watch == watch) {
	sw->watch = NULL;
    }
}

void
IgnoreToggle(DBusWatch *, void *)
{
}

/* Not taking a reference lets libdbus drop the new connection. */
void
CountConnection(DBusServer *, DBusConnection *, void *data)
{
    static_cast<ServerWatch *>(data)->accepted++;
}

/*
 * Serve --
 *
 *	Runs Tcl's file events for up to ms milliseconds, or until the
 *	server has accepted the given number of connections.
 */
void
Serve(const ServerWatch &sw, int ms, int untilAccepted)
{
    auto deadline = std::chrono::steady_clock::now()
	    + std::chrono::milliseconds(ms);
    while (sw.accepted < untilAccepted
	    && std::chrono::steady_clock::now() < deadline) {
	while (Tcl_DoOneEvent(TCL_FILE_EVENTS | TCL_DONT_WAIT)) {
	}
	usleep(5000);
    }
}

int
OpenDescriptors()
{
    int n = 0;
    for (int fd = 0; fd < 1024; fd++) {
	if (fcntl(fd, F_GETFD) != -1) {
	    n++;
	}
    }
    return n;
}

/*
 * CheckModifyWatch --
 *
 *	DBus_ModifyWatch installs the watch's channel handler when enabled
 *	and removes it when not, on one channel made at the first watch;
 *	DBus_FreeWatch closes that channel and leaves libdbus's descriptor
 *	alone.
 */
void
CheckModifyWatch(const Routines &r)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string listen = std::string("unix:tmpdir=") + (tmp ? tmp : "/tmp");
    DBusError err;
    dbus_error_init(&err);
    DBusServer *server = dbus_server_listen(listen.c_str(), &err);
    if (server == NULL) {
	Check(false, "modify-watch", std::string("no private server: ")
		+ err.message);
	dbus_error_free(&err);
	return;
    }
    ServerWatch sw;
    dbus_server_set_new_connection_function(server, CountConnection, &sw,
	    NULL);
    dbus_server_set_watch_functions(server, NoteWatch, ForgetWatch,
	    IgnoreToggle, &sw, NULL);
    char *address = dbus_server_get_address(server);
    std::vector<DBusConnection *> clients;
    auto connectClient = [&]() {
	DBusConnection *c = dbus_connection_open_private(address, &err);
	if (c == NULL) {
	    dbus_error_free(&err);
	} else {
	    clients.push_back(c);
	}
    };

    if (sw.watch == NULL) {
	Check(false, "modify-watch", "the server has no readable watch");
    } else {
	auto *record = reinterpret_cast<DBusWatchData *>(
		Tcl_Alloc(sizeof(DBusWatchData)));
	record->chan = NULL;

	/* Disabled: a channel is made, but nobody serves the socket. */
	dbus_bool_t ret = r.modifyWatch(sw.watch, record, 0);
	Tcl_Channel chan = record->chan;
	connectClient();
	Serve(sw, 200, 1);
	Check(ret && chan != NULL && sw.accepted == 0 && clients.size() == 1,
		"modify-watch-disabled",
		"returned " + std::to_string(ret) + ", channel "
		+ (chan ? "made" : "missing") + ", accepted "
		+ std::to_string(sw.accepted));

	/* Enabled: the pending connection is accepted. */
	ret = r.modifyWatch(sw.watch, record, 1);
	Serve(sw, 5000, 1);
	Check(ret && sw.accepted == 1 && record->chan == chan,
		"modify-watch-enabled",
		"returned " + std::to_string(ret) + ", accepted "
		+ std::to_string(sw.accepted) + ", channel "
		+ (record->chan == chan ? "kept" : "replaced"));

	/* Disabled again, then enabled again. */
	r.modifyWatch(sw.watch, record, 0);
	connectClient();
	Serve(sw, 200, 2);
	int whileDisabled = sw.accepted;
	r.modifyWatch(sw.watch, record, 1);
	Serve(sw, 5000, 2);
	Check(whileDisabled == 1 && sw.accepted == 2 && record->chan == chan,
		"modify-watch-toggle",
		"accepted " + std::to_string(whileDisabled) + " while disabled, "
		+ std::to_string(sw.accepted) + " after");

	r.modifyWatch(sw.watch, record, 0);
	int fd = dbus_watch_get_unix_fd(sw.watch);
	int before = OpenDescriptors();
	r.freeWatch(record);
	int after = OpenDescriptors();
	Check(after == before - 1 && fcntl(fd, F_GETFD) != -1, "free-watch",
		"descriptors " + std::to_string(before) + " -> "
		+ std::to_string(after) + ", libdbus's socket "
		+ (fcntl(fd, F_GETFD) != -1 ? "open" : "closed"));
    }

    for (DBusConnection *c : clients) {
	dbus_connection_close(c);
	dbus_connection_unref(c);
    }
    dbus_free(address);
    dbus_server_disconnect(server);
    dbus_server_unref(server);
}

/*
 * A handler script as a registry entry holds it: one reference, taken
 * here on top of the check's own so the count can be watched.
 */
Tcl_Obj *
NewScript(const char *text)
{
    Tcl_Obj *script = Tcl_NewStringObj(text, -1);
    Tcl_IncrRefCount(script);
    return script;
}

void
AddEntry(Tcl_HashTable *table, const char *key, void *entry)
{
    int isNew;
    Tcl_SetHashValue(Tcl_CreateHashEntry(table, key, &isNew), entry);
}

DBusSignalEntry *
NewSignalEntry(Tcl_Obj *script, int flags)
{
    auto *entry = reinterpret_cast<DBusSignalEntry *>(
	    Tcl_Alloc(sizeof(DBusSignalEntry)));
    entry->script = script;
    Tcl_IncrRefCount(script);
    entry->flags = flags;
    return entry;
}

DBusMethodEntry *
NewMethodEntry(Tcl_Obj *script, int flags)
{
    auto *entry = reinterpret_cast<DBusMethodEntry *>(
	    Tcl_Alloc(sizeof(DBusMethodEntry)));
    entry->script = script;
    Tcl_IncrRefCount(script);
    entry->conn = NULL;
    entry->flags = flags;
    entry->in = NULL;
    entry->out = NULL;
    return entry;
}

/*
 * CheckTableCleanup --
 *
 *	Runs a cleanup routine on a table whose entries hold the scripts
 *	(one of them shared by two entries) and checks that it returns 1,
 *	the table is empty and still usable, and each script lost exactly
 *	the references the entries held; then runs it on an empty table.
 */
void
CheckTableCleanup(Tcl_Interp *interp, const char *check,
	int (*cleanup)(Tcl_Interp *, Tcl_HashTable *), Tcl_HashTable *table,
	Tcl_Obj *const scripts[2])
{
    int result = cleanup(interp, table);
    Tcl_HashSearch search;
    bool empty = Tcl_FirstHashEntry(table, &search) == NULL;
    int isNew;
    bool usable = Tcl_CreateHashEntry(table, "again", &isNew) != NULL
	    && isNew;
    Tcl_DeleteHashTable(table);
    Check(result == 1 && empty && usable && scripts[0]->refCount == 1
	    && scripts[1]->refCount == 1, check,
	    "returned " + std::to_string(result) + ", "
	    + (empty ? "empty" : "entries left") + ", references left "
	    + std::to_string(scripts[0]->refCount) + " and "
	    + std::to_string(scripts[1]->refCount) + " (1 each expected)");

    Tcl_HashTable none;
    Tcl_InitHashTable(&none, TCL_STRING_KEYS);
    result = cleanup(interp, &none);
    Tcl_DeleteHashTable(&none);
    std::string emptyCheck = std::string(check) + "-empty";
    Check(result == 1, emptyCheck.c_str(),
	    "returned " + std::to_string(result));
}

/*
 * CheckHandlerCleanup --
 *
 *	DBus_SignalCleanup and DBus_MethodCleanup empty a signal or method
 *	table of entries laid out as vantrel.h declares them, releasing the
 *	entries' script references.
 */
void
CheckHandlerCleanup(Tcl_Interp *interp, const Routines &r)
{
    Tcl_Obj *scripts[2] = {NewScript("puts first"), NewScript("puts shared")};
    Tcl_HashTable table;

    Tcl_InitHashTable(&table, TCL_STRING_KEYS);
    AddEntry(&table, "Changed", NewSignalEntry(scripts[0], 0));
    AddEntry(&table, "org.x.I.Changed", NewSignalEntry(scripts[1],
	    HANDLER_DETAILS));
    AddEntry(&table, "Other", NewSignalEntry(scripts[1], 0));
    CheckTableCleanup(interp, "signal-cleanup", r.signalCleanup, &table,
	    scripts);

    Tcl_InitHashTable(&table, TCL_STRING_KEYS);
    AddEntry(&table, "Get", NewMethodEntry(scripts[0], HANDLER_ASYNC));
    AddEntry(&table, "org.x.I.Get", NewMethodEntry(scripts[1], 0));
    /* The key "" holds the unknown-method handler. */
    AddEntry(&table, "", NewMethodEntry(scripts[1], HANDLER_DETAILS));
    /* A typed handler holds its signatures too; they go with it. */
    Tcl_Obj *sigs[2] = {NewScript("xs"), NewScript("")};
    DBusMethodEntry *typed = NewMethodEntry(scripts[0], 0);
    typed->in = sigs[0];
    typed->out = sigs[1];
    Tcl_IncrRefCount(sigs[0]);
    Tcl_IncrRefCount(sigs[1]);
    AddEntry(&table, "org.x.I.Typed", typed);
    CheckTableCleanup(interp, "method-cleanup", r.methodCleanup, &table,
	    scripts);
    Check(sigs[0]->refCount == 1 && sigs[1]->refCount == 1,
	    "method-cleanup-signatures", "references left "
	    + std::to_string(sigs[0]->refCount) + " and "
	    + std::to_string(sigs[1]->refCount) + " (1 each expected)");
    Tcl_DecrRefCount(sigs[0]);
    Tcl_DecrRefCount(sigs[1]);

    Tcl_DecrRefCount(scripts[0]);
    Tcl_DecrRefCount(scripts[1]);
}

/*
 * CheckInterpPath --
 *
 *	DBus_InterpPath: "" for a master, the child's name for a child.
 */
void
CheckInterpPath(Tcl_Interp *interp, const Routines &r)
{
    Tcl_Interp *child = Tcl_CreateSlave(interp, "kid", 0);
    std::string paths = std::string("{") + r.interpPath(interp) + "} {"
	    + r.interpPath(child) + "}";
    Check(paths == "{} {kid}", "interp-path", paths);
    Tcl_DeleteInterp(child);
}

/*
 * CheckHashEmpty --
 *
 *	Tcl_CheckHashEmpty: 1 for a table without entries, 0 with one.
 */
void
CheckHashEmpty(const Routines &r)
{
    Tcl_HashTable table;
    Tcl_InitHashTable(&table, TCL_STRING_KEYS);
    int empty = r.hashEmpty(&table);
    int isNew;
    Tcl_CreateHashEntry(&table, "k", &isNew);
    int full = r.hashEmpty(&table);
    Tcl_DeleteHashTable(&table);
    Check(empty == 1 && full == 0, "hash-empty",
	    std::to_string(empty) + " " + std::to_string(full));
}

/*
 * CheckSlotOnce --
 *
 *	A second interpreter loading the library leaves the process-wide
 *	connection data slot as it was.
 */
void
CheckSlotOnce(const std::string &load, const Routines &r)
{
    dbus_int32_t before = *r.slot;
    Tcl_Interp *second = Tcl_CreateInterp();
    Check(Tcl_Eval(second, load.c_str()) == TCL_OK && *r.slot == before
	    && before != -1, "slot-once",
	    "slot " + std::to_string(before) + " -> "
	    + std::to_string(*r.slot));
    Tcl_DeleteInterp(second);
}

} // namespace

int
main()
{
    Tcl_FindExecutable("unitcheck");
    Tcl_Interp *interp = Tcl_CreateInterp();
    std::string load = std::string("load ") + VANTREL_LIBRARY + " Dbus";
    if (Tcl_Eval(interp, load.c_str()) != TCL_OK) {
	std::printf("FAIL load: %s\n", Tcl_GetStringResult(interp));
	return 1;
    }
    Routines r;
    if (!ResolveRoutines(&r)) {
	return 1;
    }
    CheckErrorCode(interp, r);
    CheckMemoryError(interp, r);
    CheckVariantTypeNames(interp, r);
    CheckArgList(interp, r);
    CheckName(r);
    CheckModifyWatch(r);
    CheckHandlerCleanup(interp, r);
    CheckInterpPath(interp, r);
    CheckHashEmpty(r);
    CheckSlotOnce(load, r);
    Tcl_DeleteInterp(interp);
    return failures;
}
