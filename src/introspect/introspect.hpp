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

/* The annotations whose meaning the records settle. */
inline constexpr const char *deprecatedAnnotation =
	"org.freedesktop.DBus.Deprecated";
inline constexpr const char *noReplyAnnotation =
	"org.freedesktop.DBus.Method.NoReply";
inline constexpr const char *emitsAnnotation =
	"org.freedesktop.DBus.Property.EmitsChangedSignal";

/* Annotations of an element, name and value, in declaration order. */
using Annotations = std::vector<std::pair<std::string, std::string>>;

/*
 * One argument: its name (empty for the unnamed arguments that some
 * services' introspection data holds) and its single complete type.
 */
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
 * Settles what the annotations of a finished declaration mean: noReply
 * of each method (NoReply "true"), emits of each property (its own
 * EmitsChangedSignal, else the interface's, else true). Returns true, or
 * false with *problem set to a message naming the element whose emits
 * value is none of true, invalidates, const and false.
 */
bool SettleInterface(InterfaceDecl *decl, std::string *problem);

/*
 * The text in double quotes for a message, cut short (marked "...")
 * when long.
 */
std::string Quote(std::string_view text);

/* What an introspection document says about its object. */
struct IntrospectedNode {
    std::vector<InterfacePtr> interfaces;   /* In document order, the
					     * standard ones included. */
    std::vector<std::string> children;	    /* Names of the child nodes,
					     * relative paths. */
};

/*
 * Parses a D-Bus introspection document (UTF-8, at most 16 MiB) into
 * the interfaces of its top node, each settled as a declaration body's
 * is, and the names of its child nodes; what child nodes hold is not
 * read. Unknown elements and attributes are skipped; every interface,
 * member and child name and every type is checked. Returns true and
 * fills *node, or false with *error set to a message naming the first
 * problem and its line, *node untouched. Safe for any input: no
 * entities are declared or loaded, and depth, element count and size
 * are bounded.
 */
bool ParseIntrospection(std::string_view xml, IntrospectedNode *node,
	std::string *error);

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
 * Appends a <node name="..."/> element for each child node, and closes
 * the document.
 */
void AppendChildrenAndClose(std::string &xml,
	const std::vector<std::string> &children);

/*
 * Appends text for an attribute value: the five XML special characters
 * and the tab, newline and carriage return as references, so that a
 * reader gets every character back.
 */
void AppendEscaped(std::string &xml, std::string_view text);

/*
 * True when UTF-8 text holds only characters an XML document can
 * carry: none of the control characters but tab, newline and carriage
 * return, and neither U+FFFE nor U+FFFF.
 */
bool XmlText(std::string_view text) noexcept;

/*
 * The command [dbus declare ?name ?body??] and the commands of a
 * declaration body, created in ::dbus::declare.
 */
Tcl_ObjCmdProc DBusDeclareCmd;
void CreateDeclareCommands(Tcl_Interp *interp);

} // namespace vantrel

#endif
