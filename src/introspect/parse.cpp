/*
 * parse.cpp --
 *
 *	Reading D-Bus introspection documents with expat into the records
 *	a declaration body builds. Liberal where services are sloppy
 *	(unnamed arguments, method arguments without a direction, unknown
 *	elements and attributes), strict about every name and type, and
 *	safe for hostile input: no entity is declared or loaded, nesting,
 *	element count and size are bounded, and the first problem stops
 *	the parser. Nothing here uses Tcl, so that the parser can be run
 *	on its own.
 */

#include <expat.h>
#include <cstring>
#include <memory>
#include <set>
#include <type_traits>
#include "introspect/introspect.hpp"

static_assert(std::is_same_v<XML_Char, char>,
	"expat must hand over UTF-8 as char");

namespace {

using vantrel::Quote;

/* Largest document, in bytes. */
constexpr size_t maxDocument = 16u << 20;
/* Deepest nesting of elements. */
constexpr size_t maxDepth = 64;
/* Most elements of any kind in one document. */
constexpr size_t maxElements = 100000;
/* Most interfaces, members and child nodes in one document. */
constexpr size_t maxRecords = 10000;

/* What an open element is, by where it stands. */
enum class Place { Node, Interface, Method, Signal, Property, Skipped };

struct ParserFree {
    void operator()(XML_Parser p) const noexcept { XML_ParserFree(p); }
};
/* Owns an expat parser. */
using ParserPtr = std::unique_ptr<std::remove_pointer_t<XML_Parser>,
	ParserFree>;

/* Member names of one kind in the interface being read. */
using NameSet = std::set<std::string, std::less<>>;

struct ParseState {
    XML_Parser parser = nullptr;	/* Borrowed from the caller's guard. */
    std::string_view text;		/* The whole document, borrowed. */
    std::string error;			/* The first problem; empty while
					 * there is none. */
    std::vector<Place> open;		/* The open elements, outermost
					 * first. */
    size_t elements = 0;		/* Elements started so far. */
    size_t records = 0;			/* Interfaces, members and child
					 * nodes so far. */
    std::shared_ptr<vantrel::InterfaceDecl> building;
					/* The open interface, if any. */
    unsigned long buildingLine = 0;	/* The line it began on. */
    NameSet interfaceNames;		/* Every interface read so far. */
    NameSet methodNames;		/* The members of the open */
    NameSet signalNames;		/* interface, by kind. */
    NameSet propertyNames;
    vantrel::IntrospectedNode node;	/* What has been read. */
};

/*
 * Records the first problem, found on the given line, and stops the
 * parser: expat returns from XML_Parse once the running handler does.
 */
void
StopAt(ParseState *st, unsigned long line, const std::string &what)
{
    if (st->error.empty()) {
	st->error = "line " + std::to_string(line) + ": " + what;
    }
    XML_StopParser(st->parser, XML_FALSE);
}

/* StopAt the line of the event being handled. */
void
Stop(ParseState *st, const std::string &what)
{
    StopAt(st, XML_GetCurrentLineNumber(st->parser), what);
}

/* The value of the named attribute, or null when the element has none. */
const char *
Attr(const XML_Char **atts, const char *name)
{
    for (; *atts != NULL; atts += 2) {
	if (std::strcmp(atts[0], name) == 0) {
	    return atts[1];
	}
    }
    return NULL;
}

/* Counts one more record; false (stopped) when there are too many. */
bool
Count(ParseState *st)
{
    if (++st->records > maxRecords) {
	Stop(st, "more than " + std::to_string(maxRecords)
		+ " interfaces, members and child nodes");
	return false;
    }
    return true;
}

/* "method "Name"", for messages. */
std::string
Describe(const char *kind, const std::string &name)
{
    return std::string(kind) + " " + Quote(name);
}

void
StartInterface(ParseState *st, const XML_Char **atts)
{
    const char *name = Attr(atts, "name");
    if (name == NULL) {
	Stop(st, "interface without a name");
	return;
    }
    if (!dbus_validate_interface(name, NULL)) {
	Stop(st, "invalid interface name " + Quote(name));
	return;
    }
    if (!st->interfaceNames.insert(name).second) {
	Stop(st, "duplicate interface " + Quote(name));
	return;
    }
    if (!Count(st)) {
	return;
    }
    st->building = std::make_shared<vantrel::InterfaceDecl>();
    st->building->name = name;
    st->buildingLine = XML_GetCurrentLineNumber(st->parser);
    st->methodNames.clear();
    st->signalNames.clear();
    st->propertyNames.clear();
}

/* Settles the interface just closed and adds it to what was read. */
void
FinishInterface(ParseState *st)
{
    std::string problem;
    if (!vantrel::SettleInterface(st->building.get(), &problem)) {
	StopAt(st, st->buildingLine, problem);
	return;
    }
    st->node.interfaces.push_back(std::move(st->building));
    st->building.reset();
}

/* Reads a property's access word into *access; false when it is none. */
bool
ParseAccess(const char *word, int *access)
{
    if (std::strcmp(word, "read") == 0) {
	*access = vantrel::ACCESS_READ;
    } else if (std::strcmp(word, "write") == 0) {
	*access = vantrel::ACCESS_WRITE;
    } else if (std::strcmp(word, "readwrite") == 0) {
	*access = vantrel::ACCESS_READWRITE;
    } else {
	return false;
    }
    return true;
}

void
StartProperty(ParseState *st, const char *name, const XML_Char **atts)
{
    const char *type = Attr(atts, "type");
    if (type == NULL) {
	Stop(st, Describe("property", name) + " without a type");
	return;
    }
    if (!dbus_signature_validate_single(type, NULL)) {
	Stop(st, "invalid type " + Quote(type) + " of "
		+ Describe("property", name));
	return;
    }
    const char *word = Attr(atts, "access");
    int access;
    if (word == NULL) {
	Stop(st, Describe("property", name) + " without an access");
	return;
    }
    if (!ParseAccess(word, &access)) {
	Stop(st, "bad access " + Quote(word) + " of "
		+ Describe("property", name)
		+ ": must be read, write or readwrite");
	return;
    }
    vantrel::PropertyDecl property;
    property.name = name;
    property.type = type;
    property.access = access;
    st->building->properties.push_back(std::move(property));
}

/* Opens a method, signal or property (kind) of the open interface. */
void
StartMember(ParseState *st, Place kind, const XML_Char **atts)
{
    const char *word = (kind == Place::Method) ? "method"
	    : (kind == Place::Signal) ? "signal" : "property";
    NameSet &names = (kind == Place::Method) ? st->methodNames
	    : (kind == Place::Signal) ? st->signalNames : st->propertyNames;
    const char *name = Attr(atts, "name");
    if (name == NULL) {
	Stop(st, std::string(word) + " without a name in "
		+ Describe("interface", st->building->name));
	return;
    }
    if (!dbus_validate_member(name, NULL)) {
	Stop(st, "invalid " + std::string(word) + " name " + Quote(name));
	return;
    }
    if (!names.insert(name).second) {
	Stop(st, "duplicate " + Describe(word, name) + " in "
		+ Describe("interface", st->building->name));
	return;
    }
    if (!Count(st)) {
	return;
    }
    switch (kind) {
    case Place::Method:
	st->building->methods.emplace_back();
	st->building->methods.back().name = name;
	break;
    case Place::Signal:
	st->building->signals.emplace_back();
	st->building->signals.back().name = name;
	break;
    default:
	StartProperty(st, name, atts);
	break;
    }
}

/*
 * Adds an <arg> to the open method or signal (kind). A method's
 * argument is in unless its direction says out; a signal's direction is
 * not read.
 */
void
AddArg(ParseState *st, Place kind, const XML_Char **atts)
{
    const char *name = Attr(atts, "name");
    const char *type = Attr(atts, "type");
    const std::string &member = (kind == Place::Method)
	    ? st->building->methods.back().name
	    : st->building->signals.back().name;
    std::string what = (name == NULL ? "an unnamed argument"
	    : Describe("argument", name)) + " of "
	    + Describe(kind == Place::Method ? "method" : "signal", member);
    if (type == NULL) {
	Stop(st, what + " has no type");
	return;
    }
    if (!dbus_signature_validate_single(type, NULL)) {
	Stop(st, "invalid type " + Quote(type) + " of " + what);
	return;
    }
    std::vector<vantrel::ArgDecl> *args;
    std::string *sig;
    if (kind == Place::Method) {
	vantrel::MethodDecl &method = st->building->methods.back();
	const char *direction = Attr(atts, "direction");
	bool out = false;
	if (direction != NULL && std::strcmp(direction, "out") == 0) {
	    out = true;
	} else if (direction != NULL && std::strcmp(direction, "in") != 0) {
	    Stop(st, "bad direction " + Quote(direction) + " of " + what
		    + ": must be in or out");
	    return;
	}
	args = out ? &method.out : &method.in;
	sig = out ? &method.outSig : &method.inSig;
    } else {
	vantrel::SignalDecl &signal = st->building->signals.back();
	args = &signal.args;
	sig = &signal.sig;
    }
    args->push_back({name == NULL ? "" : name, type});
    sig->append(type);
    if (!dbus_signature_validate(sig->c_str(), NULL)) {
	Stop(st, "the argument types of "
		+ Describe(kind == Place::Method ? "method" : "signal", member)
		+ " exceed the signature limit");
    }
}

/* Adds an <annotation> to the list of the element it stands in. */
void
AddAnnotation(ParseState *st, vantrel::Annotations *annotations,
	const XML_Char **atts)
{
    const char *name = Attr(atts, "name");
    const char *value = Attr(atts, "value");
    if (name == NULL) {
	Stop(st, "annotation without a name");
	return;
    }
    if (!dbus_validate_interface(name, NULL)) {
	Stop(st, "invalid annotation name " + Quote(name));
	return;
    }
    annotations->emplace_back(name, value == NULL ? "" : value);
}

/* Adds the name of a child <node>, a relative path. */
void
AddChild(ParseState *st, const XML_Char **atts)
{
    const char *name = Attr(atts, "name");
    if (name == NULL) {
	Stop(st, "child node without a name");
	return;
    }
    std::string path = std::string("/") + name;
    if (*name == '\0' || *name == '/'
	    || !dbus_validate_path(path.c_str(), NULL)) {
	Stop(st, "invalid child node name " + Quote(name));
	return;
    }
    if (Count(st)) {
	st->node.children.emplace_back(name);
    }
}

/*
 * Checks the raw text of the start tag being handled for a reference
 * to an entity that only the external subset of the DOCTYPE could
 * declare: expat leaves it out of the attribute value without a word,
 * since it does not read that subset. Such a reference stops the
 * parser; character references and the five predefined entities are
 * fine. False when stopped.
 */
bool
CheckReferences(ParseState *st)
{
    XML_Index start = XML_GetCurrentByteIndex(st->parser);
    int count = XML_GetCurrentByteCount(st->parser);
    if (start < 0 || static_cast<size_t>(start) > st->text.size()) {
	return true;
    }
    std::string_view tag = st->text.substr(static_cast<size_t>(start),
	    static_cast<size_t>(count));
    static const char *const predefined[] = {
	"&lt;", "&gt;", "&amp;", "&quot;", "&apos;", NULL
    };
    for (size_t at = tag.find('&'); at != std::string_view::npos;
	    at = tag.find('&', at + 1)) {
	std::string_view rest = tag.substr(at);
	if (rest.size() > 1 && rest[1] == '#') {
	    continue;
	}
	bool known = false;
	for (const char *const *p = predefined; *p != NULL; p++) {
	    known = known || rest.substr(0, std::strlen(*p)) == *p;
	}
	if (!known) {
	    size_t end = rest.find(';');
	    Stop(st, "reference to the undeclared entity "
		    + Quote(rest.substr(1, end == std::string_view::npos
		    ? std::string_view::npos : end - 1)));
	    return false;
	}
    }
    return true;
}

/*
 * The element handlers. Which elements are read depends on where they
 * stand; any other element is skipped with all it holds, though it
 * still counts toward the limits.
 */
void XMLCALL
StartElement(void *data, const XML_Char *tag, const XML_Char **atts) noexcept
{
    auto *st = static_cast<ParseState *>(data);
    if (!st->error.empty()) {
	return;
    }
    if (++st->elements > maxElements) {
	Stop(st, "more than " + std::to_string(maxElements) + " elements");
	return;
    }
    if (st->open.size() >= maxDepth) {
	Stop(st, "elements nest deeper than " + std::to_string(maxDepth)
		+ " levels");
	return;
    }
    if (!CheckReferences(st)) {
	return;
    }
    vantrel::InterfaceDecl *decl = st->building.get();
    Place place = Place::Skipped;
    if (st->open.empty()) {
	if (std::strcmp(tag, "node") != 0) {
	    Stop(st, "the document element is " + Quote(tag)
		    + ", not \"node\"");
	    return;
	}
	place = Place::Node;
    } else switch (st->open.back()) {
    case Place::Node:
	if (std::strcmp(tag, "interface") == 0) {
	    StartInterface(st, atts);
	    place = Place::Interface;
	} else if (std::strcmp(tag, "node") == 0) {
	    /* Only its name is read: what it holds describes another object. */
	    AddChild(st, atts);
	}
	break;
    case Place::Interface:
	if (std::strcmp(tag, "method") == 0) {
	    place = Place::Method;
	} else if (std::strcmp(tag, "signal") == 0) {
	    place = Place::Signal;
	} else if (std::strcmp(tag, "property") == 0) {
	    place = Place::Property;
	} else if (std::strcmp(tag, "annotation") == 0) {
	    AddAnnotation(st, &decl->annotations, atts);
	}
	if (place != Place::Skipped) {
	    StartMember(st, place, atts);
	}
	break;
    case Place::Method:
    case Place::Signal:
	if (std::strcmp(tag, "arg") == 0) {
	    AddArg(st, st->open.back(), atts);
	} else if (std::strcmp(tag, "annotation") == 0) {
	    AddAnnotation(st, st->open.back() == Place::Method
		    ? &decl->methods.back().annotations
		    : &decl->signals.back().annotations, atts);
	}
	break;
    case Place::Property:
	if (std::strcmp(tag, "annotation") == 0) {
	    AddAnnotation(st, &decl->properties.back().annotations, atts);
	}
	break;
    case Place::Skipped:
	break;
    }
    if (st->error.empty()) {
	st->open.push_back(place);
    }
}

void XMLCALL
EndElement(void *data, const XML_Char *) noexcept
{
    auto *st = static_cast<ParseState *>(data);
    if (!st->error.empty()) {
	return;
    }
    Place place = st->open.back();
    st->open.pop_back();
    if (place == Place::Interface) {
	FinishInterface(st);
    }
}

/*
 * An internal subset could declare entities that expand without end;
 * the external one, the standard DOCTYPE's, is never loaded.
 */
void XMLCALL
StartDoctype(void *data, const XML_Char *, const XML_Char *,
	const XML_Char *, int hasInternalSubset) noexcept
{
    if (hasInternalSubset) {
	Stop(static_cast<ParseState *>(data),
		"document type declarations with an internal subset are "
		"not accepted");
    }
}

/* Never reached while internal subsets are refused; a second guard. */
void XMLCALL
EntityDecl(void *data, const XML_Char *, int, const XML_Char *, int,
	const XML_Char *, const XML_Char *, const XML_Char *,
	const XML_Char *) noexcept
{
    Stop(static_cast<ParseState *>(data),
	    "entity declarations are not accepted");
}

/*
 * A reference in text to an entity that only the external subset could
 * declare. (Those in attribute values are CheckReferences' work.)
 */
void XMLCALL
SkippedEntity(void *data, const XML_Char *name, int) noexcept
{
    Stop(static_cast<ParseState *>(data),
	    "reference to the undeclared entity " + Quote(name));
}

} // namespace

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * ParseIntrospection --
 *
 *	Parses an introspection document of external UTF-8 (whatever
 *	encoding its declaration names) into the interfaces of its top
 *	node and the names of its children.
 *
 * Results:
 *	True with *node filled, or false with *error set to a message that
 *	names the first problem and the line it is on.
 *
 *----------------------------------------------------------------------
 */

