/*
 * header.cpp --
 *
 *	The header of a received message as a Tcl dict with thirteen keys,
 *	always the same and always in the same order.
 *
 *	A stream of messages usually has one shape: the same member,
 *	interface, path, sender and the rest, with only the serials
 *	changing. The dicts handed to handler scripts and set as the return
 *	options of calls therefore come from a per-thread cache: while
 *	nobody but the cache holds the last dict, it is brought up to date
 *	in place (the serials, and whichever text fields differ) instead of
 *	being built and freed again, which would cost thirteen hashed
 *	insertions and as many deletions per message. A dict somebody still
 *	holds (a script kept it, or an event loop nested in a handler is
 *	using it) is never touched: a new one is built for the next message.
 */

#include <cstring>
#include "values/values.hpp"

namespace {

/* The keys, in the order of their numbers. */
enum HeaderKey {
    KEY_MEMBER, KEY_INTERFACE, KEY_PATH, KEY_SENDER, KEY_DESTINATION,
    KEY_MESSAGETYPE, KEY_SIGNATURE, KEY_ERRORNAME, KEY_SERIAL,
    KEY_REPLYSERIAL, KEY_NOREPLY, KEY_AUTOSTART, KEY_INTERACTIVE, KEY_COUNT
};
constexpr int TEXT_COUNT = KEY_SERIAL;	/* The text fields come first. */

const char *const keyNames[KEY_COUNT] = {
    "member", "interface", "path", "sender", "destination", "messagetype",
    "signature", "errorname", "serial", "replyserial", "noreply",
    "autostart", "interactive"
};

/*
 * The order in which a dict is built: as it always was, with the flag
 * that came later at the end.
 */
const HeaderKey insertOrder[KEY_COUNT] = {
    KEY_MEMBER, KEY_INTERFACE, KEY_PATH, KEY_SENDER, KEY_DESTINATION,
    KEY_MESSAGETYPE, KEY_SIGNATURE, KEY_SERIAL, KEY_REPLYSERIAL,
    KEY_NOREPLY, KEY_AUTOSTART, KEY_ERRORNAME, KEY_INTERACTIVE
};

/* A message's header fields as libdbus holds them. */
struct Fields {
    const char *text[TEXT_COUNT];	/* ASCII; absent fields are "". */
    int number[KEY_COUNT - TEXT_COUNT];
};

void
ReadFields(DBusMessage *msg, Fields *f, vantrel::HeaderFields *known)
{
    auto orEmpty = [](const char *s) { return s ? s : ""; };
    if (known != nullptr && known->known) {
	f->text[KEY_MEMBER] = orEmpty(known->member);
	f->text[KEY_INTERFACE] = orEmpty(known->interface);
	f->text[KEY_PATH] = orEmpty(known->path);
    } else {
	f->text[KEY_MEMBER] = orEmpty(dbus_message_get_member(msg));
	f->text[KEY_INTERFACE] = orEmpty(dbus_message_get_interface(msg));
	f->text[KEY_PATH] = orEmpty(dbus_message_get_path(msg));
    }
    f->text[KEY_SENDER] = orEmpty(dbus_message_get_sender(msg));
    f->text[KEY_DESTINATION] = orEmpty(dbus_message_get_destination(msg));
    f->text[KEY_MESSAGETYPE] = orEmpty(
	    dbus_message_type_to_string(dbus_message_get_type(msg)));
    f->text[KEY_SIGNATURE] = orEmpty(dbus_message_get_signature(msg));
    if (known != nullptr) {
	known->signature = f->text[KEY_SIGNATURE];
    }
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
    /* The caller lets the service ask the user (polkit) for consent. */
    f->number[KEY_INTERACTIVE - TEXT_COUNT] =
	    dbus_message_get_allow_interactive_authorization(msg) ? 1 : 0;
}

/*
 * One cached dict with its texts and numbers, so that a field is
 * compared without a lookup. The slot holds a reference of its own to
 * each text, which it compares with the next message's even when the
 * dict had to be let go. The dict's integer objects are looked up when
 * they change: a script may have turned the dict into a string and back
 * meanwhile, which replaces them.
 */
constexpr int NUMBER_COUNT = KEY_COUNT - TEXT_COUNT;
struct Slot {
    Tcl_Obj *dict;
    Tcl_Obj *text[TEXT_COUNT];
    int number[NUMBER_COUNT];
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

/* The thread's record, found once (every message needs it). */
thread_local ThreadHeaders *threadHeaders = nullptr;

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
    threadHeaders = nullptr;
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
    if (threadHeaders != nullptr) {
	return threadHeaders;
    }
    auto *headers = static_cast<ThreadHeaders *>(
	    Tcl_GetThreadData(&headersKey, sizeof(ThreadHeaders)));
    threadHeaders = headers;
    if (headers->key[0] == NULL) {
	for (int i = 0; i < KEY_COUNT; i++) {
	    headers->key[i] = Tcl_NewStringObj(keyNames[i], -1);
	    Tcl_IncrRefCount(headers->key[i]);
	}
	Tcl_CreateThreadExitHandler(FreeHeaders, headers);
    }
    return headers;
}

/* A new dict of the given value objects, in the usual order. */
Tcl_Obj *
BuildDict(Tcl_Obj *const *key, Tcl_Obj *const *value)
{
    Tcl_Obj *dict = Tcl_NewDictObj();
    for (HeaderKey k : insertOrder) {
	Tcl_DictObjPut(NULL, dict, key[k], value[k]);
    }
    return dict;
}

/*
 * True when the text object holds exactly the text. A Tcl string holds
 * no NUL byte and ends in one, so strcmp says it.
 */
bool
SameText(Tcl_Obj *obj, const char *text)
{
    const char *held = obj->bytes != NULL ? obj->bytes : Tcl_GetString(obj);
    return std::strcmp(held, text) == 0;
}

} // namespace

