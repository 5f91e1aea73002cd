/*
 * proxyprops.cpp --
 *
 *	The properties of a proxy's object: get, set and getall typed by
 *	the introspection data, and the property cache, which GetAll fills
 *	and PropertiesChanged keeps (invalidated properties are dropped, or
 *	with -refetch fetched again). On a strict connection every value is
 *	checked against its declaration: a property of another type, or
 *	one the interface does not declare, is an error, and never enters
 *	the cache.
 */

#include <cstring>
#include <set>
#include <utility>
#include <vector>
#include "client/proxy.hpp"
#include "values/values.hpp"

namespace vantrel {

namespace {

/* True when values of the connection are checked against declarations. */
bool
Strict(int mode)
{
    return (mode & vantrel::MARSHAL_STRICT) != 0;
}

/* The signature of the value inside the variant at iter, or "". */
std::string
ContentSignature(DBusMessageIter *variant)
{
    if (dbus_message_iter_get_arg_type(variant) != DBUS_TYPE_VARIANT) {
	return "";
    }
    DBusMessageIter content;
    dbus_message_iter_recurse(variant, &content);
    char *sig = dbus_message_iter_get_signature(&content);
    std::string out = sig != NULL ? sig : "";
    dbus_free(sig);
    return out;
}

/*
 * Why the property name, its value the variant at iter, does not fit
 * the interface's declaration; "" when it does.
 */
std::string
PropertyMisfit(const InterfaceDecl *decl, const char *name,
	DBusMessageIter *variant)
{
    std::string which = "property " + vantrel::Quote(name) + " of "
	    + decl->name;
    const vantrel::PropertyDecl *prop = decl->FindProperty(name);
    if (prop == nullptr) {
	return which + " is not declared";
    }
    std::string got = ContentSignature(variant);
    if (got != prop->type) {
	return which + " has type \"" + got + "\", declared \""
		+ prop->type + "\"";
    }
    return "";
}

/*
 * Walks the a{sv} at array (an iterator at the array, not changed):
 * each(name, variant, entry) for every property, variant at its value
 * and entry at the start of its dict entry.
 */
template <class Each>
void
EachProperty(DBusMessageIter *array, Each each)
{
    if (dbus_message_iter_get_arg_type(array) != DBUS_TYPE_ARRAY) {
	return;
    }
    DBusMessageIter entries;
    dbus_message_iter_recurse(array, &entries);
    for (; dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY;
	    dbus_message_iter_next(&entries)) {
	DBusMessageIter entry, variant;
	dbus_message_iter_recurse(&entries, &entry);
	if (dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_STRING) {
	    continue;
	}
	const char *name = NULL;
	dbus_message_iter_get_basic(&entry, &name);
	variant = entry;
	dbus_message_iter_next(&variant);
	each(name, &variant, &entry);
    }
}

/*
 * Puts the property of a dict entry (an iterator at its start) into
 * dict, which must be unshared.
 */
void
PutProperty(Tcl_Interp *interp, Tcl_Obj *dict, DBusMessageIter *entry,
	int mode)
{
    DBusMessageIter from = *entry;
    ObjPtr pair = holdObj(IterList(interp, &from, 0, NULL, mode));
    Tcl_Obj *name = NULL, *value = NULL;
    Tcl_ListObjIndex(NULL, pair.get(), 0, &name);
    Tcl_ListObjIndex(NULL, pair.get(), 1, &value);
    if (name != NULL && value != NULL) {
	Tcl_DictObjPut(NULL, dict, name, value);
    }
}

/*
 * Why a reply of Properties.Get or GetAll does not have the signature
 * the standard declares (v, a{sv}); "" when it does.
 */
std::string
ReplyMisfit(DBusMessage *reply, const char *method, const char *want)
{
    const char *got = dbus_message_get_signature(reply);
    if (std::string_view(got) == want) {
	return "";
    }
    return std::string("reply of ") + method + " has signature \"" + got
	    + "\", declared \"" + want + "\"";
}

/* The interface a property operation goes to, with its declaration. */
int
PropertyTarget(Tcl_Interp *interp, Proxy *p, Tcl_Obj *nameObj,
	std::string *intf, const vantrel::PropertyDecl **decl)
{
    std::string name = Tcl_GetString(nameObj);
    bool ambiguous;
    const InterfaceDecl *owner = Declaring(interp, p, name, Member::Property,
	    &ambiguous);
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
    return Exchange(interp, p, std::move(msg),
	    [mode = vantrel::ConnMode(p->conn)](Tcl_Interp *ip,
		    DBusMessage *r) {
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

/*
 * Why a GetAll reply does not fit on a strict connection: its signature,
 * or a property that does not fit the declaration of its interface (when
 * declared: decl); "" when it fits or the connection is not strict.
 */
std::string
AllMisfit(const InterfaceDecl *decl, DBusMessage *reply, int mode)
{
    DBusMessageIter iter;
    if (!Strict(mode) || !dbus_message_iter_init(reply, &iter)) {
	return "";
    }
    std::string problem = ReplyMisfit(reply, "GetAll", "a{sv}");
    if (problem.empty() && decl != nullptr) {
	EachProperty(&iter, [&](const char *name, DBusMessageIter *v,
		DBusMessageIter *) {
	    if (problem.empty()) {
		problem = PropertyMisfit(decl, name, v);
	    }
	});
    }
    return problem;
}

/* Merges the properties of a GetAll reply into dict, which is unshared. */
void
PutAll(Tcl_Interp *interp, Tcl_Obj *dict, DBusMessage *reply, int mode)
{
    DBusMessageIter iter;
    if (!dbus_message_iter_init(reply, &iter)) {
	return;
    }
    EachProperty(&iter, [&](const char *, DBusMessageIter *,
	    DBusMessageIter *entry) {
	PutProperty(interp, dict, entry, mode);
    });
}

/* The cache's values, unshared, to be changed. */
Tcl_Obj *
Writable(Proxy *p)
{
    if (Tcl_IsShared(p->values.get())) {
	p->values = vantrel::holdObj(Tcl_DuplicateObj(p->values.get()));
    }
    return p->values.get();
}

/* What the GetAll sent for invalidated properties remembers. */
struct Refetch {
    std::weak_ptr<Proxy> proxy;
    std::string intf;
    std::set<std::string> names;	/* The invalidated properties. */
};

/*
 * Takes what a PropertiesChanged or a GetAll (at array) brings into the
 * cache: the properties named in only (all when null); on a strict
 * connection only those that fit the declaration of the interface, the
 * others are reported.
 */
void
TakeChanges(const ProxyPtr &px, const std::string &intf,
	DBusMessageIter *array, const std::set<std::string> *only)
{
    int mode = ConnMode(px->conn);
    InterfacePtr decl = Strict(mode) ? DeclaredInterface(px.get(), intf)
	    : nullptr;
    EachProperty(array, [&](const char *name, DBusMessageIter *v,
	    DBusMessageIter *entry) {
	if (only != nullptr && only->count(name) == 0) {
	    return;
	}
	if (decl) {
	    std::string problem = PropertyMisfit(decl.get(), name, v);
	    if (!problem.empty()) {
		ReportMisfit(px->conn, problem);
		return;
	    }
	}
	PutProperty(px->interp, Writable(px.get()), entry, mode);
    });
}

/*
 * RefetchReply --
 *
 *	Notification of the GetAll sent for invalidated properties: their
 *	new values enter the cache (from dispatch: nothing runs a script).
 */
void
RefetchReply(DBusPendingCall *pending, void *data)
{
    auto *r = static_cast<Refetch *>(data);
    /* The reply stolen from the pending call is ours. */
    MessagePtr reply = adoptMessage(dbus_pending_call_steal_reply(pending));
    ProxyPtr p = r->proxy.lock();
    DBusMessageIter iter;
    if (!p || p->dead || !p->values || !reply
	    || dbus_message_get_type(reply.get())
		    != DBUS_MESSAGE_TYPE_METHOD_RETURN
	    || !dbus_message_iter_init(reply.get(), &iter)) {
	return;
    }
    std::string problem = ReplyMisfit(reply.get(), "GetAll", "a{sv}");
    if (Strict(ConnMode(p->conn)) && !problem.empty()) {
	ReportMisfit(p->conn, problem);
	return;
    }
    TakeChanges(p, r->intf, &iter, &r->names);
}

/*
 * Asks again for the properties a PropertiesChanged invalidated, with
 * one GetAll of their interface; RefetchReply takes the answer.
 */
void
SendRefetch(const ProxyPtr &p, const char *intf, std::set<std::string> names)
{
    MessagePtr msg = NewCall(p.get(), DBUS_INTERFACE_PROPERTIES, "GetAll");
    DBusPendingCall *pending = NULL;
    if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &intf,
	    DBUS_TYPE_INVALID)
	    || !dbus_connection_send_with_reply(p->conn, msg.get(), &pending,
		    p->timeout) || pending == NULL) {
	return;
    }
    auto *r = new Refetch{p, intf, std::move(names)};
    if (!dbus_pending_call_set_notify(pending, RefetchReply, r,
	    [](void *data) { delete static_cast<Refetch *>(data); })) {
	delete r;
	dbus_pending_call_cancel(pending);
    }
    /* The connection keeps the pending call until it completes. */
    dbus_pending_call_unref(pending);
}

/*
 * CacheChanged --
 *
 *	A PropertiesChanged of the proxy's object, from the connection's
 *	filter: changed values enter the cache (on a strict connection
 *	only those that fit, the others are reported), invalidated ones
 *	leave it and with -refetch are asked for again.
 */
void
CacheChanged(const ProxyPtr &px, DBusMessage *msg)
{
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
    const char *sig = dbus_message_get_signature(msg);
    if (Strict(ConnMode(px->conn)) && std::string_view(sig) != "sa{sv}as") {
	ReportMisfit(px->conn, std::string("signal \"PropertiesChanged\" "
		"has signature \"") + sig + "\", declared \"sa{sv}as\"");
	return;
    }
    dbus_message_iter_next(&iter);
    TakeChanges(px, intf, &iter, nullptr);
    if (!dbus_message_iter_next(&iter)
	    || dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_ARRAY
	    || dbus_message_iter_get_element_type(&iter) != DBUS_TYPE_STRING) {
	return;
    }
    std::set<std::string> invalidated;
    DBusMessageIter names;
    dbus_message_iter_recurse(&iter, &names);
    for (; dbus_message_iter_get_arg_type(&names) == DBUS_TYPE_STRING;
	    dbus_message_iter_next(&names)) {
	const char *name = NULL;
	dbus_message_iter_get_basic(&names, &name);
	ObjPtr key = holdObj(NewUtf8Obj(name));
	Tcl_DictObjRemove(NULL, Writable(px.get()), key.get());
	invalidated.insert(name);
    }
    if (px->refetch && !invalidated.empty()) {
	SendRefetch(px, intf, std::move(invalidated));
    }
}

/*
 * Starts the property cache: its values are empty, PropertiesChanged
 * keeps them. On failure nothing of it is left.
 */
int
StartCache(Tcl_Interp *interp, ProxyPtr p)
{
    p->values = vantrel::holdObj(Tcl_NewDictObj());
    if (FollowName(interp, p.get()) != TCL_OK) {
	p->values.reset();
	return TCL_ERROR;
    }
    std::weak_ptr<Proxy> weak = p;
    p->changes = vantrel::AddBinding(interp, p->conn,
	    MatchOf(p.get(), DBUS_INTERFACE_PROPERTIES, "PropertiesChanged"),
	    [weak](DBusConnection *, DBusMessage *msg, const HeaderFields &) {
	ProxyPtr px = weak.lock();
	if (px && !px->dead && px->values) {
	    CacheChanged(px, msg);
	}
    }, "PROXY");
    if (p->changes == nullptr) {
	p->values.reset();
	return TCL_ERROR;
    }
    return TCL_OK;
}

/* A filling of the cache: one GetAll of each interface in turn. */
struct Filling {
    ProxyPtr proxy;
    unsigned epoch;		/* The cache's, when the filling began. */
    std::vector<std::string> interfaces;
    std::string problem;	/* Why a reply did not fit, or "". */
};
using FillingPtr = std::shared_ptr<Filling>;

/*
 * Fills the cache from the interface at index next on, each GetAll
 * waited for the proxy's way. A reply's values enter the cache where it
 * arrives, so that a change signalled after it prevails. A failure
 * stops the cache: the next $p cache starts again.
 *
 * Results:
 *	The NR result; the command's result is the cache, or the error of
 *	the first GetAll that failed, or DBUS PROXY CACHE when the cache
 *	was stopped meanwhile (the proxy destroyed, another filling
 *	failed).
 */
int
FillCache(Tcl_Interp *interp, const FillingPtr &f, size_t next)
{
    Proxy *p = f->proxy.get();
    if (p->cacheEpoch != f->epoch || !p->values) {
	return ProxyFail(interp, "CACHE",
		"the cache was dropped while it was being filled");
    }
    if (next == f->interfaces.size()) {
	p->filled = true;
	Tcl_SetObjResult(interp, p->values.get());
	return TCL_OK;
    }
    MessagePtr msg = NewCall(p, DBUS_INTERFACE_PROPERTIES, "GetAll");
    const char *i = f->interfaces[next].c_str();
    if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &i,
	    DBUS_TYPE_INVALID)) {
	StopCache(p);
	return DBus_MemoryError(interp);
    }
    int mode = ConnMode(p->conn);
    InterfacePtr decl = DeclaredInterface(p, f->interfaces[next]);
    int code = Exchange(interp, p, std::move(msg),
	    [f, next, mode](Tcl_Interp *ip, DBusMessage *r) {
	int code;
	if (dbus_message_get_type(r) == DBUS_MESSAGE_TYPE_ERROR) {
	    code = CallResult(ip, r, 0, mode);
	} else if (!f->problem.empty()) {
	    code = ProxyFail(ip, "TYPE", f->problem);
	} else {
	    return FillCache(ip, f, next + 1);
	}
	if (f->proxy->cacheEpoch == f->epoch) {
	    StopCache(f->proxy.get());
	}
	return code;
    }, [f, decl, mode](DBusMessage *r) {
	Proxy *px = f->proxy.get();
	if (px->cacheEpoch != f->epoch || !px->values
		|| dbus_message_get_type(r)
			!= DBUS_MESSAGE_TYPE_METHOD_RETURN) {
	    return;
	}
	f->problem = AllMisfit(decl.get(), r, mode);
	if (f->problem.empty()) {
	    PutAll(px->interp, Writable(px), r, mode);
	}
    });
    if (code == TCL_ERROR && p->cacheEpoch == f->epoch) {
	StopCache(p);		/* Failed before waiting. */
    }
    return code;
}

} // namespace

