/*
 * header.cpp --
 *
 *	The header of a received message as a Tcl dict with twelve keys,
 *	always the same and always in the same order.
 */

#include "vantrel.h"

namespace {

/* The twelve keys, in the order in which they are inserted. */
enum HeaderKey {
    KEY_MEMBER, KEY_INTERFACE, KEY_PATH, KEY_SENDER, KEY_DESTINATION,
    KEY_MESSAGETYPE, KEY_SIGNATURE, KEY_SERIAL, KEY_REPLYSERIAL,
    KEY_NOREPLY, KEY_AUTOSTART, KEY_ERRORNAME, KEY_COUNT
};

const char *const keyNames[KEY_COUNT] = {
    "member", "interface", "path", "sender", "destination", "messagetype",
    "signature", "serial", "replyserial", "noreply", "autostart",
    "errorname"
};

/*
 * The key objects, made once per thread and shared by every header dict
 * of the thread (a dict takes its own reference to a key), so that a
 * message costs no key allocations. Released when the thread ends.
 */
struct HeaderKeys {
    Tcl_Obj *key[KEY_COUNT];
};
Tcl_ThreadDataKey headerKeysKey;

void
FreeHeaderKeys(ClientData clientData)
{
    auto *keys = static_cast<HeaderKeys *>(clientData);
    for (Tcl_Obj *&key : keys->key) {
	Tcl_DecrRefCount(key);
	key = NULL;
    }
}

Tcl_Obj *const *
Keys()
{
    auto *keys = static_cast<HeaderKeys *>(
	    Tcl_GetThreadData(&headerKeysKey, sizeof(HeaderKeys)));
    if (keys->key[0] == NULL) {
	for (int i = 0; i < KEY_COUNT; i++) {
	    keys->key[i] = Tcl_NewStringObj(keyNames[i], -1);
	    Tcl_IncrRefCount(keys->key[i]);
	}
	Tcl_CreateThreadExitHandler(FreeHeaderKeys, keys);
    }
    return keys->key;
}

/* Puts key -> text into dict; an absent (NULL) field gives "". */
void
PutText(Tcl_Interp *interp, Tcl_Obj *dict, Tcl_Obj *key, const char *text)
{
    Tcl_DictObjPut(interp, dict, key, Tcl_NewStringObj(text ? text : "", -1));
}

void
PutInt(Tcl_Interp *interp, Tcl_Obj *dict, Tcl_Obj *key, int value)
{
    Tcl_DictObjPut(interp, dict, key, Tcl_NewIntObj(value));
}

} // namespace

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
DBus_MessageInfo(Tcl_Interp *interp, DBusMessage *msg)
{
    Tcl_Obj *const *key = Keys();
    Tcl_Obj *dict = Tcl_NewDictObj();
    PutText(interp, dict, key[KEY_MEMBER], dbus_message_get_member(msg));
    PutText(interp, dict, key[KEY_INTERFACE],
	    dbus_message_get_interface(msg));
    PutText(interp, dict, key[KEY_PATH], dbus_message_get_path(msg));
    PutText(interp, dict, key[KEY_SENDER], dbus_message_get_sender(msg));
    PutText(interp, dict, key[KEY_DESTINATION],
	    dbus_message_get_destination(msg));
    PutText(interp, dict, key[KEY_MESSAGETYPE],
	    dbus_message_type_to_string(dbus_message_get_type(msg)));
    PutText(interp, dict, key[KEY_SIGNATURE],
	    dbus_message_get_signature(msg));
    PutInt(interp, dict, key[KEY_SERIAL],
	    static_cast<int>(dbus_message_get_serial(msg)));
    PutInt(interp, dict, key[KEY_REPLYSERIAL],
	    static_cast<int>(dbus_message_get_reply_serial(msg)));
    PutInt(interp, dict, key[KEY_NOREPLY],
	    dbus_message_get_no_reply(msg) ? 1 : 0);
    PutInt(interp, dict, key[KEY_AUTOSTART],
	    dbus_message_get_auto_start(msg) ? 1 : 0);
    PutText(interp, dict, key[KEY_ERRORNAME],
	    dbus_message_get_error_name(msg));
    return dict;
}
