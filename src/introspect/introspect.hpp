/*
 * introspect.hpp --
 *
 *	Declared D-Bus interfaces: the records a [dbus declare] body
 *	builds, the per-interpreter table of declarations, and their
 *	introspection XML. Handlers and exported objects type their calls,
 *	replies, properties and signals by these records. Not exported from
 *	the library.
 */

#ifndef VANTREL_INTROSPECT_HPP
#define VANTREL_INTROSPECT_HPP

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include "vantrel.h"

namespace vantrel {

/* Annotations of an element, name and value, in declaration order. */
using Annotations = std::vector<std::pair<std::string, std::string>>;

/* One named argument: its name and its single complete type. */
struct ArgDecl {
    std::string name;
    std::string type;
};

struct MethodDecl {
    std::string name;
    std::vector<ArgDecl> in;
    std::vector<ArgDecl> out;
    std::string inSig;		/* The in-argument types joined. */
    std::string outSig;		/* The out-argument types joined. */
    bool noReply = false;	/* Method.NoReply: the call is never
				 * answered. */
    Annotations annotations;
};

struct SignalDecl {
    std::string name;
    std::vector<ArgDecl> args;
    std::string sig;		/* The argument types joined. */
    Annotations annotations;
};

/* Property access, as bits. */
enum Access { ACCESS_READ = 1, ACCESS_WRITE = 2,
	ACCESS_READWRITE = ACCESS_READ | ACCESS_WRITE };

/* What a change of the property sends (EmitsChangedSignal). */
enum class Emits { True, Invalidates, Const, False };

struct PropertyDecl {
    std::string name;
    std::string type;		/* A single complete type. */
    int access = ACCESS_READ;
    Emits emits = Emits::True;
    Annotations annotations;
};

/*
 * A declared interface. Never changed once declared: a new declaration
 * of the same name makes a new record, and whoever exported the old one
 * keeps it through its shared pointer.
 */
struct InterfaceDecl {
    std::string name;
    std::vector<MethodDecl> methods;
    std::vector<SignalDecl> signals;
    std::vector<PropertyDecl> properties;
    Annotations annotations;

    const MethodDecl *FindMethod(std::string_view member) const noexcept;
    const SignalDecl *FindSignal(std::string_view member) const noexcept;
    const PropertyDecl *FindProperty(std::string_view member) const noexcept;
};

using InterfacePtr = std::shared_ptr<const InterfaceDecl>;

/*
 * The declaration of an interface in the interpreter's table, or null
 * when the name is not declared.
 */
InterfacePtr FindInterface(Tcl_Interp *interp, std::string_view name);

/*
 * True for the interfaces the library serves itself (Peer,
 * Introspectable, Properties, ObjectManager) and the local one: no
 * script may declare them.
 */
bool ReservedInterface(std::string_view name) noexcept;

/*
 * The XML writer. Text is appended to a std::string; every attribute
 * value is escaped. Indent is the number of leading spaces of the
 * element.
 */

/* Appends one <interface> element, with its members and annotations. */
void AppendInterfaceXml(std::string &xml, const InterfaceDecl &decl,
	int indent);

/*
 * Appends the standard interfaces a path answers: Peer and
 * Introspectable always, Properties and ObjectManager when asked.
 */
void AppendStandardXml(std::string &xml, bool properties, bool manager,
	int indent);

/* The document head: the DOCTYPE line and the opening <node>. */
void AppendNodeHead(std::string &xml);

/*
 * Appends a <node name="..."/> element for every path registered on
 * the connection directly below path, and closes the document.
 */
void AppendChildrenAndClose(std::string &xml, DBusConnection *conn,
	const char *path);

/* Appends text with the five XML special characters escaped. */
void AppendEscaped(std::string &xml, std::string_view text);

/*
 * The command [dbus declare ?name ?body??] and the commands of a
 * declaration body, created in ::dbus::declare.
 */
Tcl_ObjCmdProc DBusDeclareCmd;
void CreateDeclareCommands(Tcl_Interp *interp);

} // namespace vantrel

#endif
