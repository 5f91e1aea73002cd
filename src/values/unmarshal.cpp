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

/* Where AppendValues puts the values: the end of a Tcl list. */
struct ListSink {
    Tcl_Obj *list;
    void Add(Tcl_Obj *value) { Tcl_ListObjAppendElement(NULL, list, value); }
};

/* Or the end of the words of a handler's command (values.hpp). */
struct WordSink {
    vantrel::Words *words;
    void Add(Tcl_Obj *value) { words->Add(value); }
};

template <typename Sink>
void AppendValues(Tcl_Interp *interp, DBusMessageIter *iter, int details,
	vantrel::FdChannels *made, int mode, Sink &sink, int count = -1);

/*
 * The number of complete types of a valid signature ("is" 2, "a{sv}i"
 * 2): an array's element type counts with the array, a struct's or a
 * dict entry's members with the container.
 */
int
CountTypes(const char *signature) noexcept
{
    int count = 0;
    int depth = 0;
    for (const char *c = signature; *c != '\0'; c++) {
	switch (*c) {
	case DBUS_TYPE_ARRAY:
	    continue;
	case DBUS_STRUCT_BEGIN_CHAR:
	case DBUS_DICT_ENTRY_BEGIN_CHAR:
	    depth++;
	    continue;
	case DBUS_STRUCT_END_CHAR:
	case DBUS_DICT_ENTRY_END_CHAR:
	    depth--;
	    break;
	}
	if (depth == 0) {
	    count++;
	}
    }
    return count;
}

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

/*
 * The integers 0 to sharedSmall - 1, one Tcl value each per thread,
 * shared by every array received (Tcl values are immutable): a byte
 * array then costs no new object however long it is, and what the
 * script frees is a reference, not an object. Released when the thread
 * ends.
 */
constexpr int sharedSmall = 256;

struct SmallInts {
    Tcl_Obj *obj[sharedSmall];
};
Tcl_ThreadDataKey smallIntsKey;

void
FreeSmallInts(ClientData clientData)
{
    for (Tcl_Obj *&obj : static_cast<SmallInts *>(clientData)->obj) {
	if (obj != NULL) {
	    Tcl_DecrRefCount(obj);
	    obj = NULL;
	}
    }
}

SmallInts *
ThreadSmallInts() noexcept
{
    auto *small = static_cast<SmallInts *>(
	    Tcl_GetThreadData(&smallIntsKey, sizeof(SmallInts)));
    if (small->obj[0] == NULL) {
	for (int i = 0; i < sharedSmall; i++) {
	    small->obj[i] = Tcl_NewIntObj(i);
	    Tcl_IncrRefCount(small->obj[i]);
	}
	Tcl_CreateThreadExitHandler(FreeSmallInts, small);
    }
    return small;
}

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
 * The shared value of a small integer. One a script has turned into
 * another type (by using it as a list, say) still reads as the same
 * number, but is replaced so that values going out again find an
 * integer.
 */
inline Tcl_Obj *
SharedSmall(SmallInts *small, int v) noexcept
{
    Tcl_Obj *&obj = small->obj[v];
    if (obj->typePtr != vantrel::IntType()) {
	Tcl_DecrRefCount(obj);
	obj = Tcl_NewIntObj(v);
	Tcl_IncrRefCount(obj);
    }
    return obj;
}

/*
 * Builds the list for an array of n fixed-size values of the type record
 * T that libdbus handed over as one block; each element is what the
 * element-by-element conversion gives. The elements are gathered first
 * and handed to the list in blocks of up to gatherSize, which makes the
 * list of a usual array in one allocation and keeps the gathering
 * buffer small for a huge one.
 */
constexpr int gatherSize = 65536;

