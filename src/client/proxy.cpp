/*
 * proxy.cpp --
 *
 *	[dbus proxy]: a command standing for a remote object. It
 *	introspects the object once (cached per connection, name and path,
 *	and forgotten when the name's owner changes), then calls methods
 *	and reads and writes properties with the types the object
 *	declares, binds scripts to its signals, and keeps a property cache
 *	on request. Inside a coroutine it awaits instead of blocking.
 */

#include <cstring>
#include <map>
#include <memory>
#include <tuple>
#include "client/client.hpp"
#include "eventloop/eventloop.hpp"
#include "client/handles.hpp"
#include "handlers/handlers.hpp"
#include "introspect/introspect.hpp"
#include "outgoing/outgoing.hpp"
#include "values/values.hpp"

namespace {

using vantrel::InterfaceDecl;
using vantrel::InterfacePtr;
using vantrel::IntrospectedNode;
using vantrel::ObjPtr;

using NodePtr = std::shared_ptr<const IntrospectedNode>;

/*
 * The introspection data of this thread's connections, by connection,
 * bus name and path. A name's entries go when its owner changes.
 */
struct NameCache {
    int token = -1;		/* FollowOwner's. */
    bool ownerKnown = false;
    std::string owner;
    std::map<std::string, NodePtr> byPath;
};
using CacheKey = std::pair<DBusConnection *, std::string>;
thread_local std::map<CacheKey, NameCache> *nodeCache = nullptr;

struct Proxy {
    DBusConnection *conn = nullptr;
    Tcl_Interp *interp = nullptr;
    std::string name, path, interface;
    bool await = true;
    bool cache = false;
    bool introspect = true;
    int timeout = DBUS_TIMEOUT_USE_DEFAULT;
    NodePtr node;		/* Once introspected; may be empty. */
    bool tried = false;		/* Introspection was tried. */
    bool dead = false;
    /* Bound signals: member -> (script, binding). */
    std::map<std::string, std::pair<ObjPtr, vantrel::Binding *>> bound;
    vantrel::Binding *changes = nullptr; /* PropertiesChanged, for the
				 * cache. */
    ObjPtr values;		/* The property cache: name -> value. */
    int followToken = -1;	/* Sender following for the bindings. */
};

using ProxyPtr = std::shared_ptr<Proxy>;

int
ProxyFail(Tcl_Interp *interp, const char *kind, const std::string &text)
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj(text.c_str(),
	    static_cast<int>(text.size())));
    Tcl_SetErrorCode(interp, libname, "PROXY", kind, (char *) NULL);
    return TCL_ERROR;
}

void
DropCachedName(DBusConnection *conn, const std::string &name)
{
    if (nodeCache == nullptr) {
	return;
    }
    auto it = nodeCache->find({conn, name});
    if (it == nodeCache->end()) {
	return;
    }
    int token = it->second.token;
    nodeCache->erase(it);
    if (token >= 0) {
	vantrel::StopFollowing(conn, token);
    }
    if (nodeCache->empty()) {
	delete nodeCache;
	nodeCache = nullptr;
    }
}

NodePtr
CachedNode(DBusConnection *conn, const std::string &name,
	const std::string &path)
{
    if (nodeCache == nullptr) {
	return nullptr;
    }
    auto it = nodeCache->find({conn, name});
    if (it == nodeCache->end()) {
	return nullptr;
    }
    auto p = it->second.byPath.find(path);
    return p == it->second.byPath.end() ? nullptr : p->second;
}

void
StoreNode(Tcl_Interp *interp, DBusConnection *conn, const std::string &name,
	const std::string &path, NodePtr node)
{
    if (nodeCache == nullptr) {
	nodeCache = new std::map<CacheKey, NameCache>;
    }
    CacheKey key{conn, name};
    bool fresh = nodeCache->find(key) == nodeCache->end();
    NameCache &entry = (*nodeCache)[key];
    entry.byPath[path] = std::move(node);
    if (fresh && name[0] != ':') {
	/* A well-known name may change hands; a unique name never does. */
	entry.token = vantrel::FollowOwner(interp, conn, name,
		[conn, name](DBusConnection *, const std::string &owner) {
	    if (nodeCache == nullptr) {
		return;
	    }
	    auto it = nodeCache->find({conn, name});
	    if (it == nodeCache->end()) {
		return;
	    }
	    NameCache &c = it->second;
	    if (c.ownerKnown && c.owner != owner) {
		c.byPath.clear();
	    }
	    c.ownerKnown = true;
	    c.owner = owner;
	});
    }
}

/* Turns an Introspect reply into the proxy's node. */
void
TakeIntrospection(Tcl_Interp *interp, Proxy *p, DBusMessage *reply)
{
    p->tried = true;
    const char *xml = NULL;
    if (reply == NULL
	    || dbus_message_get_type(reply) != DBUS_MESSAGE_TYPE_METHOD_RETURN
	    || !dbus_message_get_args(reply, NULL, DBUS_TYPE_STRING, &xml,
		    DBUS_TYPE_INVALID)) {
	return;			/* No introspection data: guessed types. */
    }
    auto node = std::make_shared<IntrospectedNode>();
    std::string error;
    if (!vantrel::ParseIntrospection(xml, node.get(), &error)) {
	return;
    }
    p->node = node;
    StoreNode(interp, p->conn, p->name, p->path, node);
}

