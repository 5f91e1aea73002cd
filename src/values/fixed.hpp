/*
 * fixed.hpp --
 *
 *	Everything the value code knows about the fixed-size D-Bus types,
 *	in one place: for each type code its C type, how a Tcl value is
 *	read as one and how a Tcl value is made from one. Outgoing basic
 *	values, outgoing and incoming arrays in one block and incoming
 *	basic values all go through VisitFixed; a code that is not a
 *	fixed-size type is refused there, never given a default.
 *
 *	Integers are read by Tcl's own readers (any syntax Tcl accepts) and
 *	cut to the width of the type, as the C conversions would.
 */

#ifndef VANTREL_FIXED_HPP
#define VANTREL_FIXED_HPP

#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>
#include "vantrel.h"

namespace vantrel {

/*
 * PeekLong --
 *
 *	Tcl 8.6 keeps every integer that fits a C long in its "int" type,
 *	with the value in internalRep.longValue. Taking it from there saves
 *	the call through the stubs table and Tcl's type dispatch that its
 *	readers make per value, which is most of the cost of marshalling a
 *	large integer array. Any other value is left to Tcl's readers.
 *
 * Results:
 *	True with *out set when the value holds a Tcl integer.
 */
inline const Tcl_ObjType *
IntType() noexcept
{
    static const Tcl_ObjType *const intType = Tcl_GetObjType("int");
    return intType;
}

inline bool
PeekLong(Tcl_Obj *value, long *out) noexcept
{
    static_assert(std::is_same_v<
	    decltype(std::declval<Tcl_Obj>().internalRep.longValue), long>,
	    "Tcl's int type keeps its value as a long");
    if (value->typePtr != IntType()) {
	return false;
    }
    *out = value->internalRep.longValue;
    return true;
}

/*
 * PeekFits --
 *
 *	The common case of reading an integer of a type of at most 32 bits
 *	(through ReadBounded below), decided without a call: a Tcl integer
 *	that needs no cutting and no range error. intType is IntType(),
 *	looked up once by the caller's loop.
 *
 * Results:
 *	True with *out set; false when the full reader must decide.
 */
template <typename C>
inline bool
PeekFits(Tcl_Obj *value, const Tcl_ObjType *intType, C *out) noexcept
{
    static_assert(sizeof(C) <= 4 && std::is_integral_v<C>);
    if (value->typePtr != intType) {
	return false;
    }
    long l = value->internalRep.longValue;
    if (l < std::numeric_limits<C>::min()
	    || l > std::numeric_limits<C>::max()) {
	return false;
    }
    *out = static_cast<C>(l);
    return true;
}

/*
 * Reads a UINT64 of 2^63 or more, which Tcl holds as a big integer that
 * its wide-integer reader refuses (fixed.cpp).
 */
bool ReadLargeUnsigned(Tcl_Obj *value, dbus_uint64_t *out) noexcept;

/* A UINT64 as a Tcl value that never reads negative (fixed.cpp). */
Tcl_Obj *NewUint64Obj(dbus_uint64_t value) noexcept;

/*
 * The readers shared by the types below. Each leaves Tcl's message in
 * the interpreter on failure.
 */

/* A 32-bit integer, in the range Tcl_GetIntFromObj accepts. */
inline int
ReadInt(Tcl_Interp *interp, Tcl_Obj *value, int *out) noexcept
{
    long l;
    if (PeekLong(value, &l) && l <= static_cast<long>(UINT32_MAX)
	    && l >= -static_cast<long>(UINT32_MAX)) {
	*out = static_cast<int>(l);
	return TCL_OK;
    }
    return Tcl_GetIntFromObj(interp, value, out);
}

inline int
ReadWide(Tcl_Interp *interp, Tcl_Obj *value, Tcl_WideInt *out) noexcept
{
    long l;
    if (PeekLong(value, &l)) {
	*out = static_cast<Tcl_WideInt>(l);
	return TCL_OK;
    }
    return Tcl_GetWideIntFromObj(interp, value, out);
}

/*
 * Refuses an integer outside [low, high] for the type code: "value V
 * out of range for type T", errorCode DBUS tag RANGE. Returns TCL_ERROR.
 */
int RangeError(Tcl_Interp *interp, const char *tag, Tcl_Obj *value,
	int code) noexcept;

/*
 * Reads an integer of a type with the given bounds. Without a rangeTag
 * the value is read as before and cut to the width; with one, a value
 * outside the bounds is an error.
 */
template <typename C>
int
ReadBounded(Tcl_Interp *interp, Tcl_Obj *value, C *out, const char *rangeTag,
	int code) noexcept
{
    if (rangeTag == nullptr) {
	if constexpr (sizeof(C) <= 4) {
	    int i;
	    if (ReadInt(interp, value, &i) != TCL_OK) {
		return TCL_ERROR;
	    }
	    *out = static_cast<C>(i);
	    return TCL_OK;
	}
    }
    Tcl_WideInt w;
    if (ReadWide(interp, value, &w) != TCL_OK) {
	return TCL_ERROR;
    }
    if (rangeTag != nullptr) {
	/* Tcl reads 2^63 to 2^64-1 as the negative value of their bits. */
	dbus_uint64_t big;
	bool fits = !(w < 0 && ReadLargeUnsigned(value, &big));
	if constexpr (std::is_signed_v<C>) {
	    fits = fits && w >= std::numeric_limits<C>::min()
		    && w <= std::numeric_limits<C>::max();
	} else {
	    fits = fits && w >= 0 && static_cast<unsigned long long>(w)
		    <= std::numeric_limits<C>::max();
	}
	if (!fits) {
	    return RangeError(interp, rangeTag, value, code);
	}
    }
    *out = static_cast<C>(w);
    return TCL_OK;
}

/*
 * One fixed-size type: Code its type code, C its C type, Read the
 * conversion of a Tcl value (TCL_OK or TCL_ERROR; with a rangeTag, out
 * of range integers are refused), Make a new Tcl value with a reference
 * count of 0.
 */

/*
 * BYTE, INT16, UINT16, INT32 and UINT32: read as a Tcl int, cut to the
 * width; made as an int, or as a wide integer where an int would read a
 * UINT32 negative.
 */
template <int TypeCode, typename CType>
struct SmallIntType {
    static constexpr int Code = TypeCode;
    using C = CType;
    static int Read(Tcl_Interp *interp, Tcl_Obj *value, C *out,
	    const char *rangeTag) noexcept {
	return ReadBounded(interp, value, out, rangeTag, Code);
    }
    static Tcl_Obj *Make(C v) noexcept {
	if constexpr (std::is_unsigned_v<C> && sizeof(C) == sizeof(int)) {
	    return Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(v));
	} else {
	    return Tcl_NewIntObj(static_cast<int>(v));
	}
    }
};

