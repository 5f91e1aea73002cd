/*
 * declare.cpp --
 *
 *	[dbus declare]: declaring D-Bus interfaces from a Tcl body of
 *	method, signal, property and annotation commands, every name and
 *	type checked as it is declared, and the interpreter's table of
 *	declarations.
 */

#include <cstring>
#include <map>
#include "common.hpp"
#include "introspect/introspect.hpp"
#include "values/values.hpp"

namespace {

using vantrel::Annotations;
using vantrel::ArgDecl;
using vantrel::InterfaceDecl;
using vantrel::InterfacePtr;

constexpr const char *tableKey = "dbus-interfaces";

/*
 * The declarations of an interpreter (assoc data "dbus-interfaces"),
 * and the declaration a body is building, if any.
 */
struct InterfaceTable {
    std::map<std::string, InterfacePtr, std::less<>> byName;
    InterfaceDecl *building = nullptr;	/* Borrowed from the caller of
					 * the body, while it runs. */
};

void
DeleteTable(ClientData clientData, Tcl_Interp *)
{
    delete static_cast<InterfaceTable *>(clientData);
}

/* The interpreter's table; made on first use when create is true. */
InterfaceTable *
Table(Tcl_Interp *interp, bool create)
{
    auto *table = static_cast<InterfaceTable *>(
	    Tcl_GetAssocData(interp, tableKey, NULL));
    if (table == NULL && create) {
	table = new InterfaceTable;
	Tcl_SetAssocData(interp, tableKey, DeleteTable, table);
    }
    return table;
}

/* Fails with a message naming the offending word: DBUS DECLARE kind. */
int
DeclareFail(Tcl_Interp *interp, const char *kind, const char *what,
	Tcl_Obj *word)
{
    return vantrel::FailWord(interp, "DECLARE", kind, what, word);
}

/* True when name is already a method, signal or property of decl. */
bool
Taken(const InterfaceDecl &decl, std::string_view name)
{
    return decl.FindMethod(name) || decl.FindSignal(name)
	    || decl.FindProperty(name);
}

/*
 * Reads a list of alternating argument names and single complete types
 * into args and their joined signature into sig.
 */
int
ReadArgs(Tcl_Interp *interp, Tcl_Obj *list, std::vector<ArgDecl> *args,
	std::string *sig)
{
    int n;
    Tcl_Obj **elems;
    if (Tcl_ListObjGetElements(interp, list, &n, &elems) != TCL_OK) {
	return TCL_ERROR;
    }
    if (n % 2 != 0) {
	return DeclareFail(interp, "ARGLIST",
		"argument list must hold names and types in pairs:", list);
    }
    for (int i = 0; i < n; i += 2) {
	if (!DBus_CheckMember(elems[i])) {
	    return DeclareFail(interp, "ARGNAME", "invalid argument name",
		    elems[i]);
	}
	const char *name = Tcl_GetString(elems[i]);
	for (const ArgDecl &arg : *args) {
	    if (arg.name == name) {
		return DeclareFail(interp, "DUPLICATE", "duplicate argument",
			elems[i]);
	    }
	}
	const char *type = Tcl_GetString(elems[i + 1]);
	if (!dbus_signature_validate_single(type, NULL)) {
	    return DeclareFail(interp, "SIGNATURE", "invalid type", elems[i + 1]);
	}
	args->push_back({name, type});
	sig->append(type);
    }
    if (!dbus_signature_validate(sig->c_str(), NULL)) {
	return DeclareFail(interp, "SIGNATURE",
		"argument types exceed the signature limit:", list);
    }
    return TCL_OK;
}

/*
 * Reads the options shared by members: -deprecated bool, -noreply bool
 * (methods only), -emits word (properties only) and -annotations list,
 * from objv[first] on, into annotations in the order given.
 */
int
ReadOptions(Tcl_Interp *interp, int objc, Tcl_Obj *const objv[], int first,
	bool method, bool property, Annotations *annotations)
{
    static const char *const options[] = {
	"-annotations", "-deprecated", "-emits", "-noreply", NULL
    };
    enum { OPT_ANNOTATIONS, OPT_DEPRECATED, OPT_EMITS, OPT_NOREPLY };
    static const char *const emitsWords[] = {
	"true", "invalidates", "const", "false", NULL
    };

    for (int i = first; i < objc; i += 2) {
	int index;
	if (Tcl_GetIndexFromObjStruct(interp, objv[i], options,
		sizeof(char *), "option", 0, &index) != TCL_OK) {
	    return TCL_ERROR;
	}
	if ((index == OPT_NOREPLY && !method)
		|| (index == OPT_EMITS && !property)) {
	    return DeclareFail(interp, "OPTION", "option not applicable here:",
		    objv[i]);
	}
	if (i + 1 >= objc) {
	    Tcl_SetObjResult(interp, Tcl_ObjPrintf(
		    "value for \"%s\" missing", Tcl_GetString(objv[i])));
	    Tcl_SetErrorCode(interp, libname, "DECLARE", "OPTION",
		    (char *) NULL);
	    return TCL_ERROR;
	}
	Tcl_Obj *value = objv[i + 1];
	int flag;
	switch (index) {
	case OPT_DEPRECATED:
	case OPT_NOREPLY:
	    if (Tcl_GetBooleanFromObj(interp, value, &flag) != TCL_OK) {
		return TCL_ERROR;
	    }
	    if (flag) {
		annotations->emplace_back(index == OPT_DEPRECATED
			? vantrel::deprecatedAnnotation
			: vantrel::noReplyAnnotation, "true");
	    }
	    break;
	case OPT_EMITS: {
	    int word;
	    if (Tcl_GetIndexFromObjStruct(NULL, value, emitsWords,
		    sizeof(char *), "emits", TCL_EXACT, &word) != TCL_OK) {
		Tcl_SetObjResult(interp, Tcl_ObjPrintf("bad emits \"%s\": "
			"must be true, invalidates, const or false",
			Tcl_GetString(value)));
		Tcl_SetErrorCode(interp, libname, "DECLARE", "EMITS",
			(char *) NULL);
		return TCL_ERROR;
	    }
	    annotations->emplace_back(vantrel::emitsAnnotation,
		    emitsWords[word]);
	    break;
	}
	case OPT_ANNOTATIONS: {
	    int n;
	    Tcl_Obj **elems;
	    if (Tcl_ListObjGetElements(interp, value, &n, &elems) != TCL_OK) {
		return TCL_ERROR;
	    }
	    if (n % 2 != 0) {
		return DeclareFail(interp, "ANNOTATION",
			"annotations must come in name and value pairs:",
			value);
	    }
	    for (int k = 0; k < n; k += 2) {
		if (DBus_CheckIntfName(elems[k]) < 1) {
		    return DeclareFail(interp, "ANNOTATION",
			    "invalid annotation name", elems[k]);
		}
		vantrel::ExternalText text;
		text.From(elems[k + 1]);
		const char *kind;
		/* Introspection XML must be able to carry the value. */
		if (text.Problem(&kind) || !vantrel::XmlText(
			std::string_view(text.bytes, text.length))) {
		    return DeclareFail(interp, "ANNOTATION",
			    "invalid annotation value", elems[k + 1]);
		}
		annotations->emplace_back(Tcl_GetString(elems[k]),
			std::string(text.bytes, text.length));
	    }
	    break;
	}
	}
    }
    return TCL_OK;
}

/*
 * The declaration a body command adds to, or null with an error when
 * no [dbus declare] body is running. Checks the member name too.
 */
InterfaceDecl *
Building(Tcl_Interp *interp, Tcl_Obj *name)
{
    InterfaceTable *table = Table(interp, false);
    if (table == NULL || table->building == NULL) {
	vantrel::Fail(interp, "DECLARE", "CONTEXT",
		"declarations belong in the body of dbus declare");
	return NULL;
    }
    if (name != NULL) {
	if (!DBus_CheckMember(name)) {
	    DeclareFail(interp, "MEMBER", "invalid member name", name);
	    return NULL;
	}
	if (Taken(*table->building, Tcl_GetString(name))) {
	    DeclareFail(interp, "DUPLICATE", "duplicate member", name);
	    return NULL;
	}
    }
    return table->building;
}

/* Index of the first word at or after first that begins with "-". */
int
FirstOption(int objc, Tcl_Obj *const objv[], int first, int most)
{
    int i = first;
    while (i < objc && i < first + most && Tcl_GetString(objv[i])[0] != '-') {
	i++;
    }
    return i;
}

/* method name ?in? ?out? ?options? */
int
MethodCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc < 2) {
	Tcl_WrongNumArgs(interp, 1, objv, "name ?in? ?out? ?option value ...?");
	return TCL_ERROR;
    }
    InterfaceDecl *decl = Building(interp, objv[1]);
    if (decl == NULL) {
	return TCL_ERROR;
    }
    vantrel::MethodDecl method;
    method.name = Tcl_GetString(objv[1]);
    int options = FirstOption(objc, objv, 2, 2);
    if (options > 2 && ReadArgs(interp, objv[2], &method.in,
	    &method.inSig) != TCL_OK) {
	return TCL_ERROR;
    }
    if (options > 3 && ReadArgs(interp, objv[3], &method.out,
	    &method.outSig) != TCL_OK) {
	return TCL_ERROR;
    }
    if (ReadOptions(interp, objc, objv, options, true, false,
	    &method.annotations) != TCL_OK) {
	return TCL_ERROR;
    }
    decl->methods.push_back(std::move(method));
    return TCL_OK;
}

