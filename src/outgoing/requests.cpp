/*
 * requests.cpp --
 *
 *	What a connection asked of its bus and would ask again after a
 *	reconnection: the names it requested (dbus name) and the match
 *	rules it added (dbus filter add), until it released or removed them.
 */

#include <map>
#include <set>
#include <string>
#include <vector>
#include "common.hpp"
#include "outgoing/outgoing.hpp"

namespace {

struct Requests {
    std::map<std::string, unsigned int> names;	/* Name -> request flags. */
    std::multiset<std::string> rules;		/* One per add. */
};

thread_local std::map<DBusConnection *, Requests> requests;

/* Sends a call to the bus without waiting for its answer. */
void
TellBus(DBusConnection *conn, const char *method, int type1,
	const void *value1, int type2, const void *value2)
{
    vantrel::MessagePtr msg = vantrel::adoptMessage(
	    dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
		    DBUS_INTERFACE_DBUS, method));
    if (!msg || !dbus_message_append_args(msg.get(), type1, value1, type2,
	    value2, DBUS_TYPE_INVALID)) {
	return;
    }
    dbus_message_set_no_reply(msg.get(), TRUE);
    dbus_connection_send(conn, msg.get(), NULL);
}

} // namespace

namespace vantrel {

void
RememberName(DBusConnection *conn, const char *name, unsigned int flags)
{
    requests[conn].names[name] = flags;
}

void
ForgetName(DBusConnection *conn, const char *name)
{
    auto it = requests.find(conn);
    if (it != requests.end()) {
	it->second.names.erase(name);
    }
}

void
RememberRule(DBusConnection *conn, const char *rule)
{
    requests[conn].rules.insert(rule);
}

void
ForgetRule(DBusConnection *conn, const char *rule)
{
    auto it = requests.find(conn);
    if (it != requests.end()) {
	auto r = it->second.rules.find(rule);
	if (r != it->second.rules.end()) {
	    it->second.rules.erase(r);
	}
    }
}

/*
 * MoveRequests --
 *
 *	After a reconnection: the new connection asks its bus for the old
 *	one's names and match rules again, without waiting for the answers
 *	(a name somebody else took meanwhile stays theirs, or queues us).
 */

void
MoveRequests(DBusConnection *from, DBusConnection *to)
{
    auto it = requests.find(from);
    if (it == requests.end()) {
	return;
    }
    Requests moved = std::move(it->second);
    requests.erase(it);
    for (const auto &name : moved.names) {
	const char *text = name.first.c_str();
	dbus_uint32_t flags = name.second;
	TellBus(to, "RequestName", DBUS_TYPE_STRING, &text, DBUS_TYPE_UINT32,
		&flags);
    }
    for (const std::string &rule : moved.rules) {
	/* Without an error to fill, libdbus does not wait for the bus. */
	dbus_bus_add_match(to, rule.c_str(), NULL);
    }
    requests[to] = std::move(moved);
}

void
ForgetRequests(DBusConnection *conn)
{
    requests.erase(conn);
}

} // namespace vantrel
