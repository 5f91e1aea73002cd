/*
 * marshal_basic.cpp --
 *
 *	One Tcl value to one D-Bus value of a basic type, and arrays of
 *	fixed-size basic types in one block. Integers are read by Tcl's own
 *	readers (any syntax Tcl accepts) and cut to the width of the type.
 */

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include "vantrel.h"
#include "guards.hpp"
#include "marshal.hpp"
#include "text.hpp"

namespace {

/*
 * Reads a UINT64 of 2^63 or more, which Tcl holds as a big integer that
 * the wide-integer reader refuses: decimal or 0x hexadecimal text,
 * optionally signed with "+". Lets values received as UINT64 go back
 * out unchanged.
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
    if (!std::isxdigit(static_cast<unsigned char>(*p))) {
	return false;
    }
    char *end;
    errno = 0;
    unsigned long long v = std::strtoull(p, &end, base);
    while (*end == ' ' || *end == '\t' || *end == '\n') {
	end++;
    }
    if (errno != 0 || *end != '\0') {
	return false;
    }
    *out = static_cast<dbus_uint64_t>(v);
    return true;
}

/*
 * Reads value as the fixed-size basic type into the matching member of
 * out, with the reader that type uses. On failure the reader's message
 * is left in the interpreter.
 */
int
ReadFixed(Tcl_Interp *interp, int type, Tcl_Obj *value, DBusBasicValue *out)
{
    int i;
    Tcl_WideInt w;
    switch (type) {
    case DBUS_TYPE_BOOLEAN:
	if (Tcl_GetBooleanFromObj(interp, value, &i) != TCL_OK) {
	    if (Tcl_GetIntFromObj(NULL, value, &i) != TCL_OK) {
		return TCL_ERROR;
	    }
	    Tcl_ResetResult(interp);	/* Drop the boolean reader's message. */
	}
	out->bool_val = (i != 0);
	return TCL_OK;
    case DBUS_TYPE_BYTE:
    case DBUS_TYPE_INT16:
    case DBUS_TYPE_UINT16:
    case DBUS_TYPE_INT32:
    case DBUS_TYPE_UINT32:
	if (Tcl_GetIntFromObj(interp, value, &i) != TCL_OK) {
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
	if (Tcl_GetWideIntFromObj(interp, value, &w) != TCL_OK) {
	    return TCL_ERROR;
	}
	out->i64 = w;
	return TCL_OK;
    case DBUS_TYPE_UINT64:
	if (Tcl_GetWideIntFromObj(interp, value, &w) == TCL_OK) {
	    out->u64 = static_cast<dbus_uint64_t>(w);
	    return TCL_OK;
	}
	if (!ReadLargeUnsigned(value, &out->u64)) {
	    return TCL_ERROR;
	}
	Tcl_ResetResult(interp);	/* Drop the wide reader's message. */
	return TCL_OK;
    case DBUS_TYPE_DOUBLE:
	return Tcl_GetDoubleFromObj(interp, value, &out->dbl);
    default:
	return TCL_ERROR;	/* Not reached: callers pass fixed types. */
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

/* Appends a message to the result and sets DBUS tag kind. */
int
AppendFail(Tcl_Interp *interp, const char *tag, const char *kind,
	const char *msg)
{
    Tcl_AppendResult(interp, msg, (char *) NULL);
    Tcl_SetErrorCode(interp, libname, tag, kind, (char *) NULL);
    return TCL_ERROR;
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

    for (int i = 0; i < n; i++) {
	DBusBasicValue v;
	if (ReadFixed(interp, elementType, elems[i], &v) != TCL_OK) {
	    return TCL_ERROR;
	}
	unsigned char *slot = block + i * size;
	switch (size) {
	case 1: *slot = v.byt; break;
	case 2: std::memcpy(slot, &v.u16, 2); break;
	case 4: std::memcpy(slot, &v.u32, 4); break;
	default: std::memcpy(slot, &v.u64, 8); break;
	}
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