using ByteType = SmallIntType<DBUS_TYPE_BYTE, unsigned char>;
using Int16Type = SmallIntType<DBUS_TYPE_INT16, dbus_int16_t>;
using Uint16Type = SmallIntType<DBUS_TYPE_UINT16, dbus_uint16_t>;
using Int32Type = SmallIntType<DBUS_TYPE_INT32, dbus_int32_t>;
using Uint32Type = SmallIntType<DBUS_TYPE_UINT32, dbus_uint32_t>;


/*
 * BOOLEAN: Tcl's boolean reader, then an integer of any size as a second
 * chance (non-zero is true). dbus_bool_t is 32 bits wide in a block.
 */
struct BooleanType {
    static constexpr int Code = DBUS_TYPE_BOOLEAN;
    using C = dbus_bool_t;
    static int Read(Tcl_Interp *interp, Tcl_Obj *value, C *out,
	    const char *) noexcept {
	long l;
	int b;
	if (PeekLong(value, &l)) {
	    b = (l != 0);
	} else if (Tcl_GetBooleanFromObj(interp, value, &b) != TCL_OK) {
	    int i;
	    if (Tcl_GetIntFromObj(NULL, value, &i) != TCL_OK) {
		return TCL_ERROR;
	    }
	    Tcl_ResetResult(interp);	/* Drop the boolean reader's message. */
	    b = (i != 0);
	}
	*out = b ? TRUE : FALSE;
	return TCL_OK;
    }
    static Tcl_Obj *Make(C v) noexcept {
	return Tcl_NewIntObj(v ? 1 : 0);
    }
};

