/*
 * marshal_basic.cpp --
 *
 *	One Tcl value to one D-Bus value of a basic type, and arrays of
 *	fixed-size basic types in one block. Integers are read by Tcl's own
 *	readers (any syntax Tcl accepts) and cut to the width of the type.
 */

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include "vantrel.h"
#include "guards.hpp"
#include "marshal.hpp"
#include "text.hpp"

namespace {

using vantrel::AppendFail;

/*
 * Reads a UINT64 of 2^63 or more, which Tcl holds as a big integer that
 * the wide-integer reader refuses: decimal (without a leading zero,
 * which Tcl would read as octal) or 0x hexadecimal text, optionally
 * signed with "+". Lets values received as UINT64 go back out
 * unchanged. Anything below 2^63 is left to Tcl's reader alone.
 */
bool
ReadLargeUnsigned(Tcl_Obj *value, dbus_uint64_t *out)
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
 * The integer and double types of this Tcl, for the fast paths below;
 * looked up once per process.
 */
struct ObjTypes {
    const Tcl_ObjType *intType = Tcl_GetObjType("int");
    const Tcl_ObjType *doubleType = Tcl_GetObjType("double");
};

const ObjTypes &
Types() noexcept
{
    static const ObjTypes types;
    return types;
}

/*
 * The readers of the fixed-size types. Each first looks for a value
 * that already holds a Tcl integer (or double) and takes it as Tcl's
 * reader would, which saves a call per element of a large array; any
 * other value goes to Tcl's reader, which leaves its message in the
 * interpreter on failure.
 */
inline int
GetInt(Tcl_Interp *interp, Tcl_Obj *value, int *out, const ObjTypes &t)
{
    if (value->typePtr == t.intType) {
	/* The range Tcl_GetIntFromObj accepts, cut to 32 bits alike. */
	long l = value->internalRep.longValue;
	if (l <= static_cast<long>(UINT32_MAX)
		&& l >= -static_cast<long>(UINT32_MAX)) {
	    *out = static_cast<int>(l);
	    return TCL_OK;
	}
    }
    return Tcl_GetIntFromObj(interp, value, out);
}

inline int
GetWide(Tcl_Interp *interp, Tcl_Obj *value, Tcl_WideInt *out,
	const ObjTypes &t)
{
    if (value->typePtr == t.intType) {
	*out = static_cast<Tcl_WideInt>(value->internalRep.longValue);
	return TCL_OK;
    }
    return Tcl_GetWideIntFromObj(interp, value, out);
}

/*
 * A UINT64: as a wide integer, or from 2^63 up as the text Tcl keeps
 * for such a big integer.
 */
inline int
GetUnsigned64(Tcl_Interp *interp, Tcl_Obj *value, dbus_uint64_t *out,
	const ObjTypes &t)
{
    Tcl_WideInt w;
    if (GetWide(interp, value, &w, t) == TCL_OK) {
	*out = static_cast<dbus_uint64_t>(w);
	return TCL_OK;
    }
    if (!ReadLargeUnsigned(value, out)) {
	return TCL_ERROR;
    }
    Tcl_ResetResult(interp);		/* Drop the wide reader's message. */
    return TCL_OK;
}

/*
 * A BOOLEAN: Tcl's boolean reader, then an integer of any size as a
 * second chance (non-zero is true).
 */
inline int
GetBool(Tcl_Interp *interp, Tcl_Obj *value, dbus_bool_t *out,
	const ObjTypes &t)
{
    int b;
    if (value->typePtr == t.intType) {
	b = (value->internalRep.longValue != 0);
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

inline int
GetDouble(Tcl_Interp *interp, Tcl_Obj *value, double *out, const ObjTypes &t)
{
    if (value->typePtr == t.doubleType
	    && !std::isnan(value->internalRep.doubleValue)) {
	*out = value->internalRep.doubleValue;
	return TCL_OK;
    }
    return Tcl_GetDoubleFromObj(interp, value, out);
}

/*
 * Reads value as the fixed-size basic type into the matching member of
 * out. On failure the reader's message is left in the interpreter.
 */
int
ReadFixed(Tcl_Interp *interp, int type, Tcl_Obj *value, DBusBasicValue *out)
{
    const ObjTypes &t = Types();
    int i;
    Tcl_WideInt w;
    switch (type) {
    case DBUS_TYPE_BOOLEAN:
	return GetBool(interp, value, &out->bool_val, t);
    case DBUS_TYPE_BYTE:
    case DBUS_TYPE_INT16:
    case DBUS_TYPE_UINT16:
    case DBUS_TYPE_INT32:
    case DBUS_TYPE_UINT32:
	if (GetInt(interp, value, &i, t) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (type == DBUS_TYPE_BYTE) {
	    out->byt = static_cast<unsigned char>(i);
	} else if (type == DBUS_TYPE_INT16) {
	    out->i16 = static_cast<dbus_int16_t>(i);
	} else if (type == DBUS_TYPE_UINT16) {
	    out->u16 = static_cast<dbus_uint16_t>(i);
	} else if (type == DBUS_TYPE_INT32) {
	    out->i32 = i;
	} else {
	    out->u32 = static_cast<dbus_uint32_t>(i);
	}
	return TCL_OK;
    case DBUS_TYPE_INT64:
	if (GetWide(interp, value, &w, t) != TCL_OK) {
	    return TCL_ERROR;
	}
	out->i64 = w;
	return TCL_OK;
    case DBUS_TYPE_UINT64:
	return GetUnsigned64(interp, value, &out->u64, t);
    case DBUS_TYPE_DOUBLE:
	return GetDouble(interp, value, &out->dbl, t);
    default:
	return TCL_ERROR;	/* Not reached: callers pass fixed types. */
    }
}

/*
 * Reads every element of a list into a block of T, each with the reader
 * get, which yields R, then cut to T. Stops at the first failure.
 */
template <typename T, typename R, typename Get>
int
FillBlock(Tcl_Interp *interp, Tcl_Obj *const *elems, int n, void *block,
	Get get)
{
    const ObjTypes &t = Types();
    T *out = static_cast<T *>(block);
    for (int i = 0; i < n; i++) {
	R v;
	if (get(interp, elems[i], &v, t) != TCL_OK) {
	    return TCL_ERROR;
	}
	out[i] = static_cast<T>(v);
    }
    return TCL_OK;
}

/* Fills the block of an array of the given fixed-size type. */
int
FillTypedBlock(Tcl_Interp *interp, int type, Tcl_Obj *const *elems, int n,
	void *block)
{
    switch (type) {
    case DBUS_TYPE_BYTE:
	return FillBlock<unsigned char, int>(interp, elems, n, block, GetInt);
    case DBUS_TYPE_BOOLEAN:
	return FillBlock<dbus_bool_t, dbus_bool_t>(interp, elems, n, block,
		GetBool);
    case DBUS_TYPE_INT16:
	return FillBlock<dbus_int16_t, int>(interp, elems, n, block, GetInt);
    case DBUS_TYPE_UINT16:
	return FillBlock<dbus_uint16_t, int>(interp, elems, n, block, GetInt);
    case DBUS_TYPE_INT32:
	return FillBlock<dbus_int32_t, int>(interp, elems, n, block, GetInt);
    case DBUS_TYPE_UINT32:
	return FillBlock<dbus_uint32_t, int>(interp, elems, n, block, GetInt);
    case DBUS_TYPE_INT64:
	return FillBlock<dbus_int64_t, Tcl_WideInt>(interp, elems, n, block,
		GetWide);
    case DBUS_TYPE_UINT64:
	return FillBlock<dbus_uint64_t, dbus_uint64_t>(interp, elems, n,
		block, GetUnsigned64);
    case DBUS_TYPE_DOUBLE:
	return FillBlock<double, double>(interp, elems, n, block, GetDouble);
    default:
	return TCL_ERROR;	/* Not reached: only fixed types come. */
    }
}

/* Size in bytes of one element of a fixed-size type in a block. */
size_t
FixedSize(int type)
{
    switch (type) {
    case DBUS_TYPE_BYTE:
	return 1;
    case DBUS_TYPE_INT16:
    case DBUS_TYPE_UINT16:
	return 2;
    case DBUS_TYPE_BOOLEAN:	/* dbus_bool_t is 32 bits wide. */
    case DBUS_TYPE_INT32:
    case DBUS_TYPE_UINT32:
	return 4;
    default:
	return 8;
    }
}

/*
 * Appends a STRING, OBJECT_PATH or SIGNATURE whose text is already
 * known to be acceptable to libdbus apart from its encoding.
 */
int
AppendText(Tcl_Interp *interp, const char *tag, DBusMessageIter *iter,
	int type, Tcl_Obj *value)
{
    vantrel::ExternalText text;
    text.From(value);
    const char *kind;
    if (const char *problem = text.Problem(&kind)) {
	return AppendFail(interp, tag, kind, problem);
    }
    const char *bytes = text.bytes;
    dbus_message_iter_append_basic(iter, type, &bytes);
    return TCL_OK;
}

/*
 * Appends the descriptor of the channel that value names: the output
 * side of a writable channel, else its input side.
 */
int
AppendFd(Tcl_Interp *interp, const char *tag, DBusMessageIter *iter,
	Tcl_Obj *value)
{
    int mode;
    Tcl_Channel chan = Tcl_GetChannel(interp, Tcl_GetString(value), &mode);
    if (chan == NULL) {
	return TCL_ERROR;
    }
    ClientData handle;
    int fd = -1;
    if ((mode & TCL_READABLE)
	    && Tcl_GetChannelHandle(chan, TCL_READABLE, &handle) == TCL_OK) {
	fd = static_cast<int>(reinterpret_cast<intptr_t>(handle));
    }
    if ((mode & TCL_WRITABLE)
	    && Tcl_GetChannelHandle(chan, TCL_WRITABLE, &handle) == TCL_OK) {
	fd = static_cast<int>(reinterpret_cast<intptr_t>(handle));
    }
    /*
     * libdbus duplicates the descriptor; a channel without one (or a
     * failed duplicate) would leave a broken body behind.
     */
    if (fd < 0 || !dbus_message_iter_append_basic(iter, DBUS_TYPE_UNIX_FD,
	    &fd)) {
	Tcl_ResetResult(interp);
	Tcl_AppendResult(interp, "cannot pass the descriptor of channel \"",
		Tcl_GetString(value), "\"", (char *) NULL);
	Tcl_SetErrorCode(interp, libname, tag, "UNIXFD", (char *) NULL);
	return TCL_ERROR;
    }
    return TCL_OK;
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBus_BasicArg --
 *
 *	Converts one Tcl value to a D-Bus value of a basic type and appends
 *	it to iter.
 *
 * Results:
 *	TCL_OK, or TCL_ERROR with nothing appended: a Tcl reader's message
 *	(not a number, not a channel), or a message appended to the result
 *	with errorCode DBUS tag PATH, SIGNATURE, NUL, UTF8 or UNIXFD.
 *
 * Side effects:
 *	For UNIX_FD, libdbus keeps a duplicate of the channel's
 *	descriptor; the channel stays the script's.
 *
 *----------------------------------------------------------------------
 */

int
DBus_BasicArg(Tcl_Interp *interp, const char *tag, DBusMessageIter *iter,
	int type, Tcl_Obj *const arg)
{
    switch (type) {
    case DBUS_TYPE_STRING:
	return AppendText(interp, tag, iter, type, arg);
    case DBUS_TYPE_OBJECT_PATH:
	if (!DBus_CheckPath(arg)) {
	    return AppendFail(interp, tag, "PATH", "invalid path");
	}
	return AppendText(interp, tag, iter, type, arg);
    case DBUS_TYPE_SIGNATURE:
	if (!DBus_CheckSignature(arg)) {
	    return AppendFail(interp, tag, "SIGNATURE", "invalid signature");
	}
	return AppendText(interp, tag, iter, type, arg);
    case DBUS_TYPE_UNIX_FD:
	return AppendFd(interp, tag, iter, arg);
    default: {
	DBusBasicValue v;
	if (ReadFixed(interp, type, arg, &v) != TCL_OK) {
	    return TCL_ERROR;
	}
	dbus_message_iter_append_basic(iter, type, &v);
	return TCL_OK;
    }
    }
}

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * AppendFail --
 *
 *	Reports a failure of outgoing marshalling: appends msg to the
 *	interpreter result (after whatever an enclosing step left there)
 *	and sets the errorCode DBUS tag kind.
 *
 * Results:
 *	TCL_ERROR always.
 *
 *----------------------------------------------------------------------
 */

int
AppendFail(Tcl_Interp *interp, const char *tag, const char *kind,
	const char *msg) noexcept
{
    Tcl_AppendResult(interp, msg, (char *) NULL);
    Tcl_SetErrorCode(interp, libname, tag, kind, (char *) NULL);
    return TCL_ERROR;
}

/*
 *----------------------------------------------------------------------
 *
 * AppendFixedArray --
 *
 *	Appends a Tcl list as an ARRAY of a fixed-size basic type: every
 *	element is read into one block first, then libdbus copies the block
 *	in a single call. The wire bytes and the errors are those of
 *	appending element by element.
 *
 * Results:
 *	TCL_OK, or TCL_ERROR (not a list, an element the reader refuses, an
 *	array longer than D-Bus allows, or no memory for the block).
 *
 *----------------------------------------------------------------------
 */

int
AppendFixedArray(Tcl_Interp *interp, const char *tag, DBusMessageIter *iter,
	int elementType, Tcl_Obj *value) noexcept
{
    int n;
    Tcl_Obj **elems;
    if (Tcl_ListObjGetElements(interp, value, &n, &elems) != TCL_OK) {
	return TCL_ERROR;
    }
    size_t size = FixedSize(elementType);
    if (static_cast<size_t>(n) * size > DBUS_MAXIMUM_ARRAY_LENGTH) {
	return AppendFail(interp, tag, "ARRAY",
		"array longer than the D-Bus limit of 64 MiB");
    }

    /* Small arrays need no allocation. */
    alignas(8) unsigned char local[512];
    unsigned char *block = local;
    if (static_cast<size_t>(n) * size > sizeof(local)) {
	block = reinterpret_cast<unsigned char *>(
		Tcl_AttemptAlloc(static_cast<unsigned>(n * size)));
	if (block == NULL) {
	    return DBus_MemoryError(interp);
	}
    }
    ScopeExit freeBlock([block, &local]() {
	if (block != local) {
	    Tcl_Free(reinterpret_cast<char *>(block));
	}
    });

    if (FillTypedBlock(interp, elementType, elems, n, block) != TCL_OK) {
	return TCL_ERROR;
    }

    const char elementSig[2] = {static_cast<char>(elementType), '\0'};
    Container sub(iter, DBUS_TYPE_ARRAY, elementSig);
    if (!sub.ok()) {
	return DBus_MemoryError(interp);
    }
    const void *data = block;
    dbus_message_iter_append_fixed_array(sub.iter(), elementType, &data, n);
    sub.close();
    return TCL_OK;
}

/*
 *----------------------------------------------------------------------
 *
 * CheckFdPassing --
 *
 *	Refuses UNIX_FD values on a connection that cannot pass
 *	descriptors (libdbus would drop the whole message at send time).
 *
 *----------------------------------------------------------------------
 */

int
CheckFdPassing(Tcl_Interp *interp, const char *tag,
	DBusConnection *conn) noexcept
{
    if (conn == NULL || !dbus_connection_can_send_type(conn,
	    DBUS_TYPE_UNIX_FD)) {
	return AppendFail(interp, tag, "UNIXFD",
		"connection doesn't support file descriptor passing");
    }
    return TCL_OK;
}

} // namespace vantrel
