/*
 * unmarshal.cpp --
 *
 *	Received D-Bus arguments to Tcl values: one list element per
 *	argument, containers as nested lists, dict entries flattened into
 *	their array's list, variants either transparent or, with details,
 *	as a list of their signature and value.
 */

#include <cinttypes>
#include <cstdio>
#include <type_traits>
#include <unistd.h>
#include "vantrel.h"
#include "guards.hpp"
#include "marshal.hpp"
#include "text.hpp"

namespace {

/*
 * A UINT64 as a Tcl value: a wide integer below 2^63, its unsigned
 * decimal text from there up, so it never reads negative.
 */
Tcl_Obj *
NewUint64Obj(dbus_uint64_t value) noexcept
{
    if (!(value >> 63)) {
	return Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(value));
    }
    char text[24];
    std::snprintf(text, sizeof(text), "%" PRIu64, static_cast<uint64_t>(value));
    return Tcl_NewStringObj(text, -1);
}

/*
 * Reads the fixed-size basic value at iter and returns it as a new Tcl
 * value (ref count 0).
 */
Tcl_Obj *
BasicObj(DBusMessageIter *iter, int type) noexcept
{
    DBusBasicValue v;
    dbus_message_iter_get_basic(iter, &v);
    switch (type) {
    case DBUS_TYPE_BYTE:
	return Tcl_NewIntObj(v.byt);
    case DBUS_TYPE_BOOLEAN:
	return Tcl_NewIntObj(v.bool_val ? 1 : 0);
    case DBUS_TYPE_INT16:
	return Tcl_NewIntObj(v.i16);
    case DBUS_TYPE_UINT16:
	return Tcl_NewIntObj(v.u16);
    case DBUS_TYPE_INT32:
	return Tcl_NewIntObj(v.i32);
    case DBUS_TYPE_UINT32:
	return Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(v.u32));
    case DBUS_TYPE_INT64:
	return Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(v.i64));
    case DBUS_TYPE_UINT64:
	return NewUint64Obj(v.u64);
    case DBUS_TYPE_DOUBLE:
	return Tcl_NewDoubleObj(v.dbl);
    default:
	return Tcl_NewObj();	/* Not reached: callers pass fixed types. */
    }
}

/* True for integers from 0 to 255, whose Tcl values are shared. */
template <typename T>
inline bool
IsSmall(T v)
{
    if constexpr (std::is_floating_point_v<T>) {
	return false;
    } else if constexpr (std::is_signed_v<T>) {
	return v >= 0 && v < 256;
    } else {
	return v < 256;
    }
}

/*
 * Builds the list for an array of n fixed-size values of type T that
 * libdbus handed over as one block; each element is what the
 * element-by-element conversion gives. The elements for integers 0 to
 * 255 are made once per array and shared (Tcl values are immutable), so
 * a byte array costs at most 256 new objects however long it is.
 */
template <typename T, typename Make>
Tcl_Obj *
BlockList(const void *block, int n, Make make) noexcept
{
    const T *values = static_cast<const T *>(block);
    Tcl_Obj *small[256] = {};
    Tcl_Obj *chunk[512];		/* Appended a chunk at a time. */
    Tcl_Obj *list = Tcl_NewListObj(n, NULL);	/* Room for n elements. */
    int used = 0;
    for (int i = 0; i < n; i++) {
	T v = values[i];
	Tcl_Obj *elem;
	if (IsSmall(v)) {
	    Tcl_Obj *&shared = small[static_cast<int>(v)];
	    if (shared == NULL) {
		shared = make(v);
	    }
	    elem = shared;
	} else {
	    elem = make(v);
	}
	chunk[used++] = elem;
	if (used == 512 || i == n - 1) {
	    Tcl_ListObjReplace(NULL, list, i + 1 - used, 0, used, chunk);
	    used = 0;
	}
    }
    return list;
}

/*
 * Converts an array whose elements are of a fixed-size basic type,
 * reading the whole block at once.
 */
Tcl_Obj *
FixedArrayList(DBusMessageIter *sub, int type) noexcept
{
    const void *block = NULL;
    int n = 0;
    dbus_message_iter_get_fixed_array(sub, &block, &n);
    if (n <= 0) {
	return Tcl_NewObj();
    }
    switch (type) {
    case DBUS_TYPE_BYTE:
	return BlockList<unsigned char>(block, n,
		[](unsigned char v) { return Tcl_NewIntObj(v); });
    case DBUS_TYPE_BOOLEAN:
	return BlockList<dbus_bool_t>(block, n,
		[](dbus_bool_t v) { return Tcl_NewIntObj(v ? 1 : 0); });
    case DBUS_TYPE_INT16:
	return BlockList<dbus_int16_t>(block, n,
		[](dbus_int16_t v) { return Tcl_NewIntObj(v); });
    case DBUS_TYPE_UINT16:
	return BlockList<dbus_uint16_t>(block, n,
		[](dbus_uint16_t v) { return Tcl_NewIntObj(v); });
    case DBUS_TYPE_INT32:
	return BlockList<dbus_int32_t>(block, n,
		[](dbus_int32_t v) { return Tcl_NewIntObj(v); });
    case DBUS_TYPE_UINT32:
	return BlockList<dbus_uint32_t>(block, n, [](dbus_uint32_t v) {
	    return Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(v));
	});
    case DBUS_TYPE_INT64:
	return BlockList<dbus_int64_t>(block, n, [](dbus_int64_t v) {
	    return Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(v));
	});
    case DBUS_TYPE_UINT64:
	return BlockList<dbus_uint64_t>(block, n, NewUint64Obj);
    case DBUS_TYPE_DOUBLE:
	return BlockList<double>(block, n,
		[](double v) { return Tcl_NewDoubleObj(v); });
    default:
	return Tcl_NewObj();	/* Not reached: only fixed types come. */
    }
}

