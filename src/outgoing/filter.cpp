/*
 * filter.cpp --
 *
 *	Match rules: [dbus filter] builds a rule from key/value pairs and
 *	adds it to, or removes it from, the bus, which then decides by it
 *	which messages not addressed to the connection it passes on.
 */

#include <climits>
#include <cstring>
#include <string>
#include "common.hpp"
#include "outgoing/outgoing.hpp"
#include "values/values.hpp"

namespace {

const char *const filterSubcommands[] = {"add", "remove", NULL};
enum { FILTER_ADD, FILTER_REMOVE };

/*
 * Keys of a rule. The two "arg#" entries only stand for the argument
 * keys in Tcl's lookup message; naming them is refused.
 */
const char *const ruleKeys[] = {
    "arg#", "arg#path", "arg0namespace", "destination", "eavesdrop",
    "interface", "member", "path", "path_namespace", "sender", "type", NULL
};
enum { KEY_ARGN, KEY_ARGNPATH };

/* Highest argument number a match rule may name. */
const long maxArgIndex = 63;

/*
 *----------------------------------------------------------------------
 *
 * ParseArgKey --
 *
 *	Reads a key of the form "arg", a decimal number, then nothing or
 *	"path". The number is read as sscanf's "%d" reads it (leading
 *	white space and a sign allowed); a number too large for an int is
 *	read as out of range instead of overflowing.
 *
 * Results:
 *	True when the key has that form, with *index set (clamped to
 *	LONG_MAX or LONG_MIN when huge); false otherwise.
 *
 *----------------------------------------------------------------------
 */

bool
ParseArgKey(const char *key, long *index)
{
    if (std::strncmp(key, "arg", 3) != 0) {
	return false;
    }
    const char *p = key + 3;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
	p++;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
	negative = (*p == '-');
	p++;
    }
    if (*p < '0' || *p > '9') {
	return false;
    }
    long value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
	if (value <= (LONG_MAX - 9) / 10) {
	    value = value * 10 + (*p - '0');
	} else {
	    value = LONG_MAX;
	}
    }
    if (*p != '\0' && std::strcmp(p, "path") != 0) {
	return false;
    }
    *index = negative ? -value : value;
    return true;
}

/*
 *----------------------------------------------------------------------
 *
 * CheckKey --
 *
 *	Accepts a key of the rule: a key of the table or a unique prefix
 *	of one, or an argument key arg0 to arg63, arg0path to arg63path.
 *	The key is written into the rule as given, so an abbreviation
 *	reaches the bus as it stands.
 *
 * Results:
 *	TCL_OK, or TCL_ERROR with Tcl's lookup message or one of the
 *	bad key "K" messages as the result.
 *
 *----------------------------------------------------------------------
 */

int
CheckKey(Tcl_Interp *interp, Tcl_Obj *keyObj)
{
    const char *key = Tcl_GetString(keyObj);
    int index;
    if (Tcl_GetIndexFromObjStruct(NULL, keyObj, ruleKeys, sizeof(char *),
	    "key", 0, &index) == TCL_OK) {
	if (index == KEY_ARGN || index == KEY_ARGNPATH) {
	    Tcl_SetObjResult(interp, Tcl_ObjPrintf("bad key \"%s\": must "
		    "specify an argument index from 0 to 63", key));
	    return TCL_ERROR;
	}
	return TCL_OK;
    }
    long argIndex;
    if (!ParseArgKey(key, &argIndex)) {
	/* Again with the interpreter, for Tcl's message listing the keys. */
	return Tcl_GetIndexFromObjStruct(interp, keyObj, ruleKeys,
		sizeof(char *), "key", 0, &index);
    }
    if (argIndex < 0 || argIndex > maxArgIndex) {
	Tcl_SetObjResult(interp, Tcl_ObjPrintf("bad key \"%s\": argument "
		"index must be from 0 to 63", key));
	return TCL_ERROR;
    }
    return TCL_OK;
}

} // namespace

/*
 *----------------------------------------------------------------------
 *
 * DBus_QuoteRuleValue --
 *
 *	Quotes one value for a match rule: enclosed in apostrophes, with
 *	every apostrophe inside written as '\'' (close the quote, an
 *	escaped apostrophe, open the quote again).
 *
 * Results:
 *	A new string object with one reference held for the caller, who
 *	releases it.
 *
 *----------------------------------------------------------------------
 */

Tcl_Obj *
DBus_QuoteRuleValue(Tcl_Obj *value)
{
    int length;
    const Tcl_UniChar *chars = Tcl_GetUnicodeFromObj(value, &length);
    int quotes = 0;
    for (int i = 0; i < length; i++) {
	if (chars[i] == '\'') {
	    quotes++;
	}
    }
    Tcl_Obj *result;
    if (quotes == 0) {
	Tcl_Obj *args[1] = {value};
	result = Tcl_Format(NULL, "'%s'", 1, args);
    } else {
	int size = length + 3 * quotes + 2;
	auto *buf = reinterpret_cast<Tcl_UniChar *>(
		Tcl_Alloc(size * sizeof(Tcl_UniChar)));
	int n = 0;
	buf[n++] = '\'';
	for (int i = 0; i < length; i++) {
	    if (chars[i] == '\'') {
		buf[n++] = '\'';
		buf[n++] = '\\';
		buf[n++] = '\'';
		buf[n++] = '\'';
	    } else {
		buf[n++] = chars[i];
	    }
	}
	buf[n++] = '\'';
	result = Tcl_NewUnicodeObj(buf, n);
	Tcl_Free(reinterpret_cast<char *>(buf));
    }
    Tcl_IncrRefCount(result);
    return result;
}

