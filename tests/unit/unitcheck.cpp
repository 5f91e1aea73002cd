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
