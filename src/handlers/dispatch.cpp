/*
 * dispatch.cpp --
 *
 *	The message function of every path registration: offers a method
 *	call at an exported object's path to the object layer first, then
 *	chooses at most one handler for an incoming signal or method call
 *	and queues a script event for it, answers Introspect that no
 *	handler takes, or answers an unhandled method call with
 *	UnknownMethod. No script runs here; libdbus is in the middle of
 *	dispatching.
 */

#include <cstring>
#include <map>
#include "common.hpp"
#include "handlers/handlers.hpp"
#include "introspect/introspect.hpp"
#include "reply/reply.hpp"

namespace {

/*
 * Room for an interface, a dot, a member and the terminator. libdbus
 * refuses to load messages whose interface or member exceed 255 bytes,
 * so every qualified key fits whole and a handler registered under the
 * full name is always found.
 */
constexpr size_t keySize = 255 + 1 + 255 + 1;

/* The dispatcher of exported objects, once the layer above installs it. */
vantrel::ObjectDispatch objectDispatch = nullptr;

/*
 * DeclareTyped --
 *
 *	Adds the typed method handlers of a path's record (those
 *	registered under interface.member with -in or -out) to per
 *	interface declarations, for Introspect. Arguments get the names
 *	arg0, arg1, ... in and out alike.
 */
void
DeclareTyped(const DBusPathData *record,
	std::map<std::string, vantrel::InterfaceDecl> *decls)
{
    if (record == NULL || record->method == NULL) {
	return;
    }
    Tcl_HashSearch search;
    for (Tcl_HashEntry *h = Tcl_FirstHashEntry(record->method, &search);
	    h != NULL; h = Tcl_NextHashEntry(&search)) {
	auto *entry = static_cast<DBusMethodEntry *>(Tcl_GetHashValue(h));
	const char *key = static_cast<const char *>(
		Tcl_GetHashKey(record->method, h));
	const char *dot = std::strrchr(key, '.');
	if (dot == NULL || (entry->in == NULL && entry->out == NULL)) {
	    continue;
	}
	vantrel::MethodDecl method;
	method.name = dot + 1;
	Tcl_Obj *sigs[2] = {entry->in, entry->out};
	for (int k = 0; k < 2; k++) {
	    if (sigs[k] == NULL) {
		continue;
	    }
	    const char *sig = Tcl_GetString(sigs[k]);
	    if (*sig == '\0') {
		continue;
	    }
	    DBusSignatureIter it;
	    dbus_signature_iter_init(&it, sig);
	    int n = 0;
	    do {
		char *one = dbus_signature_iter_get_signature(&it);
		(k == 0 ? method.in : method.out).push_back(
			{(k == 0 ? "arg" : "out") + std::to_string(n++),
			one ? one : ""});
		dbus_free(one);
	    } while (dbus_signature_iter_next(&it));
	}
	vantrel::InterfaceDecl &decl = (*decls)[std::string(key,
		static_cast<size_t>(dot - key))];
	decl.name = std::string(key, static_cast<size_t>(dot - key));
	decl.methods.push_back(std::move(method));
    }
}

/*
 * ReplyIntrospect --
 *
 *	Answers Introspect at a path that no exported object serves: the
 *	standard interfaces every connection answers, the interfaces of
 *	the typed method handlers registered at the path, and the
 *	registered child nodes.
 */
void
ReplyIntrospect(DBusConnection *conn, DBusMessage *msg, const char *path,
	const DBusPathData *record)
{
    std::string xml;
    vantrel::AppendNodeHead(xml);
    vantrel::AppendStandardXml(xml, false, false, 2);
    std::map<std::string, vantrel::InterfaceDecl> decls;
    DeclareTyped(record, &decls);
    for (const auto &entry : decls) {
	vantrel::AppendInterfaceXml(xml, entry.second, 2);
    }
    vantrel::AppendChildrenAndClose(xml, conn, path);
    vantrel::ReplyString(conn, msg, xml.c_str());
}

/* True for a call of Introspectable.Introspect, with or without the
 * interface. */
bool
IsIntrospect(const char *intf, const char *member)
{
    return std::strcmp(member, "Introspect") == 0 && (intf == NULL
	    || std::strcmp(intf, DBUS_INTERFACE_INTROSPECTABLE) == 0);
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
DBus_Message(DBusConnection *conn, DBusMessage *msg, void *data)
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

    /*
     * libdbus hands over the record registered at the message's path,
     * or else the record of "/", registered as the fallback for every
     * path, which is the path record only of "/" itself. Called without
     * one, the records are looked up; a failed lookup (no memory) finds
     * no handler, as an absent one.
     */
    DBusPathData *pathRecord = static_cast<DBusPathData *>(data);
    DBusPathData *pathless = NULL;
    vantrel::LookupRecord(conn, "", &pathless);
    if (pathRecord == NULL) {
	vantrel::LookupRecord(conn, path, &pathRecord);
    } else if ((pathRecord->flags & HANDLER_FALLBACK)
	    && std::strcmp(path, "/") != 0) {
	pathRecord = NULL;
    }
    if (method && pathRecord != NULL
	    && (pathRecord->flags & HANDLER_EXPORTED)
	    && objectDispatch != nullptr && objectDispatch(conn, msg, path)) {
	return DBUS_HANDLER_RESULT_HANDLED;
    }

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
	if (IsIntrospect(intf, member)) {
	    /* Named handlers may answer it; unknown-method handlers not. */
	    if (!dbus_message_get_no_reply(msg)) {
		ReplyIntrospect(conn, msg, path, pathRecord);
	    }
	    return DBUS_HANDLER_RESULT_HANDLED;
	}
	hit = vantrel::FindEntry(pathRecord, method, "");
	if (hit == NULL) {
	    hit = vantrel::FindEntry(pathless, method, "");
	}
    }

    if (method) {
	auto *entry = static_cast<DBusMethodEntry *>(hit);
	bool noReply = dbus_message_get_no_reply(msg);
	if (entry == NULL) {
	    if (!noReply) {
		vantrel::ReplyUnknownMethod(conn, msg);
	    }
	} else if (entry->in == NULL || vantrel::CheckCallSignature(conn,
		msg, Tcl_GetString(entry->in))) {
	    vantrel::QueueScriptEvent(entry->script, entry->conn, msg,
		    entry->flags | (noReply ? HANDLER_NOREPLY : 0),
		    entry->out);
	}
    } else if (hit != NULL) {
	auto *entry = static_cast<DBusSignalEntry *>(hit);
	vantrel::QueueScriptEvent(entry->script, conn, msg,
		entry->flags | HANDLER_NOREPLY);
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

namespace vantrel {

/*
 * SetObjectDispatch --
 *
 *	The object layer's entry into dispatch (handlers.hpp).
 */

void
SetObjectDispatch(ObjectDispatch dispatch)
{
    objectDispatch = dispatch;
}

} // namespace vantrel
