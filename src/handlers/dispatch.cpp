/*
 * dispatch.cpp --
 *
 *	The router of a connection: the one libdbus filter every
 *	connection has. It offers each incoming message, in this order, to
 *	the step that notices a lost connection, the monitor, the signal
 *	steps (the bindings with their own index, client/bindings.cpp; the
 *	kept credentials, outgoing/credentials.cpp) and the handler records
 *	of the message's path. There a method call at an exported
 *	object's path goes to the object layer first; otherwise at most one
 *	handler is chosen for an incoming signal or method call and a script
 *	event queued for it, Introspect that no handler takes is answered,
 *	or an unhandled method call answered with UnknownMethod. No script
 *	runs here; libdbus is in the middle of dispatching.
 */

#include <cstring>
#include <map>
#include "common.hpp"
#include "handlers/handlers.hpp"
#include "introspect/introspect.hpp"
#include "reply/reply.hpp"
#include "values/values.hpp"

namespace {

/*
 * Room for an interface, a dot, a member and the terminator. libdbus
 * refuses to load messages whose interface or member exceed 255 bytes,
 * so every qualified key fits whole and a handler registered under the
 * full name is always found.
 */
constexpr size_t keySize = 255 + 1 + 255 + 1;

/* The steps the layers above install: the object layer's dispatcher,
 * the signal steps (the client's bindings, the kept credentials), the
 * package's notice of a lost connection. */
vantrel::ObjectDispatch objectDispatch = nullptr;
constexpr int maxSignalRoutes = 4;
vantrel::SignalRoute signalRoutes[maxSignalRoutes] = {};
int signalRouteCount = 0;
vantrel::LossRoute lossRoute = nullptr;

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
    vantrel::AppendChildrenAndClose(xml, vantrel::ListChildren(conn, path));
    vantrel::ReplyString(conn, msg, xml.c_str());
}

/*
 * ReplyNodes --
 *
 *	Answers Introspect at a path without handlers on a connection
 *	without the fallback of "/", as libdbus answers for the nodes of
 *	its own registry: the nodes below the path, nothing else.
 */
