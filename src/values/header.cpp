/*
 * header.cpp --
 *
 *	The header of a received message as a Tcl dict with twelve keys,
 *	always the same and always in the same order.
 *
 *	A stream of messages usually has one shape: the same member,
 *	interface, path, sender and the rest, with only the serials
 *	changing. The dicts handed to handler scripts and set as the return
 *	options of calls therefore come from a per-thread cache: while
 *	nobody but the cache holds the last dict, it is brought up to date
 *	in place (the serials, and whichever text fields differ) instead of
 *	being built and freed again, which would cost twelve hashed
 *	insertions and as many deletions per message. A dict somebody still
 *	holds (a script kept it, or an event loop nested in a handler is
 *	using it) is never touched: a new one is built for the next message.
 */

#include <cstring>
#include "values/values.hpp"

namespace {

/* The twelve keys, in the order in which they are inserted. */
enum HeaderKey {
    KEY_MEMBER, KEY_INTERFACE, KEY_PATH, KEY_SENDER, KEY_DESTINATION,
    KEY_MESSAGETYPE, KEY_SIGNATURE, KEY_ERRORNAME, KEY_SERIAL,
    KEY_REPLYSERIAL, KEY_NOREPLY, KEY_AUTOSTART, KEY_COUNT
};
constexpr int TEXT_COUNT = KEY_SERIAL;	/* The text fields come first. */

const char *const keyNames[KEY_COUNT] = {
    "member", "interface", "path", "sender", "destination", "messagetype",
    "signature", "errorname", "serial", "replyserial", "noreply",
    "autostart"
};

/* The order in which a dict is built: as it always was. */
const HeaderKey insertOrder[KEY_COUNT] = {
    KEY_MEMBER, KEY_INTERFACE, KEY_PATH, KEY_SENDER, KEY_DESTINATION,
    KEY_MESSAGETYPE, KEY_SIGNATURE, KEY_SERIAL, KEY_REPLYSERIAL,
    KEY_NOREPLY, KEY_AUTOSTART, KEY_ERRORNAME
};

/* A message's header fields as libdbus holds them. */
struct Fields {
    const char *text[TEXT_COUNT];	/* ASCII; absent fields are "". */
    int number[KEY_COUNT - TEXT_COUNT];
};

void
ReadFields(DBusMessage *msg, Fields *f)
{
    auto orEmpty = [](const char *s) { return s ? s : ""; };
    f->text[KEY_MEMBER] = orEmpty(dbus_message_get_member(msg));
    f->text[KEY_INTERFACE] = orEmpty(dbus_message_get_interface(msg));
    f->text[KEY_PATH] = orEmpty(dbus_message_get_path(msg));
    f->text[KEY_SENDER] = orEmpty(dbus_message_get_sender(msg));
    f->text[KEY_DESTINATION] = orEmpty(dbus_message_get_destination(msg));
    f->text[KEY_MESSAGETYPE] = orEmpty(
	    dbus_message_type_to_string(dbus_message_get_type(msg)));
    f->text[KEY_SIGNATURE] = orEmpty(dbus_message_get_signature(msg));
    f->text[KEY_ERRORNAME] = orEmpty(dbus_message_get_error_name(msg));
    /* Serials as signed 32-bit integers, the form commands take back. */
    f->number[KEY_SERIAL - TEXT_COUNT] =
	    static_cast<int>(dbus_message_get_serial(msg));
    f->number[KEY_REPLYSERIAL - TEXT_COUNT] =
	    static_cast<int>(dbus_message_get_reply_serial(msg));
    f->number[KEY_NOREPLY - TEXT_COUNT] =
	    dbus_message_get_no_reply(msg) ? 1 : 0;
    f->number[KEY_AUTOSTART - TEXT_COUNT] =
	    dbus_message_get_auto_start(msg) ? 1 : 0;
}

/*
 * One cached dict with the text objects it holds (one reference each,
 * besides the dict's), so that a field is compared without a lookup.
 */
struct Slot {
    Tcl_Obj *dict;
    Tcl_Obj *text[TEXT_COUNT];
};

/*
 * The key objects, made once per thread and shared by every header dict
 * of the thread (a dict takes its own reference to a key), and the
 * cached dicts. Released when the thread ends.
 */
struct ThreadHeaders {
    Tcl_Obj *key[KEY_COUNT];
    Slot slot[vantrel::HEADER_USES];
};
Tcl_ThreadDataKey headersKey;

void
ClearSlot(Slot *slot)
{
    if (slot->dict != NULL) {
	Tcl_DecrRefCount(slot->dict);
	slot->dict = NULL;
    }
    for (Tcl_Obj *&text : slot->text) {
	if (text != NULL) {
	    Tcl_DecrRefCount(text);
	    text = NULL;
	}
    }
}

void
FreeHeaders(ClientData clientData)
{
    auto *headers = static_cast<ThreadHeaders *>(clientData);
    for (Slot &slot : headers->slot) {
	ClearSlot(&slot);
    }
    for (Tcl_Obj *&key : headers->key) {
	Tcl_DecrRefCount(key);
	key = NULL;
    }
}

ThreadHeaders *
Headers()
{
    auto *headers = static_cast<ThreadHeaders *>(
	    Tcl_GetThreadData(&headersKey, sizeof(ThreadHeaders)));
    if (headers->key[0] == NULL) {
	for (int i = 0; i < KEY_COUNT; i++) {
	    headers->key[i] = Tcl_NewStringObj(keyNames[i], -1);
	    Tcl_IncrRefCount(headers->key[i]);
	}
	Tcl_CreateThreadExitHandler(FreeHeaders, headers);
    }
    return headers;
}

/* The value objects of a new dict; texts are taken from the slot. */
Tcl_Obj *
BuildDict(Tcl_Obj *const *key, Tcl_Obj *const *text, const Fields &f)
{
    Tcl_Obj *dict = Tcl_NewDictObj();
    for (HeaderKey k : insertOrder) {
	Tcl_Obj *value = k < TEXT_COUNT ? text[k]
		: Tcl_NewIntObj(f.number[k - TEXT_COUNT]);
	Tcl_DictObjPut(NULL, dict, key[k], value);
    }
    return dict;
}

/* True when the text object holds exactly the text. */
bool
SameText(Tcl_Obj *obj, const char *text)
{
    int length;
    const char *held = Tcl_GetStringFromObj(obj, &length);
    return std::strncmp(held, text, length) == 0 && text[length] == '\0';
}

} // namespace

