/*
 * marshal_basic.cpp --
 *
 *	One Tcl value to one D-Bus value of a basic type, and arrays of
 *	fixed-size basic types in one block; the fixed-size types are
 *	read as fixed.hpp says.
 */

#include "common.hpp"
#include "values/fixed.hpp"
#include "values/marshal.hpp"
#include "values/values.hpp"

namespace {

using vantrel::AppendFail;

/*
 * Reads every element of a list into a block of the fixed-size type T
 * (a type record of fixed.hpp). Stops at the first failure, leaving the
 * reader's message in the interpreter.
 */
template <typename T>
int
FillBlock(Tcl_Interp *interp, Tcl_Obj *const *elems, int n, void *block,
	const char *rangeTag)
{
    using C = typename T::C;
    auto *out = static_cast<C *>(block);
    if constexpr (std::is_integral_v<C> && sizeof(C) <= 4
	    && T::Code != DBUS_TYPE_BOOLEAN) {
	/* Integers in range, the usual elements, without a call each. */
	const Tcl_ObjType *intType = vantrel::IntType();
	for (int i = 0; i < n; i++) {
	    if (!vantrel::PeekFits(elems[i], intType, &out[i])
		    && T::Read(interp, elems[i], &out[i], rangeTag) != TCL_OK) {
		return TCL_ERROR;
	    }
	}
	return TCL_OK;
    }
    for (int i = 0; i < n; i++) {
	if (T::Read(interp, elems[i], &out[i], rangeTag) != TCL_OK) {
	    return TCL_ERROR;
	}
    }
    return TCL_OK;
}

/*
 * Appends the fixed-size basic value at value by its type record. Lack
 * of memory in libdbus is reported as such.
 */
template <typename T>
int
AppendFixed(Tcl_Interp *interp, DBusMessageIter *iter, Tcl_Obj *value,
	const char *rangeTag)
{
    typename T::C v;
    if (T::Read(interp, value, &v, rangeTag) != TCL_OK) {
	return TCL_ERROR;
    }
    if (!dbus_message_iter_append_basic(iter, T::Code, &v)) {
	return DBus_MemoryError(interp);
    }
    vantrel::TallyBasic(T::Code, 0);
    return TCL_OK;
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
    /* Refused before libdbus copies it, when it cannot go. */
    if (vantrel::TallyAhead(interp, tag, type,
	    static_cast<size_t>(text.length)) != TCL_OK) {
	return TCL_ERROR;
    }
    const char *bytes = text.bytes;
    if (!dbus_message_iter_append_basic(iter, type, &bytes)) {
	return DBus_MemoryError(interp);
    }
    vantrel::TallyBasic(type, static_cast<size_t>(text.length));
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
    vantrel::TallyBasic(DBUS_TYPE_UNIX_FD, 0);
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
    return vantrel::BasicArg(interp, tag, iter, type, arg, 0);
}

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * BasicArg --
 *
 *	DBus_BasicArg with the marshalling mode bits (values.hpp).
 *
 *----------------------------------------------------------------------
 */

int
BasicArg(Tcl_Interp *interp, const char *tag, DBusMessageIter *iter,
	int type, Tcl_Obj *arg, int mode)
{
    const char *rangeTag = (mode & MARSHAL_RANGE) ? tag : nullptr;
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
	int code = TCL_ERROR;
	if (!VisitFixed(type, [&](auto t) {
	    code = AppendFixed<decltype(t)>(interp, iter, arg, rangeTag);
	})) {
	    char text[2] = {static_cast<char>(type), '\0'};
	    Tcl_AppendResult(interp, "unsupported basic type \"", text, "\"",
		    (char *) NULL);
	    Tcl_SetErrorCode(interp, libname, tag, "WRONGARGS", (char *) NULL);
	}
	return code;
    }
    }
}

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
 *	TCL_OK, or TCL_ERROR (not a list, an array longer than D-Bus allows
 *	or larger than the message may hold, an element the reader refuses,
 *	or no memory for the block).
 *
 *----------------------------------------------------------------------
 */

