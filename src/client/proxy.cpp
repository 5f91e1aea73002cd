/*
 * proxy.cpp --
 *
 *	[dbus proxy]: a command standing for a remote object. It
 *	introspects the object once (proxynode.cpp keeps what it learnt),
 *	then calls methods with the types the object declares and binds
 *	scripts to its signals; proxyprops.cpp does its properties. A document that cannot
 *	be read is an error of every use that needs it, naming the problem.
 *	On a strict connection replies and signals must fit their
 *	declarations. Inside a coroutine every request awaits its reply
 *	instead of blocking.
 */

#include <map>
#include <memory>
#include <tuple>
#include <utility>
#include "client/proxy.hpp"
#include "client/handles.hpp"
#include "handlers/handlers.hpp"
#include "values/values.hpp"

namespace vantrel {

int
ProxyFail(Tcl_Interp *interp, const char *kind, const std::string &text)
{
    Tcl_SetObjResult(interp, Tcl_NewStringObj(text.c_str(),
	    static_cast<int>(text.size())));
    Tcl_SetErrorCode(interp, libname, "PROXY", kind, (char *) NULL);
    return TCL_ERROR;
}

MessagePtr
NewCall(Proxy *p, const char *intf, const char *member)
{
    /* The empty name of a peer-to-peer proxy: no destination. */
    return adoptMessage(dbus_message_new_method_call(
	    p->name.empty() ? NULL : p->name.c_str(), p->path.c_str(), intf,
	    member));
}

/*
 * Sends a call and turns its reply into the command's result with
 * finish, waiting the proxy's way: yielding inside a coroutine unless
 * the proxy was made with -yield false. Returns the NR result.
 */
int
Exchange(Tcl_Interp *interp, Proxy *p, MessagePtr msg, AwaitFinish finish,
	ReplyTaken taken)
{
    return WaitReply(interp, p->conn, std::move(msg),
	    {"PROXY", p->timeout, p->await}, std::move(finish),
	    std::move(taken));
}

/*
 * The declared interfaces a name is looked up in: the one given, else
 * the proxy's, else all.
 */
std::vector<const InterfaceDecl *>
Candidates(Proxy *p, const std::string *only)
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
Declaring(Tcl_Interp *interp, Proxy *p, const std::string &name,
	Member kind, bool *ambiguous, const std::string *only)
{
    const InterfaceDecl *found = nullptr;
    *ambiguous = false;
    for (const InterfaceDecl *decl : Candidates(p, only)) {
	bool has = kind == Member::Method ? decl->FindMethod(name) != nullptr
		: kind == Member::Property
		    ? decl->FindProperty(name) != nullptr
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

/* The declaration of an interface in the introspection data, or null. */
InterfacePtr
DeclaredInterface(Proxy *p, const std::string &intf)
{
    if (p->node) {
	for (const InterfacePtr &decl : p->node->interfaces) {
	    if (decl->name == intf) {
		return decl;
	    }
	}
    }
    return nullptr;
}

/* The bus name bindings match the sender against. */
SignalMatch
MatchOf(Proxy *p, const std::string &intf, const std::string &member)
{
    SignalMatch m;
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
    if (p->followToken >= 0 || p->name.empty() || p->name[0] == ':') {
	return TCL_OK;
    }
    p->followToken = FollowOwner(interp, p->conn, p->name,
	    [](DBusConnection *, const std::string &) {}, "PROXY");
    return p->followToken < 0 ? TCL_ERROR : TCL_OK;
}

/*
 * Queues, as the script of a binding, a command that fails with the
 * text: the error goes where an error of a bound script goes.
 */
void
ReportMisfit(DBusConnection *conn, const std::string &text)
{
    Tcl_Obj *code[3] = {Tcl_NewStringObj(libname, -1),
	    Tcl_NewStringObj("PROXY", -1), Tcl_NewStringObj("TYPE", -1)};
    Tcl_Obj *throwWords[3] = {Tcl_NewStringObj("throw", -1),
	    Tcl_NewListObj(3, code),
	    Tcl_NewStringObj(text.c_str(), static_cast<int>(text.size()))};
    ObjPtr words = holdObj(Tcl_NewListObj(3, throwWords));
    QueueScriptEvent(words.get(), conn, NULL,
	    HANDLER_NOREPLY | HANDLER_REPORTS);
}

namespace {

/* A call of a declared method, typed by the declaration. */
int
CallDeclared(Tcl_Interp *interp, Proxy *p, const InterfaceDecl *decl,
	const MethodDecl *method, int objc, Tcl_Obj *const objv[])
{
    MessagePtr msg = NewCall(p, decl->name.c_str(),
	    method->name.c_str());
    if (!msg) {
	return DBus_MemoryError(interp);
    }
    if (AppendArgs(interp, "PROXY", p->conn, msg.get(),
	    method->inSig.c_str(), objc, objv, MARSHAL_RANGE)
	    != TCL_OK) {
	return ValueError(interp, "PROXY");
    }
    if (method->noReply) {
	dbus_message_set_no_reply(msg.get(), TRUE);
	if (!dbus_connection_send(p->conn, msg.get(), NULL)) {
	    return DBus_MemoryError(interp);
	}
	Tcl_ResetResult(interp);
	return TCL_OK;
    }
    /* On a strict connection the reply must be what was declared. */
    std::string which = "reply of method " + Quote(method->name) + " of "
	    + decl->name;
    return Exchange(interp, p, std::move(msg), [mode = ConnMode(p->conn),
	    which, want = method->outSig](Tcl_Interp *ip, DBusMessage *r) {
	const char *got = dbus_message_get_signature(r);
	if ((mode & MARSHAL_STRICT) && want != got
		&& dbus_message_get_type(r) == DBUS_MESSAGE_TYPE_METHOD_RETURN) {
	    return ProxyFail(ip, "TYPE", which + " has signature \""
		    + got + "\", declared \"" + want + "\"");
	}
	return CallResult(ip, r, 0, mode);
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
		return Fail(interp, "PROXY", "INTERFACE",
			"invalid interface name");
	    }
	    intf = Tcl_GetString(objv[i + 1]);
	} else {
	    if (!DBus_CheckSignature(objv[i + 1])) {
		return Fail(interp, "PROXY", "SIGNATURE",
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
	return Fail(interp, "PROXY", "METHOD", "invalid method");
    }
    std::string member = Tcl_GetString(objv[i]);
    if (signature == NULL) {
	bool ambiguous;
	const InterfaceDecl *decl = Declaring(interp, p, member,
		Member::Method, &ambiguous, &intf);
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
    MessagePtr msg = NewCall(p, intf.c_str(), member.c_str());
    if (!msg) {
	return DBus_MemoryError(interp);
    }
    if (AppendArgs(interp, "PROXY", p->conn, msg.get(), signature,
	    objc - i - 1, objv + i + 1, 0) != TCL_OK) {
	return TCL_ERROR;
    }
    return Exchange(interp, p, std::move(msg),
	    [mode = ConnMode(p->conn)](Tcl_Interp *ip, DBusMessage *r) {
	return CallResult(ip, r, 0, mode);
    });
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
	return Fail(interp, "PROXY", "SIGNAL", "invalid signal name");
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
	RemoveBinding(it->second.second);
	p->bound.erase(it);
    }
    Tcl_ResetResult(interp);
    if (Tcl_GetCharLength(objv[3]) == 0) {
	return TCL_OK;
    }
    std::string intf;
    std::string which, want;	/* The declaration, if any. */
    if (member == "PropertiesChanged") {
	intf = DBUS_INTERFACE_PROPERTIES;
    } else {
	bool ambiguous;
	const InterfaceDecl *decl = Declaring(interp, p, member, Member::Signal,
		&ambiguous);
	if (ambiguous) {
	    return TCL_ERROR;
	}
	intf = decl ? decl->name : p->interface;
	if (decl != nullptr) {
	    which = "signal " + Quote(member) + " of " + intf;
	    want = decl->FindSignal(member)->sig;
	}
    }
    if (FollowName(interp, p) != TCL_OK) {
	return TCL_ERROR;
    }
    ObjPtr script = holdObj(objv[3]);
    Tcl_Obj *held = script.get();
    Binding *b = AddBinding(interp, p->conn,
	    MatchOf(p, intf, member), [held, which, want](DBusConnection *on,
		    DBusMessage *msg, const HeaderFields &fields) {
	/* On a strict connection a signal must be what was declared. */
	HeaderFields read = fields;
	const char *got = dbus_message_get_signature(msg);
	read.signature = got;
	if (!which.empty() && want != got
		&& (ConnMode(on) & MARSHAL_STRICT)) {
	    ReportMisfit(on, which + " has signature \"" + got
		    + "\", declared \"" + want + "\"");
	    return;
	}
	QueueScriptEvent(held, on, msg,
		HANDLER_NOREPLY | HANDLER_BARE | HANDLER_REPORTS, nullptr,
		&read);
    }, "PROXY");
    if (b == nullptr) {
	return TCL_ERROR;
    }
    p->bound[member] = {std::move(script), b};
    return TCL_OK;
}

/*
 * Fails for a name that is neither a subcommand nor a declared method,
 * saying what the introspection data lacks (DBUS PROXY METHOD).
 */
int
UnknownMethod(Tcl_Interp *interp, Proxy *p, const std::string &member)
{
    std::string text = "unknown method " + Quote(member) + ": ";
    if (p->node && p->node->interfaces.empty()) {
	text += p->name + " has no such interface or method at " + p->path
		+ " (the introspection data is empty)";
    } else if (p->node && !p->interface.empty()
	    && !DeclaredInterface(p, p->interface)) {
	text += p->name + " has no interface " + p->interface + " at "
		+ p->path;
    } else {
	text += "must be bind, cache, call, destroy, get, getall, "
		"introspect, set, or a method the object declares";
    }
    return ProxyFail(interp, "METHOD", text);
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
	    return CacheCmd(interp, p);
	case SUB_INTROSPECT:
	    if (!p->problem.empty()) {
		return IntrospectionFailed(interp, p.get());
	    }
	    Tcl_SetObjResult(interp, Description(p.get()));
	    return TCL_OK;
	}
    }
    if (!p->problem.empty()) {
	/* Typed by what the object would not say: nothing to go by. */
	return IntrospectionFailed(interp, p.get());
    }
    std::string member = Tcl_GetString(objv[1]);
    bool ambiguous;
    const InterfaceDecl *decl = Declaring(interp, p.get(), member,
	    Member::Method, &ambiguous);
    if (ambiguous) {
	return TCL_ERROR;
    }
    if (decl != nullptr) {
	return CallDeclared(interp, p.get(), decl, decl->FindMethod(member),
		objc - 2, objv + 2);
    }
    if (!p->node && !p->interface.empty() && DBus_CheckMember(objv[1])) {
	/* No introspection data: a call with guessed types, as dbus call. */
	MessagePtr msg = NewCall(p.get(), p->interface.c_str(),
		member.c_str());
	if (!msg) {
	    return DBus_MemoryError(interp);
	}
	if (AppendArgs(interp, "PROXY", p->conn, msg.get(), NULL,
		objc - 2, objv + 2, 0) != TCL_OK) {
	    return TCL_ERROR;
	}
	return Exchange(interp, p.get(), std::move(msg),
		[mode = ConnMode(p->conn)](Tcl_Interp *ip, DBusMessage *r) {
	    return CallResult(ip, r, 0, mode);
	});
    }
    return UnknownMethod(interp, p.get(), member);
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
	return Fail(interp, "PROXY", "CONNECTION",
		"connection is closed");
    }
    if (p->introspect) {
	if (TakeCached(p.get())) {
	    /* Learnt before, by this proxy or another. */
	} else if (!p->tried || p->node || !p->problem.empty()) {
	    /* Never asked, or what it had was dropped with its owner. */
	    p->node = nullptr;
	    p->problem.clear();
	    MessagePtr msg = NewCall(p.get(),
		    DBUS_INTERFACE_INTROSPECTABLE, "Introspect");
	    if (!msg) {
		return DBus_MemoryError(interp);
	    }
	    /* The words outlive the suspension in a list of their own. */
	    SharedObj words = shareObj(
		    Tcl_NewListObj(objc, objv));
	    return Exchange(interp, p.get(), std::move(msg),
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

/*
 *----------------------------------------------------------------------
 *
 * DBusProxyCmd --
 *
 *	dbus proxy ?busId? ?-yield bool? ?-cache bool? ?-introspect bool?
 *	?-refetch bool? ?-timeout ms? name path ?interface?: makes a proxy
 *	command.
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
	"-yield", "-cache", "-introspect", "-refetch", "-timeout", NULL
    };
    enum { OPT_AWAIT, OPT_CACHE, OPT_INTROSPECT, OPT_REFETCH, OPT_TIMEOUT };
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
		: index == OPT_REFETCH ? p->refetch : p->introspect) = flag != 0;
    }
    if (objc - i < 2 || objc - i > 3) {
	Tcl_WrongNumArgs(interp, 1, objv, usage);
	return TCL_ERROR;
    }
    /* An empty name stands for the peer of a peer-to-peer connection. */
    bool toPeer = Tcl_GetCharLength(objv[i]) == 0;
    if (!toPeer && !DBus_CheckBusName(objv[i])) {
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
    if (toPeer && HasBus(conn)) {
	return Fail(interp, "PROXY", "BUSNAME", "invalid bus name");
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
    h->release = [p]() {
	p->dead = true;
	for (auto &entry : p->bound) {
	    RemoveBinding(entry.second.second);
	}
	p->bound.clear();
	StopCache(p.get());
	if (p->followToken >= 0) {
	    StopFollowing(p->conn, p->followToken);
	    p->followToken = -1;
	}
    };
    Tcl_SetObjResult(interp, Tcl_NewStringObj(h->name.c_str(), -1));
    return TCL_OK;
}

} // namespace vantrel