vantrel::MessagePtr
NewCall(Proxy *p, const char *intf, const char *member)
{
    return vantrel::adoptMessage(dbus_message_new_method_call(
	    p->name.c_str(), p->path.c_str(), intf, member));
}

/*
 * Sends a call and turns its reply into the command's result with
 * finish: awaited inside a coroutine when the proxy awaits, else
 * synchronously. Returns the NR result.
 */
int
Exchange(Tcl_Interp *interp, Proxy *p, DBusMessage *msg,
	vantrel::AwaitFinish finish)
{
    if (!dbus_connection_get_is_connected(p->conn)) {
	return vantrel::Fail(interp, "PROXY", "CONNECTION",
		"connection is closed");
    }
    if (p->await && vantrel::InCoroutine(interp)) {
	return vantrel::AwaitReply(interp, p->conn, msg, p->timeout,
		std::move(finish));
    }
    DBusPendingCall *raw = NULL;
    if (!dbus_connection_send_with_reply(p->conn, msg, &raw, p->timeout)) {
	return DBus_MemoryError(interp);
    }
    if (raw == NULL) {
	return vantrel::Fail(interp, "PROXY", "CONNECTION",
		"connection is closed");
    }
    vantrel::PendingPtr pending(raw);
    dbus_pending_call_block(pending.get());
    /* A reply stolen from a pending call is ours. */
    vantrel::MessagePtr reply = vantrel::adoptMessage(
	    dbus_pending_call_steal_reply(pending.get()));
    if (!reply || dbus_message_get_type(reply.get())
	    == DBUS_MESSAGE_TYPE_ERROR) {
	vantrel::AfterFailedWait(p->conn);
    }
    if (!reply) {
	return vantrel::Fail(interp, "PROXY", "TIMEOUT", "no reply");
    }
    return finish(interp, reply.get());
}

/*
 * The declared interfaces a name is looked up in: the one given, else
 * the proxy's, else all.
 */
std::vector<const InterfaceDecl *>
Candidates(Proxy *p, const std::string *only = nullptr)
{
    const std::string &intf = (only != nullptr && !only->empty()) ? *only
	    : p->interface;
    std::vector<const InterfaceDecl *> out;
    if (!p->node) {
	return out;
    }
    for (const InterfacePtr &decl : p->node->interfaces) {
	if (intf.empty() || decl->name == intf) {
	    out.push_back(decl.get());
	}
    }
    return out;
}

/*
 * Finds the interface that declares a method (kind 0), property (1) or
 * signal (2). A name declared by two interfaces is ambiguous unless the
 * proxy names one.
 */
const InterfaceDecl *
Declaring(Tcl_Interp *interp, Proxy *p, const std::string &name, int kind,
	bool *ambiguous, const std::string *only = nullptr)
{
    const InterfaceDecl *found = nullptr;
    *ambiguous = false;
    for (const InterfaceDecl *decl : Candidates(p, only)) {
	bool has = kind == 0 ? decl->FindMethod(name) != nullptr
		: kind == 1 ? decl->FindProperty(name) != nullptr
		: decl->FindSignal(name) != nullptr;
	if (!has) {
	    continue;
	}
	if (found != nullptr) {
	    *ambiguous = true;
	    ProxyFail(interp, "AMBIGUOUS", "\"" + name + "\" is declared by "
		    "both " + found->name + " and " + decl->name
		    + ": give the proxy an interface");
	    return nullptr;
	}
	found = decl;
    }
    return found;
}

/* A call of a declared method, typed by the declaration. */
int
CallDeclared(Tcl_Interp *interp, Proxy *p, const InterfaceDecl *decl,
	const vantrel::MethodDecl *method, int objc, Tcl_Obj *const objv[])
{
    vantrel::MessagePtr msg = NewCall(p, decl->name.c_str(),
	    method->name.c_str());
    if (!msg) {
	return DBus_MemoryError(interp);
    }
    if (vantrel::AppendArgs(interp, "PROXY", p->conn, msg.get(),
	    method->inSig.c_str(), objc, objv, vantrel::MARSHAL_RANGE)
	    != TCL_OK) {
	return vantrel::ValueError(interp, "PROXY");
    }
    if (method->noReply) {
	dbus_message_set_no_reply(msg.get(), TRUE);
	if (!dbus_connection_send(p->conn, msg.get(), NULL)) {
	    return DBus_MemoryError(interp);
	}
	Tcl_ResetResult(interp);
	return TCL_OK;
    }
    return Exchange(interp, p, msg.get(), [mode = vantrel::ConnMode(p->conn)](Tcl_Interp *ip, DBusMessage *r) {
	return vantrel::CallResult(ip, r, 0, mode);
    });
}

