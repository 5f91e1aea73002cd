/*
 * proxy.hpp --
 *
 *	The record of a proxy and what its two files share: proxy.cpp
 *	(the command, introspection, calls and signals) and proxyprops.cpp
 *	(properties and the property cache). Not exported from the library.
 */

#ifndef VANTREL_PROXY_HPP
#define VANTREL_PROXY_HPP

#include <map>
#include <memory>
#include <string>
#include <vector>
#include "client/client.hpp"
#include "introspect/introspect.hpp"
#include "outgoing/outgoing.hpp"

namespace vantrel {

using NodePtr = std::shared_ptr<const IntrospectedNode>;

struct Proxy {
    ConnRef conn;
    Tcl_Interp *interp = nullptr;
    std::string name, path, interface;
    bool await = true;
    bool cache = false;
    bool refetch = false;	/* Get invalidated properties again. */
    bool introspect = true;
    int timeout = DBUS_TIMEOUT_USE_DEFAULT;
    NodePtr node;		/* Once introspected; may be empty. */
    std::string problem;	/* Why the introspection data could not be
				 * read, or "". */
    bool tried = false;		/* Introspection was tried. */
    bool dead = false;
    /* Bound signals: member -> (script, binding). */
    std::map<std::string, std::pair<ObjPtr, Binding *>> bound;
    Binding *changes = nullptr;	/* PropertiesChanged, for the cache. */
    ObjPtr values;		/* The property cache: name -> value. */
    bool filled = false;	/* GetAll has filled the cache. */
    unsigned cacheEpoch = 0;	/* Counts the stops of the cache: a filling
				 * begun before the last stop is void. */
    int followToken = -1;	/* Sender following for the bindings. */
};

using ProxyPtr = std::shared_ptr<Proxy>;

/* Sets result and errorCode DBUS PROXY kind; returns TCL_ERROR. */
int ProxyFail(Tcl_Interp *interp, const char *kind, const std::string &text);

/* A method call to the proxy's object; null without memory. */
MessagePtr NewCall(Proxy *p, const char *intf, const char *member);

/*
 * Sends msg (stolen) and turns its reply into the command's result with
 * finish (WaitReply): awaited inside a coroutine when the proxy awaits,
 * else synchronously. Returns the NR result.
 */
int Exchange(Tcl_Interp *interp, Proxy *p, MessagePtr msg,
	AwaitFinish finish, ReplyTaken taken = nullptr);

/*
 * The declared interfaces a name is looked up in: the one given, else
 * the proxy's, else all.
 */
std::vector<const InterfaceDecl *> Candidates(Proxy *p,
	const std::string *only = nullptr);

/* What kind of member a name is looked up as. */
enum class Member { Method, Property, Signal };

/*
 * The interface that declares a member of the given kind, or null. A name two interfaces declare is ambiguous unless the
 * proxy names one: *ambiguous is then set, with the error in interp.
 */
const InterfaceDecl *Declaring(Tcl_Interp *interp, Proxy *p,
	const std::string &name, Member kind, bool *ambiguous,
	const std::string *only = nullptr);

/* The declaration of an interface in the introspection data, or null. */
InterfacePtr DeclaredInterface(Proxy *p, const std::string &intf);

/* What bindings of the proxy's signals match. */
SignalMatch MatchOf(Proxy *p, const std::string &intf,
	const std::string &member);

/* Follows the proxy's name once, so that bindings match its owner. */
int FollowName(Tcl_Interp *interp, Proxy *p);

/*
 * Reports a value that does not fit its declaration, found where no
 * command can fail with it (a signal, a property change): the error
 * DBUS PROXY TYPE goes the way an error of a bound script goes.
 */
void ReportMisfit(DBusConnection *conn, const std::string &text);

/*
 * What was learnt of the proxy's object (proxynode.cpp). TakeCached
 * gives the proxy the outcome an earlier Introspect of the object had,
 * if any, and says whether there was one. TakeIntrospection makes the
 * proxy's node of an Introspect reply (null when none came) and keeps
 * the outcome. IntrospectionFailed fails with the reason the proxy has
 * no data (DBUS PROXY INTROSPECT). Description is the declarations as
 * $p introspect gives them, a new object.
 */
bool TakeCached(Proxy *p);
void TakeIntrospection(Tcl_Interp *interp, Proxy *p, DBusMessage *reply);
int IntrospectionFailed(Tcl_Interp *interp, Proxy *p);
Tcl_Obj *Description(Proxy *p);

/* The property subcommands (proxyprops.cpp). */
int GetProperty(Tcl_Interp *interp, Proxy *p, Tcl_Obj *name);
int SetProperty(Tcl_Interp *interp, ProxyPtr p, Tcl_Obj *name,
	Tcl_Obj *value);
int GetAll(Tcl_Interp *interp, Proxy *p, Tcl_Obj *intfObj);
int CacheCmd(Tcl_Interp *interp, ProxyPtr p);

/* Stops the property cache: its binding goes, its values are dropped. */
void StopCache(Proxy *p);

} // namespace vantrel

#endif