int
AppendFixedArray(Tcl_Interp *interp, const char *tag, DBusMessageIter *iter,
	int elementType, Tcl_Obj *value, int mode) noexcept
{
    const char *rangeTag = (mode & MARSHAL_RANGE) ? tag : nullptr;
    int n;
    Tcl_Obj **elems;
    if (Tcl_ListObjGetElements(interp, value, &n, &elems) != TCL_OK) {
	return TCL_ERROR;
    }
    size_t size = FixedSize(elementType);
    if (size == 0) {
	return AppendFail(interp, tag, "WRONGARGS",
		"unsupported array element type");
    }
    if (static_cast<size_t>(n) * size > DBUS_MAXIMUM_ARRAY_LENGTH) {
	return AppendFail(interp, tag, "ARRAY",
		"array longer than the D-Bus limit of 64 MiB");
    }
    if (TallyAheadBlock(interp, tag, elementType, static_cast<size_t>(n))
	    != TCL_OK) {
	return TCL_ERROR;
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

    int code = TCL_ERROR;
    VisitFixed(elementType, [&](auto t) {
	code = FillBlock<decltype(t)>(interp, elems, n, block, rangeTag);
    });
    if (code != TCL_OK) {
	return TCL_ERROR;
    }

    const char elementSig[2] = {static_cast<char>(elementType), '\0'};
    Container sub(iter, DBUS_TYPE_ARRAY, elementSig);
    if (!sub.ok()) {
	return DBus_MemoryError(interp);
    }
    const void *data = block;
    if (!dbus_message_iter_append_fixed_array(sub.iter(), elementType,
	    &data, n)) {
	return DBus_MemoryError(interp);
    }
    TallyBlock(elementType, static_cast<size_t>(n));
    if (TallyCheck(interp, tag) != TCL_OK) {
	return TCL_ERROR;
    }
    if (!sub.close()) {
	return DBus_MemoryError(interp);
    }
    return TCL_OK;
}

/*
 *----------------------------------------------------------------------
 *
 * AppendByteString --
 *
 *	Appends an array of bytes from a Tcl byte string: a byte array as
 *	it is (libdbus copies it once), any other value by its characters,
 *	each of which must be at most U+00FF, as [binary] has them.
 *
 * Results:
 *	TCL_OK, or TCL_ERROR: a character beyond U+00FF (DBUS tag BYTES),
 *	more than 64 MiB (DBUS tag ARRAY), more than the message may hold
 *	(DBUS tag SIZE), or no memory.
 *
 *----------------------------------------------------------------------
 */

int
AppendByteString(Tcl_Interp *interp, const char *tag, DBusMessageIter *iter,
	Tcl_Obj *value) noexcept
{
    static const Tcl_ObjType *const byteArrayType =
	    Tcl_GetObjType("bytearray");
    if (value->typePtr != byteArrayType) {
	int length;
	const Tcl_UniChar *chars = Tcl_GetUnicodeFromObj(value, &length);
	for (int i = 0; i < length; i++) {
	    if (chars[i] > 0xFF) {
		Tcl_ResetResult(interp);
		Tcl_AppendResult(interp, "not a byte string: it holds "
			"characters beyond \\u00ff", (char *) NULL);
		Tcl_SetErrorCode(interp, libname, tag, "BYTES",
			(char *) NULL);
		return TCL_ERROR;
	    }
	}
    }
    int n;
    const unsigned char *bytes = Tcl_GetByteArrayFromObj(value, &n);
    if (static_cast<size_t>(n) > DBUS_MAXIMUM_ARRAY_LENGTH) {
	return AppendFail(interp, tag, "ARRAY",
		"array longer than the D-Bus limit of 64 MiB");
    }
    if (TallyAheadBlock(interp, tag, DBUS_TYPE_BYTE, static_cast<size_t>(n))
	    != TCL_OK) {
	return TCL_ERROR;
    }
    const char elementSig[2] = {DBUS_TYPE_BYTE, '\0'};
    Container sub(iter, DBUS_TYPE_ARRAY, elementSig);
    if (!sub.ok()) {
	return DBus_MemoryError(interp);
    }
    if (!dbus_message_iter_append_fixed_array(sub.iter(), DBUS_TYPE_BYTE,
	    &bytes, n)) {
	return DBus_MemoryError(interp);
    }
    TallyBlock(DBUS_TYPE_BYTE, static_cast<size_t>(n));
    return sub.close() ? TCL_OK : DBus_MemoryError(interp);
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