/* $p call ?-interface I? ?-signature S? Method ?arg ...? */
int
CallExplicit(Tcl_Interp *interp, Proxy *p, int objc, Tcl_Obj *const objv[])
{
    std::string intf = p->interface;
    const char *signature = NULL;
    int i = 2;
    for (; i + 1 < objc && Tcl_GetString(objv[i])[0] == '-'; i += 2) {
	static const char *const options[] = {"-interface", "-signature",
		NULL};
	int index;
	if (Tcl_GetIndexFromObjStruct(interp, objv[i], options,
		sizeof(char *), "option", 0, &index) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (index == 0) {
	    if (DBus_CheckIntfName(objv[i + 1]) < 1) {
		return vantrel::Fail(interp, "PROXY", "INTERFACE",
			"invalid interface name");
	    }
	    intf = Tcl_GetString(objv[i + 1]);
	} else {
	    if (!DBus_CheckSignature(objv[i + 1])) {
		return vantrel::Fail(interp, "PROXY", "SIGNATURE",
			"invalid type signature");
	    }
	    signature = Tcl_GetString(objv[i + 1]);
	}
    }
    if (i >= objc) {
	Tcl_WrongNumArgs(interp, 2, objv,
		"?-interface name? ?-signature sig? method ?arg ...?");
	return TCL_ERROR;
    }
    if (!DBus_CheckMember(objv[i])) {
	return vantrel::Fail(interp, "PROXY", "METHOD", "invalid method");
    }
    std::string member = Tcl_GetString(objv[i]);
    if (signature == NULL) {
	bool ambiguous;
	const InterfaceDecl *decl = Declaring(interp, p, member, 0,
		&ambiguous, &intf);
	if (ambiguous) {
	    return TCL_ERROR;
	}
	if (decl != nullptr) {
	    return CallDeclared(interp, p, decl, decl->FindMethod(member),
		    objc - i - 1, objv + i + 1);
	}
    }
    if (intf.empty()) {
	return ProxyFail(interp, "INTERFACE", "the method \"" + member
		+ "\" is not declared: name its interface");
    }
    vantrel::MessagePtr msg = NewCall(p, intf.c_str(), member.c_str());
    if (!msg) {
	return DBus_MemoryError(interp);
    }
    if (vantrel::AppendArgs(interp, "PROXY", p->conn, msg.get(), signature,
	    objc - i - 1, objv + i + 1, 0) != TCL_OK) {
	return TCL_ERROR;
    }
    return Exchange(interp, p, msg.get(), [mode = vantrel::ConnMode(p->conn)](Tcl_Interp *ip, DBusMessage *r) {
	return vantrel::CallResult(ip, r, 0, mode);
    });
}

/* The interface a property operation goes to, with its declaration. */
int
PropertyTarget(Tcl_Interp *interp, Proxy *p, Tcl_Obj *nameObj,
	std::string *intf, const vantrel::PropertyDecl **decl)
{
    std::string name = Tcl_GetString(nameObj);
    bool ambiguous;
    const InterfaceDecl *owner = Declaring(interp, p, name, 1, &ambiguous);
    if (ambiguous) {
	return TCL_ERROR;
    }
    if (owner != nullptr) {
	*intf = owner->name;
	*decl = owner->FindProperty(name);
	return TCL_OK;
    }
    if (p->interface.empty()) {
	return ProxyFail(interp, "PROPERTY", "unknown property \"" + name
		+ "\": the object does not declare it and the proxy has no "
		"interface");
    }
    *intf = p->interface;
    *decl = nullptr;
    return TCL_OK;
}

/* The first argument of a reply, a variant, as a Tcl value. */
int
VariantResult(Tcl_Interp *interp, DBusMessage *reply, int details, int mode)
{
    if (dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR) {
	return vantrel::CallResult(interp, reply, 0, mode);
    }
    DBusMessageIter iter;
    if (!dbus_message_iter_init(reply, &iter)) {
	Tcl_ResetResult(interp);
	return TCL_OK;
    }
    ObjPtr list = vantrel::holdObj(vantrel::IterList(interp, &iter, details,
	    NULL, mode));
    Tcl_Obj *first = NULL;
    Tcl_ListObjIndex(NULL, list.get(), 0, &first);
    Tcl_SetObjResult(interp, first ? first : Tcl_NewObj());
    return TCL_OK;
}

/* $p get property */
int
GetProperty(Tcl_Interp *interp, Proxy *p, Tcl_Obj *name)
{
    std::string intf;
    const vantrel::PropertyDecl *decl;
    if (PropertyTarget(interp, p, name, &intf, &decl) != TCL_OK) {
	return TCL_ERROR;
    }
    vantrel::MessagePtr msg = NewCall(p, DBUS_INTERFACE_PROPERTIES, "Get");
    const char *i = intf.c_str();
    const char *n = Tcl_GetString(name);
    if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &i,
	    DBUS_TYPE_STRING, &n, DBUS_TYPE_INVALID)) {
	return DBus_MemoryError(interp);
    }
    return Exchange(interp, p, msg.get(), [mode = vantrel::ConnMode(p->conn)](Tcl_Interp *ip, DBusMessage *r) {
	return VariantResult(ip, r, 0, mode);
    });
}