struct Int64Type {
    static constexpr int Code = DBUS_TYPE_INT64;
    using C = dbus_int64_t;
    static int Read(Tcl_Interp *interp, Tcl_Obj *value, C *out,
	    const char *rangeTag) noexcept {
	Tcl_WideInt w;
	if (ReadWide(interp, value, &w) != TCL_OK) {
	    return TCL_ERROR;
	}
	dbus_uint64_t big;
	if (rangeTag != nullptr && w < 0 && ReadLargeUnsigned(value, &big)) {
	    /* 2^63 and more, which Tcl's reader wraps. */
	    return RangeError(interp, rangeTag, value, Code);
	}
	*out = static_cast<C>(w);
	return TCL_OK;
    }
    static Tcl_Obj *Make(C v) noexcept {
	return Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(v));
    }
};

/*
 * UINT64: a wide integer, or from 2^63 up the text Tcl keeps for such a
 * big integer, so that values received as UINT64 go back out unchanged.
 */
struct Uint64Type {
    static constexpr int Code = DBUS_TYPE_UINT64;
    using C = dbus_uint64_t;
    static int Read(Tcl_Interp *interp, Tcl_Obj *value, C *out,
	    const char *rangeTag) noexcept {
	Tcl_WideInt w;
	if (ReadWide(interp, value, &w) == TCL_OK) {
	    if (rangeTag != nullptr && w < 0
		    && !ReadLargeUnsigned(value, out)) {
		return RangeError(interp, rangeTag, value, Code);
	    }
	    if (rangeTag == nullptr || w >= 0) {
		*out = static_cast<C>(w);
	    }
	    return TCL_OK;
	}
	if (!ReadLargeUnsigned(value, out)) {
	    return TCL_ERROR;
	}
	Tcl_ResetResult(interp);	/* Drop the wide reader's message. */
	return TCL_OK;
    }
    static Tcl_Obj *Make(C v) noexcept {
	return NewUint64Obj(v);
    }
};

struct DoubleType {
    static constexpr int Code = DBUS_TYPE_DOUBLE;
    using C = double;
    static int Read(Tcl_Interp *interp, Tcl_Obj *value, C *out,
	    const char *) noexcept {
	return Tcl_GetDoubleFromObj(interp, value, out);
    }
    static Tcl_Obj *Make(C v) noexcept {
	return Tcl_NewDoubleObj(v);
    }
};

/*
 * VisitFixed --
 *
 *	Calls visit with a value of the type record (ByteType, ...) of a
 *	fixed-size type code. UNIX_FD, though fixed in size on the wire, is
 *	a descriptor to duplicate rather than a number: it is not one of
 *	them.
 *
 * Results:
 *	True when code is such a type and visit ran, else false.
 */
template <typename Visit>
bool
VisitFixed(int code, Visit &&visit)
{
    switch (code) {
    case DBUS_TYPE_BYTE:	visit(ByteType{}); return true;
    case DBUS_TYPE_BOOLEAN:	visit(BooleanType{}); return true;
    case DBUS_TYPE_INT16:	visit(Int16Type{}); return true;
    case DBUS_TYPE_UINT16:	visit(Uint16Type{}); return true;
    case DBUS_TYPE_INT32:	visit(Int32Type{}); return true;
    case DBUS_TYPE_UINT32:	visit(Uint32Type{}); return true;
    case DBUS_TYPE_INT64:	visit(Int64Type{}); return true;
    case DBUS_TYPE_UINT64:	visit(Uint64Type{}); return true;
    case DBUS_TYPE_DOUBLE:	visit(DoubleType{}); return true;
    default:			return false;
    }
}

/* True for the type codes VisitFixed knows: they go out as one block. */
inline bool
IsBlockType(int code) noexcept
{
    return VisitFixed(code, [](auto) {});
}

/* Size in bytes of one element of a fixed-size type; 0 for other codes. */
inline size_t
FixedSize(int code) noexcept
{
    size_t size = 0;
    VisitFixed(code, [&size](auto t) { size = sizeof(typename decltype(t)::C); });
    return size;
}

} // namespace vantrel

#endif
