/*
 * records.cpp --
 *
 *	The records of declared interfaces, whoever built them (a
 *	declaration body or an introspection document): finding a member
 *	by name, and settling what the annotations of a finished
 *	declaration mean for its methods and properties.
 */

#include "introspect/introspect.hpp"

namespace {

using vantrel::Annotations;
using vantrel::Emits;

/* The value of the last annotation of that name, or null. */
const std::string *
AnnotationValue(const Annotations &annotations, const char *name)
{
    const std::string *found = nullptr;
    for (const auto &a : annotations) {
	if (a.first == name) {
	    found = &a.second;
	}
    }
    return found;
}

/* Reads an EmitsChangedSignal value; false when it is none of the four. */
bool
ParseEmits(const std::string &word, Emits *emits)
{
    if (word == "true") {
	*emits = Emits::True;
    } else if (word == "invalidates") {
	*emits = Emits::Invalidates;
    } else if (word == "const") {
	*emits = Emits::Const;
    } else if (word == "false") {
	*emits = Emits::False;
    } else {
	return false;
    }
    return true;
}

/* The message for an emits value that is none of the four words. */
std::string
BadEmits(const std::string &word, const char *kind, const std::string &name)
{
    return "bad emits annotation " + vantrel::Quote(word) + " of " + kind
	    + " " + vantrel::Quote(name)
	    + ": must be true, invalidates, const or false";
}

} // namespace

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * Quote --
 *
 *	Puts text in double quotes for a message, cut after 60 bytes (at
 *	a character boundary, marked by "...") so that a huge word cannot
 *	make a huge message.
 *
 *----------------------------------------------------------------------
 */

std::string
Quote(std::string_view text)
{
    constexpr size_t most = 60;
    std::string quoted = "\"";
    if (text.size() <= most) {
	quoted.append(text);
    } else {
	size_t cut = most;
	/* Back off over continuation bytes: never half a character. */
	while (cut > 0
		&& (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
	    cut--;
	}
	quoted.append(text.substr(0, cut));
	quoted.append("...");
    }
    quoted.push_back('"');
    return quoted;
}

const MethodDecl *
InterfaceDecl::FindMethod(std::string_view member) const noexcept
{
    for (const MethodDecl &m : methods) {
	if (m.name == member) {
	    return &m;
	}
    }
    return nullptr;
}

const SignalDecl *
InterfaceDecl::FindSignal(std::string_view member) const noexcept
{
    for (const SignalDecl &s : signals) {
	if (s.name == member) {
	    return &s;
	}
    }
    return nullptr;
}

const PropertyDecl *
InterfaceDecl::FindProperty(std::string_view member) const noexcept
{
    for (const PropertyDecl &p : properties) {
	if (p.name == member) {
	    return &p;
	}
    }
    return nullptr;
}

/*
 *----------------------------------------------------------------------
 *
 * SettleInterface --
 *
 *	Settles the meaning of the annotations of a finished declaration:
 *	a method is never answered when its last NoReply annotation says
 *	"true"; a property's changes are announced as its last
 *	EmitsChangedSignal annotation says, else as the interface's, else
 *	with the new value.
 *
 * Results:
 *	True, or false with *problem set when an emits value is none of
 *	true, invalidates, const and false. The declaration may then be
 *	half settled; its caller discards it.
 *
 *----------------------------------------------------------------------
 */

bool
SettleInterface(InterfaceDecl *decl, std::string *problem)
{
    for (MethodDecl &method : decl->methods) {
	const std::string *word = AnnotationValue(method.annotations,
		noReplyAnnotation);
	method.noReply = (word != nullptr && *word == "true");
    }
    Emits fallback = Emits::True;
    if (const std::string *word = AnnotationValue(decl->annotations,
	    emitsAnnotation)) {
	if (!ParseEmits(*word, &fallback)) {
	    *problem = BadEmits(*word, "interface", decl->name);
	    return false;
	}
    }
    for (PropertyDecl &property : decl->properties) {
	property.emits = fallback;
	if (const std::string *word = AnnotationValue(property.annotations,
		emitsAnnotation)) {
	    if (!ParseEmits(*word, &property.emits)) {
		*problem = BadEmits(*word, "property", property.name);
		return false;
	    }
	}
    }
    return true;
}

} // namespace vantrel
