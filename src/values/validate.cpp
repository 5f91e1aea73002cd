/*
 * validate.cpp --
 *
 *	Checks that decide whether a string is a well-formed bus name,
 *	interface (or error) name, member name, object path, name element
 *	or type signature before it is handed to libdbus, which aborts the
 *	process on malformed names. Also the [dbus validate] command.
 *
 *	The checks are pure functions of the string's bytes: a byte of 0x80
 *	or above is never a name character, so any name holding a non-ASCII
 *	character is invalid, whatever the locale.
 */

#include "vantrel.h"

namespace {

/* Longest name, interface, member or path, in bytes. */
constexpr int maxNameLength = 255;

/* True for the ASCII letters, digits and the underscore. */
inline bool
IsNameChar(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')
	    || (c >= '0' && c <= '9') || c == '_';
}

inline bool
IsDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBus_ValidNameChars --
 *
 *	Measures the leading run of name characters of a NUL-terminated
 *	string.
 *
 * Results:
 *	The number of bytes in that run.
 *
 *----------------------------------------------------------------------
 */

size_t
DBus_ValidNameChars(const char *p)
{
    const char *q = p;
    while (IsNameChar(static_cast<unsigned char>(*q))) {
	q++;
    }
    return static_cast<size_t>(q - p);
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_CheckBusName --
 *
 *	Checks a unique (":1.42") or well-known ("org.example.Name") bus
 *	name: at least two elements of name characters and hyphens, none
 *	empty; in a well-known name no element begins with a digit.
 *
 * Results:
 *	1 when valid, 0 otherwise.
 *
 *----------------------------------------------------------------------
 */

int
DBus_CheckBusName(Tcl_Obj *name)
{
    int length;
    const char *p = Tcl_GetStringFromObj(name, &length);
    if (length > maxNameLength) {
	return 0;
    }
    bool unique = (*p == ':');
    if (unique) {
	p++;
    }
    int dots = 0;
    for (;;) {
	const char *start = p;
	if (!unique && IsDigit(static_cast<unsigned char>(*p))) {
	    return 0;
	}
	while (IsNameChar(static_cast<unsigned char>(*p)) || *p == '-') {
	    p++;
	}
	if (p == start) {
	    return 0;
	}
	if (*p == '.') {
	    dots++;
	    p++;
	    continue;
	}
	/* Tcl strings hold NUL only as C0 80, so a zero byte is the end. */
	return (*p == '\0' && dots > 0);
    }
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_CheckIntfName --
 *
 *	Checks an interface name, the rule for error names too: elements
 *	of name characters separated by dots, none empty and none beginning
 *	with a digit.
 *
 * Results:
 *	The number of dots when valid (so a single element gives 0), 0
 *	when invalid. Callers that accept "interface.member" forms rely on
 *	the count.
 *
 *----------------------------------------------------------------------
 */

int
DBus_CheckIntfName(Tcl_Obj *name)
{
    int length;
    const char *p = Tcl_GetStringFromObj(name, &length);
    if (length > maxNameLength) {
	return 0;
    }
    int dots = 0;
    for (;;) {
	if (IsDigit(static_cast<unsigned char>(*p))) {
	    return 0;
	}
	size_t run = DBus_ValidNameChars(p);
	if (run == 0) {
	    return 0;
	}
	p += run;
	if (*p == '.') {
	    dots++;
	    p++;
	    continue;
	}
	return (*p == '\0') ? dots : 0;
    }
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_CheckPath --
 *
 *	Checks an object path: "/" alone, or "/" followed by non-empty runs
 *	of name characters separated by single slashes, shorter than 256
 *	bytes.
 *
 * Results:
 *	1 when valid, 0 otherwise.
 *
 *----------------------------------------------------------------------
 */

int
DBus_CheckPath(Tcl_Obj *path)
{
    int length;
    const char *p = Tcl_GetStringFromObj(path, &length);
    if (length == 0 || length > maxNameLength || *p != '/') {
	return 0;
    }
    if (length == 1) {
	return 1;
    }
    while (*p == '/') {
	p++;
	size_t run = DBus_ValidNameChars(p);
	if (run == 0) {
	    return 0;
	}
	p += run;
    }
    return *p == '\0';
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_CheckMember --
 *
 *	Checks a method or signal name: 1 to 255 name characters, the
 *	first not a digit.
 *
 * Results:
 *	1 when valid, 0 otherwise.
 *
 *----------------------------------------------------------------------
 */

int
DBus_CheckMember(Tcl_Obj *name)
{
    int length;
    const char *p = Tcl_GetStringFromObj(name, &length);
    if (length == 0 || length > maxNameLength
	    || IsDigit(static_cast<unsigned char>(*p))) {
	return 0;
    }
    return DBus_ValidNameChars(p) == static_cast<size_t>(length);
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_CheckName --
 *
 *	Checks one name element: 1 to 255 name characters, a leading
 *	digit allowed.
 *
 * Results:
 *	1 when valid, 0 otherwise.
 *
 *----------------------------------------------------------------------
 */

int
DBus_CheckName(Tcl_Obj *name)
{
    int length;
    const char *p = Tcl_GetStringFromObj(name, &length);
    if (length == 0 || length > maxNameLength) {
	return 0;
    }
    return DBus_ValidNameChars(p) == static_cast<size_t>(length);
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_CheckSignature --
 *
 *	Checks a type signature with libdbus's own validator; the empty
 *	signature is valid.
 *
 * Results:
 *	1 when valid, 0 otherwise.
 *
 *----------------------------------------------------------------------
 */

int
DBus_CheckSignature(Tcl_Obj *sig)
{
    return dbus_signature_validate(Tcl_GetString(sig), NULL) ? 1 : 0;
}

/*
 *----------------------------------------------------------------------
 *
 * DBusValidateCmd --
 *
 *	dbus validate class string: applies one of the checks above.
 *
 * Results:
 *	1 or 0 as the result; an error only for wrong arguments or an
 *	unknown class word.
 *
 *----------------------------------------------------------------------
 */

int
DBusValidateCmd(ClientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    static const char *const classes[] = {
	"interface", "member", "name", "path", "signature", NULL
    };
    enum { V_INTERFACE, V_MEMBER, V_NAME, V_PATH, V_SIGNATURE };

    if (objc != 3) {
	Tcl_WrongNumArgs(interp, 1, objv, "class string");
	return TCL_ERROR;
    }
    int index;
    if (Tcl_GetIndexFromObjStruct(interp, objv[1], classes, sizeof(char *),
	    "class", 0, &index) != TCL_OK) {
	return TCL_ERROR;
    }
    int valid = 0;
    switch (index) {
    case V_INTERFACE:
	valid = DBus_CheckIntfName(objv[2]) != 0;
	break;
    case V_MEMBER:
	valid = DBus_CheckMember(objv[2]);
	break;
    case V_NAME:
	valid = DBus_CheckBusName(objv[2]);
	break;
    case V_PATH:
	valid = DBus_CheckPath(objv[2]);
	break;
    case V_SIGNATURE:
	valid = DBus_CheckSignature(objv[2]);
	break;
    }
    Tcl_SetObjResult(interp, Tcl_NewIntObj(valid));
    return TCL_OK;
}
