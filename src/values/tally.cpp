/*
 * tally.cpp --
 *
 *	The running size of an outgoing message body, kept as the value
 *	subsystem appends to it, so that a message that a bus would answer
 *	by dropping the connection (an array over 64 MiB, a message over
 *	the connection's limit, at most 128 MiB, too many descriptors) is
 *	refused with a Tcl error before it is sent. Sizes and alignments
 *	are those of the wire format; the body starts at an offset that is
 *	a multiple of 8.
 */

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include "common.hpp"
#include "values/fixed.hpp"
#include "values/marshal.hpp"
#include "values/values.hpp"

namespace {

/* The tally of the AppendArgs running in this thread, or null. */
thread_local vantrel::Tally *running = nullptr;

/* The longest bus name: the most a bus's sender field can hold. */
constexpr size_t maxNameLength = 255;

size_t
Align(size_t offset, size_t alignment)
{
    return (offset + alignment - 1) / alignment * alignment;
}

/* The alignment of a type code on the wire. */
size_t
Alignment(int type)
{
    switch (type) {
    case DBUS_TYPE_BYTE:
    case DBUS_TYPE_SIGNATURE:
    case DBUS_TYPE_VARIANT:
	return 1;
    case DBUS_TYPE_INT16:
    case DBUS_TYPE_UINT16:
	return 2;
    case DBUS_TYPE_INT64:
    case DBUS_TYPE_UINT64:
    case DBUS_TYPE_DOUBLE:
    case DBUS_TYPE_STRUCT:
    case DBUS_STRUCT_BEGIN_CHAR:
    case DBUS_TYPE_DICT_ENTRY:
    case DBUS_DICT_ENTRY_BEGIN_CHAR:
	return 8;
    default:			/* Booleans, 32-bit types, strings, arrays. */
	return 4;
    }
}

/* The body's offset after a basic value appended at offset. */
size_t
AfterBasic(size_t offset, int type, size_t length)
{
    offset = Align(offset, Alignment(type));
    switch (type) {
    case DBUS_TYPE_STRING:
    case DBUS_TYPE_OBJECT_PATH:
	return offset + 4 + length + 1;
    case DBUS_TYPE_SIGNATURE:
	return offset + 1 + length + 1;
    case DBUS_TYPE_UNIX_FD:
	return offset + 4;
    default:
	return offset + vantrel::FixedSize(type);
    }
}

/* The offset where the elements of an array opened at offset begin. */
size_t
ArrayStart(size_t offset, int elementType)
{
    /* The length, then padding to the elements' alignment. */
    return Align(Align(offset, 4) + 4, Alignment(elementType));
}

/*
 * Checks the running tally as it would stand with the body ending at
 * offset and fds descriptors (TallyCheck). The connection's message
 * limit is looked up only for a message that might exceed it.
 */
int
Check(Tcl_Interp *interp, const char *tag, size_t offset, int fds)
{
    using vantrel::AppendFail;
    if (!running->arrays.empty()
	    && offset - running->arrays.front() > DBUS_MAXIMUM_ARRAY_LENGTH) {
	return AppendFail(interp, tag, "ARRAY",
		"array longer than the D-Bus limit of 64 MiB");
    }
    if (fds > vantrel::maxOutgoingFds) {
	return AppendFail(interp, tag, "UNIXFD",
		"more than 16 descriptors in one message");
    }
    /* The unix-fds header field comes with the first descriptor. */
    size_t total = running->header + (fds > 0 ? 8 : 0) + offset;
    if (total <= vantrel::minMessageLimit) {
	return TCL_OK;
    }
    if (running->limit == 0) {
	running->limit = vantrel::MessageLimit(running->conn);
    }
    size_t limit = running->limit;
    if (total <= limit) {
	return TCL_OK;
    }
    constexpr size_t mib = 1024 * 1024;
    char text[80];
    if (limit == DBUS_MAXIMUM_MESSAGE_LENGTH) {
	std::snprintf(text, sizeof(text),
		"message larger than the D-Bus limit of 128 MiB");
    } else if (limit % mib == 0) {
	std::snprintf(text, sizeof(text),
		"message larger than the connection's limit of %zu MiB",
		limit / mib);
    } else {
	std::snprintf(text, sizeof(text),
		"message larger than the connection's limit of %zu bytes",
		limit);
    }
    return AppendFail(interp, tag, "SIZE", text);
}

/* Bytes of one header field whose value is text of the given length. */
size_t
TextField(const char *text)
{
    /* Code byte and variant signature (4), length, text, terminator. */
    return Align(4 + 4 + std::strlen(text) + 1, 8);
}

} // namespace

