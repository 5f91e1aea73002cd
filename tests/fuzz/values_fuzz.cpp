/*
 * values_fuzz.cpp --
 *
 *	A libFuzzer target for the value code, both ways.
 *
 *	Going out, an input ">MTsignature\nvalues": the Tcl list "values"
 *	(one element per argument word) is marshalled by the signature into
 *	a fresh message, as a script's words are. The bits of M: 1
 *	MARSHAL_STRICT, 2 MARSHAL_RANGE, 8 MARSHAL_BYTES (no mode bit at all
 *	goes through the exported DBus_AppendArgs), and 4 marshals without
 *	a connection, else on one that passes descriptors: "0" to "?". The
 *	bits of T say which internal forms the words get first, through
 *	nested lists too, since implicit variants follow a value's last
 *	interpretation: 1 integers, 2 doubles, 4 booleans, 8 lists, 16
 *	dicts where not lists, 32 byte arrays ("@" none, "A" integers, "O"
 *	all but dicts and byte arrays, "W" all but lists and byte arrays,
 *	"`" byte arrays). What marshals must load back as a valid message;
 *	read back with details and marshalled again (every variant then in
 *	its explicit form) it gives the same body, and a second time the
 *	same bytes even where dict keys collapsed; read back with arrays of
 *	bytes as byte arrays, it marshals to the same bytes as read back
 *	with lists of integers.
 *
 *	Coming in, any other input is a message in the wire format. What
 *	libdbus loads (its job to refuse the rest) is converted: its body
 *	with DBus_IterList with and without details, one element per
 *	argument either way, also with arrays of bytes as byte arrays, and
 *	its header with DBus_MessageInfo, a dict of thirteen keys. The body
 *	with details marshals again by the message's signature (but for
 *	NaNs and absent descriptors), the same with byte arrays, and reads
 *	back the same.
 *
 *	Neither way may crash, trip a sanitizer, keep a reference to a
 *	word it was given or keep memory. Tcl hands out small blocks from
 *	caches of its own that the leak checker cannot see into, so the
 *	blocks in use are counted around each input too.
 */

#include <poll.h>
#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "common.hpp"
#include "values/values.hpp"

