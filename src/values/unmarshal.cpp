/*
 * unmarshal.cpp --
 *
 *	Received D-Bus arguments to Tcl values: one list element per
 *	argument, containers as nested lists, dict entries flattened into
 *	their array's list, variants either transparent or, with details,
 *	as a list of their signature and value.
 */

#include <type_traits>
#include <unistd.h>
#include "common.hpp"
#include "values/fixed.hpp"
#include "values/values.hpp"

namespace {

/*
 * Reads the fixed-size basic value at iter and returns it as a new Tcl
 * value (ref count 0); null for a code that is not such a type.
 */
Tcl_Obj *
BasicObj(DBusMessageIter *iter, int type) noexcept
{
    Tcl_Obj *obj = NULL;
    vantrel::VisitFixed(type, [iter, &obj](auto t) {
	using T = decltype(t);
	typename T::C v;
	dbus_message_iter_get_basic(iter, &v);
	obj = T::Make(v);
    });
    return obj;
}

/* Integers below this share one Tcl value per array. */
constexpr int sharedSmall = 256;

/* Elements handed to the list per call, from a buffer on the stack. */
constexpr int chunkSize = 512;

/* True for integers from 0 to sharedSmall - 1. */
template <typename T>
inline bool
IsSmall(T v)
{
    if constexpr (std::is_floating_point_v<T>) {
	return false;
    } else if constexpr (std::is_signed_v<T>) {
	return v >= 0 && v < sharedSmall;
    } else {
	return v < sharedSmall;
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
    Tcl_Obj *small[sharedSmall] = {};
    Tcl_Obj *chunk[chunkSize];
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
	if (used == chunkSize || i == n - 1) {
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
    Tcl_Obj *list = NULL;
    if (n > 0) {
	vantrel::VisitFixed(type, [&](auto t) {
	    using T = decltype(t);
	    list = BlockList<typename T::C>(block, n, T::Make);
	});
    }
    return list ? list : Tcl_NewObj();
}

/*
 * Wraps a received descriptor (ours to own) in a new Tcl channel
 * registered in the interpreter and returns the channel's name, or
 * "NULL" (closing the descriptor) when no channel can be made. The
 * channel is recorded in made, when not null.
 */
Tcl_Obj *
FdObj(Tcl_Interp *interp, int fd, vantrel::FdChannels *made) noexcept
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
    Tcl_Obj *name = Tcl_NewStringObj(Tcl_GetChannelName(chan), -1);
    if (made != NULL) {
	made->Add(name, chan);
    }
    return name;
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
 *	which the caller owns and closes.
 *
 *----------------------------------------------------------------------
 */

Tcl_Obj *
DBus_IterList(Tcl_Interp *interp, DBusMessageIter *iter, int details)
{
    return vantrel::IterList(interp, iter, details, NULL);
}

/*
 *----------------------------------------------------------------------
 *
 * IterList --
 *
 *	DBus_IterList recording the channels it makes, and with the
 *	marshalling mode bits: with MARSHAL_BYTES an array of bytes
 *	becomes a Tcl byte array, copied once, instead of a list of
 *	integers (values.hpp).
 *
 *----------------------------------------------------------------------
 */

Tcl_Obj *
vantrel::IterList(Tcl_Interp *interp, DBusMessageIter *iter, int details,
	FdChannels *made, int mode)
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
	    Tcl_ListObjAppendElement(NULL, list, FdObj(interp, fd, made));
	    break;
	}
	case DBUS_TYPE_ARRAY: {
	    DBusMessageIter sub;
	    int elementType = dbus_message_iter_get_element_type(iter);
	    dbus_message_iter_recurse(iter, &sub);
	    Tcl_Obj *array;
	    if (elementType == DBUS_TYPE_BYTE && (mode & MARSHAL_BYTES)) {
		const unsigned char *bytes = NULL;
		int n = 0;
		dbus_message_iter_get_fixed_array(&sub, &bytes, &n);
		array = Tcl_NewByteArrayObj(bytes, n);
	    } else if (IsBlockType(elementType)) {
		array = FixedArrayList(&sub, elementType);
	    } else {
		array = IterList(interp, &sub, details, made, mode);
	    }
	    Tcl_ListObjAppendElement(NULL, list, array);
	    break;
	}
	case DBUS_TYPE_STRUCT: {
	    DBusMessageIter sub;
	    dbus_message_iter_recurse(iter, &sub);
	    Tcl_ListObjAppendElement(NULL, list,
		    IterList(interp, &sub, details, made, mode));
	    break;
	}
	case DBUS_TYPE_DICT_ENTRY: {
	    /* Key and value join the array's flat key/value list. */
	    DBusMessageIter sub;
	    dbus_message_iter_recurse(iter, &sub);
	    vantrel::ObjPtr entry = vantrel::holdObj(
		    IterList(interp, &sub, details, made, mode));
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
		    IterList(interp, &sub, details, made, mode));
	    if (!details) {
		Tcl_ListObjAppendList(NULL, list, contents.get());
		break;
	    }
	    Tcl_ListObjAppendList(NULL, pair, contents.get());
	    Tcl_ListObjAppendElement(NULL, list, pair);
	    break;
	}
	default:
	    /* libdbus validates received bodies: nothing else arrives. */
	    if (Tcl_Obj *value = BasicObj(iter, type)) {
		Tcl_ListObjAppendElement(NULL, list, value);
	    }
	    break;
	}
	if (!dbus_message_iter_next(iter)) {
	    break;
	}
    }
    return list;
}
