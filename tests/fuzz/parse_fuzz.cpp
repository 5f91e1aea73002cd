/*
 * parse_fuzz.cpp --
 *
 *	A libFuzzer target for the introspection parser. Any bytes must
 *	give either records or an error message, never a crash, a hang or a
 *	leak. What parses must also come back unchanged from the writer:
 *	written out, read again and written again, it gives the same text
 *	and the same settled records.
 */

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include "introspect/introspect.hpp"

namespace {

using vantrel::InterfaceDecl;
using vantrel::IntrospectedNode;

/* Writes a whole document the way an object's Introspect answer does. */
std::string
Write(const IntrospectedNode &node)
{
    std::string xml;
    vantrel::AppendNodeHead(xml);
    for (const vantrel::InterfacePtr &decl : node.interfaces) {
	vantrel::AppendInterfaceXml(xml, *decl, 2);
    }
    for (const std::string &child : node.children) {
	xml.append("  <node name=\"");
	vantrel::AppendEscaped(xml, child);
	xml.append("\"/>\n");
    }
    xml.append("</node>\n");
    return xml;
}

/* What the writer does not show: the records' settled fields. */
bool
SameSettled(const InterfaceDecl &a, const InterfaceDecl &b)
{
    if (a.methods.size() != b.methods.size()
	    || a.properties.size() != b.properties.size()
	    || a.signals.size() != b.signals.size()) {
	return false;
    }
    for (size_t i = 0; i < a.methods.size(); i++) {
	if (a.methods[i].inSig != b.methods[i].inSig
		|| a.methods[i].outSig != b.methods[i].outSig
		|| a.methods[i].noReply != b.methods[i].noReply) {
	    return false;
	}
    }
    for (size_t i = 0; i < a.signals.size(); i++) {
	if (a.signals[i].sig != b.signals[i].sig) {
	    return false;
	}
    }
    for (size_t i = 0; i < a.properties.size(); i++) {
	if (a.properties[i].emits != b.properties[i].emits
		|| a.properties[i].access != b.properties[i].access) {
	    return false;
	}
    }
    return true;
}

[[noreturn]] void
Die(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
    std::abort();
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    IntrospectedNode node;
    std::string error;
    if (!vantrel::ParseIntrospection(std::string_view(
	    reinterpret_cast<const char *>(data), size), &node, &error)) {
	if (error.empty()) {
	    Die("a failure without a message", "");
	}
	return 0;
    }
    std::string first = Write(node);
    IntrospectedNode again;
    if (!vantrel::ParseIntrospection(first, &again, &error)) {
	Die("the writer's document does not parse", error + "\n" + first);
    }
    std::string second = Write(again);
    if (second != first) {
	Die("the writer's document reads back different", first + "\n"
		+ second);
    }
    for (size_t i = 0; i < node.interfaces.size(); i++) {
	if (!SameSettled(*node.interfaces[i], *again.interfaces[i])) {
	    Die("the records read back settled differently", first);
	}
    }
    return 0;
}