/* signal name ?args? ?options? */
int
SignalCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    if (objc < 2) {
	Tcl_WrongNumArgs(interp, 1, objv, "name ?args? ?option value ...?");
	return TCL_ERROR;
    }
    InterfaceDecl *decl = Building(interp, objv[1]);
    if (decl == NULL) {
	return TCL_ERROR;
    }
    vantrel::SignalDecl signal;
    signal.name = Tcl_GetString(objv[1]);
    int options = FirstOption(objc, objv, 2, 1);
    if (options > 2 && ReadArgs(interp, objv[2], &signal.args,
	    &signal.sig) != TCL_OK) {
	return TCL_ERROR;
    }
    if (ReadOptions(interp, objc, objv, options, false, false,
	    &signal.annotations) != TCL_OK) {
	return TCL_ERROR;
    }
    decl->signals.push_back(std::move(signal));
    return TCL_OK;
}

/* property name type access ?options? */
int
PropertyCmd(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[])
{
    static const char *const accessWords[] = {
	"read", "write", "readwrite", NULL
    };
    static const int accessBits[] = {
	vantrel::ACCESS_READ, vantrel::ACCESS_WRITE, vantrel::ACCESS_READWRITE
    };
    if (objc < 4) {
	Tcl_WrongNumArgs(interp, 1, objv,
		"name type access ?option value ...?");
	return TCL_ERROR;
    }
    InterfaceDecl *decl = Building(interp, objv[1]);
    if (decl == NULL) {
	return TCL_ERROR;
    }
    vantrel::PropertyDecl property;
    property.name = Tcl_GetString(objv[1]);
    const char *type = Tcl_GetString(objv[2]);
    if (!dbus_signature_validate_single(type, NULL)) {
	return DeclareFail(interp, "SIGNATURE", "invalid type", objv[2]);
    }
    property.type = type;
    int access;
    if (Tcl_GetIndexFromObjStruct(NULL, objv[3], accessWords,
	    sizeof(char *), "access", TCL_EXACT, &access) != TCL_OK) {
	Tcl_SetObjResult(interp, Tcl_ObjPrintf("bad access \"%s\": must be "
		"read, write or readwrite", Tcl_GetString(objv[3])));
	Tcl_SetErrorCode(interp, libname, "DECLARE", "ACCESS",
		(char *) NULL);
	return TCL_ERROR;
    }
    property.access = accessBits[access];
    if (ReadOptions(interp, objc, objv, 4, false, true,
	    &property.annotations) != TCL_OK) {
	return TCL_ERROR;
    }
    decl->properties.push_back(std::move(property));
    return TCL_OK;
}