namespace {

Tcl_Interp *interp;		/* Made once; every input runs in it. */
DBusConnection *fdConn;		/* A connection that passes descriptors. */
bool trace;			/* VANTREL_FUZZ_TRACE is set: say what
				 * became of each input, for writing seeds. */

[[noreturn]] void
Die(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
    std::abort();
}

/*
 *----------------------------------------------------------------------
 *
 * BlocksInUse --
 *
 *	The number of memory blocks that this thread took from Tcl's
 *	allocator and has not given back: for each bucket of the thread's
 *	cache, blocks removed minus blocks inserted. Larger blocks come
 *	from malloc, where the leak checker sees them.
 *
 *----------------------------------------------------------------------
 */

long
BlocksInUse()
{
    Tcl_DString ds;
    Tcl_DStringInit(&ds);
    Tcl_GetMemoryInfo(&ds);
    long inUse = 0;
    int ncaches;
    const char **caches;
    if (Tcl_SplitList(NULL, Tcl_DStringValue(&ds), &ncaches, &caches)
	    != TCL_OK) {
	Die("Tcl's memory information is not a list", Tcl_DStringValue(&ds));
    }
    for (int i = 0; i < ncaches; i++) {
	int n;
	const char **fields;
	if (Tcl_SplitList(NULL, caches[i], &n, &fields) != TCL_OK) {
	    Die("Tcl's memory information is not a list", caches[i]);
	}
	/* The shared cache only passes blocks between threads. */
	if (n > 0 && std::strcmp(fields[0], "shared") != 0) {
	    for (int b = 1; b < n; b++) {
		long size, nfree, removes, inserts;
		if (std::sscanf(fields[b], "%ld %ld %ld %ld", &size, &nfree,
			&removes, &inserts) == 4) {
		    inUse += removes - inserts;
		}
	    }
	}
	Tcl_Free(reinterpret_cast<char *>(fields));
    }
    Tcl_Free(reinterpret_cast<char *>(caches));
    Tcl_DStringFree(&ds);
    return inUse;
}

/*
 *----------------------------------------------------------------------
 *
 * FdConnection --
 *
 *	Opens a peer-to-peer connection to a server in this process and
 *	drives both ends by hand until it is authenticated and passes
 *	descriptors: the connection that UNIX_FD values need. Nothing is
 *	ever sent on it. Dies when that cannot be had, rather than fuzz
 *	less than it claims.
 *
 *----------------------------------------------------------------------
 */

dbus_bool_t
AddServerWatch(DBusWatch *watch, void *data)
{
    static_cast<std::vector<DBusWatch *> *>(data)->push_back(watch);
    return TRUE;
}

void
RemoveServerWatch(DBusWatch *watch, void *data)
{
    auto *watches = static_cast<std::vector<DBusWatch *> *>(data);
    for (size_t i = 0; i < watches->size(); i++) {
	if ((*watches)[i] == watch) {
	    watches->erase(watches->begin() + static_cast<long>(i));
	    return;
	}
    }
}

void
Accept(DBusServer *, DBusConnection *conn, void *data)
{
    /* Kept, with this reference, for the life of the process. */
    *static_cast<DBusConnection **>(data) = dbus_connection_ref(conn);
}

DBusConnection *
FdConnection()
{
    char dir[] = "/tmp/vantrel-fuzz-XXXXXX";
    if (mkdtemp(dir) == NULL) {
	Die("cannot make a directory for the socket", dir);
    }
    std::string socket = std::string(dir) + "/peer";
    std::string address = "unix:path=" + socket;
    vantrel::ErrorGuard err;
    static std::vector<DBusWatch *> watches;
    static DBusConnection *served;
    DBusServer *server = dbus_server_listen(address.c_str(), err.get());
    if (server == NULL) {
	Die("cannot listen", err.message());
    }
    dbus_server_set_watch_functions(server, AddServerWatch,
	    RemoveServerWatch, NULL, &watches, NULL);
    dbus_server_set_new_connection_function(server, Accept, &served, NULL);
    DBusConnection *client = dbus_connection_open_private(address.c_str(),
	    err.get());
    if (client == NULL) {
	Die("cannot connect", err.message());
    }
    for (int i = 0; i < 2000
	    && !dbus_connection_can_send_type(client, DBUS_TYPE_UNIX_FD); i++) {
	std::vector<pollfd> fds;
	std::vector<DBusWatch *> polled;
	for (DBusWatch *watch : watches) {
	    if (dbus_watch_get_enabled(watch)) {
		fds.push_back({dbus_watch_get_unix_fd(watch), POLLIN, 0});
		polled.push_back(watch);
	    }
	}
	poll(fds.data(), fds.size(), 0);
	for (size_t w = 0; w < fds.size(); w++) {
	    if (fds[w].revents & POLLIN) {
		dbus_watch_handle(polled[w], DBUS_WATCH_READABLE);
	    }
	}
	if (served != NULL) {
	    dbus_connection_read_write(served, 1);
	}
	dbus_connection_read_write(client, 1);
    }
    unlink(socket.c_str());
    rmdir(dir);
    if (!dbus_connection_can_send_type(client, DBUS_TYPE_UNIX_FD)) {
	Die("the connection does not pass descriptors", address);
    }
    /* The server stops listening; the accepted connection stays. */
    dbus_server_disconnect(server);
    dbus_server_unref(server);
    return client;
}

/*
 *----------------------------------------------------------------------
 *
 * GiveForms --
 *
 *	Gives a value the internal form that the bits of forms choose and
 *	its text allows, the first that fits of byte array (characters up
 *	to U+00FF only, as [binary] makes them), integer, double, boolean,
 *	list, and dict (only without lists), and does the same for the
 *	elements of a list or the values of a dict. Text that would be a
 *	list of one element stays a plain string. The text itself never
 *	changes.
 *
 *----------------------------------------------------------------------
 */

/*
 * True when every character of the value is at most U+00FF. Looks at a
 * copy, whose form changes instead.
 */
bool
IsByteString(Tcl_Obj *value)
{
    vantrel::ObjPtr copy = vantrel::holdObj(Tcl_NewStringObj(
	    Tcl_GetString(value), -1));
    int length;
    const Tcl_UniChar *chars = Tcl_GetUnicodeFromObj(copy.get(), &length);
    for (int i = 0; i < length; i++) {
	if (chars[i] > 0xFF) {
	    return false;
	}
    }
    return true;
}

void
GiveForms(Tcl_Obj *value, int forms, int depth)
{
    if (depth > 100 || value->typePtr != NULL) {
	return;
    }
    Tcl_WideInt w;
    double d;
    int b;
    if ((forms & 32) && IsByteString(value)) {
	Tcl_GetByteArrayFromObj(value, &b);
	return;
    }
    if ((forms & 1) && Tcl_GetWideIntFromObj(NULL, value, &w) == TCL_OK) {
	return;
    }
    if ((forms & 2) && Tcl_GetDoubleFromObj(NULL, value, &d) == TCL_OK) {
	return;
    }
    if ((forms & 4) && Tcl_GetBooleanFromObj(NULL, value, &b) == TCL_OK) {
	return;
    }
    if (!(forms & (8 | 16))) {
	return;
    }
    /* Look on a copy, so that a value that stays a string stays pure. */
    vantrel::ObjPtr copy = vantrel::holdObj(Tcl_NewStringObj(
	    Tcl_GetString(value), -1));
    int n;
    if (Tcl_ListObjLength(NULL, copy.get(), &n) != TCL_OK || n == 1) {
	return;
    }
    if (!(forms & 8) && n % 2 == 0
	    && Tcl_DictObjSize(NULL, value, &n) == TCL_OK) {
	Tcl_DictSearch search;
	Tcl_Obj *key, *item;
	int done;
	Tcl_DictObjFirst(NULL, value, &search, &key, &item, &done);
	for (; !done; Tcl_DictObjNext(&search, &key, &item, &done)) {
	    GiveForms(item, forms, depth + 1);
	}
	Tcl_DictObjDone(&search);
	return;
    }
    if (forms & 8) {
	/* As a dict, its text would be parsed again into a list. */
	Tcl_Obj **elems;
	Tcl_ListObjGetElements(NULL, value, &n, &elems);
	for (int i = 0; i < n; i++) {
	    GiveForms(elems[i], forms, depth + 1);
	}
    }
}

/* A fresh message of the kind a script's call builds. */
vantrel::MessagePtr
NewCall()
{
    DBusMessage *msg = dbus_message_new_method_call("org.example.Fuzz",
	    "/org/example/Fuzz", "org.example.Fuzz", "Take");
    if (msg == NULL) {
	Die("out of memory", "");
    }
    return vantrel::adoptMessage(msg);
}

/* The message in the wire format (its serial set to 1). */
std::string
Wire(DBusMessage *msg)
{
    dbus_message_set_serial(msg, 1);
    char *data;
    int len;
    if (!dbus_message_marshal(msg, &data, &len)) {
	Die("out of memory", "");
    }
    std::string wire(data, static_cast<size_t>(len));
    dbus_free(data);
    return wire;
}

std::string
ErrorText()
{
    std::string text = Tcl_GetStringResult(interp);
    Tcl_Obj *options = Tcl_GetReturnOptions(interp, TCL_ERROR);
    Tcl_IncrRefCount(options);
    text += "\n";
    text += Tcl_GetString(options);
    Tcl_DecrRefCount(options);
    return text;
}

/* The names of the interpreter's channels, as a list. */
std::string
Channels()
{
    Tcl_GetChannelNames(interp);
    std::string names = Tcl_GetStringResult(interp);
    Tcl_ResetResult(interp);
    return names;
}

/*
 * Closes the channels that a conversion made for received descriptors:
 * those not in the list before.
 */
void
CloseNewChannels(const std::string &before)
{
    Tcl_GetChannelNames(interp);
    vantrel::ObjPtr now = vantrel::holdObj(Tcl_GetObjResult(interp));
    Tcl_ResetResult(interp);
    vantrel::ObjPtr old = vantrel::holdObj(Tcl_NewStringObj(before.c_str(),
	    -1));
    int n, nold;
    Tcl_Obj **names, **oldNames;
    Tcl_ListObjGetElements(NULL, now.get(), &n, &names);
    Tcl_ListObjGetElements(NULL, old.get(), &nold, &oldNames);
    for (int i = 0; i < n; i++) {
	bool known = false;
	for (int j = 0; j < nold && !known; j++) {
	    known = std::strcmp(Tcl_GetString(names[i]),
		    Tcl_GetString(oldNames[j])) == 0;
	}
	Tcl_Channel chan = known ? NULL
		: Tcl_GetChannel(interp, Tcl_GetString(names[i]), NULL);
	if (chan != NULL) {
	    Tcl_UnregisterChannel(interp, chan);
	}
    }
    Tcl_ResetResult(interp);
}

/* The number of arguments in a message's body. */
int
CountArgs(DBusMessage *msg)
{
    DBusMessageIter iter;
    int n = 0;
    if (dbus_message_iter_init(msg, &iter)) {
	do {
	    n++;
	} while (dbus_message_iter_next(&iter));
    }
    return n;
}

/*
 *----------------------------------------------------------------------
 *
 * ReadBack --
 *
 *	Converts a message as a handler would see it: its header dict and
 *	its body with and without details, arrays of bytes as lists of
 *	integers or, with MARSHAL_BYTES in mode, as byte arrays. Checks the
 *	shapes that never depend on the contents.
 *
 * Results:
 *	The body with details (ref count 1, the caller's).
 *
 *----------------------------------------------------------------------
 */

/* The body from iter: through the exported routine for mode 0. */
Tcl_Obj *
Body(DBusMessageIter *iter, int details, int mode)
{
    return mode == 0 ? DBus_IterList(interp, iter, details)
	    : vantrel::IterList(interp, iter, details, NULL, mode);
}

vantrel::ObjPtr
ReadBack(DBusMessage *msg, int mode = 0)
{
    vantrel::ObjPtr header = vantrel::holdObj(DBus_MessageInfo(interp, msg));
    int size;
    if (Tcl_DictObjSize(NULL, header.get(), &size) != TCL_OK || size != 13) {
	Die("the header is not a dict of thirteen keys",
		Tcl_GetString(header.get()));
    }
    int args = CountArgs(msg);
    DBusMessageIter iter;
    dbus_message_iter_init(msg, &iter);
    vantrel::ObjPtr plain = vantrel::holdObj(Body(&iter, 0, mode));
    dbus_message_iter_init(msg, &iter);
    vantrel::ObjPtr detailed = vantrel::holdObj(Body(&iter, 1, mode));
    int n1, n2;
    /* The text of each, as a script would see it. */
    Tcl_GetString(plain.get());
    Tcl_GetString(detailed.get());
    if (Tcl_ListObjLength(NULL, plain.get(), &n1) != TCL_OK
	    || Tcl_ListObjLength(NULL, detailed.get(), &n2) != TCL_OK
	    || n1 != args || n2 != args) {
	Die("not one element per argument", std::to_string(args) + " args\n"
		+ Tcl_GetString(plain.get()) + "\n"
		+ Tcl_GetString(detailed.get()));
    }
    return detailed;
}

/*
 * Marshals the elements of list by signature in a fresh message with
 * every variant explicit, and the mode's other bits. Returns null, the
 * error in the interpreter, when that fails.
 */
vantrel::MessagePtr
TryRemarshal(Tcl_Obj *list, const char *signature, int mode = 0)
{
    vantrel::MessagePtr msg = NewCall();
    int n;
    Tcl_Obj **elems;
    Tcl_ListObjGetElements(NULL, list, &n, &elems);
    if (vantrel::AppendArgs(interp, "CALL", fdConn, msg.get(),
	    signature, n, elems, vantrel::MARSHAL_STRICT | mode) != TCL_OK) {
	return nullptr;
    }
    return msg;
}

/* TryRemarshal, which must succeed. */
vantrel::MessagePtr
Remarshal(Tcl_Obj *list, const char *signature, const std::string &origin,
	int mode = 0)
{
    vantrel::MessagePtr msg = TryRemarshal(list, signature, mode);
    if (!msg) {
	Die("a body read back does not marshal again", std::string("sig ")
		+ signature + "\n" + Tcl_GetString(list) + "\n" + ErrorText()
		+ "\nfrom: " + origin);
    }
    return msg;
}

/*
 * Reads msg back with arrays of bytes as byte arrays and marshals that
 * again the same way: the bytes must be those that lists of integers
 * gave (wire, a message marshalled again from msg read back plainly).
 */
void
BytesAgree(DBusMessage *msg, const char *signature, const std::string &wire,
	const std::string &origin)
{
    vantrel::ObjPtr bytes = ReadBack(msg, vantrel::MARSHAL_BYTES);
    vantrel::MessagePtr again = Remarshal(bytes.get(), signature, origin,
	    vantrel::MARSHAL_BYTES);
    if (Wire(again.get()) != wire) {
	Die("byte arrays marshal to other bytes than lists of integers",
		origin + "\nback: " + Tcl_GetString(bytes.get()));
    }
}

/*
 *----------------------------------------------------------------------
 *
 * Outgoing --
 *
 *	Marshals the words of the input by its signature, then checks what
 *	came out as the file header says.
 *
 *----------------------------------------------------------------------
 */

int
Outgoing(const uint8_t *data, size_t size)
{
    if (size < 4) {
	return -1;
    }
    int mode = (data[1] & 3) | ((data[1] & 8) ? vantrel::MARSHAL_BYTES : 0);
    DBusConnection *conn = (data[1] & 4) ? NULL : fdConn;
    int forms = data[2] & 63;
    const char *text = reinterpret_cast<const char *>(data) + 3;
    const char *end = reinterpret_cast<const char *>(data) + size;
    const char *newline = static_cast<const char *>(
	    std::memchr(text, '\n', static_cast<size_t>(end - text)));
    if (newline == NULL) {
	return -1;
    }
    std::string signature(text, static_cast<size_t>(newline - text));
    if (signature.find('\0') != std::string::npos
	    || !dbus_signature_validate(signature.c_str(), NULL)) {
	return -1;		/* Commands validate signatures first. */
    }

    /* The words, as a script reading UTF-8 text would have them. */
    Tcl_DString ds;
    Tcl_ExternalToUtfDString(vantrel::Utf8Encoding(), newline + 1,
	    static_cast<int>(end - newline - 1), &ds);
    vantrel::ObjPtr words = vantrel::holdObj(Tcl_NewStringObj(
	    Tcl_DStringValue(&ds), Tcl_DStringLength(&ds)));
    Tcl_DStringFree(&ds);
    int objc;
    Tcl_Obj **objv;
    if (Tcl_ListObjGetElements(NULL, words.get(), &objc, &objv) != TCL_OK) {
	return -1;
    }
    for (int i = 0; i < objc; i++) {
	GiveForms(objv[i], forms, 0);
    }
    std::vector<int> refs;
    for (int i = 0; i < objc; i++) {
	refs.push_back(objv[i]->refCount);
    }

    vantrel::MessagePtr msg = NewCall();
    int code = mode == 0
	    ? DBus_AppendArgs(interp, "CALL", conn, msg.get(),
		    signature.c_str(), objc, objv)
	    : vantrel::AppendArgs(interp, "CALL", conn, msg.get(),
		    signature.c_str(), objc, objv, mode);
    for (int i = 0; i < objc; i++) {
	if (objv[i]->refCount != refs[i]) {
	    Die("a word's reference count changed", Tcl_GetString(objv[i]));
	}
    }
    if (code != TCL_OK) {
	if (*Tcl_GetStringResult(interp) == '\0') {
	    Die("a failure without a message", Tcl_GetString(words.get()));
	}
	if (trace) {
	    std::fprintf(stderr, "refused: %s\n", ErrorText().c_str());
	}
	Tcl_ResetResult(interp);
	return 0;
    }
    std::string origin = "sig " + signature + "\n"
	    + Tcl_GetString(words.get());

    /* Read back as a handler would, closing any channels it makes. */
    std::string channels = Channels();
    ReadBack(msg.get());
    CloseNewChannels(channels);
    if (dbus_message_contains_unix_fds(msg.get())) {
	if (trace) {
	    std::fprintf(stderr, "sent with descriptors\n");
	}
	return 0;		/* Descriptors travel beside the bytes. */
    }

    std::string wire = Wire(msg.get());
    vantrel::ErrorGuard err;
    DBusMessage *loaded = dbus_message_demarshal(wire.data(),
	    static_cast<int>(wire.size()), err.get());
    if (loaded == NULL) {
	Die("the marshalled message does not load",
		std::string(err.message()) + "\n" + origin);
    }
    vantrel::MessagePtr again = vantrel::adoptMessage(loaded);
    vantrel::ObjPtr back = ReadBack(again.get());
    if (trace) {
	std::fprintf(stderr, "sent: %s\n", Tcl_GetString(back.get()));
    }
    vantrel::MessagePtr second = Remarshal(back.get(), signature.c_str(),
	    origin);
    std::string secondWire = Wire(second.get());
    /* Keys that differ as text may be one D-Bus value (1 and 01). */
    if (signature.find('{') == std::string::npos && secondWire != wire) {
	Die("a body read back marshals to other bytes", origin + "\nback: "
		+ Tcl_GetString(back.get()));
    }
    vantrel::ObjPtr backAgain = ReadBack(second.get());
    vantrel::MessagePtr third = Remarshal(backAgain.get(),
	    signature.c_str(), origin);
    if (Wire(third.get()) != secondWire) {
	Die("a body read back twice marshals to other bytes", origin
		+ "\nback: " + Tcl_GetString(backAgain.get()));
    }
    BytesAgree(again.get(), signature.c_str(), secondWire, origin);
    return 0;
}

/*
 *----------------------------------------------------------------------
 *
 * Incoming --
 *
 *	Loads the input as a message and converts it.
 *
 *----------------------------------------------------------------------
 */

int
Incoming(const uint8_t *data, size_t size)
{
    vantrel::ErrorGuard err;
    DBusMessage *loaded = dbus_message_demarshal(
	    reinterpret_cast<const char *>(data), static_cast<int>(size),
	    err.get());
    if (loaded == NULL) {
	if (trace) {
	    std::fprintf(stderr, "not loaded: %s\n", err.message());
	}
	return 0;
    }
    vantrel::MessagePtr msg = vantrel::adoptMessage(loaded);
    std::string channels = Channels();
    vantrel::ObjPtr body = ReadBack(msg.get());
    const char *signature = dbus_message_get_signature(msg.get());
    if (trace) {
	std::fprintf(stderr, "received %s: %s\n", signature,
		Tcl_GetString(body.get()));
    }
    CloseNewChannels(channels);

    /*
     * What a handler is given can be sent back as it is, except a NaN
     * (Tcl reads no number from it) and a descriptor that did not come
     * with the message ("NULL"). Read back, it is what came.
     */
    std::string origin = std::string("received sig ") + signature + "\n"
	    + Tcl_GetString(body.get());
    vantrel::MessagePtr again = TryRemarshal(body.get(), signature);
    if (!again) {
	std::string why = Tcl_GetStringResult(interp);
	if (why == "floating point value is Not a Number"
		|| why == "can not find channel named \"NULL\"") {
	    return 0;
	}
	Die("a body received does not marshal again", ErrorText() + "\n"
		+ origin);
    }
    BytesAgree(msg.get(), signature, Wire(again.get()), origin);
    vantrel::ObjPtr back = ReadBack(again.get());
    if (std::strchr(signature, '{') == NULL) {
	if (std::strcmp(Tcl_GetString(back.get()),
		Tcl_GetString(body.get())) != 0) {
	    Die("a body received reads back different", origin + "\nback: "
		    + Tcl_GetString(back.get()));
	}
	return 0;
    }
    /* Keys may repeat in a message, never in a Tcl dict. */
    vantrel::MessagePtr third = Remarshal(back.get(), signature, origin);
    if (Wire(third.get()) != Wire(again.get())) {
	Die("a body received, sent and read back twice, marshals to other "
		"bytes", origin);
    }
    return 0;
}

int
RunOne(const uint8_t *data, size_t size)
{
    int code = (size > 0 && data[0] == '>') ? Outgoing(data, size)
	    : Incoming(data, size);
    Tcl_ResetResult(interp);
    return code;
}

} // namespace

extern "C" int
LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void) argc;
    Tcl_FindExecutable((*argv)[0]);
    interp = Tcl_CreateInterp();
    if (Dbus_Init(interp) != TCL_OK) {
	Die("Dbus_Init failed", Tcl_GetStringResult(interp));
    }
    fdConn = FdConnection();
    trace = std::getenv("VANTREL_FUZZ_TRACE") != NULL;
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    long before = BlocksInUse();
    int code = RunOne(data, size);
    if (BlocksInUse() != before) {
	/*
	 * Tcl makes some things once, on first use. Only memory that the
	 * same input keeps again is kept for good.
	 */
	before = BlocksInUse();
	RunOne(data, size);
	long after = BlocksInUse();
	if (after != before) {
	    Die("Tcl memory kept by an input", std::to_string(after - before)
		    + " blocks");
	}
    }
    return code;
}