/* Sends Properties.Set with the value already in its variant form. */
int
SendSet(Tcl_Interp *interp, Proxy *p, const std::string &intf,
	Tcl_Obj *name, Tcl_Obj *variant)
{
    vantrel::MessagePtr msg = NewCall(p, DBUS_INTERFACE_PROPERTIES, "Set");
    if (!msg) {
	return DBus_MemoryError(interp);
    }
    Tcl_Obj *args[3] = {Tcl_NewStringObj(intf.c_str(), -1), name, variant};
    ObjPtr hold = vantrel::holdObj(args[0]);
    if (vantrel::AppendArgs(interp, "PROXY", p->conn, msg.get(), "ssv", 3,
	    args, vantrel::MARSHAL_RANGE) != TCL_OK) {
	return vantrel::ValueError(interp, "PROXY");
    }
    return Exchange(interp, p, msg.get(), [mode = vantrel::ConnMode(p->conn)](Tcl_Interp *ip, DBusMessage *r) {
	int code = vantrel::CallResult(ip, r, 0, mode);
	if (code == TCL_OK) {
	    Tcl_ResetResult(ip);
	}
	return code;
    });
}

/* True for a list {signature value} whose signature is one type. */
bool
ExplicitVariant(Tcl_Obj *value)
{
    int n;
    Tcl_Obj *first;
    return Tcl_ListObjLength(NULL, value, &n) == TCL_OK && n == 2
	    && Tcl_ListObjIndex(NULL, value, 0, &first) == TCL_OK
	    && dbus_signature_validate_single(Tcl_GetString(first), NULL);
}

/* $p set property value */
int
SetProperty(Tcl_Interp *interp, ProxyPtr p, Tcl_Obj *name, Tcl_Obj *value)
{
    std::string intf;
    const vantrel::PropertyDecl *decl;
    if (PropertyTarget(interp, p.get(), name, &intf, &decl) != TCL_OK) {
	return TCL_ERROR;
    }
    if (decl != nullptr && decl->type != "v") {
	Tcl_Obj *pair[2] = {Tcl_NewStringObj(decl->type.c_str(), -1), value};
	ObjPtr variant = vantrel::holdObj(Tcl_NewListObj(2, pair));
	return SendSet(interp, p.get(), intf, name, variant.get());
    }
    if (decl == nullptr || ExplicitVariant(value)) {
	/* Not declared: the value's own form, as dbus call would take it. */
	return SendSet(interp, p.get(), intf, name, value);
    }
    /*
     * Declared as v: the value keeps the type the property has now,
     * learnt from Get with details.
     */
    vantrel::MessagePtr msg = NewCall(p.get(), DBUS_INTERFACE_PROPERTIES,
	    "Get");
    const char *i = intf.c_str();
    const char *n = Tcl_GetString(name);
    if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &i,
	    DBUS_TYPE_STRING, &n, DBUS_TYPE_INVALID)) {
	return DBus_MemoryError(interp);
    }
    vantrel::SharedObj keepName = vantrel::shareObj(name);
    vantrel::SharedObj keepValue = vantrel::shareObj(value);
    return Exchange(interp, p.get(), msg.get(),
	    [p, intf, keepName, keepValue](Tcl_Interp *ip, DBusMessage *r) {
	if (VariantResult(ip, r, 1, vantrel::ConnMode(p->conn)) != TCL_OK) {
	    return TCL_ERROR;
	}
	Tcl_Obj *current = Tcl_GetObjResult(ip);
	Tcl_Obj *sig = NULL;
	Tcl_ListObjIndex(NULL, current, 0, &sig);
	/*
	 * A server that answers as D-Bus has it, the value of a v property
	 * a variant in Get's variant, gets the new one back the same way.
	 */
	bool nested = sig != NULL && std::strcmp(Tcl_GetString(sig), "v") == 0;
	if (nested) {
	    Tcl_Obj *inner = NULL;
	    Tcl_ListObjIndex(NULL, current, 1, &inner);
	    sig = NULL;
	    if (inner != NULL) {
		Tcl_ListObjIndex(NULL, inner, 0, &sig);
	    }
	}
	if (sig == NULL) {
	    return ProxyFail(ip, "VARIANT", "cannot tell the type of the "
		    "property's value: give it as {signature value}");
	}
	Tcl_Obj *pair[2] = {sig, keepValue.get()};
	ObjPtr variant = vantrel::holdObj(Tcl_NewListObj(2, pair));
	if (nested) {
	    Tcl_Obj *outer[2] = {Tcl_NewStringObj("v", 1), variant.get()};
	    variant = vantrel::holdObj(Tcl_NewListObj(2, outer));
	}
	Tcl_ResetResult(ip);
	return SendSet(ip, p.get(), intf, keepName.get(), variant.get());
    });
}

