/*
 * requests.cpp --
 *
 *	What a connection asked of its bus and would ask again after a
 *	reconnection: the names it requested (dbus name) and the match
 *	rules it added (dbus filter add, and those of bindings), until it
 *	released or removed them.
 */

#include <map>
#include <set>
#include <string>
#include <vector>
#include "common.hpp"
#include "outgoing/outgoing.hpp"

namespace vantrel {

/* What a connection asked of its bus, in its parts. */
struct Requests {
    std::map<std::string, unsigned int> names;	/* Name -> request flags. */
    std::multiset<std::string> rules;		/* One per add. */
};

} // namespace vantrel

namespace {

using vantrel::Requests;

/* The requests of a connection, made when create asks for them. */
Requests *
RequestsOf(DBusConnection *conn, bool create)
{
    return vantrel::PartOf(conn, &DBusConnParts::requests, create);
}

/* A name asked for again, until the bus answers. */
struct NameAsked {
    DBusConnection *conn;	/* Where it was asked; not owned. */
    std::string name;
    vantrel::NameRefused refused;
};

/*
 * NameAnswered --
 *
 *	Notification of a RequestName sent after a reconnection: a name
 *	that could only be queued, or not even that, is told. Error
 *	replies (the connection lost again, or closed) tell nothing.
 */
void
NameAnswered(DBusPendingCall *pending, void *data)
{
    auto *asked = static_cast<NameAsked *>(data);
    /* The reply stolen from the pending call is ours. */
    vantrel::MessagePtr reply = vantrel::adoptMessage(
	    dbus_pending_call_steal_reply(pending));
    dbus_uint32_t code = 0;
    if (!reply || dbus_message_get_type(reply.get())
	    != DBUS_MESSAGE_TYPE_METHOD_RETURN
	    || !dbus_message_get_args(reply.get(), NULL, DBUS_TYPE_UINT32,
		    &code, DBUS_TYPE_INVALID)) {
	return;
    }
    if (code == DBUS_REQUEST_NAME_REPLY_EXISTS) {
	/* Neither owned nor queued: not asked for again. */
	vantrel::ForgetName(asked->conn, asked->name.c_str());
    }
    if (code == DBUS_REQUEST_NAME_REPLY_IN_QUEUE
	    || code == DBUS_REQUEST_NAME_REPLY_EXISTS) {
	asked->refused(asked->conn, asked->name.c_str(),
		static_cast<int>(code));
    }
}

/* Asks the bus for a name again; NameAnswered takes the answer. */
void
AskName(DBusConnection *conn, const std::string &name, dbus_uint32_t flags,
	vantrel::NameRefused refused)
{
    vantrel::MessagePtr msg = vantrel::adoptMessage(
	    dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
		    DBUS_INTERFACE_DBUS, "RequestName"));
    const char *text = name.c_str();
    DBusPendingCall *pending = NULL;
    if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &text,
	    DBUS_TYPE_UINT32, &flags, DBUS_TYPE_INVALID)
	    || !dbus_connection_send_with_reply(conn, msg.get(), &pending,
		    DBUS_TIMEOUT_USE_DEFAULT) || pending == NULL) {
	return;
    }
    auto *asked = new NameAsked{conn, name, refused};
    if (!dbus_pending_call_set_notify(pending, NameAnswered, asked,
	    [](void *data) { delete static_cast<NameAsked *>(data); })) {
	delete asked;
    }
    /* The connection keeps the pending call until it completes. */
    dbus_pending_call_unref(pending);
}

} // namespace

namespace vantrel {

void
RememberName(DBusConnection *conn, const char *name, unsigned int flags)
{
    if (Requests *r = RequestsOf(conn, true)) {
	r->names[name] = flags;
    }
}

void
ForgetName(DBusConnection *conn, const char *name)
{
    if (Requests *r = RequestsOf(conn, false)) {
	r->names.erase(name);
    }
}

void
RememberRule(DBusConnection *conn, const char *rule)
{
    if (Requests *r = RequestsOf(conn, true)) {
	r->rules.insert(rule);
    }
}

void
ForgetRule(DBusConnection *conn, const char *rule)
{
    if (Requests *r = RequestsOf(conn, false)) {
	auto it = r->rules.find(rule);
	if (it != r->rules.end()) {
	    r->rules.erase(it);
	}
    }
}

/*
 * AskAgain --
 *
 *	After a reconnection: the connection asks its new bus for the
 *	names and match rules again, without waiting for the answers (a
 *	name somebody else took meanwhile stays theirs, or queues us:
 *	refused hears of it).
 */

void
AskAgain(DBusConnection *to, NameRefused refused)
{
    Requests *r = RequestsOf(to, false);
    if (r == nullptr) {
	return;
    }
    /* An answer may forget a name: what is asked is a copy. */
    std::map<std::string, unsigned int> names = r->names;
    for (const auto &name : names) {
	AskName(to, name.first, name.second, refused);
    }
    for (const std::string &rule : r->rules) {
	/* Without an error to fill, libdbus does not wait for the bus. */
	dbus_bus_add_match(to, rule.c_str(), NULL);
    }
}

void
ForgetRequests(DBusConnection *conn)
{
    DropPart(conn, &DBusConnParts::requests);
}

} // namespace vantrel