void
ReplyNodes(DBusConnection *conn, DBusMessage *msg, const char *path)
{
    std::string xml = DBUS_INTROSPECT_1_0_XML_DOCTYPE_DECL_NODE "<node>\n";
    for (const std::string &child : vantrel::ListChildren(conn, path)) {
	xml.append("  <node name=\"").append(child).append("\"/>\n");
    }
    xml.append("</node>\n");
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

namespace {

/*
 * Deliver --
 *
 *	Looks for a handler of a signal or method call in the record of
 *	its exact path (pathRecord, may be null) and in the pathless
 *	record, qualified name before member name before unknown-method
 *	handler, path record before pathless record, and queues one script
 *	event for the first hit. A method call at an exported object's path
 *	goes to the object layer first. A method call without a hit is
 *	answered with UnknownMethod unless it wants no reply.
 *
 * Results:
 *	DBUS_HANDLER_RESULT_HANDLED, so that libdbus sends no reply of its
 *	own.
 */
DBusHandlerResult
Deliver(DBusConnection *conn, DBusConnData *cd, DBusMessage *msg,
	bool method, const char *path, const char *intf, const char *member,
	DBusPathData *pathRecord)
{
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
    DBusPathData *pathless = cd != NULL ? cd->fallback : NULL;
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

    vantrel::HeaderFields fields(path, intf, member);
    if (method) {
	auto *entry = static_cast<DBusMethodEntry *>(hit);
	bool noReply = dbus_message_get_no_reply(msg);
	if (entry == NULL) {
	    if (!noReply) {
		vantrel::ReplyUnknownMethod(conn, msg);
	    }
	} else if (entry->in == NULL || vantrel::CheckCallSignature(conn,
		msg, Tcl_GetString(entry->in))) {
	    vantrel::QueueScriptEvent(entry->script, conn, msg,
		    entry->flags | (noReply ? HANDLER_NOREPLY : 0),
		    entry->out, &fields);
	}
    } else if (hit != NULL) {
	auto *entry = static_cast<DBusSignalEntry *>(hit);
	vantrel::QueueScriptEvent(entry->script, conn, msg,
		entry->flags | HANDLER_NOREPLY, nullptr, &fields);
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

/* True for the local Disconnected signal, given its path and interface. */
bool
IsDisconnected(DBusMessage *msg, const char *path, const char *intf)
{
    return path != NULL && intf != NULL
	    && std::strcmp(intf, DBUS_INTERFACE_LOCAL) == 0
	    && std::strcmp(path, DBUS_PATH_LOCAL) == 0
	    && dbus_message_has_member(msg, "Disconnected");
}

/*
 * Route --
 *
 *	The filter of every connection (data: its record): see the head of
 *	the file for the order of the steps.
 *
 * Results:
 *	DBUS_HANDLER_RESULT_HANDLED for the signals and the method calls
 *	the router took, else DBUS_HANDLER_RESULT_NOT_YET_HANDLED: libdbus
 *	then answers a method call with its own UnknownMethod.
 */
DBusHandlerResult
Route(DBusConnection *conn, DBusMessage *msg, void *data)
{
    auto *cd = static_cast<DBusConnData *>(data);
    int type = dbus_message_get_type(msg);
    const char *path = dbus_message_get_path(msg);
    const char *intf = dbus_message_get_interface(msg);
    bool signal = (type == DBUS_MESSAGE_TYPE_SIGNAL);
    if (signal && lossRoute != nullptr && IsDisconnected(msg, path, intf)) {
	lossRoute(conn);
    }
    if (cd->snoop != NULL) {
	DBus_Monitor(conn, msg, cd->snoop);
    }
    const char *member = dbus_message_get_member(msg);
    if (signal && cd->parts != nullptr) {
	for (int i = 0; i < signalRouteCount; i++) {
	    signalRoutes[i](conn, cd->parts, msg, path, intf, member);
	}
    }
    bool method = (type == DBUS_MESSAGE_TYPE_METHOD_CALL);
    if ((!method && !signal) || path == NULL || member == NULL) {
	return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    DBusPathData *pathRecord = vantrel::FindRecord(cd->parts, path);
    if (pathRecord == NULL && vantrel::FindRecord(cd->parts, "/") == NULL) {
	/* Nothing takes the path: the nodes below it, or libdbus's error. */
	if (method && intf != NULL && IsIntrospect(intf, member)) {
	    if (!dbus_message_get_no_reply(msg)) {
		ReplyNodes(conn, msg, path);
	    }
	    return DBUS_HANDLER_RESULT_HANDLED;
	}
	/* A signal needs nothing more of libdbus. */
	return signal ? DBUS_HANDLER_RESULT_HANDLED
		: DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    return Deliver(conn, cd, msg, method, path, intf, member, pathRecord);
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBus_Message --
 *
 *	The message function of a handler record, for callers of the
 *	library: the router delivers its messages the same way. data is
 *	the record of the message's path, or null to look it up; the
 *	record of "/" stands for itself only at "/".
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
    const char *member = dbus_message_get_member(msg);
    if (path == NULL || member == NULL) {
	return DBUS_HANDLER_RESULT_HANDLED;
    }
    DBusConnData *cd = vantrel::ConnRecord(conn);
    auto *pathRecord = static_cast<DBusPathData *>(data);
    if (pathRecord == NULL) {
	pathRecord = vantrel::FindRecord(cd ? cd->parts : nullptr, path);
    } else if ((pathRecord->flags & HANDLER_FALLBACK)
	    && std::strcmp(path, "/") != 0) {
	pathRecord = NULL;
    }
    return Deliver(conn, cd, msg, method, path,
	    dbus_message_get_interface(msg), member, pathRecord);
}


namespace vantrel {

/*
 * SetObjectDispatch, AddSignalRoute, SetLossRoute, StartRouting,
 * StopRouting --
 *
 *	The steps of the layers above, and the router's filter
 *	(handlers.hpp).
 */

void
SetObjectDispatch(ObjectDispatch dispatch)
{
    objectDispatch = dispatch;
}

void
AddSignalRoute(SignalRoute route)
{
    if (signalRouteCount < maxSignalRoutes) {
	signalRoutes[signalRouteCount++] = route;
    }
}

void
SetLossRoute(LossRoute route)
{
    lossRoute = route;
}

bool
StartRouting(DBusConnection *conn, DBusConnData *cd)
{
    return dbus_connection_add_filter(conn, Route, cd, NULL);
}

void
StopRouting(DBusConnection *conn)
{
    if (DBusConnData *cd = ConnRecord(conn)) {
	dbus_connection_remove_filter(conn, Route, cd);
    }
}

} // namespace vantrel