/* Merges a GetAll reply into dict (name -> value). */
void
MergeProperties(Tcl_Interp *interp, Tcl_Obj *dict, DBusMessage *reply,
	int mode)
{
    DBusMessageIter iter;
    if (!dbus_message_iter_init(reply, &iter)) {
	return;
    }
    ObjPtr list = vantrel::holdObj(vantrel::IterList(interp, &iter, 0, NULL,
	    mode));
    Tcl_Obj *pairs = NULL;
    Tcl_ListObjIndex(NULL, list.get(), 0, &pairs);
    int n = 0;
    Tcl_Obj **elems;
    if (pairs == NULL
	    || Tcl_ListObjGetElements(NULL, pairs, &n, &elems) != TCL_OK) {
	return;
    }
    for (int k = 0; k + 1 < n; k += 2) {
	Tcl_DictObjPut(NULL, dict, elems[k], elems[k + 1]);
    }
}

/* $p getall ?interface? */
int
GetAll(Tcl_Interp *interp, Proxy *p, Tcl_Obj *intfObj)
{
    std::string intf = intfObj ? Tcl_GetString(intfObj) : p->interface;
    if (intf.empty()) {
	return ProxyFail(interp, "INTERFACE",
		"name the interface: the proxy has none");
    }
    vantrel::MessagePtr msg = NewCall(p, DBUS_INTERFACE_PROPERTIES,
	    "GetAll");
    const char *i = intf.c_str();
    if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &i,
	    DBUS_TYPE_INVALID)) {
	return DBus_MemoryError(interp);
    }
    return Exchange(interp, p, msg.get(), [mode = vantrel::ConnMode(p->conn)](Tcl_Interp *ip, DBusMessage *r) {
	if (dbus_message_get_type(r) == DBUS_MESSAGE_TYPE_ERROR) {
	    return vantrel::CallResult(ip, r, 0, mode);
	}
	ObjPtr dict = vantrel::holdObj(Tcl_NewDictObj());
	MergeProperties(ip, dict.get(), r, mode);
	Tcl_SetObjResult(ip, dict.get());
	return TCL_OK;
    });
}

/* The bus name bindings match the sender against. */
vantrel::SignalMatch
MatchOf(Proxy *p, const std::string &intf, const std::string &member)
{
    vantrel::SignalMatch m;
    m.sender = p->name;
    m.path = p->path;
    m.interface = intf;
    m.member = member;
    return m;
}

/* Follows the proxy's name once, so that bindings match its owner. */
int
FollowName(Tcl_Interp *interp, Proxy *p)
{
    if (p->followToken >= 0 || p->name[0] == ':') {
	return TCL_OK;
    }
    p->followToken = vantrel::FollowOwner(interp, p->conn, p->name,
	    [](DBusConnection *, const std::string &) {});
    return p->followToken < 0 ? TCL_ERROR : TCL_OK;
}

/* $p bind ?signal ?script?? */
int
Bind(Tcl_Interp *interp, Proxy *p, int objc, Tcl_Obj *const objv[])
{
    if (objc == 2) {
	Tcl_Obj *list = Tcl_NewListObj(0, NULL);
	for (const auto &entry : p->bound) {
	    Tcl_ListObjAppendElement(NULL, list,
		    Tcl_NewStringObj(entry.first.c_str(), -1));
	}
	Tcl_SetObjResult(interp, list);
	return TCL_OK;
    }
    if (objc > 4) {
	Tcl_WrongNumArgs(interp, 2, objv, "?signal ?script??");
	return TCL_ERROR;
    }
    if (!DBus_CheckMember(objv[2])) {
	return vantrel::Fail(interp, "PROXY", "SIGNAL", "invalid signal name");
    }
    std::string member = Tcl_GetString(objv[2]);
    auto it = p->bound.find(member);
    if (objc == 3) {
	if (it != p->bound.end()) {
	    Tcl_SetObjResult(interp, it->second.first.get());
	} else {
	    Tcl_ResetResult(interp);
	}
	return TCL_OK;
    }
    if (it != p->bound.end()) {
	vantrel::RemoveBinding(it->second.second);
	p->bound.erase(it);
    }
    Tcl_ResetResult(interp);
    if (Tcl_GetCharLength(objv[3]) == 0) {
	return TCL_OK;
    }
    std::string intf;
    if (member == "PropertiesChanged") {
	intf = DBUS_INTERFACE_PROPERTIES;
    } else {
	bool ambiguous;
	const InterfaceDecl *decl = Declaring(interp, p, member, 2, &ambiguous);
	if (ambiguous) {
	    return TCL_ERROR;
	}
	intf = decl ? decl->name : p->interface;
    }
    if (FollowName(interp, p) != TCL_OK) {
	return TCL_ERROR;
    }
    ObjPtr script = vantrel::holdObj(objv[3]);
    Tcl_Obj *held = script.get();
    vantrel::Binding *b = vantrel::AddBinding(interp, p->conn,
	    MatchOf(p, intf, member), [held](DBusConnection *on,
		    DBusMessage *msg) {
	vantrel::QueueScriptEvent(held, on, msg,
		HANDLER_NOREPLY | HANDLER_BARE);
    });
    if (b == nullptr) {
	return TCL_ERROR;
    }
    p->bound[member] = {std::move(script), b};
    return TCL_OK;
}

