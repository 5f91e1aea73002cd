/*
 * fixed.cpp --
 *
 *	The two conversions of the fixed-size types that are too large to
 *	live in fixed.hpp: UINT64 values of 2^63 and more, both ways.
 */

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include "values/fixed.hpp"

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * ReadLargeUnsigned --
 *
 *	Reads a UINT64 of 2^63 or more: decimal text (without a leading
 *	zero, which Tcl would read as octal) or 0x hexadecimal, optionally
 *	signed with "+". Anything below 2^63 is left to Tcl's reader
 *	alone.
 *
 * Results:
 *	True with *out set, else false.
 *
 *----------------------------------------------------------------------
 */

bool
ReadLargeUnsigned(Tcl_Obj *value, dbus_uint64_t *out) noexcept
{
    const char *p = Tcl_GetString(value);
    while (*p == ' ' || *p == '\t' || *p == '\n') {
	p++;
    }
    if (*p == '+') {
	p++;
    }
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
	base = 16;
	p += 2;
    }
    if (!std::isxdigit(static_cast<unsigned char>(*p))
	    || (base == 10 && *p == '0')) {
	return false;
    }
    char *end;
    errno = 0;
    unsigned long long v = std::strtoull(p, &end, base);
    while (*end == ' ' || *end == '\t' || *end == '\n') {
	end++;
    }
    if (errno != 0 || *end != '\0' || !(v >> 63)) {
	return false;
    }
    *out = static_cast<dbus_uint64_t>(v);
    return true;
}

/*
 *----------------------------------------------------------------------
 *
 * RangeError --
 *
 *	Refuses an integer that does not fit its declared type.
 *
 *----------------------------------------------------------------------
 */

int
RangeError(Tcl_Interp *interp, const char *tag, Tcl_Obj *value,
	int code) noexcept
{
    char type[2] = {static_cast<char>(code), '\0'};
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, "value ", Tcl_GetString(value),
	    " out of range for type ", type, (char *) NULL);
    Tcl_SetErrorCode(interp, libname, tag, "RANGE", (char *) NULL);
    return TCL_ERROR;
}

/*
 *----------------------------------------------------------------------
 *
 * NewUint64Obj --
 *
 *	A UINT64 as a Tcl value: a wide integer below 2^63, its unsigned
 *	decimal text from there up, so it never reads negative.
 *
 * Results:
 *	A new object with a reference count of 0.
 *
 *----------------------------------------------------------------------
 */

Tcl_Obj *
NewUint64Obj(dbus_uint64_t value) noexcept
{
    if (!(value >> 63)) {
	return Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(value));
    }
    char text[24];
    std::snprintf(text, sizeof(text), "%" PRIu64,
	    static_cast<uint64_t>(value));
    return Tcl_NewStringObj(text, -1);
}

} // namespace vantrel