/* annotation name value: on the interface being declared. */
int
AnnotationCmd(ClientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    if (objc != 3) {
	Tcl_WrongNumArgs(interp, 1, objv, "name value");
	return TCL_ERROR;
    }
    InterfaceDecl *decl = Building(interp, NULL);
    if (decl == NULL) {
	return TCL_ERROR;
    }
    vantrel::ObjPtr pair = vantrel::holdObj(Tcl_NewListObj(2, objv + 1));
    Tcl_Obj *words[2] = {Tcl_NewStringObj("-annotations", -1), pair.get()};
    vantrel::ObjPtr option = vantrel::holdObj(words[0]);
    return ReadOptions(interp, 2, words, 0, false, false,
	    &decl->annotations);
}

/* Fails with a message of external UTF-8: errorCode DBUS DECLARE kind. */
int
FailText(Tcl_Interp *interp, const char *kind, const std::string &msg)
{
    Tcl_SetObjResult(interp, vantrel::NewUtf8Obj(msg.c_str()));
    Tcl_SetErrorCode(interp, libname, "DECLARE", kind, (char *) NULL);
    return TCL_ERROR;
}

/*
 * DeclareXml --
 *
 *	dbus declare -xml document: declares every interface of the top
 *	node of an introspection document, replacing earlier declarations
 *	of the same names. The standard interfaces the library serves
 *	itself are skipped, since services list them in their own data.
 *	All or nothing: a document that fails declares nothing.
 *
 * Results:
 *	The list of the names declared, in document order; or an error
 *	with errorCode DBUS DECLARE XML.
 */