/*
 * Starts the property cache: PropertiesChanged keeps it, GetAll fills
 * it (synchronously, once).
 */
int
StartCache(Tcl_Interp *interp, ProxyPtr p)
{
    p->values = vantrel::holdObj(Tcl_NewDictObj());
    if (FollowName(interp, p.get()) != TCL_OK) {
	return TCL_ERROR;
    }
    std::weak_ptr<Proxy> weak = p;
    Tcl_Interp *ip = interp;
    p->changes = vantrel::AddBinding(interp, p->conn,
	    MatchOf(p.get(), DBUS_INTERFACE_PROPERTIES, "PropertiesChanged"),
	    [weak, ip](DBusConnection *, DBusMessage *msg) {
	ProxyPtr px = weak.lock();
	if (!px || px->dead) {
	    return;
	}
	const char *intf = NULL;
	DBusMessageIter iter;
	if (!dbus_message_iter_init(msg, &iter)
		|| dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_STRING) {
	    return;
	}
	dbus_message_iter_get_basic(&iter, &intf);
	if (!px->interface.empty() && px->interface != intf) {
	    return;
	}
	ObjPtr args = vantrel::holdObj(vantrel::IterList(ip, &iter, 0, NULL,
		vantrel::ConnMode(px->conn)));
	Tcl_Obj *changed = NULL, *invalidated = NULL;
	Tcl_ListObjIndex(NULL, args.get(), 1, &changed);
	Tcl_ListObjIndex(NULL, args.get(), 2, &invalidated);
	if (Tcl_IsShared(px->values.get())) {
	    px->values = vantrel::holdObj(Tcl_DuplicateObj(px->values.get()));
	}
	int n;
	Tcl_Obj **elems;
	if (changed != NULL
		&& Tcl_ListObjGetElements(NULL, changed, &n, &elems) == TCL_OK) {
	    for (int k = 0; k + 1 < n; k += 2) {
		Tcl_DictObjPut(NULL, px->values.get(), elems[k], elems[k + 1]);
	    }
	}
	if (invalidated != NULL && Tcl_ListObjGetElements(NULL, invalidated,
		&n, &elems) == TCL_OK) {
	    for (int k = 0; k < n; k++) {
		Tcl_DictObjRemove(NULL, px->values.get(), elems[k]);
	    }
	}
    });
    if (p->changes == nullptr) {
	return TCL_ERROR;
    }
    /* The first values: every interface with properties, or the proxy's. */
    std::vector<std::string> interfaces;
    for (const InterfaceDecl *decl : Candidates(p.get())) {
	if (!decl->properties.empty()) {
	    interfaces.push_back(decl->name);
	}
    }
    if (interfaces.empty() && !p->interface.empty()) {
	interfaces.push_back(p->interface);
    }
    for (const std::string &intf : interfaces) {
	vantrel::MessagePtr msg = NewCall(p.get(), DBUS_INTERFACE_PROPERTIES,
		"GetAll");
	const char *i = intf.c_str();
	if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING,
		&i, DBUS_TYPE_INVALID)) {
	    return DBus_MemoryError(interp);
	}
	vantrel::ErrorGuard err;
	vantrel::MessagePtr reply = vantrel::adoptMessage(
		dbus_connection_send_with_reply_and_block(p->conn, msg.get(),
			p->timeout, err.get()));
	if (reply) {
	    MergeProperties(interp, p->values.get(), reply.get(),
		    vantrel::ConnMode(p->conn));
	} else {
	    vantrel::AfterFailedWait(p->conn);
	}
    }
    return TCL_OK;
}