/*
 * HeaderDict --
 *
 *	The header dict of msg from the thread's cache for one use
 *	(values.hpp).
 */
Tcl_Obj *
vantrel::HeaderDict(HeaderUse use, DBusMessage *msg, HeaderFields *fields)
{
    ThreadHeaders *headers = Headers();
    Slot &slot = headers->slot[use];
    Fields f;
    ReadFields(msg, &f, fields);

    if (slot.dict == NULL || Tcl_IsShared(slot.dict)) {
	/* A new dict, with the texts of the last one where they match. */
	Tcl_Obj *value[KEY_COUNT];
	for (int k = 0; k < TEXT_COUNT; k++) {
	    if (slot.text[k] == NULL || !SameText(slot.text[k], f.text[k])) {
		if (slot.text[k] != NULL) {
		    Tcl_DecrRefCount(slot.text[k]);
		}
		slot.text[k] = Tcl_NewStringObj(f.text[k], -1);
		Tcl_IncrRefCount(slot.text[k]);
	    }
	    value[k] = slot.text[k];
	}
	for (int n = 0; n < NUMBER_COUNT; n++) {
	    slot.number[n] = f.number[n];
	    value[TEXT_COUNT + n] = Tcl_NewIntObj(f.number[n]);
	}
	if (slot.dict != NULL) {
	    Tcl_DecrRefCount(slot.dict);
	}
	slot.dict = BuildDict(headers->key, value);
	Tcl_IncrRefCount(slot.dict);
	return slot.dict;
    }

    /* Only the cache holds the dict: changed in place. */
    for (int k = 0; k < TEXT_COUNT; k++) {
	if (SameText(slot.text[k], f.text[k])) {
	    continue;
	}
	Tcl_DecrRefCount(slot.text[k]);
	slot.text[k] = Tcl_NewStringObj(f.text[k], -1);
	Tcl_IncrRefCount(slot.text[k]);
	/* Replaces the value of an existing key: no new entry. */
	Tcl_DictObjPut(NULL, slot.dict, headers->key[k], slot.text[k]);
    }
    bool changedInPlace = false;
    for (int n = 0; n < NUMBER_COUNT; n++) {
	if (slot.number[n] == f.number[n]) {
	    continue;
	}
	slot.number[n] = f.number[n];
	Tcl_Obj *key = headers->key[TEXT_COUNT + n];
	Tcl_Obj *held = NULL;
	Tcl_DictObjGet(NULL, slot.dict, key, &held);
	if (held != NULL && !Tcl_IsShared(held)) {
	    /* Only the dict holds it: the same object, a new value. */
	    Tcl_SetIntObj(held, f.number[n]);
	    changedInPlace = true;
	} else {
	    Tcl_DictObjPut(NULL, slot.dict, key, Tcl_NewIntObj(f.number[n]));
	}
    }
    if (changedInPlace) {
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
 *	autostart, errorname and interactive. Text fields are taken as libdbus holds
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
    ReadFields(msg, &f, nullptr);
    Tcl_Obj *value[KEY_COUNT];
    for (int k = 0; k < KEY_COUNT; k++) {
	value[k] = k < TEXT_COUNT ? Tcl_NewStringObj(f.text[k], -1)
		: Tcl_NewIntObj(f.number[k - TEXT_COUNT]);
    }
    return BuildDict(key, value);
}