int
DeclareXml(Tcl_Interp *interp, Tcl_Obj *document)
{
    vantrel::ExternalText text;
    text.From(document);
    vantrel::IntrospectedNode node;
    std::string error;
    if (!vantrel::ParseIntrospection(std::string_view(text.bytes,
	    static_cast<size_t>(text.length)), &node, &error)) {
	return FailText(interp, "XML", error);
    }
    std::vector<InterfacePtr> declared;
    for (const InterfacePtr &decl : node.interfaces) {
	if (decl->name == DBUS_INTERFACE_LOCAL) {
	    return FailText(interp, "XML", "interface is provided by the "
		    "library: " + vantrel::Quote(decl->name));
	}
	if (!vantrel::ReservedInterface(decl->name)) {
	    declared.push_back(decl);
	}
    }
    InterfaceTable *table = Table(interp, true);
    Tcl_Obj *names = Tcl_NewListObj(0, NULL);
    for (InterfacePtr &decl : declared) {
	Tcl_ListObjAppendElement(NULL, names,
		Tcl_NewStringObj(decl->name.c_str(), -1));
	table->byName[decl->name] = std::move(decl);
    }
    Tcl_SetObjResult(interp, names);
    return TCL_OK;
}

/* Sets the result to the sorted names of the declarations. */
void
ListNames(Tcl_Interp *interp)
{
    Tcl_Obj *list = Tcl_NewListObj(0, NULL);
    if (InterfaceTable *table = Table(interp, false)) {
	for (const auto &entry : table->byName) {
	    Tcl_ListObjAppendElement(NULL, list,
		    Tcl_NewStringObj(entry.first.c_str(), -1));
	}
    }
    Tcl_SetObjResult(interp, list);
}

} // namespace