/* The declarations of the proxy's object as a Tcl dict. */
Tcl_Obj *
Description(Proxy *p)
{
    auto args = [](const std::vector<vantrel::ArgDecl> &list) {
	Tcl_Obj *out = Tcl_NewListObj(0, NULL);
	for (const vantrel::ArgDecl &a : list) {
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
	    for (const vantrel::MethodDecl &m : decl->methods) {
		Tcl_Obj *d = Tcl_NewDictObj();
		put(d, "in", args(m.in));
		put(d, "out", args(m.out));
		put(methods, m.name.c_str(), d);
	    }
	    Tcl_Obj *signals = Tcl_NewDictObj();
	    for (const vantrel::SignalDecl &s : decl->signals) {
		Tcl_Obj *d = Tcl_NewDictObj();
		put(d, "args", args(s.args));
		put(signals, s.name.c_str(), d);
	    }
	    Tcl_Obj *properties = Tcl_NewDictObj();
	    for (const vantrel::PropertyDecl &pr : decl->properties) {
		Tcl_Obj *d = Tcl_NewDictObj();
		put(d, "type", Tcl_NewStringObj(pr.type.c_str(), -1));
		put(d, "access", Tcl_NewStringObj(
			pr.access == vantrel::ACCESS_READ ? "read"
			: pr.access == vantrel::ACCESS_WRITE ? "write"
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
 * Dispatch --
 *
 *	A proxy command once its introspection data is settled: the
 *	subcommands, then the declared methods by name.
 */
int
Dispatch(Tcl_Interp *interp, ProxyPtr p, int objc, Tcl_Obj *const objv[])
{
    static const char *const subcommands[] = {
	"bind", "cache", "call", "get", "getall", "introspect", "set", NULL
    };
    enum { SUB_BIND, SUB_CACHE, SUB_CALL, SUB_GET, SUB_GETALL,
	SUB_INTROSPECT, SUB_SET };
    int index;
    if (Tcl_GetIndexFromObjStruct(NULL, objv[1], subcommands,
	    sizeof(char *), "subcommand", TCL_EXACT, &index) == TCL_OK) {
	switch (index) {
	case SUB_BIND:
	    return Bind(interp, p.get(), objc, objv);
	case SUB_CALL:
	    return CallExplicit(interp, p.get(), objc, objv);
	case SUB_GET:
	    if (objc != 3) {
		Tcl_WrongNumArgs(interp, 2, objv, "property");
		return TCL_ERROR;
	    }
	    return GetProperty(interp, p.get(), objv[2]);
	case SUB_SET:
	    if (objc != 4) {
		Tcl_WrongNumArgs(interp, 2, objv, "property value");
		return TCL_ERROR;
	    }
	    return SetProperty(interp, p, objv[2], objv[3]);
	case SUB_GETALL:
	    if (objc > 3) {
		Tcl_WrongNumArgs(interp, 2, objv, "?interface?");
		return TCL_ERROR;
	    }
	    return GetAll(interp, p.get(), objc == 3 ? objv[2] : NULL);
	case SUB_CACHE:
	    if (!p->cache) {
		return vantrel::Fail(interp, "PROXY", "CACHE",
			"the proxy keeps no cache: make it with -cache true");
	    }
	    if (!p->values && StartCache(interp, p) != TCL_OK) {
		return TCL_ERROR;
	    }
	    Tcl_SetObjResult(interp, p->values.get());
	    return TCL_OK;
	case SUB_INTROSPECT:
	    Tcl_SetObjResult(interp, Description(p.get()));
	    return TCL_OK;
	}
    }
    std::string member = Tcl_GetString(objv[1]);
    bool ambiguous;
    const InterfaceDecl *decl = Declaring(interp, p.get(), member, 0,
	    &ambiguous);
    if (ambiguous) {
	return TCL_ERROR;
    }
    if (decl != nullptr) {
	return CallDeclared(interp, p.get(), decl, decl->FindMethod(member),
		objc - 2, objv + 2);
    }
    if (!p->node && !p->interface.empty() && DBus_CheckMember(objv[1])) {
	/* No introspection data: a call with guessed types, as dbus call. */
	vantrel::MessagePtr msg = NewCall(p.get(), p->interface.c_str(),
		member.c_str());
	if (!msg) {
	    return DBus_MemoryError(interp);
	}
	if (vantrel::AppendArgs(interp, "PROXY", p->conn, msg.get(), NULL,
		objc - 2, objv + 2, 0) != TCL_OK) {
	    return TCL_ERROR;
	}
	return Exchange(interp, p.get(), msg.get(),
		[mode = vantrel::ConnMode(p->conn)](Tcl_Interp *ip, DBusMessage *r) {
	    return vantrel::CallResult(ip, r, 0, mode);
	});
    }
    return ProxyFail(interp, "METHOD", "unknown method \"" + member
	    + "\": must be bind, cache, call, destroy, get, getall, "
	    "introspect, set, or a method the object declares");
}

/*
 * ProxyCmd --
 *
 *	The NR procedure of a proxy's command: introspects first when it
 *	has not yet, awaiting that too inside a coroutine.
 */
int
ProxyCmd(Tcl_Interp *interp, ProxyPtr p, int objc, Tcl_Obj *const objv[])
{
    if (objc < 2) {
	Tcl_WrongNumArgs(interp, 1, objv, "method ?arg ...?");
	return TCL_ERROR;
    }
    if (p->dead) {
	return vantrel::Fail(interp, "PROXY", "CONNECTION",
		"connection is closed");
    }
    if (p->introspect) {
	NodePtr cached = CachedNode(p->conn, p->name, p->path);
	if (cached) {
	    p->node = cached;
	    p->tried = true;
	} else if (!p->tried || p->node) {
	    /* Never asked, or what it had was dropped with its owner. */
	    p->node = nullptr;
	    vantrel::MessagePtr msg = NewCall(p.get(),
		    DBUS_INTERFACE_INTROSPECTABLE, "Introspect");
	    if (!msg) {
		return DBus_MemoryError(interp);
	    }
	    /* The words outlive the suspension in a list of their own. */
	    vantrel::SharedObj words = vantrel::shareObj(
		    Tcl_NewListObj(objc, objv));
	    return Exchange(interp, p.get(), msg.get(),
		    [p, words](Tcl_Interp *ip, DBusMessage *reply) {
		TakeIntrospection(ip, p.get(), reply);
		Tcl_ResetResult(ip);
		int n;
		Tcl_Obj **w;
		Tcl_ListObjGetElements(NULL, words.get(), &n, &w);
		return Dispatch(ip, p, n, w);
	    });
	}
    }
    return Dispatch(interp, p, objc, objv);
}

} // namespace

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * DBusProxyCmd --
 *
 *	dbus proxy ?busId? ?-yield bool? ?-cache bool? ?-introspect bool?
 *	?-timeout ms? name path ?interface?: makes a proxy command.
 *
 * Results:
 *	The proxy's command name, or an error (DBUS PROXY ...).
 *
 *----------------------------------------------------------------------
 */

int
DBusProxyCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    static const char *const options[] = {
	"-yield", "-cache", "-introspect", "-timeout", NULL
    };
    enum { OPT_AWAIT, OPT_CACHE, OPT_INTROSPECT, OPT_TIMEOUT };
    static const char *const usage =
	    "?busId? ?option value ...? name path ?interface?";
    /*
     * A busId comes first when the word after it is no path: the name
     * and the path never stand apart.
     */
    int i = 1;
    Tcl_Obj *busId = NULL;
    if (objc > 3) {
	const char *first = Tcl_GetString(objv[1]);
	if (first[0] != '-' && first[0] != '\0'
		&& Tcl_GetString(objv[2])[0] != '/') {
	    busId = objv[1];
	    i = 2;
	}
    }
    auto p = std::make_shared<Proxy>();
    for (; i + 1 < objc && Tcl_GetString(objv[i])[0] == '-'; i += 2) {
	int index, flag = 0;
	if (Tcl_GetIndexFromObjStruct(interp, objv[i], options,
		sizeof(char *), "option", 0, &index) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (index == OPT_TIMEOUT) {
	    int ms;
	    if (Tcl_GetIntFromObj(interp, objv[i + 1], &ms) != TCL_OK) {
		return TCL_ERROR;
	    }
	    p->timeout = ms < 0 ? DBUS_TIMEOUT_USE_DEFAULT : ms;
	    continue;
	}
	if (Tcl_GetBooleanFromObj(interp, objv[i + 1], &flag) != TCL_OK) {
	    return TCL_ERROR;
	}
	(index == OPT_AWAIT ? p->await : index == OPT_CACHE ? p->cache
		: p->introspect) = flag != 0;
    }
    if (objc - i < 2 || objc - i > 3) {
	Tcl_WrongNumArgs(interp, 1, objv, usage);
	return TCL_ERROR;
    }
    if (!DBus_CheckBusName(objv[i])) {
	return Fail(interp, "PROXY", "BUSNAME", "invalid bus name");
    }
    if (!DBus_CheckPath(objv[i + 1])) {
	return Fail(interp, "PROXY", "PATH", "invalid path");
    }
    if (objc - i == 3 && DBus_CheckIntfName(objv[i + 2]) < 1) {
	return Fail(interp, "PROXY", "INTERFACE", "invalid interface name");
    }
    DBusConnection *conn = DBus_GetConnection(interp, "PROXY", busId);
    if (conn == NULL) {
	return TCL_ERROR;
    }
    p->conn = conn;
    p->interp = interp;
    p->name = Tcl_GetString(objv[i]);
    p->path = Tcl_GetString(objv[i + 1]);
    if (objc - i == 3) {
	p->interface = Tcl_GetString(objv[i + 2]);
    }
    ClientHandle *h = NewHandle(interp, conn, "proxy");
    h->subcommand = [p](Tcl_Interp *ip, int c, Tcl_Obj *const v[]) {
	return ProxyCmd(ip, p, c, v);
    };
    h->moved = [p](DBusConnection *to) {
	p->conn = to;
    };
    h->release = [p]() {
	p->dead = true;
	for (auto &entry : p->bound) {
	    RemoveBinding(entry.second.second);
	}
	p->bound.clear();
	if (p->changes != nullptr) {
	    RemoveBinding(p->changes);
	    p->changes = nullptr;
	}
	if (p->followToken >= 0) {
	    StopFollowing(p->conn, p->followToken);
	    p->followToken = -1;
	}
    };
    Tcl_SetObjResult(interp, Tcl_NewStringObj(h->name.c_str(), -1));
    return TCL_OK;
}

/*
 * ForgetIntrospection --
 *
 *	Drops the introspection data kept for a closing connection.
 */

void
ForgetIntrospection(DBusConnection *conn)
{
    if (nodeCache == nullptr) {
	return;
    }
    std::vector<std::string> names;
    for (const auto &entry : *nodeCache) {
	if (entry.first.first == conn) {
	    names.push_back(entry.first.second);
	}
    }
    for (const std::string &name : names) {
	DropCachedName(conn, name);
    }
}

} // namespace vantrel