/* $p get property */
int
GetProperty(Tcl_Interp *interp, Proxy *p, Tcl_Obj *name)
{
    std::string intf;
    const PropertyDecl *decl;
    if (PropertyTarget(interp, p, name, &intf, &decl) != TCL_OK) {
	return TCL_ERROR;
    }
    MessagePtr msg = NewCall(p, DBUS_INTERFACE_PROPERTIES, "Get");
    const char *i = intf.c_str();
    const char *n = Tcl_GetString(name);
    if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &i,
	    DBUS_TYPE_STRING, &n, DBUS_TYPE_INVALID)) {
	return DBus_MemoryError(interp);
    }
    /* What the reply is checked against, should the connection be strict. */
    InterfacePtr checked = decl ? DeclaredInterface(p, intf) : nullptr;
    std::string property = n;
    return Exchange(interp, p, std::move(msg), [mode = ConnMode(p->conn),
	    checked, property](Tcl_Interp *ip, DBusMessage *r) {
	DBusMessageIter iter;
	if (Strict(mode) && checked
		&& dbus_message_get_type(r) == DBUS_MESSAGE_TYPE_METHOD_RETURN) {
	    std::string problem = ReplyMisfit(r, "Get", "v");
	    if (problem.empty() && dbus_message_iter_init(r, &iter)) {
		problem = PropertyMisfit(checked.get(), property.c_str(),
			&iter);
	    }
	    if (!problem.empty()) {
		return ProxyFail(ip, "TYPE", problem);
	    }
	}
	return VariantResult(ip, r, 0, mode);
    });
}

