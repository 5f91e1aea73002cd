/*
 * proxynode.cpp --
 *
 *	What proxies learn by introspecting objects: the outcome of each
 *	Introspect (the object's declarations, or why there are none),
 *	kept in the connection's parts by bus name and path and forgotten
 *	when the name's owner changes, and the proxy's description of it.
 */

#include <map>
#include <memory>
#include <utility>
#include "client/proxy.hpp"
#include "client/client.hpp"

namespace vantrel {

namespace {

/* What introspecting an object gave: its data, or why there is none. */
struct Outcome {
    NodePtr node;		/* Null when problem is set. */
    std::string problem;
};

/*
 * The introspection outcomes of a connection, in its parts, by bus name
 * and path. A name's entries go when its owner changes.
 */
struct NameCache {
    int token = -1;		/* FollowOwner's. */
    bool ownerKnown = false;
    std::string owner;
    std::map<std::string, Outcome> byPath;
};

} // namespace

struct IntrospectionCache {
    std::map<std::string, NameCache> byName;
};

namespace {

/* The introspection cache of a connection, made when create asks. */
IntrospectionCache *
CacheOf(DBusConnection *conn, bool create)
{
    return PartOf(conn, &DBusConnParts::introspection, create);
}

void
DropCachedName(DBusConnection *conn, const std::string &name)
{
    IntrospectionCache *cache = CacheOf(conn, false);
    if (cache == nullptr) {
	return;
    }
    auto it = cache->byName.find(name);
    if (it == cache->byName.end()) {
	return;
    }
    int token = it->second.token;
    cache->byName.erase(it);
    if (token >= 0) {
	StopFollowing(conn, token);
    }
}

const Outcome *
CachedOutcome(DBusConnection *conn, const std::string &name,
	const std::string &path)
{
    IntrospectionCache *cache = CacheOf(conn, false);
    if (cache == nullptr) {
	return nullptr;
    }
    auto it = cache->byName.find(name);
    if (it == cache->byName.end()) {
	return nullptr;
    }
    auto p = it->second.byPath.find(path);
    return p == it->second.byPath.end() ? nullptr : &p->second;
}

void
StoreOutcome(Tcl_Interp *interp, DBusConnection *conn,
	const std::string &name, const std::string &path, Outcome outcome)
{
    IntrospectionCache *cache = CacheOf(conn, true);
    if (cache == nullptr) {
	return;
    }
    bool fresh = cache->byName.find(name) == cache->byName.end();
    NameCache &entry = cache->byName[name];
    entry.byPath[path] = std::move(outcome);
    if (fresh && !name.empty() && name[0] != ':') {
	/* A well-known name may change hands; a unique name never does. */
	entry.token = FollowOwner(interp, conn, name,
		[name](DBusConnection *on, const std::string &owner) {
	    IntrospectionCache *c = CacheOf(on, false);
	    if (c == nullptr) {
		return;
	    }
	    auto it = c->byName.find(name);
	    if (it == c->byName.end()) {
		return;
	    }
	    NameCache &known = it->second;
	    if (known.ownerKnown && known.owner != owner) {
		known.byPath.clear();
	    }
	    known.ownerKnown = true;
	    known.owner = owner;
	}, "PROXY");
    }
}

} // namespace

/*
 * TakeCached, TakeIntrospection, IntrospectionFailed, Description --
 *
 *	What was learnt of a proxy's object (proxy.hpp).
 */

bool
TakeCached(Proxy *p)
{
    const Outcome *cached = CachedOutcome(p->conn, p->name, p->path);
    if (cached == nullptr) {
	return false;
    }
    p->node = cached->node;
    p->problem = cached->problem;
    p->tried = true;
    return true;
}

/*
 * Turns an Introspect reply into the proxy's node. An object that does
 * not answer leaves the proxy without data (its calls guess types); a
 * reply that is no readable document leaves it with the problem.
 */
void
TakeIntrospection(Tcl_Interp *interp, Proxy *p, DBusMessage *reply)
{
    p->tried = true;
    p->node = nullptr;
    p->problem.clear();
    if (reply == NULL
	    || dbus_message_get_type(reply) != DBUS_MESSAGE_TYPE_METHOD_RETURN) {
	return;
    }
    const char *xml = NULL;
    Outcome outcome;
    if (!dbus_message_get_args(reply, NULL, DBUS_TYPE_STRING, &xml,
	    DBUS_TYPE_INVALID)) {
	outcome.problem = std::string("the reply has signature \"")
		+ dbus_message_get_signature(reply) + "\", not \"s\"";
    } else {
	auto node = std::make_shared<IntrospectedNode>();
	if (ParseIntrospection(xml, node.get(), &outcome.problem)) {
	    outcome.node = std::move(node);
	}
    }
    if (!outcome.problem.empty()) {
	outcome.problem = "introspection of " + p->path + " at " + p->name
		+ " failed: " + outcome.problem;
    }
    p->node = outcome.node;
    p->problem = outcome.problem;
    StoreOutcome(interp, p->conn, p->name, p->path, std::move(outcome));
}

int
IntrospectionFailed(Tcl_Interp *interp, Proxy *p)
{
    return ProxyFail(interp, "INTROSPECT", p->problem);
}

/* The declarations of the proxy's object as a Tcl dict. */
Tcl_Obj *
Description(Proxy *p)
{
    auto args = [](const std::vector<ArgDecl> &list) {
	Tcl_Obj *out = Tcl_NewListObj(0, NULL);
	for (const ArgDecl &a : list) {
	    Tcl_ListObjAppendElement(NULL, out,
		    Tcl_NewStringObj(a.name.c_str(), -1));
	    Tcl_ListObjAppendElement(NULL, out,
		    Tcl_NewStringObj(a.type.c_str(), -1));
	}
	return out;
    };
    auto put = [](Tcl_Obj *dict, const char *key, Tcl_Obj *value) {
	Tcl_DictObjPut(NULL, dict, Tcl_NewStringObj(key, -1), value);
    };
    Tcl_Obj *interfaces = Tcl_NewDictObj();
    Tcl_Obj *nodes = Tcl_NewListObj(0, NULL);
    if (p->node) {
	for (const InterfacePtr &decl : p->node->interfaces) {
	    Tcl_Obj *methods = Tcl_NewDictObj();
	    for (const MethodDecl &m : decl->methods) {
		Tcl_Obj *d = Tcl_NewDictObj();
		put(d, "in", args(m.in));
		put(d, "out", args(m.out));
		put(methods, m.name.c_str(), d);
	    }
	    Tcl_Obj *signals = Tcl_NewDictObj();
	    for (const SignalDecl &s : decl->signals) {
		Tcl_Obj *d = Tcl_NewDictObj();
		put(d, "args", args(s.args));
		put(signals, s.name.c_str(), d);
	    }
	    Tcl_Obj *properties = Tcl_NewDictObj();
	    for (const PropertyDecl &pr : decl->properties) {
		Tcl_Obj *d = Tcl_NewDictObj();
		put(d, "type", Tcl_NewStringObj(pr.type.c_str(), -1));
		put(d, "access", Tcl_NewStringObj(
			pr.access == ACCESS_READ ? "read"
			: pr.access == ACCESS_WRITE ? "write"
			: "readwrite", -1));
		put(properties, pr.name.c_str(), d);
	    }
	    Tcl_Obj *d = Tcl_NewDictObj();
	    put(d, "methods", methods);
	    put(d, "signals", signals);
	    put(d, "properties", properties);
	    put(interfaces, decl->name.c_str(), d);
	}
	for (const std::string &child : p->node->children) {
	    Tcl_ListObjAppendElement(NULL, nodes,
		    Tcl_NewStringObj(child.c_str(), -1));
	}
    }
    Tcl_Obj *result = Tcl_NewDictObj();
    put(result, "interfaces", interfaces);
    put(result, "nodes", nodes);
    return result;
}

/*
 * ForgetIntrospection --
 *
 *	Drops the introspection data kept for a closing connection.
 */

void
ForgetIntrospection(DBusConnection *conn)
{
    IntrospectionCache *cache = CacheOf(conn, false);
    if (cache == nullptr) {
	return;
    }
    while (!cache->byName.empty()) {
	DropCachedName(conn, cache->byName.begin()->first);
    }
    DropPart(conn, &DBusConnParts::introspection);
}

} // namespace vantrel