template <typename T>
Tcl_Obj *
BlockList(const void *block, int n) noexcept
{
    using C = typename T::C;
    if (n <= 0) {
	return Tcl_NewObj();
    }
    const C *values = static_cast<const C *>(block);
    int gather = n < gatherSize ? n : gatherSize;
    constexpr int onStack = 512;
    Tcl_Obj *local[onStack];
    Tcl_Obj **elems = local;
    if (gather > onStack) {
	elems = reinterpret_cast<Tcl_Obj **>(
		Tcl_Alloc(static_cast<unsigned>(gather) * sizeof(Tcl_Obj *)));
    }
    SmallInts *small = std::is_floating_point_v<C> ? NULL
	    : ThreadSmallInts();
    Tcl_Obj *list = NULL;
    for (int start = 0; start < n; start += gather) {
	int count = n - start < gather ? n - start : gather;
	for (int i = 0; i < count; i++) {
	    C v = values[start + i];
	    elems[i] = IsSmall(v) ? SharedSmall(small, static_cast<int>(v))
		    : T::Make(v);
	}
	if (count == n) {
	    list = Tcl_NewListObj(n, elems);
	} else {
	    if (list == NULL) {
		list = Tcl_NewListObj(n, NULL);	/* Room for n elements. */
	    }
	    Tcl_ListObjReplace(NULL, list, start, 0, count, elems);
	}
    }
    if (elems != local) {
	Tcl_Free(reinterpret_cast<char *>(elems));
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
    vantrel::VisitFixed(type, [&](auto t) {
	list = BlockList<decltype(t)>(block, n);
    });
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
    ListSink sink{Tcl_NewObj()};
    AppendValues(interp, iter, details, made, mode, sink);
    return sink.list;
}

/*
 *----------------------------------------------------------------------
 *
 * IterWords --
 *
 *	IterList's values as words (values.hpp).
 *
 *----------------------------------------------------------------------
 */

void
vantrel::IterWords(Tcl_Interp *interp, DBusMessageIter *iter, int details,
	FdChannels *made, int mode, Words *words, const char *signature)
{
    WordSink sink{words};
    AppendValues(interp, iter, details, made, mode, sink,
	    signature != nullptr ? CountTypes(signature) : -1);
}

vantrel::Words::~Words()
{
    Clear();
}

void
vantrel::Words::Clear() noexcept
{
    Tcl_Obj **words = At();
    for (int i = 0; i < count_; i++) {
	Tcl_DecrRefCount(words[i]);
    }
    count_ = 0;
    more_.clear();
}

void
vantrel::Words::AddMore(Tcl_Obj *value)
{
    Tcl_IncrRefCount(value);
    if (count_ == fewWords) {
	more_.assign(few_, few_ + fewWords);
    }
    more_.push_back(value);
    count_++;
}

namespace {

/*
 * AppendValues --
 *
 *	The conversion itself: appends the values from iter to the end of
 *	its level to the sink. Dict entries and variants without details
 *	add their values to the list they stand in, with no list of their
 *	own in between. A caller that knows how many values the level
 *	holds passes count, which spares libdbus's step past the last.
 */
template <typename Sink>
void
AppendValues(Tcl_Interp *interp, DBusMessageIter *iter, int details,
	vantrel::FdChannels *made, int mode, Sink &sink, int count)
{
    int type;
    while ((type = dbus_message_iter_get_arg_type(iter))
	    != DBUS_TYPE_INVALID) {
	switch (type) {
	case DBUS_TYPE_STRING:
	case DBUS_TYPE_OBJECT_PATH:
	case DBUS_TYPE_SIGNATURE: {
	    const char *text = NULL;
	    dbus_message_iter_get_basic(iter, &text);
	    sink.Add(vantrel::NewUtf8Obj(text));
	    break;
	}
	case DBUS_TYPE_UNIX_FD: {
	    int fd = -1;
	    dbus_message_iter_get_basic(iter, &fd);
	    sink.Add(FdObj(interp, fd, made));
	    break;
	}
	case DBUS_TYPE_ARRAY: {
	    DBusMessageIter sub;
	    int elementType = dbus_message_iter_get_element_type(iter);
	    dbus_message_iter_recurse(iter, &sub);
	    Tcl_Obj *array;
	    if (elementType == DBUS_TYPE_BYTE && (mode & vantrel::MARSHAL_BYTES)) {
		const unsigned char *bytes = NULL;
		int n = 0;
		dbus_message_iter_get_fixed_array(&sub, &bytes, &n);
		array = Tcl_NewByteArrayObj(bytes, n);
	    } else if (vantrel::IsBlockType(elementType)) {
		array = FixedArrayList(&sub, elementType);
	    } else {
		array = vantrel::IterList(interp, &sub, details, made, mode);
	    }
	    sink.Add(array);
	    break;
	}
	case DBUS_TYPE_STRUCT: {
	    DBusMessageIter sub;
	    dbus_message_iter_recurse(iter, &sub);
	    sink.Add(vantrel::IterList(interp, &sub, details, made, mode));
	    break;
	}
	case DBUS_TYPE_DICT_ENTRY: {
	    /* Key and value join the array's flat key/value list. */
	    DBusMessageIter sub;
	    dbus_message_iter_recurse(iter, &sub);
	    AppendValues(interp, &sub, details, made, mode, sink);
	    break;
	}
	case DBUS_TYPE_VARIANT: {
	    DBusMessageIter sub;
	    dbus_message_iter_recurse(iter, &sub);
	    if (!details) {
		/* The contents stand in the list for the variant. */
		AppendValues(interp, &sub, details, made, mode, sink);
		break;
	    }
	    /* Read before the conversion moves the iterator on. */
	    char *sig = dbus_message_iter_get_signature(&sub);
	    ListSink pair{Tcl_NewListObj(0, NULL)};
	    pair.Add(Tcl_NewStringObj(sig ? sig : "", -1));
	    dbus_free(sig);
	    AppendValues(interp, &sub, details, made, mode, pair);
	    sink.Add(pair.list);
	    break;
	}
	default:
	    /* libdbus validates received bodies: nothing else arrives. */
	    if (Tcl_Obj *value = BasicObj(iter, type)) {
		sink.Add(value);
	    }
	    break;
	}
	if (--count == 0 || !dbus_message_iter_next(iter)) {
	    break;
	}
    }
}

} // namespace