/*
 * Wraps a received descriptor (ours to own) in a new Tcl channel
 * registered in the interpreter and returns the channel's name, or
 * "NULL" (closing the descriptor) when no channel can be made.
 */
Tcl_Obj *
FdObj(Tcl_Interp *interp, int fd) noexcept
{
    if (fd < 0) {
	return Tcl_NewStringObj("NULL", -1);
    }
    Tcl_Channel chan = Tcl_MakeFileChannel(
	    reinterpret_cast<ClientData>(static_cast<intptr_t>(fd)),
	    TCL_READABLE | TCL_WRITABLE);
    if (chan == NULL) {
	close(fd);
	return Tcl_NewStringObj("NULL", -1);
    }
    Tcl_RegisterChannel(interp, chan);
    return Tcl_NewStringObj(Tcl_GetChannelName(chan), -1);
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBus_IterList --
 *
 *	Converts the values from iter to the end of its level into a Tcl
 *	list, containers recursively. With details, every variant becomes
 *	a list of its contents' signature and value, the form that
 *	outgoing variants accept back.
 *
 * Results:
 *	A new list with ref count 0, owned by the caller. Never fails.
 *
 * Side effects:
 *	Each UNIX_FD value becomes a new channel registered in interp,
 *	which the script owns and closes.
 *
 *----------------------------------------------------------------------
 */

Tcl_Obj *
DBus_IterList(Tcl_Interp *interp, DBusMessageIter *iter, int details)
{
    Tcl_Obj *list = Tcl_NewObj();
    int type;
    while ((type = dbus_message_iter_get_arg_type(iter))
	    != DBUS_TYPE_INVALID) {
	switch (type) {
	case DBUS_TYPE_STRING:
	case DBUS_TYPE_OBJECT_PATH:
	case DBUS_TYPE_SIGNATURE: {
	    const char *text = NULL;
	    dbus_message_iter_get_basic(iter, &text);
	    Tcl_ListObjAppendElement(NULL, list, vantrel::NewUtf8Obj(text));
	    break;
	}
	case DBUS_TYPE_UNIX_FD: {
	    int fd = -1;
	    dbus_message_iter_get_basic(iter, &fd);
	    Tcl_ListObjAppendElement(NULL, list, FdObj(interp, fd));
	    break;
	}
	case DBUS_TYPE_ARRAY: {
	    DBusMessageIter sub;
	    int elementType = dbus_message_iter_get_element_type(iter);
	    dbus_message_iter_recurse(iter, &sub);
	    Tcl_ListObjAppendElement(NULL, list, vantrel::IsBlockType(elementType)
		    ? FixedArrayList(&sub, elementType)
		    : DBus_IterList(interp, &sub, details));
	    break;
	}
	case DBUS_TYPE_STRUCT: {
	    DBusMessageIter sub;
	    dbus_message_iter_recurse(iter, &sub);
	    Tcl_ListObjAppendElement(NULL, list,
		    DBus_IterList(interp, &sub, details));
	    break;
	}
	case DBUS_TYPE_DICT_ENTRY: {
	    /* Key and value join the array's flat key/value list. */
	    DBusMessageIter sub;
	    dbus_message_iter_recurse(iter, &sub);
	    vantrel::ObjPtr entry = vantrel::holdObj(
		    DBus_IterList(interp, &sub, details));
	    Tcl_ListObjAppendList(NULL, list, entry.get());
	    break;
	}
	case DBUS_TYPE_VARIANT: {
	    DBusMessageIter sub;
	    dbus_message_iter_recurse(iter, &sub);
	    Tcl_Obj *pair = NULL;
	    if (details) {
		/* Read before the conversion moves the iterator on. */
		char *sig = dbus_message_iter_get_signature(&sub);
		pair = Tcl_NewListObj(0, NULL);
		Tcl_ListObjAppendElement(NULL, pair,
			Tcl_NewStringObj(sig ? sig : "", -1));
		dbus_free(sig);
	    }
	    vantrel::ObjPtr contents = vantrel::holdObj(
		    DBus_IterList(interp, &sub, details));
	    if (!details) {
		Tcl_ListObjAppendList(NULL, list, contents.get());
		break;
	    }
	    Tcl_ListObjAppendList(NULL, pair, contents.get());
	    Tcl_ListObjAppendElement(NULL, list, pair);
	    break;
	}
	default:
	    if (dbus_type_is_fixed(type)) {
		Tcl_ListObjAppendElement(NULL, list, BasicObj(iter, type));
	    }
	    /* libdbus validates received bodies: nothing else arrives. */
	    break;
	}
	if (!dbus_message_iter_next(iter)) {
	    break;
	}
    }
    return list;
}
