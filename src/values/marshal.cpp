/*
 * marshal.cpp --
 *
 *	Argument words of an outgoing message to its body: every word a
 *	STRING without a signature, otherwise one word per complete type of
 *	the signature, containers recursively. Variants take their type from
 *	the value: an explicit {signature value} pair, or the Tcl type of
 *	the value.
 */

#include <cstddef>
#include <cstring>
#include <string>
#include "common.hpp"
#include "values/fixed.hpp"
#include "values/marshal.hpp"

namespace {

int MarshalArg(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessageIter *iter, DBusSignatureIter *sig, int type,
	Tcl_Obj *value, int depth, int mode);
int ArgList(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessageIter *iter, DBusSignatureIter *sig, int *countPtr,
	Tcl_Obj *const objv[], int depth, int mode);

int
SurplusValues(Tcl_Interp *interp, const char *tag)
{
    return vantrel::AppendFail(interp, tag, "ARGLIST",
	    "arguments left after exhausting the type signature");
}

/*
 * Refuses to open one more container when that would nest the value
 * deeper than a D-Bus message may be nested. Explicit variants let a
 * script build values of any depth, which libdbus would turn into an
 * invalid message (and this recursion into a stack overflow).
 */
int
CheckDepth(Tcl_Interp *interp, const char *tag, int depth)
{
    if (depth >= vantrel::maxContainerDepth) {
	return vantrel::AppendFail(interp, tag, "DEPTH",
		"value nested deeper than 63 containers");
    }
    return TCL_OK;
}

/* The signature of the complete type at sig, freed with dbus_free. */
struct SigText {
    char *text;
    explicit SigText(DBusSignatureIter *sig)
	: text(dbus_signature_iter_get_signature(sig)) {}
    ~SigText() { dbus_free(text); }
    SigText(const SigText &) = delete;
    SigText &operator=(const SigText &) = delete;
    const char *get() const { return text ? text : ""; }
};

/*
 * Marshals a Tcl list as a STRUCT by the member types inside sig.
 */
int
MarshalStruct(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessageIter *iter, DBusSignatureIter *sig, Tcl_Obj *value,
	int depth, int mode)
{
    int n;
    Tcl_Obj **elems;
    if (Tcl_ListObjGetElements(interp, value, &n, &elems) != TCL_OK) {
	return TCL_ERROR;
    }
    if (CheckDepth(interp, tag, depth) != TCL_OK) {
	return TCL_ERROR;
    }
    DBusSignatureIter member;
    dbus_signature_iter_recurse(sig, &member);
    vantrel::Container sub(iter, DBUS_TYPE_STRUCT, NULL);
    if (!sub.ok()) {
	return DBus_MemoryError(interp);
    }
    for (int i = 0;; i++) {
	int type = dbus_signature_iter_get_current_type(&member);
	if (i == n) {
	    if (type == DBUS_STRUCT_END_CHAR) {
		return sub.close() ? TCL_OK : DBus_MemoryError(interp);
	    }
	    SigText whole(sig);
	    Tcl_AppendResult(interp, "not enough elements in list ",
		    "representing structure: ", "\"", whole.get(), "\"",
		    (char *) NULL);
	    Tcl_SetErrorCode(interp, libname, tag, "STRUCT", (char *) NULL);
	    return TCL_ERROR;
	}
	if (MarshalArg(interp, tag, conn, sub.iter(), &member, type,
		elems[i], depth + 1, mode) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (!dbus_signature_iter_next(&member) && i + 1 < n) {
	    return SurplusValues(interp, tag);
	}
    }
}

/*
 * Marshals a Tcl dict as an ARRAY of DICT_ENTRY; entries go out in the
 * dict's iteration order.
 */
int
MarshalDict(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessageIter *array, DBusSignatureIter *entrySig, Tcl_Obj *value,
	int depth, int mode)
{
    DBusSignatureIter keySig, valueSig;
    dbus_signature_iter_recurse(entrySig, &keySig);
    valueSig = keySig;
    dbus_signature_iter_next(&valueSig);
    int keyType = dbus_signature_iter_get_current_type(&keySig);
    int valueType = dbus_signature_iter_get_current_type(&valueSig);

    Tcl_DictSearch search;
    Tcl_Obj *key, *item;
    int done;
    if (Tcl_DictObjFirst(interp, value, &search, &key, &item, &done)
	    != TCL_OK) {
	return TCL_ERROR;
    }
    vantrel::ScopeExit endSearch([&search]() { Tcl_DictObjDone(&search); });
    if (CheckDepth(interp, tag, depth) != TCL_OK) {
	return TCL_ERROR;
    }
    for (; !done; Tcl_DictObjNext(&search, &key, &item, &done)) {
	vantrel::Container entry(array, DBUS_TYPE_DICT_ENTRY, NULL);
	if (!entry.ok()) {
	    return DBus_MemoryError(interp);
	}
	if (keyType == DBUS_TYPE_UNIX_FD
		&& vantrel::CheckFdPassing(interp, tag, conn) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (vantrel::BasicArg(interp, tag, entry.iter(), keyType, key, mode)
		!= TCL_OK
		|| MarshalArg(interp, tag, conn, entry.iter(), &valueSig,
			valueType, item, depth + 1, mode) != TCL_OK) {
	    return TCL_ERROR;
	}
	if (!entry.close()) {
	    return DBus_MemoryError(interp);
	}
	if (vantrel::TallyCheck(interp, tag) != TCL_OK) {
	    return TCL_ERROR;
	}
    }
    return TCL_OK;
}

/*
 * Marshals a Tcl list (or, for dict entries, a dict) as an ARRAY by the
 * element type inside sig. Fixed-size basic elements go out as one
 * block.
 */
int
MarshalArray(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessageIter *iter, DBusSignatureIter *sig, Tcl_Obj *value,
	int depth, int mode)
{
    if (CheckDepth(interp, tag, depth) != TCL_OK) {
	return TCL_ERROR;
    }
    DBusSignatureIter element;
    dbus_signature_iter_recurse(sig, &element);
    int elementType = dbus_signature_iter_get_current_type(&element);
    if (elementType == DBUS_TYPE_BYTE && (mode & vantrel::MARSHAL_BYTES)) {
	return vantrel::AppendByteString(interp, tag, iter, value);
    }
    if (vantrel::IsBlockType(elementType)) {
	return vantrel::AppendFixedArray(interp, tag, iter, elementType,
		value, mode);
    }

    SigText elementSig(&element);
    vantrel::Container sub(iter, DBUS_TYPE_ARRAY, elementSig.get());
    if (!sub.ok()) {
	return DBus_MemoryError(interp);
    }
    if (elementType == DBUS_TYPE_DICT_ENTRY) {
	if (MarshalDict(interp, tag, conn, sub.iter(), &element, value,
		depth + 1, mode) != TCL_OK) {
	    return TCL_ERROR;
	}
    } else {
	int n;
	Tcl_Obj **elems;
	if (Tcl_ListObjGetElements(interp, value, &n, &elems) != TCL_OK) {
	    return TCL_ERROR;
	}
	for (int i = 0; i < n; i++) {
	    if (MarshalArg(interp, tag, conn, sub.iter(), &element,
		    elementType, elems[i], depth + 1, mode) != TCL_OK
		    || vantrel::TallyCheck(interp, tag) != TCL_OK) {
		return TCL_ERROR;
	    }
	}
    }
    return sub.close() ? TCL_OK : DBus_MemoryError(interp);
}

/*
 * The contents type of an implicit variant, from the Tcl type name of
 * the value: a signature of one basic type, "as" or "a{ss}".
 *
 * Tcl 8.6 on 64-bit platforms keeps every integer that fits a C long
 * under the name "int" (there is no separate "wideInt" type there); an
 * "int" value beyond 32 bits goes out as INT64, as a "wideInt" would,
 * instead of failing the 32-bit reader.
 */
const char *
ImplicitSignature(Tcl_Obj *value)
{
    const char *name = value->typePtr ? value->typePtr->name : NULL;
    if (name == NULL) {
	return "s";
    }
    if (std::strcmp(name, "string") == 0) {
	return "s";
    }
    if (std::strcmp(name, "int") == 0) {
	Tcl_WideInt w;
	if (Tcl_GetWideIntFromObj(NULL, value, &w) == TCL_OK
		&& (w < INT32_MIN || w > INT32_MAX)) {
	    return "x";
	}
	return "i";
    }
    if (std::strcmp(name, "wideInt") == 0) {
	return "x";
    }
    if (std::strcmp(name, "double") == 0) {
	return "d";
    }
    if (std::strcmp(name, "boolean") == 0) {
	return "b";
    }
    if (std::strcmp(name, "list") == 0) {
	return "as";
    }
    if (std::strcmp(name, "dict") == 0) {
	return "a{ss}";
    }
    return "s";
}

/*
 * True when the Tcl type of a value gives it a meaning of its own for an
 * implicit variant: a number, a boolean, a dictionary or a byte array.
 * Such values are never taken for the explicit form {signature value}
 * (outside strict mode); every other value is judged by its text,
 * whatever type Tcl happens to hold it in ("string" for the elements of
 * lists built at compile time, "cmdName", "parsedVarName", ...).
 */
bool
HasOwnMeaning(const Tcl_ObjType *type)
{
    static const Tcl_ObjType *const own[] = {
	Tcl_GetObjType("int"), Tcl_GetObjType("wideInt"),
	Tcl_GetObjType("bignum"), Tcl_GetObjType("double"),
	Tcl_GetObjType("boolean"), Tcl_GetObjType("booleanString"),
	Tcl_GetObjType("dict"), Tcl_GetObjType("bytearray")
    };
    for (const Tcl_ObjType *t : own) {
	if (t != NULL && type == t) {
	    return true;
	}
    }
    return false;
}

/* Tcl's list separators. */
bool
IsListSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f'
	    || c == '\r';
}

/*
 * A quick look at text before parsing it as a list: false when its
 * first list element is certainly not one complete type, so that a long
 * text in a variant ("hello world ...") is not split into a list only
 * to be sent as a string. Elements written with quotes or backslashes
 * are left to the list parser.
 */
bool
MayBeExplicit(const char *text, int length)
{
    constexpr ptrdiff_t longest = DBUS_MAXIMUM_SIGNATURE_LENGTH;
    const char *p = text, *end = text + length;
    while (p < end && IsListSpace(*p)) {
	p++;
    }
    const char *word = p, *wordEnd;
    if (p < end && *p == '{') {
	int level = 1;
	word = ++p;
	for (; p < end && level > 0; p++) {
	    if (*p == '\\') {
		return true;
	    }
	    if (p - word > longest) {
		return false;		/* Too long for a signature. */
	    }
	    level += (*p == '{') - (*p == '}');
	}
	if (level > 0) {
	    return false;		/* Not a list at all. */
	}
	wordEnd = p - 1;
    } else {
	for (; p < end && !IsListSpace(*p); p++) {
	    if (*p == '\\' || *p == '"') {
		return true;
	    }
	    if (p - word > longest) {
		return false;		/* Too long for a signature. */
	    }
	}
	wordEnd = p;
    }
    size_t n = static_cast<size_t>(wordEnd - word);
    if (n == 0 || n > DBUS_MAXIMUM_SIGNATURE_LENGTH) {
	return false;
    }
    char sig[DBUS_MAXIMUM_SIGNATURE_LENGTH + 1];
    std::memcpy(sig, word, n);
    sig[n] = '\0';
    return dbus_signature_validate_single(sig, NULL);
}

/*
 * The explicit form {signature value}: true with the contents signature
 * and the value when value is a list of two elements whose first is one
 * complete type. A value that is not a list already is parsed as a copy
 * of its text, held in work, so that it keeps its own internal form.
 */
bool
ExplicitForm(Tcl_Obj *value, vantrel::ObjPtr &work, const char **contents,
	Tcl_Obj **inner)
{
    static const Tcl_ObjType *const listType = Tcl_GetObjType("list");
    Tcl_Obj *list = value;
    if (value->typePtr != listType) {
	int length;
	const char *text = Tcl_GetStringFromObj(value, &length);
	if (!MayBeExplicit(text, length)) {
	    return false;
	}
	work = vantrel::holdObj(Tcl_NewStringObj(text, length));
	list = work.get();
    }
    int n;
    Tcl_Obj *first;
    if (Tcl_ListObjLength(NULL, list, &n) != TCL_OK || n != 2) {
	return false;
    }
    Tcl_ListObjIndex(NULL, list, 0, &first);
    Tcl_ListObjIndex(NULL, list, 1, inner);
    *contents = Tcl_GetString(first);
    return dbus_signature_validate_single(*contents, NULL);
}

/*
 * Marshals any value as a VARIANT. A value whose text is a list of
 * exactly two elements, the first one complete type, is the explicit
 * form {signature value}, unless Tcl holds it as a number, a boolean, a
 * dictionary or a byte array (HasOwnMeaning); anything else takes its
 * type from its Tcl type. In strict mode every value must be explicit.
 */
int
MarshalVariant(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessageIter *iter, Tcl_Obj *value, int depth, int mode)
{
    if (CheckDepth(interp, tag, depth) != TCL_OK) {
	return TCL_ERROR;
    }
    bool strict = (mode & vantrel::MARSHAL_STRICT) != 0;

    if (strict || value->typePtr == NULL
	    || !HasOwnMeaning(value->typePtr)) {
	vantrel::ObjPtr work;
	const char *contents;
	Tcl_Obj *second;
	if (ExplicitForm(value, work, &contents, &second)) {
	    vantrel::Container sub(iter, DBUS_TYPE_VARIANT, contents);
	    if (!sub.ok()) {
		return DBus_MemoryError(interp);
	    }
	    DBusSignatureIter sig;
	    dbus_signature_iter_init(&sig, contents);
	    int count = 1;
	    if (ArgList(interp, tag, conn, sub.iter(), &sig, &count,
		    &second, depth + 1, mode) != TCL_OK) {
		return TCL_ERROR;
	    }
	    return sub.close() ? TCL_OK : DBus_MemoryError(interp);
	}
    }

    if (strict) {
	Tcl_AppendResult(interp, "variant value must be a list of a type "
		"signature and a value: \"", Tcl_GetString(value), "\"",
		(char *) NULL);
	Tcl_SetErrorCode(interp, libname, tag, "VARIANT", (char *) NULL);
	return TCL_ERROR;
    }
    const char *contents = ImplicitSignature(value);
    vantrel::Container sub(iter, DBUS_TYPE_VARIANT, contents);
    if (!sub.ok()) {
	return DBus_MemoryError(interp);
    }
    int code;
    if (contents[1] == '\0') {
	code = vantrel::BasicArg(interp, tag, sub.iter(), contents[0], value,
		mode);
    } else {
	DBusSignatureIter sig;
	dbus_signature_iter_init(&sig, contents);
	code = MarshalArg(interp, tag, conn, sub.iter(), &sig,
		dbus_signature_iter_get_current_type(&sig), value, depth + 1, mode);
    }
    if (code == TCL_OK && !sub.close()) {
	return DBus_MemoryError(interp);
    }
    return code;
}

/*
 *----------------------------------------------------------------------
 *
 * MarshalArg --
 *
 *	Marshals one value by the complete type at which sig stands; type
 *	is that type's code ('r' for a struct, 0 past the end). depth is
 *	the number of containers around the value.
 *
 * Results:
 *	TCL_OK or TCL_ERROR. A failure abandons the containers opened for
 *	the value; what went before stays, and the caller discards the
 *	message.
 *
 *----------------------------------------------------------------------
 */

int
MarshalArg(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessageIter *iter, DBusSignatureIter *sig, int type,
	Tcl_Obj *value, int depth, int mode)
{
    switch (type) {
    case DBUS_TYPE_INVALID:
	return TCL_OK;		/* The caller reports the surplus value. */
    case DBUS_TYPE_UNIX_FD:
	if (vantrel::CheckFdPassing(interp, tag, conn) != TCL_OK) {
	    return TCL_ERROR;
	}
	return vantrel::BasicArg(interp, tag, iter, type, value, mode);
    case DBUS_TYPE_STRUCT:
	return MarshalStruct(interp, tag, conn, iter, sig, value, depth, mode);
    case DBUS_TYPE_ARRAY:
	return MarshalArray(interp, tag, conn, iter, sig, value, depth, mode);
    case DBUS_TYPE_VARIANT:
	return MarshalVariant(interp, tag, conn, iter, value, depth, mode);
    default: {
	if (dbus_type_is_basic(type)) {
	    return vantrel::BasicArg(interp, tag, iter, type, value, mode);
	}
	SigText whole(sig);
	char code[2] = {static_cast<char>(type), '\0'};
	Tcl_AppendResult(interp, "unsupported argument type: ", "\"", code,
		"/", whole.get(), "\"", (char *) NULL);
	Tcl_SetErrorCode(interp, libname, tag, "WRONGARGS", (char *) NULL);
	return TCL_ERROR;
    }
    }
}

/*
 * Marshals consecutive values by consecutive complete types; see
 * DBus_ArgList. depth is the number of containers around them.
 */
int
ArgList(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessageIter *iter, DBusSignatureIter *sig, int *countPtr,
	Tcl_Obj *const objv[], int depth, int mode)
{
    for (int i = 0; *countPtr > 0; i++) {
	int type = dbus_signature_iter_get_current_type(sig);
	if (MarshalArg(interp, tag, conn, iter, sig, type, objv[i], depth, mode)
		!= TCL_OK || vantrel::TallyCheck(interp, tag) != TCL_OK) {
	    return TCL_ERROR;
	}
	(*countPtr)--;
	if (type == DBUS_TYPE_INVALID) {
	    return SurplusValues(interp, tag);
	}
	if (!dbus_signature_iter_next(sig)) {
	    return *countPtr == 0 ? TCL_OK : SurplusValues(interp, tag);
	}
    }
    return TCL_OK;
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBus_ArgList --
 *
 *	Marshals values against consecutive complete types of a signature,
 *	starting at the type where sig stands. *countPtr holds the number
 *	of values and is decremented for each one consumed; types left
 *	over are for the caller to notice.
 *
 * Results:
 *	TCL_OK or TCL_ERROR; more values than types append "arguments left
 *	after exhausting the type signature" with DBUS tag ARGLIST.
 *
 *----------------------------------------------------------------------
 */

int
DBus_ArgList(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessageIter *iter, DBusSignatureIter *sig, int *countPtr,
	Tcl_Obj *const objv[])
{
    return ArgList(interp, tag, conn, iter, sig, countPtr, objv, 0,
	    vantrel::ConnMode(conn));
}

/*
 *----------------------------------------------------------------------
 *
 * DBus_AppendArgs --
 *
 *	Builds the body of msg from the argument values: each a STRING
 *	when signature is NULL, otherwise marshalled by the signature,
 *	which the caller has validated.
 *
 * Results:
 *	TCL_OK, or TCL_ERROR with a message and errorCode; too few values
 *	for the signature replace the result with "argument list does not
 *	match signature" (DBUS ARGLIST), more than 255 values without a
 *	signature with "too many arguments without a type signature"
 *	(DBUS tag ARGLIST).
 *
 * Side effects:
 *	On failure the body is left half built; the caller must release
 *	the message unsent.
 *
 *----------------------------------------------------------------------
 */

int
DBus_AppendArgs(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessage *msg, const char *signature, int objc,
	Tcl_Obj *const objv[])
{
    return vantrel::AppendArgs(interp, tag, conn, msg, signature, objc, objv,
	    0);
}

namespace vantrel {

/*
 *----------------------------------------------------------------------
 *
 * AppendArgs --
 *
 *	DBus_AppendArgs with the marshalling mode bits (values.hpp); the
 *	connection's strict-variant setting is added here. The size of the
 *	header's fields is read from the message unless the caller gives
 *	it.
 *
 *----------------------------------------------------------------------
 */

int
AppendArgs(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessage *msg, const char *signature, int objc,
	Tcl_Obj *const objv[], int mode, size_t headerFields)
{
    if (!(mode & MARSHAL_CONN_READ)) {
	mode |= ConnMode(conn);
    }
    DBusMessageIter iter;
    dbus_message_iter_init_append(msg, &iter);
    Tally tally;
    tally.conn = conn;
    TallyScope scope(&tally);
    if (signature == NULL) {
	/*
	 * The body's signature ("sss...") may not exceed 255 types;
	 * libdbus crashes on the 256th value appended.
	 */
	if (objc > DBUS_MAXIMUM_SIGNATURE_LENGTH) {
	    return Fail(interp, tag, "ARGLIST",
		    "too many arguments without a type signature");
	}
	std::string strings(static_cast<size_t>(objc), DBUS_TYPE_STRING);
	tally.header = headerFields != 0
		? headerFields + SignatureFieldSize(strings.c_str())
		: HeaderSize(msg, strings.c_str());
	for (int i = 0; i < objc; i++) {
	    if (BasicArg(interp, tag, &iter, DBUS_TYPE_STRING, objv[i], mode)
		    != TCL_OK || TallyCheck(interp, tag) != TCL_OK) {
		return TCL_ERROR;
	    }
	}
	return TCL_OK;
    }
    tally.header = headerFields != 0
	    ? headerFields + SignatureFieldSize(signature)
	    : HeaderSize(msg, signature);
    DBusSignatureIter sig;
    dbus_signature_iter_init(&sig, signature);
    int count = objc;
    if (ArgList(interp, tag, conn, &iter, &sig, &count, objv, 0, mode)
	    != TCL_OK) {
	return TCL_ERROR;
    }
    if (count != 0
	    || dbus_signature_iter_get_current_type(&sig) != DBUS_TYPE_INVALID) {
	return Fail(interp, "ARGLIST", NULL,
		"argument list does not match signature");
    }
    return TCL_OK;
}

/*
 * ConnMode --
 *
 *	The marshalling mode bits a connection's settings ask for: a
 *	strict connection checks the range of every integer as well.
 */

int
ConnMode(DBusConnection *conn) noexcept
{
    if (conn == NULL) {
	return 0;
    }
    return RecordMode(ConnRecord(conn));
}

int
RecordMode(const DBusConnData *cd) noexcept
{
    if (cd == NULL) {
	return 0;
    }
    return ((cd->options & CONN_STRICT) ? MARSHAL_STRICT | MARSHAL_RANGE : 0)
	    | ((cd->options & CONN_BYTES) ? MARSHAL_BYTES : 0);
}

/*
 * MessageLimit --
 *
 *	The largest message the connection may send, header included
 *	(values.hpp).
 */

size_t
MessageLimit(DBusConnection *conn) noexcept
{
    DBusConnData *cd = conn != NULL ? ConnRecord(conn) : NULL;
    if (cd == NULL || cd->maxMessage == 0) {
	return DBUS_MAXIMUM_MESSAGE_LENGTH;
    }
    return cd->maxMessage;
}

} // namespace vantrel