/*
 * HeaderDict --
 *
 *	The header dict of msg from the thread's cache for one use
 *	(values.hpp).
 */
Tcl_Obj *
vantrel::HeaderDict(HeaderUse use, DBusMessage *msg)
{
    ThreadHeaders *headers = Headers();
    Slot &slot = headers->slot[use];
    Fields f;
    ReadFields(msg, &f);

    bool reuse = slot.dict != NULL && !Tcl_IsShared(slot.dict);
    bool changed = false;
    for (int k = 0; k < TEXT_COUNT; k++) {
	if (slot.text[k] != NULL && SameText(slot.text[k], f.text[k])) {
	    continue;
	}
	Tcl_Obj *text = Tcl_NewStringObj(f.text[k], -1);
	Tcl_IncrRefCount(text);
	if (slot.text[k] != NULL) {
	    Tcl_DecrRefCount(slot.text[k]);
	}
	slot.text[k] = text;
	if (reuse) {
	    /* Replaces the value of an existing key: no new entry. */
	    Tcl_DictObjPut(NULL, slot.dict, headers->key[k], text);
	}
    }
    if (!reuse) {
	if (slot.dict != NULL) {
	    Tcl_DecrRefCount(slot.dict);
	}
	slot.dict = BuildDict(headers->key, slot.text, f);
	Tcl_IncrRefCount(slot.dict);
	return slot.dict;
    }
    for (int k = TEXT_COUNT; k < KEY_COUNT; k++) {
	int wanted = f.number[k - TEXT_COUNT];
	Tcl_Obj *value = NULL;
	int held;
	Tcl_DictObjGet(NULL, slot.dict, headers->key[k], &value);
	if (value != NULL && Tcl_GetIntFromObj(NULL, value, &held) == TCL_OK
		&& held == wanted) {
	    continue;
	}
	if (value != NULL && !Tcl_IsShared(value)) {
	    /* Only the dict holds it: a new value in the same object. */
	    Tcl_SetIntObj(value, wanted);
	    changed = true;
	} else {
	    Tcl_DictObjPut(NULL, slot.dict, headers->key[k],
		    Tcl_NewIntObj(wanted));
	}
    }
    if (changed) {
	/* Values changed behind the dict's back: its text is stale. */
	Tcl_InvalidateStringRep(slot.dict);
    }
    return slot.dict;
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_MessageInfo --
 *
 *	Describes the message's header: member, interface, path, sender,
 *	destination, messagetype, signature, serial, replyserial, noreply,
 *	autostart and errorname. Text fields are taken as libdbus holds
 *	them (header names are ASCII); serials are read as signed 32-bit
 *	integers, the form in which commands take them back.
 *
 * Results:
 *	A new dict with ref count 0, owned by the caller. Never fails.
 *
 *----------------------------------------------------------------------
 */

Tcl_Obj *
DBus_MessageInfo(Tcl_Interp *, DBusMessage *msg)
{
    Tcl_Obj *const *key = Headers()->key;
    Fields f;
    ReadFields(msg, &f);
    Tcl_Obj *text[TEXT_COUNT];
    for (int k = 0; k < TEXT_COUNT; k++) {
	text[k] = Tcl_NewStringObj(f.text[k], -1);
    }
    return BuildDict(key, text, f);
}