namespace vantrel {

InterfacePtr
FindInterface(Tcl_Interp *interp, std::string_view name)
{
    InterfaceTable *table = Table(interp, false);
    if (table == NULL) {
	return nullptr;
    }
    auto it = table->byName.find(name);
    return it == table->byName.end() ? nullptr : it->second;
}

bool
ReservedInterface(std::string_view name) noexcept
{
    static const char *const reserved[] = {
	DBUS_INTERFACE_PEER, DBUS_INTERFACE_INTROSPECTABLE,
	DBUS_INTERFACE_PROPERTIES, "org.freedesktop.DBus.ObjectManager",
	DBUS_INTERFACE_LOCAL, NULL
    };
    for (const char *const *r = reserved; *r != NULL; r++) {
	if (name == *r) {
	    return true;
	}
    }
    return false;
}

/*
 *----------------------------------------------------------------------
 *
 * DBusDeclareCmd --
 *
 *	dbus declare ?name ?body??: lists the declared interfaces,
 *	returns the XML of one, declares one from a body (replacing an
 *	earlier declaration of the name) or forgets one (empty body).
 *	dbus declare -xml document declares those of an introspection
 *	document.
 *
 * Results:
 *	The list, the XML, the name, or empty; or an error with errorCode
 *	DBUS DECLARE kind. A body that fails declares nothing.
 *
 *----------------------------------------------------------------------
 */

int
DBusDeclareCmd(ClientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    if (objc > 3) {
	Tcl_WrongNumArgs(interp, 1, objv, "?name ?body??");
	return TCL_ERROR;
    }
    if (objc == 1) {
	ListNames(interp);
	return TCL_OK;
    }
    if (objc == 3 && std::strcmp(Tcl_GetString(objv[1]), "-xml") == 0) {
	return DeclareXml(interp, objv[2]);
    }
    Tcl_Obj *name = objv[1];
    if (objc == 2) {
	InterfacePtr decl = FindInterface(interp, Tcl_GetString(name));
	if (!decl) {
	    return DeclareFail(interp, "UNKNOWN", "unknown interface", name);
	}
	std::string xml;
	AppendInterfaceXml(xml, *decl, 0);
	Tcl_SetObjResult(interp, Tcl_NewStringObj(xml.data(),
		static_cast<int>(xml.size())));
	return TCL_OK;
    }
    if (DBus_CheckIntfName(name) < 1) {
	return DeclareFail(interp, "NAME", "invalid interface name", name);
    }
    if (ReservedInterface(Tcl_GetString(name))) {
	return DeclareFail(interp, "RESERVED",
		"interface is provided by the library:", name);
    }
    InterfaceTable *table = Table(interp, true);
    if (Tcl_GetCharLength(objv[2]) == 0) {
	table->byName.erase(Tcl_GetString(name));
	Tcl_ResetResult(interp);
	return TCL_OK;
    }
    if (table->building != NULL) {
	return Fail(interp, "DECLARE", "NEST", "declarations nest");
    }

    auto decl = std::make_shared<InterfaceDecl>();
    decl->name = Tcl_GetString(name);
    table->building = decl.get();
    Tcl_Obj *words[4] = {
	Tcl_NewStringObj("namespace", -1), Tcl_NewStringObj("eval", -1),
	Tcl_NewStringObj("::dbus::declare", -1), objv[2]
    };
    vantrel::ObjPtr cmd = vantrel::holdObj(Tcl_NewListObj(4, words));
    Tcl_Preserve(interp);
    int code = Tcl_EvalObjEx(interp, cmd.get(), 0);
    bool deleted = Tcl_InterpDeleted(interp);
    Tcl_Release(interp);
    if (deleted) {
	return TCL_ERROR;
    }
    /* The body may have deleted the table with [interp] tricks; look again. */
    table = Table(interp, true);
    table->building = nullptr;
    if (code != TCL_OK) {
	if (code != TCL_ERROR) {
	    Tcl_SetObjResult(interp, Tcl_NewStringObj("a declaration body "
		    "must not return, break or continue", -1));
	    Tcl_SetErrorCode(interp, libname, "DECLARE", "BODY",
		    (char *) NULL);
	}
	return TCL_ERROR;
    }
    std::string problem;
    if (!SettleInterface(decl.get(), &problem)) {
	return FailText(interp, "EMITS", problem);
    }
    table->byName[decl->name] = std::move(decl);
    Tcl_SetObjResult(interp, name);
    return TCL_OK;
}

/*
 *----------------------------------------------------------------------
 *
 * CreateDeclareCommands --
 *
 *	Creates the commands of declaration bodies in ::dbus::declare.
 *
 *----------------------------------------------------------------------
 */

void
CreateDeclareCommands(Tcl_Interp *interp)
{
    if (Tcl_FindNamespace(interp, "::dbus::declare", NULL, 0) == NULL) {
	Tcl_CreateNamespace(interp, "::dbus::declare", NULL, NULL);
    }
    Tcl_CreateObjCommand(interp, "::dbus::declare::method", MethodCmd,
	    NULL, NULL);
    Tcl_CreateObjCommand(interp, "::dbus::declare::signal", SignalCmd,
	    NULL, NULL);
    Tcl_CreateObjCommand(interp, "::dbus::declare::property", PropertyCmd,
	    NULL, NULL);
    Tcl_CreateObjCommand(interp, "::dbus::declare::annotation",
	    AnnotationCmd, NULL, NULL);
}

} // namespace vantrel