bool
ParseIntrospection(std::string_view xml, IntrospectedNode *node,
	std::string *error)
{
    if (xml.size() > maxDocument) {
	*error = "document larger than " + std::to_string(maxDocument >> 20)
		+ " MiB";
	return false;
    }
    ParserPtr parser(XML_ParserCreate("UTF-8"));
    if (!parser) {
	*error = "out of memory";
	return false;
    }
    ParseState st;
    st.parser = parser.get();
    st.text = xml;
    XML_SetUserData(parser.get(), &st);
    XML_SetElementHandler(parser.get(), StartElement, EndElement);
    XML_SetStartDoctypeDeclHandler(parser.get(), StartDoctype);
    XML_SetEntityDeclHandler(parser.get(), EntityDecl);
    XML_SetSkippedEntityHandler(parser.get(), SkippedEntity);
    XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
    XML_Status status = XML_Parse(parser.get(),
	    xml.empty() ? "" : xml.data(), static_cast<int>(xml.size()),
	    XML_TRUE);
    if (!st.error.empty()) {
	*error = std::move(st.error);
	return false;
    }
    if (status != XML_STATUS_OK) {
	*error = "line " + std::to_string(XML_GetCurrentLineNumber(
		parser.get())) + ", column " + std::to_string(
		XML_GetCurrentColumnNumber(parser.get())) + ": "
		+ XML_ErrorString(XML_GetErrorCode(parser.get()));
	return false;
    }
    *node = std::move(st.node);
    return true;
}

} // namespace vantrel
