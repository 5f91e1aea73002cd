/*
 * marshal.hpp --
 *
 *	Pieces of outgoing marshalling shared between the files of the
 *	value subsystem, and by no one else.
 */

#ifndef VANTREL_MARSHAL_HPP
#define VANTREL_MARSHAL_HPP

#include <vector>
#include "vantrel.h"
#include "values/values.hpp"

namespace vantrel {

/*
 * Deepest nesting of containers (arrays, structs, dict entries and
 * variants together) that an outgoing value may have. D-Bus allows 64,
 * and libdbus and dbus-daemon take 64, but dbus-broker counts the body
 * itself as one more container and drops the whole connection of a
 * sender whose value is nested 64 deep; one less is safe on both.
 */
constexpr int maxContainerDepth = 2 * DBUS_MAXIMUM_TYPE_RECURSION_DEPTH - 1;

/*
 * Descriptors an outgoing message may carry: what a bus accepts by
 * default (dbus-daemon's max_message_unix_fds, and libdbus's own limit
 * on a peer-to-peer connection). A bus drops the connection of a
 * sender that exceeds it.
 */
constexpr int maxOutgoingFds = 16;

/*
 * The running size of an outgoing body while AppendArgs builds it, for
 * the limits a bus enforces by dropping the sender's connection: an
 * array's length (64 MiB), the message's size (the connection's
 * MessageLimit, at most 128 MiB, header included) and its descriptors
 * (maxOutgoingFds). Every append of the value subsystem reports to the
 * tally of the AppendArgs running in its thread, if any, following the
 * wire format's sizes and alignments; a TallyScope makes a tally the
 * running one for its lifetime.
 */
struct Tally {
    DBusConnection *conn = nullptr; /* Whose message limit applies. */
    size_t limit = 0;		/* That limit, looked up once a message
				 * grows beyond minMessageLimit; 0 until
				 * then. */
    size_t header = 0;		/* Header bytes, with room for a sender
				 * field that a bus adds. */
    size_t offset = 0;		/* Body bytes so far. */
    int fds = 0;		/* Descriptors so far. */
    std::vector<size_t> arrays;	/* Where each open array's elements
				 * begin, outermost first. */
    std::vector<int> containers; /* Type codes of the open containers. */
};

class TallyScope {
public:
    TallyScope(Tally *tally) noexcept;
    ~TallyScope();
    TallyScope(const TallyScope &) = delete;
    TallyScope &operator=(const TallyScope &) = delete;
private:
    Tally *outer_;
};

/*
 * The header size of a message about to get a body of the signature
 * (the signature field, and the unix-fds field when descriptors go),
 * counting room for the longest sender field a bus may add.
 */
size_t HeaderSize(DBusMessage *msg, const char *signature) noexcept;

/* The size of the signature field of a body of that signature. */
size_t SignatureFieldSize(const char *signature) noexcept;

/* Report an appended basic value (text of length bytes for strings). */
void TallyBasic(int type, size_t length) noexcept;
/* Report n elements of a fixed-size type appended in one block. */
void TallyBlock(int type, size_t n) noexcept;
/* Report a container opened (with its contents' signature) or closed. */
void TallyOpen(int type, const char *sig) noexcept;
void TallyClose() noexcept;

/*
 * Checks the running tally against the limits: TCL_OK, or TCL_ERROR
 * with the message appended and errorCode DBUS tag ARRAY, SIZE or
 * UNIXFD. TCL_OK when no tally runs.
 */
int TallyCheck(Tcl_Interp *interp, const char *tag) noexcept;

/*
 * Checks the limits before a large append, as TallyCheck would after
 * it, so that a value that cannot go is refused before libdbus copies
 * it: a basic value of the type (text of length bytes), or with
 * TallyAheadBlock an array of n elements of a fixed-size type about to
 * be opened.
 */
int TallyAhead(Tcl_Interp *interp, const char *tag, int type,
	size_t length) noexcept;
int TallyAheadBlock(Tcl_Interp *interp, const char *tag, int type,
	size_t n) noexcept;

/*
 * Appends a Tcl list as an array of a fixed-size basic type in one
 * block; each element is read as DBus_BasicArg reads it.
 */
int AppendFixedArray(Tcl_Interp *interp, const char *tag,
	DBusMessageIter *iter, int elementType, Tcl_Obj *value,
	int mode) noexcept;

/*
 * Appends a Tcl byte string as an array of bytes in one copy. A value
 * that is not a byte array must hold only characters up to U+00FF.
 */
int AppendByteString(Tcl_Interp *interp, const char *tag,
	DBusMessageIter *iter, Tcl_Obj *value) noexcept;

/*
 * Appends msg to the interpreter result and sets the errorCode DBUS tag
 * kind. Returns TCL_ERROR.
 */
int AppendFail(Tcl_Interp *interp, const char *tag, const char *kind,
	const char *msg) noexcept;

/*
 * Refuses UNIX_FD values on a connection that cannot carry them: sets
 * the error and returns TCL_ERROR, else TCL_OK.
 */
int CheckFdPassing(Tcl_Interp *interp, const char *tag,
	DBusConnection *conn) noexcept;

/*
 * An open container of an outgoing message. A container left open when
 * marshalling fails is abandoned when the guard goes, which releases
 * what libdbus allocated for it (closing the message alone would not).
 */
class Container {
public:
    Container(DBusMessageIter *parent, int type, const char *sig) noexcept
	: parent_(parent),
	  open_(dbus_message_iter_open_container(parent, type, sig, &sub_))
    {
	if (open_) {
	    TallyOpen(type, sig);
	}
    }
    ~Container() {
	if (open_) {
	    dbus_message_iter_abandon_container(parent_, &sub_);
	}
    }
    Container(const Container &) = delete;
    Container &operator=(const Container &) = delete;

    /* False when libdbus could not open it (out of memory). */
    bool ok() const noexcept { return open_; }
    DBusMessageIter *iter() noexcept { return &sub_; }
    /*
     * Closes the container on success; its contents stay. False when
     * libdbus lacked the memory to close it.
     */
    bool close() noexcept {
	open_ = false;
	TallyClose();
	return dbus_message_iter_close_container(parent_, &sub_);
    }
private:
    DBusMessageIter *parent_;
    DBusMessageIter sub_;
    bool open_;
};

} // namespace vantrel

#endif
