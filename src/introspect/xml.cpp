/*
 * xml.cpp --
 *
 *	Introspection XML as the D-Bus introspection format gives it: the
 *	DOCTYPE, interfaces with methods (arguments named, typed and with
 *	their direction), signals, properties with their access, and
 *	annotations, the standard interfaces, and child nodes.
 */

#include "introspect/introspect.hpp"

namespace {

using vantrel::AppendEscaped;

constexpr const char *docType =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object "
    "Introspection 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n";

/*
 * The standard interfaces, as fixed text. Peer is answered by libdbus
 * itself; the others by this library.
 */
constexpr const char *peerXml =
    "<interface name=\"org.freedesktop.DBus.Peer\">\n"
    "  <method name=\"Ping\"/>\n"
    "  <method name=\"GetMachineId\">\n"
    "    <arg type=\"s\" name=\"machine_uuid\" direction=\"out\"/>\n"
    "  </method>\n"
    "</interface>\n";

constexpr const char *introspectableXml =
    "<interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\">\n"
    "    <arg type=\"s\" name=\"xml_data\" direction=\"out\"/>\n"
    "  </method>\n"
    "</interface>\n";

constexpr const char *propertiesXml =
    "<interface name=\"org.freedesktop.DBus.Properties\">\n"
    "  <method name=\"Get\">\n"
    "    <arg type=\"s\" name=\"interface_name\" direction=\"in\"/>\n"
    "    <arg type=\"s\" name=\"property_name\" direction=\"in\"/>\n"
    "    <arg type=\"v\" name=\"value\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"GetAll\">\n"
    "    <arg type=\"s\" name=\"interface_name\" direction=\"in\"/>\n"
    "    <arg type=\"a{sv}\" name=\"properties\" direction=\"out\"/>\n"
    "  </method>\n"
    "  <method name=\"Set\">\n"
    "    <arg type=\"s\" name=\"interface_name\" direction=\"in\"/>\n"
    "    <arg type=\"s\" name=\"property_name\" direction=\"in\"/>\n"
    "    <arg type=\"v\" name=\"value\" direction=\"in\"/>\n"
    "  </method>\n"
    "  <signal name=\"PropertiesChanged\">\n"
    "    <arg type=\"s\" name=\"interface_name\"/>\n"
    "    <arg type=\"a{sv}\" name=\"changed_properties\"/>\n"
    "    <arg type=\"as\" name=\"invalidated_properties\"/>\n"
    "  </signal>\n"
    "</interface>\n";

constexpr const char *objectManagerXml =
    "<interface name=\"org.freedesktop.DBus.ObjectManager\">\n"
    "  <method name=\"GetManagedObjects\">\n"
    "    <arg type=\"a{oa{sa{sv}}}\" "
	"name=\"object_paths_interfaces_and_properties\" "
	"direction=\"out\"/>\n"
    "  </method>\n"
    "  <signal name=\"InterfacesAdded\">\n"
    "    <arg type=\"o\" name=\"object_path\"/>\n"
    "    <arg type=\"a{sa{sv}}\" name=\"interfaces_and_properties\"/>\n"
    "  </signal>\n"
    "  <signal name=\"InterfacesRemoved\">\n"
    "    <arg type=\"o\" name=\"object_path\"/>\n"
    "    <arg type=\"as\" name=\"interfaces\"/>\n"
    "  </signal>\n"
    "</interface>\n";

void
Indent(std::string &xml, int indent)
{
    xml.append(static_cast<size_t>(indent), ' ');
}

/* Appends fixed text whose lines are indented by indent more spaces. */
void
AppendIndented(std::string &xml, const char *text, int indent)
{
    for (const char *line = text; *line != '\0';) {
	const char *end = line;
	while (*end != '\n' && *end != '\0') {
	    end++;
	}
	Indent(xml, indent);
	xml.append(line, static_cast<size_t>(end - line));
	xml.push_back('\n');
	line = (*end == '\n') ? end + 1 : end;
    }
}

/* Appends  name="value"  with the value escaped. */
void
Attribute(std::string &xml, const char *name, std::string_view value)
{
    xml.push_back(' ');
    xml.append(name);
    xml.append("=\"");
    AppendEscaped(xml, value);
    xml.push_back('"');
}

void
AppendAnnotations(std::string &xml, const vantrel::Annotations &annotations,
	int indent)
{
    for (const auto &a : annotations) {
	Indent(xml, indent);
	xml.append("<annotation");
	Attribute(xml, "name", a.first);
	Attribute(xml, "value", a.second);
	xml.append("/>\n");
    }
}

/* Appends the <arg> elements of a list; direction may be null. */
void
AppendArgs(std::string &xml, const std::vector<vantrel::ArgDecl> &args,
	const char *direction, int indent)
{
    for (const vantrel::ArgDecl &arg : args) {
	Indent(xml, indent);
	xml.append("<arg");
	Attribute(xml, "type", arg.type);
	/* An unnamed argument stays unnamed: no empty name="". */
	if (!arg.name.empty()) {
	    Attribute(xml, "name", arg.name);
	}
	if (direction != NULL) {
	    Attribute(xml, "direction", direction);
	}
	xml.append("/>\n");
    }
}

/*
 * Opens an element that has children, or writes it whole when it has
 * none. Returns whether a closing tag is owed.
 */
bool
Open(std::string &xml, const char *tag, std::string_view name,
	bool children, int indent)
{
    Indent(xml, indent);
    xml.push_back('<');
    xml.append(tag);
    Attribute(xml, "name", name);
    xml.append(children ? ">\n" : "/>\n");
    return children;
}

void
Close(std::string &xml, const char *tag, int indent)
{
    Indent(xml, indent);
    xml.append("</");
    xml.append(tag);
    xml.append(">\n");
}

const char *
AccessWord(int access)
{
    switch (access) {
    case vantrel::ACCESS_READ:
	return "read";
    case vantrel::ACCESS_WRITE:
	return "write";
    default:
	return "readwrite";
    }
}

} // namespace

