/*
 * dispatch.cpp --
 *
 *	The message function of every path registration: chooses at most one
 *	handler for an incoming signal or method call and queues a script
 *	event for it, or answers an unhandled method call with UnknownMethod.
 *	No script runs here; libdbus is in the middle of dispatching.
 */

#include <cstdio>
#include <cstring>
#include "common.hpp"
#include "handlers/handlers.hpp"

namespace {

/*
 * Room for an interface, a dot, a member and the terminator. libdbus
 * refuses to load messages whose interface or member exceed 255 bytes,
 * so every qualified key fits whole and a handler registered under the
 * full name is always found.
 */
constexpr size_t keySize = 255 + 1 + 255 + 1;

/*
 * ReplyUnknownMethod --
 *
 *	Answers a method call that no handler takes with
 *	org.freedesktop.DBus.Error.UnknownMethod and a text naming the
 *	method, interface, path and signature. A call without an interface
 *	shows an empty interface in the text.
 *
 * Side effects:
 *	Queues the error on the connection; a failure to build or queue it
 *	is ignored (only lack of memory causes one).
 */
void
ReplyUnknownMethod(DBusConnection *conn, DBusMessage *msg, const char *path,
	const char *intf, const char *member)
{
    size_t size = std::strlen(path) + 1024;
    char *text = Tcl_AttemptAlloc(size);
    if (text != NULL) {
	const char *sig = dbus_message_get_signature(msg);
	std::snprintf(text, size, "No such method '%s' in interface '%s' "
		"at object path '%s' (signature '%s')", member,
		intf ? intf : "", path, sig ? sig : "");
    }
    DBusMessage *reply = dbus_message_new_error(msg,
	    DBUS_ERROR_UNKNOWN_METHOD, text);
    if (reply != NULL) {
	dbus_connection_send(conn, reply, NULL);
	dbus_message_unref(reply);
    }
    if (text != NULL) {
	Tcl_Free(text);
    }
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBus_Message --
 *
 *	Message function of the path vtable. Looks for a handler of the
 *	message in the record of its exact path and in the pathless
 *	record, qualified name before member name before unknown-method
 *	handler, path record before pathless record, and queues one script
 *	event for the first hit. A method call without a hit is answered
 *	with UnknownMethod unless it wants no reply.
 *
 * Results:
 *	DBUS_HANDLER_RESULT_HANDLED for every message, so that libdbus
 *	sends no reply of its own.
 *
 * Side effects:
 *	Queues at most one script event. The message is borrowed; the
 *	event takes a reference of its own.
 *
 *----------------------------------------------------------------------
 */

DBusHandlerResult
DBus_Message(DBusConnection *conn, DBusMessage *msg, void *)
{
    int type = dbus_message_get_type(msg);
    bool method = (type == DBUS_MESSAGE_TYPE_METHOD_CALL);
    if (!method && type != DBUS_MESSAGE_TYPE_SIGNAL) {
	return DBUS_HANDLER_RESULT_HANDLED;
    }
    const char *path = dbus_message_get_path(msg);
    const char *intf = dbus_message_get_interface(msg);
    const char *member = dbus_message_get_member(msg);
    if (path == NULL || member == NULL) {
	return DBUS_HANDLER_RESULT_HANDLED;
    }

    char key[keySize];
    const char *qualified = NULL;
    size_t intfLen = intf ? std::strlen(intf) : 0;
    size_t memberLen = std::strlen(member);
    if (intf != NULL && intfLen + 1 + memberLen < keySize) {
	std::memcpy(key, intf, intfLen);
	key[intfLen] = '.';
	std::memcpy(key + intfLen + 1, member, memberLen + 1);
	qualified = key;
    }

    /* A failed lookup (no memory) finds no handler, as an absent one. */
    DBusPathData *pathRecord = NULL;
    DBusPathData *pathless = NULL;
    vantrel::LookupRecord(conn, path, &pathRecord);
    vantrel::LookupRecord(conn, "", &pathless);

    void *hit = NULL;
    if (qualified != NULL) {
	hit = vantrel::FindEntry(pathRecord, method, qualified);
	if (hit == NULL) {
	    hit = vantrel::FindEntry(pathless, method, qualified);
	}
    }
    if (hit == NULL) {
	hit = vantrel::FindEntry(pathRecord, method, member);
    }
    if (hit == NULL) {
	hit = vantrel::FindEntry(pathless, method, member);
    }
    if (method && hit == NULL) {
	hit = vantrel::FindEntry(pathRecord, method, "");
	if (hit == NULL) {
	    hit = vantrel::FindEntry(pathless, method, "");
	}
    }

    if (method) {
	auto *entry = static_cast<DBusMethodEntry *>(hit);
	bool noReply = dbus_message_get_no_reply(msg);
	if (entry != NULL) {
	    vantrel::QueueScriptEvent(entry->script, entry->conn, msg,
		    entry->flags | (noReply ? HANDLER_NOREPLY : 0));
	} else if (!noReply) {
	    ReplyUnknownMethod(conn, msg, path, intf, member);
	}
    } else if (hit != NULL) {
	auto *entry = static_cast<DBusSignalEntry *>(hit);
	vantrel::QueueScriptEvent(entry->script, conn, msg,
		entry->flags | HANDLER_NOREPLY);
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}
