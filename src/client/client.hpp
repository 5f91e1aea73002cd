/*
 * client.hpp --
 *
 *	The client side above plain calls: signal bindings (any number of
 *	scripts per signal), the owners of bus names followed from
 *	NameOwnerChanged, name watches and proxies. The package sees only
 *	the commands and DropClient. Not exported from the library.
 */

#ifndef VANTREL_CLIENT_HPP
#define VANTREL_CLIENT_HPP

#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "common.hpp"

namespace vantrel {

/*
 * What a binding matches: each non-empty field must equal the signal's;
 * args[n], when set, the n-th argument (a string). sender may be a
 * well-known name, matched against its current owner.
 */
struct SignalMatch {
    std::string sender;
    std::string path;
    std::string interface;
    std::string member;
    std::vector<std::pair<int, std::string>> args;
};

struct HeaderFields;		/* values/values.hpp */

/*
 * What a binding does with a signal that matches: given the connection
 * the signal came on (after a reconnection, not the one the binding was
 * made on) and the header fields the router read.
 */
using Deliver = std::function<void(DBusConnection *, DBusMessage *,
	const HeaderFields &)>;

/*
 * A signal binding. The connection's bindings own them; deliver is
 * called from the connection's filter for every signal that matches,
 * while libdbus dispatches (no script may run there: it queues).
 */
struct Binding {
    ConnRef conn;
    SignalMatch match;
    std::string rule;		/* The match rule added for it, or "". */
    Deliver deliver;
    bool dead = false;		/* Removed; freed once no walk is on. */
    unsigned long seq = 0;	/* Its place in the order bindings were
				 * made in, on its connection. */
};

/*
 * Adds a binding on the connection: the match rule (unless addRule is
 * false) and the filter. Returns the binding, owned by the connection's
 * table, or null with an error of the command tag names in the
 * interpreter: "connection is closed" (DBUS tag CONNECTION) on a lost
 * connection, the bus's refusal of the rule, or no memory.
 */
Binding *AddBinding(Tcl_Interp *interp, DBusConnection *conn,
	SignalMatch match, Deliver deliver,
	const char *tag, bool addRule = true);

/* Installs the bindings' step of the router; once, at load. */
void InitClient();

/* Removes a binding and its match rule. */
void RemoveBinding(Binding *binding);

/*
 * Follows the owner of a bus name on a connection. The callback runs
 * (from dispatch; it may only queue) when the owner is first learnt and
 * whenever it changes, with the new owner ("" for none). Returns a
 * token for StopFollowing, or -1 with an error of the command tag names
 * (as AddBinding's).
 */
using OwnerCallback = std::function<void(DBusConnection *conn,
	const std::string &owner)>;
int FollowOwner(Tcl_Interp *interp, DBusConnection *conn,
	const std::string &name, OwnerCallback callback, const char *tag);
void StopFollowing(DBusConnection *conn, int token);

/*
 * The owner last learnt for a followed name, or null when it is not
 * known (yet).
 */
const std::string *KnownOwner(DBusConnection *conn, const std::string &name);

/* The commands. */
Tcl_ObjCmdProc DBusBindCmd;
Tcl_ObjCmdProc DBusWatchCmd;
Tcl_ObjCmdProc DBusProxyCmd;

/*
 * A lost connection: every followed name is told it has no owner now
 * (watches hear "vanished"), from dispatch: it only queues. What
 * proxies learnt by introspection is forgotten: after a reconnection it
 * is asked again of whoever owns the names then.
 */
void ClientLost(DBusConnection *conn);

/*
 * After a reconnection: the owners of the followed names are asked
 * again (the match rules of bindings are asked again with the kept
 * requests).
 */
void AskOwnersAgain(DBusConnection *conn);

/*
 * Removes everything the client side holds for a closing connection:
 * bindings, watches, proxies (their handle commands go), followed names
 * and their outstanding GetNameOwner calls, and the filter.
 */
void DropClient(Tcl_Interp *interp, DBusConnection *conn);

} // namespace vantrel

#endif