namespace vantrel {

void
AppendEscaped(std::string &xml, std::string_view text)
{
    for (char c : text) {
	switch (c) {
	case '&':  xml.append("&amp;"); break;
	case '<':  xml.append("&lt;"); break;
	case '>':  xml.append("&gt;"); break;
	case '"':  xml.append("&quot;"); break;
	case '\'': xml.append("&apos;"); break;
	/* A reader turns these into spaces when they stand as they are. */
	case '\t': xml.append("&#9;"); break;
	case '\n': xml.append("&#10;"); break;
	case '\r': xml.append("&#13;"); break;
	default:   xml.push_back(c); break;
	}
    }
}

bool
XmlText(std::string_view text) noexcept
{
    for (size_t i = 0; i < text.size(); i++) {
	auto c = static_cast<unsigned char>(text[i]);
	if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
	    return false;
	}
	/* U+FFFE and U+FFFF are EF BF BE and EF BF BF. */
	if (c == 0xEF && i + 2 < text.size()
		&& static_cast<unsigned char>(text[i + 1]) == 0xBF
		&& (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
	    return false;
	}
    }
    return true;
}

void
AppendInterfaceXml(std::string &xml, const InterfaceDecl &decl, int indent)
{
    Open(xml, "interface", decl.name, true, indent);
    int inner = indent + 2;
    for (const MethodDecl &m : decl.methods) {
	bool children = !m.in.empty() || !m.out.empty()
		|| !m.annotations.empty();
	if (Open(xml, "method", m.name, children, inner)) {
	    AppendArgs(xml, m.in, "in", inner + 2);
	    AppendArgs(xml, m.out, "out", inner + 2);
	    AppendAnnotations(xml, m.annotations, inner + 2);
	    Close(xml, "method", inner);
	}
    }
    for (const SignalDecl &s : decl.signals) {
	bool children = !s.args.empty() || !s.annotations.empty();
	if (Open(xml, "signal", s.name, children, inner)) {
	    AppendArgs(xml, s.args, NULL, inner + 2);
	    AppendAnnotations(xml, s.annotations, inner + 2);
	    Close(xml, "signal", inner);
	}
    }
    for (const PropertyDecl &p : decl.properties) {
	Indent(xml, inner);
	xml.append("<property");
	Attribute(xml, "name", p.name);
	Attribute(xml, "type", p.type);
	Attribute(xml, "access", AccessWord(p.access));
	if (p.annotations.empty()) {
	    xml.append("/>\n");
	    continue;
	}
	xml.append(">\n");
	AppendAnnotations(xml, p.annotations, inner + 2);
	Close(xml, "property", inner);
    }
    AppendAnnotations(xml, decl.annotations, inner);
    Close(xml, "interface", indent);
}

void
AppendStandardXml(std::string &xml, bool properties, bool manager,
	int indent)
{
    AppendIndented(xml, peerXml, indent);
    AppendIndented(xml, introspectableXml, indent);
    if (properties) {
	AppendIndented(xml, propertiesXml, indent);
    }
    if (manager) {
	AppendIndented(xml, objectManagerXml, indent);
    }
}

void
AppendNodeHead(std::string &xml)
{
    xml.append(docType);
    xml.append("<node>\n");
}

void
AppendChildrenAndClose(std::string &xml,
	const std::vector<std::string> &children)
{
    for (const std::string &child : children) {
	Indent(xml, 2);
	xml.append("<node");
	Attribute(xml, "name", child);
	xml.append("/>\n");
    }
    xml.append("</node>\n");
}

} // namespace vantrel