/*
 *----------------------------------------------------------------------
 *
 * DBusFilterCmd --
 *
 *	Implements [dbus filter ?busId? subcommand key value ?...?]: adds
 *	("add") or removes ("remove") the match rule made of the pairs,
 *	and waits for the bus's answer. An even number of arguments means
 *	the first is the busId.
 *
 *	A key may be written with one leading "-". Values are quoted; a
 *	value that cannot travel as D-Bus text (a NUL character, or text
 *	that is not valid UTF-8) is refused before anything is sent.
 *
 * Results:
 *	TCL_OK with the rule text sent as result; TCL_ERROR on a bad
 *	argument or when the bus refuses the rule ("Match Error: ...").
 *
 * Side effects:
 *	The bus adds or removes the rule for the connection.
 *
 *----------------------------------------------------------------------
 */

int
DBusFilterCmd(ClientData, Tcl_Interp *interp, int objc,
	Tcl_Obj *const objv[])
{
    if (objc < 4) {
	Tcl_WrongNumArgs(interp, 1, objv, "?busId? subcommand key value ?...?");
	return TCL_ERROR;
    }
    int i = 1;
    Tcl_Obj *busId = NULL;
    if ((objc - 1) % 2 == 0) {
	busId = objv[i++];
    }
    DBusConnection *conn = DBus_GetConnection(interp, "FILTER", busId);
    if (conn == NULL
	    || vantrel::RefuseNoBus(interp, "FILTER", conn) != TCL_OK) {
	return TCL_ERROR;
    }
    int subcommand;
    if (Tcl_GetIndexFromObjStruct(interp, objv[i++], filterSubcommands,
	    sizeof(char *), "subcommand", 0, &subcommand) != TCL_OK) {
	return TCL_ERROR;
    }

    vantrel::ObjPtr rule = vantrel::holdObj(Tcl_NewObj());
    for (bool first = true; i + 1 < objc; i += 2, first = false) {
	Tcl_Obj *key = objv[i];
	Tcl_Obj *value = objv[i + 1];
	int keyLength;
	const char *keyText = Tcl_GetStringFromObj(key, &keyLength);
	vantrel::ObjPtr stripped;
	if (keyText[0] == '-') {
	    stripped = vantrel::holdObj(
		    Tcl_NewStringObj(keyText + 1, keyLength - 1));
	    key = stripped.get();
	}
	if (CheckKey(interp, key) != TCL_OK) {
	    return TCL_ERROR;
	}
	vantrel::ExternalText valueText;
	valueText.From(value);
	const char *kind;
	if (const char *problem = valueText.Problem(&kind)) {
	    Tcl_SetObjResult(interp, Tcl_ObjPrintf("bad value for key \"%s\": %s",
		    Tcl_GetString(key), problem));
	    Tcl_SetErrorCode(interp, libname, "FILTER", kind, (char *) NULL);
	    return TCL_ERROR;
	}
	vantrel::ObjPtr quoted = vantrel::adoptObj(DBus_QuoteRuleValue(value));
	if (!first) {
	    Tcl_AppendToObj(rule.get(), ",", 1);
	}
	Tcl_AppendObjToObj(rule.get(), key);
	Tcl_AppendToObj(rule.get(), "=", 1);
	Tcl_AppendObjToObj(rule.get(), quoted.get());
    }

    /* Keys are ASCII and every value was checked: the text is sendable. */
    vantrel::ExternalText ruleText;
    ruleText.From(rule.get());
    vantrel::MessagePtr msg = vantrel::BusCall(
	    subcommand == FILTER_ADD ? "AddMatch" : "RemoveMatch");
    const char *bytes = ruleText.bytes;
    if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &bytes,
	    DBUS_TYPE_INVALID)) {
	return DBus_MemoryError(interp);
    }
    std::string sent = bytes;
    vantrel::SharedObj ruleObj = vantrel::shareObj(rule.get());
    return vantrel::WaitReply(interp, conn, std::move(msg),
	    {"FILTER", DBUS_TIMEOUT_USE_DEFAULT, false, true},
	    [conn, subcommand, sent, ruleObj](Tcl_Interp *ip,
		    DBusMessage *answer) {
	vantrel::ErrorGuard err;
	if (dbus_set_error_from_message(err.get(), answer)) {
	    const char *message = err.message() ? err.message() : "";
	    size_t length = std::strlen(message);
	    if (length > 0 && message[length - 1] == '\n') {
		length--;
	    }
	    Tcl_Obj *result = Tcl_NewStringObj("Match Error: ", -1);
	    Tcl_AppendToObj(result, message, static_cast<int>(length));
	    Tcl_SetObjResult(ip, result);
	    Tcl_DBusErrorCode(ip, "FILTER", err.get());
	    return TCL_ERROR;
	}
	if (subcommand == FILTER_ADD) {
	    vantrel::RememberRule(conn, sent.c_str());
	} else {
	    vantrel::ForgetRule(conn, sent.c_str());
	}
	Tcl_SetObjResult(ip, ruleObj.get());
	return TCL_OK;
    });
}