/* $p set property value */
int
SetProperty(Tcl_Interp *interp, ProxyPtr p, Tcl_Obj *name, Tcl_Obj *value)
{
    std::string intf;
    const PropertyDecl *decl;
    if (PropertyTarget(interp, p.get(), name, &intf, &decl) != TCL_OK) {
	return TCL_ERROR;
    }
    if (decl != nullptr && decl->type != "v") {
	Tcl_Obj *pair[2] = {Tcl_NewStringObj(decl->type.c_str(), -1), value};
	ObjPtr variant = holdObj(Tcl_NewListObj(2, pair));
	return SendSet(interp, p.get(), intf, name, variant.get());
    }
    if (decl == nullptr) {
	/* Not declared: the value's own form, as dbus call would take it. */
	return SendSet(interp, p.get(), intf, name, value);
    }
    if (ExplicitVariant(value)) {
	/* The value of a v property is itself a variant, in Set's variant. */
	Tcl_Obj *outer[2] = {Tcl_NewStringObj("v", 1), value};
	ObjPtr variant = holdObj(Tcl_NewListObj(2, outer));
	return SendSet(interp, p.get(), intf, name, variant.get());
    }
    /*
     * Declared as v: the value keeps the type the property has now,
     * learnt from Get with details.
     */
    MessagePtr msg = NewCall(p.get(), DBUS_INTERFACE_PROPERTIES, "Get");
    const char *i = intf.c_str();
    const char *n = Tcl_GetString(name);
    if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &i,
	    DBUS_TYPE_STRING, &n, DBUS_TYPE_INVALID)) {
	return DBus_MemoryError(interp);
    }
    SharedObj keepName = shareObj(name);
    SharedObj keepValue = shareObj(value);
    return Exchange(interp, p.get(), std::move(msg),
	    [p, intf, keepName, keepValue](Tcl_Interp *ip, DBusMessage *r) {
	if (VariantResult(ip, r, 1, ConnMode(p->conn)) != TCL_OK) {
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
	ObjPtr variant = holdObj(Tcl_NewListObj(2, pair));
	if (nested) {
	    Tcl_Obj *outer[2] = {Tcl_NewStringObj("v", 1), variant.get()};
	    variant = holdObj(Tcl_NewListObj(2, outer));
	}
	Tcl_ResetResult(ip);
	return SendSet(ip, p.get(), intf, keepName.get(), variant.get());
    });
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
    MessagePtr msg = NewCall(p, DBUS_INTERFACE_PROPERTIES, "GetAll");
    const char *i = intf.c_str();
    if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &i,
	    DBUS_TYPE_INVALID)) {
	return DBus_MemoryError(interp);
    }
    return Exchange(interp, p, std::move(msg),
	    [decl = DeclaredInterface(p, intf), mode = ConnMode(p->conn)](
		    Tcl_Interp *ip, DBusMessage *r) {
	if (dbus_message_get_type(r) == DBUS_MESSAGE_TYPE_ERROR) {
	    return CallResult(ip, r, 0, mode);
	}
	std::string problem = AllMisfit(decl.get(), r, mode);
	if (!problem.empty()) {
	    return ProxyFail(ip, "TYPE", problem);
	}
	ObjPtr dict = holdObj(Tcl_NewDictObj());
	PutAll(ip, dict.get(), r, mode);
	Tcl_SetObjResult(ip, dict.get());
	return TCL_OK;
    });
}

/* $p cache */
int
CacheCmd(Tcl_Interp *interp, ProxyPtr p)
{
    if (!p->cache) {
	return Fail(interp, "PROXY", "CACHE",
		"the proxy keeps no cache: make it with -cache true");
    }
    if (p->filled) {
	Tcl_SetObjResult(interp, p->values.get());
	return TCL_OK;
    }
    if (!p->values && StartCache(interp, p) != TCL_OK) {
	return TCL_ERROR;
    }
    /* The first values: every interface with properties, or the proxy's. */
    auto f = std::make_shared<Filling>();
    f->proxy = p;
    f->epoch = p->cacheEpoch;
    for (const InterfaceDecl *decl : Candidates(p.get())) {
	if (!decl->properties.empty()) {
	    f->interfaces.push_back(decl->name);
	}
    }
    if (f->interfaces.empty() && !p->interface.empty()) {
	f->interfaces.push_back(p->interface);
    }
    return FillCache(interp, f, 0);
}

void
StopCache(Proxy *p)
{
    if (p->changes != nullptr) {
	RemoveBinding(p->changes);
	p->changes = nullptr;
    }
    p->values.reset();
    p->filled = false;
    p->cacheEpoch++;
}

} // namespace vantrel