namespace vantrel {

TallyScope::TallyScope(Tally *tally) noexcept : outer_(running)
{
    running = tally;
}

TallyScope::~TallyScope()
{
    running = outer_;
}

/*
 *----------------------------------------------------------------------
 *
 * HeaderSize --
 *
 *	The size of a message's header once a body of the signature is
 *	appended (marshal.hpp). Each field starts at a multiple of 8 and
 *	the body after the last one, so the size does not depend on the
 *	order of the fields.
 *
 *----------------------------------------------------------------------
 */

size_t
HeaderSize(DBusMessage *msg, const char *signature) noexcept
{
    return HeaderFieldsSize(dbus_message_get_path(msg),
	    dbus_message_get_interface(msg), dbus_message_get_member(msg),
	    dbus_message_get_error_name(msg),
	    dbus_message_get_destination(msg),
	    dbus_message_get_reply_serial(msg) != 0,
	    dbus_message_get_sender(msg)) + SignatureFieldSize(signature);
}

size_t
HeaderFieldsSize(const char *path, const char *intf, const char *member,
	const char *errorName, const char *dest, bool replySerial,
	const char *sender) noexcept
{
    /* Byte order, type, flags, version, body length, serial, fields. */
    size_t size = 16;
    for (const char *text : {path, intf, member, errorName, dest}) {
	if (text != NULL) {
	    size += TextField(text);
	}
    }
    if (replySerial) {
	size += 8;
    }
    /* A sender the message has, or the longest one a bus may add. */
    return size + (sender != NULL ? TextField(sender)
	    : Align(4 + 4 + maxNameLength + 1, 8));
}

size_t
SignatureFieldSize(const char *signature) noexcept
{
    if (signature == NULL || *signature == '\0') {
	return 0;
    }
    /* Code, variant signature, length byte, text, terminator. */
    return Align(4 + 1 + std::strlen(signature) + 1, 8);
}

/*
 *----------------------------------------------------------------------
 *
 * TallyBasic, TallyBlock, TallyOpen, TallyClose --
 *
 *	Advance the running tally, if any (marshal.hpp).
 *
 *----------------------------------------------------------------------
 */

void
TallyBasic(int type, size_t length) noexcept
{
    if (running == nullptr) {
	return;
    }
    running->offset = AfterBasic(running->offset, type, length);
    if (type == DBUS_TYPE_UNIX_FD) {
	running->fds++;
    }
}

void
TallyBlock(int type, size_t n) noexcept
{
    if (running != nullptr) {
	running->offset = Align(running->offset, Alignment(type))
		+ n * FixedSize(type);
    }
}

void
TallyOpen(int type, const char *sig) noexcept
{
    if (running == nullptr) {
	return;
    }
    size_t &offset = running->offset;
    offset = Align(offset, Alignment(type));
    switch (type) {
    case DBUS_TYPE_ARRAY:
	offset = ArrayStart(offset, sig[0]);
	running->arrays.push_back(offset);
	break;
    case DBUS_TYPE_VARIANT:
	offset += 1 + std::strlen(sig) + 1;
	break;
    default:
	break;
    }
    running->containers.push_back(type);
}

void
TallyClose() noexcept
{
    if (running == nullptr || running->containers.empty()) {
	return;
    }
    if (running->containers.back() == DBUS_TYPE_ARRAY) {
	running->arrays.pop_back();
    }
    running->containers.pop_back();
}

/*
 *----------------------------------------------------------------------
 *
 * TallyCheck --
 *
 *	Checks the running tally against the limits (marshal.hpp). The
 *	outermost open array is the longest one.
 *
 *----------------------------------------------------------------------
 */

int
TallyCheck(Tcl_Interp *interp, const char *tag) noexcept
{
    if (running == nullptr) {
	return TCL_OK;
    }
    return Check(interp, tag, running->offset, running->fds);
}

/*
 *----------------------------------------------------------------------
 *
 * TallyAhead, TallyAheadBlock --
 *
 *	Check the limits as TallyCheck would once the value is appended
 *	(marshal.hpp), leaving the tally as it is.
 *
 *----------------------------------------------------------------------
 */

int
TallyAhead(Tcl_Interp *interp, const char *tag, int type,
	size_t length) noexcept
{
    if (running == nullptr) {
	return TCL_OK;
    }
    return Check(interp, tag, AfterBasic(running->offset, type, length),
	    running->fds + (type == DBUS_TYPE_UNIX_FD));
}

int
TallyAheadBlock(Tcl_Interp *interp, const char *tag, int type,
	size_t n) noexcept
{
    if (running == nullptr) {
	return TCL_OK;
    }
    return Check(interp, tag, ArrayStart(running->offset, type)
	    + n * FixedSize(type), running->fds);
}

} // namespace vantrel
