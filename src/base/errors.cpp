/*
 * errors.cpp --
 *
 *	The error convention shared by every command: errorCode lists that
 *	begin with DBUS and the command's tag, libdbus errors turned into
 *	errorCodes, and the out-of-memory report.
 */

#include <cctype>
#include <cstring>
#include "common.hpp"

/*
 *----------------------------------------------------------------------
 *
 * Tcl_DBusErrorCode --
 *
 *	Sets the errorCode to DBUS, tag, the upper-cased last element of
 *	the libdbus error's name and the error's message. The interpreter
 *	result is left to the caller.
 *
 *	The short name is kept to 39 characters, as libdbus's own names
 *	are; a longer one (only a peer can send it) is truncated.
 *
 *----------------------------------------------------------------------
 */

void
Tcl_DBusErrorCode(Tcl_Interp *interp, const char *tag, const DBusError *err)
{
    const char *name = err->name ? err->name : "";
    const char *dot = std::strrchr(name, '.');
    const char *shortName = dot ? dot + 1 : name;
    char upper[40];
    size_t n = 0;
    for (; shortName[n] != '\0' && n < sizeof(upper) - 1; n++) {
	unsigned char c = static_cast<unsigned char>(shortName[n]);
	upper[n] = static_cast<char>(c < 0x80 ? std::toupper(c) : c);
    }
    upper[n] = '\0';
    Tcl_SetErrorCode(interp, libname, tag, upper,
	    err->message ? err->message : "", (char *) NULL);
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_MemoryError --
 *
 *	Reports lack of memory: result "out of memory", errorCode
 *	DBUS MEMORY.
 *
 * Results:
 *	TCL_ERROR always.
 *
 *----------------------------------------------------------------------
 */

int
DBus_MemoryError(Tcl_Interp *interp)
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj("out of memory", -1));
    Tcl_SetErrorCode(interp, libname, "MEMORY", (char *) NULL);
    return TCL_ERROR;
}

namespace vantrel {

int
Fail(Tcl_Interp *interp, const char *tag, const char *kind, const char *msg)
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj(msg, -1));
    Tcl_SetErrorCode(interp, libname, tag, kind, (char *) NULL);
    return TCL_ERROR;
}

int
FailWord(Tcl_Interp *interp, const char *tag, const char *kind,
	const char *what, Tcl_Obj *word)
{
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("%s \"%s\"", what,
	    Tcl_GetString(word)));
    Tcl_SetErrorCode(interp, libname, tag, kind, (char *) NULL);
    return TCL_ERROR;
}

/*
 * RefuseNoBus --
 *
 *	The one error of every command that needs a bus, on a connection
 *	without one (common.hpp).
 */
int
RefuseNoBus(Tcl_Interp *interp, const char *tag, DBusConnection *conn)
{
    if (HasBus(conn)) {
	return TCL_OK;
    }
    Tcl_SetObjResult(interp, Tcl_ObjPrintf(
	    "no bus on peer-to-peer connection %s",
	    Tcl_GetString(ConnRecord(conn)->busname)));
    Tcl_SetErrorCode(interp, libname, tag, "NOBUS", (char *) NULL);
    return TCL_ERROR;
}

/*
 * ValueError --
 *
 *	Gives a failed marshalling of typed values the errorCode words of
 *	the command: a Tcl reader's complaint (not a number, not a list)
 *	becomes DBUS tag VALUE, a count that does not match the
 *	declaration DBUS tag ARGLIST; the library's own words stay.
 */
int
ValueError(Tcl_Interp *interp, const char *tag)
{
    Tcl_Obj *options = Tcl_GetReturnOptions(interp, TCL_ERROR);
    ObjPtr hold = holdObj(options);
    ObjPtr key = holdObj(Tcl_NewStringObj("-errorcode", -1));
    Tcl_Obj *code = NULL;
    Tcl_DictObjGet(NULL, options, key.get(), &code);
    int n = 0;
    Tcl_Obj **words = NULL;
    if (code != NULL) {
	Tcl_ListObjGetElements(NULL, code, &n, &words);
    }
    bool ours = n >= 1 && std::strcmp(Tcl_GetString(words[0]), libname) == 0;
    if (ours && n == 2
	    && std::strcmp(Tcl_GetString(words[1]), "ARGLIST") == 0) {
	Tcl_SetErrorCode(interp, libname, tag, "ARGLIST", (char *) NULL);
    } else if (!ours) {
	Tcl_SetErrorCode(interp, libname, tag, "VALUE", (char *) NULL);
    }
    return TCL_ERROR;
}

} // namespace vantrel
