/*
 * unitcheck.cpp --
 *
 *	Calls exported routines of the extension directly, for the cases
 *	that no script can reach: loads the library into a fresh Tcl
 *	interpreter and prints one line per check, "ok NAME" or
 *	"FAIL NAME: detail". The exit status is the number of failures.
 */

#include <dlfcn.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <tcl.h>
#include <dbus/dbus.h>

namespace {

int failures = 0;

void
Check(bool ok, const char *name, const std::string &detail)
{
    if (ok) {
	std::printf("ok %s\n", name);
    } else {
	std::printf("FAIL %s: %s\n", name, detail.c_str());
	failures++;
    }
}

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
    void *self = dlopen(VANTREL_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    using ErrorCodeFn = void (*)(Tcl_Interp *, const char *, const DBusError *);
    using MemoryFn = int (*)(Tcl_Interp *);
    auto errorCode = reinterpret_cast<ErrorCodeFn>(
	    dlsym(self, "Tcl_DBusErrorCode"));
    auto memoryError = reinterpret_cast<MemoryFn>(
	    dlsym(self, "DBus_MemoryError"));
    auto *slot = static_cast<dbus_int32_t *>(dlsym(self, "dataSlot"));
    Check(errorCode && memoryError && slot, "exports",
	    "exported symbols missing");
    if (!errorCode || !memoryError || !slot) {
	return 1;
    }

    DBusError err;
    dbus_error_init(&err);
    dbus_set_error_const(&err, "org.freedesktop.DBus.Error.Failed", "it broke");
    errorCode(interp, "NAME", &err);
    Check(ErrorCode(interp) == "DBUS NAME FAILED {it broke}", "errorcode-basic",
	    ErrorCode(interp));

    /* A short name far beyond 39 characters is cut, never overrun. */
    std::string longName = "org.example.Error." + std::string(300, 'x');
    dbus_error_free(&err);
    dbus_set_error_const(&err, longName.c_str(), "long");
    errorCode(interp, "CALL", &err);
    Check(ErrorCode(interp) == "DBUS CALL " + std::string(39, 'X') + " long",
	    "errorcode-long-name", ErrorCode(interp));

    dbus_error_free(&err);
    dbus_set_error_const(&err, "NoDots", "plain");
    errorCode(interp, "FILTER", &err);
    Check(ErrorCode(interp) == "DBUS FILTER NODOTS plain", "errorcode-no-dot",
	    ErrorCode(interp));

    dbus_error_free(&err);
    Tcl_ResetResult(interp);
    int code = memoryError(interp);
    Check(code == TCL_ERROR && ErrorCode(interp) == "DBUS MEMORY"
	    && std::strcmp(Tcl_GetStringResult(interp), "out of memory") == 0,
	    "memory-error", ErrorCode(interp));

    /*
     * Implicit variants choose their type by the Tcl type name. This
     * Tcl never makes values named "boolean" or "wideInt", so values
     * with stand-in types of those names check the two rows.
     */
    using AppendArgsFn = int (*)(Tcl_Interp *, const char *,
	    DBusConnection *, DBusMessage *, const char *, int,
	    Tcl_Obj *const[]);
    auto appendArgs = reinterpret_cast<AppendArgsFn>(
	    dlsym(self, "DBus_AppendArgs"));
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
    if (appendArgs && appendArgs(interp, "SIGNAL", NULL, msg, "vv", 2,
	    typed) == TCL_OK) {
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

    /* Registry helpers that no command reaches directly. */
    using InterpPathFn = const char *(*)(Tcl_Interp *);
    using HashEmptyFn = int (*)(Tcl_HashTable *);
    auto interpPath = reinterpret_cast<InterpPathFn>(
	    dlsym(self, "DBus_InterpPath"));
    auto hashEmpty = reinterpret_cast<HashEmptyFn>(
	    dlsym(self, "Tcl_CheckHashEmpty"));
    if (interpPath && hashEmpty) {
	Tcl_Interp *child = Tcl_CreateSlave(interp, "kid", 0);
	std::string paths = std::string("{") + interpPath(interp) + "} {"
		+ interpPath(child) + "}";
	Check(paths == "{} {kid}", "interp-path", paths);
	Tcl_DeleteInterp(child);

	Tcl_HashTable table;
	Tcl_InitHashTable(&table, TCL_STRING_KEYS);
	int empty = hashEmpty(&table);
	int isNew;
	Tcl_CreateHashEntry(&table, "k", &isNew);
	int full = hashEmpty(&table);
	Tcl_DeleteHashTable(&table);
	Check(empty == 1 && full == 0, "hash-empty",
		std::to_string(empty) + " " + std::to_string(full));
    } else {
	Check(false, "registry-exports", "DBus_InterpPath or Tcl_CheckHashEmpty");
    }

    /* A second interpreter loading the library leaves the slot alone. */
    dbus_int32_t before = *slot;
    Tcl_Interp *second = Tcl_CreateInterp();
    Check(Tcl_Eval(second, load.c_str()) == TCL_OK && *slot == before
	    && before != -1, "slot-once",
	    "slot " + std::to_string(before) + " -> " + std::to_string(*slot));
    Tcl_DeleteInterp(second);
    Tcl_DeleteInterp(interp);
    return failures;
}
