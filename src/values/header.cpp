/*
 * header.cpp --
 *
 *	The header of a received message as a Tcl dict with twelve keys,
 *	always the same and always in the same order.
 */

#include "vantrel.h"

namespace {

/* Puts key -> text into dict; an absent (NULL) field gives "". */
void
PutText(Tcl_Interp *interp, Tcl_Obj *dict, const char *key, const char *text)
{
    Tcl_DictObjPut(interp, dict, Tcl_NewStringObj(key, -1),
	    Tcl_NewStringObj(text ? text : "", -1));
}

void
PutInt(Tcl_Interp *interp, Tcl_Obj *dict, const char *key, int value)
{
    Tcl_DictObjPut(interp, dict, Tcl_NewStringObj(key, -1),
	    Tcl_NewIntObj(value));
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
    Tcl_Obj *dict = Tcl_NewDictObj();
    PutText(interp, dict, "member", dbus_message_get_member(msg));
    PutText(interp, dict, "interface", dbus_message_get_interface(msg));
    PutText(interp, dict, "path", dbus_message_get_path(msg));
    PutText(interp, dict, "sender", dbus_message_get_sender(msg));
    PutText(interp, dict, "destination", dbus_message_get_destination(msg));
    PutText(interp, dict, "messagetype",
	    dbus_message_type_to_string(dbus_message_get_type(msg)));
    PutText(interp, dict, "signature", dbus_message_get_signature(msg));
    PutInt(interp, dict, "serial",
	    static_cast<int>(dbus_message_get_serial(msg)));
    PutInt(interp, dict, "replyserial",
	    static_cast<int>(dbus_message_get_reply_serial(msg)));
    PutInt(interp, dict, "noreply", dbus_message_get_no_reply(msg) ? 1 : 0);
    PutInt(interp, dict, "autostart",
	    dbus_message_get_auto_start(msg) ? 1 : 0);
    PutText(interp, dict, "errorname", dbus_message_get_error_name(msg));
    return dict;
}
