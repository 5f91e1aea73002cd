/*
 * values.hpp --
 *
 *	What the value subsystem offers its neighbours besides the exported
 *	marshalling routines of vantrel.h: conversion of D-Bus text (UTF-8)
 *	to and from Tcl strings, with the checks libdbus would otherwise
 *	abort on. Not exported from the library.
 */

#ifndef VANTREL_VALUES_HPP
#define VANTREL_VALUES_HPP

#include <memory>
#include <vector>
#include "vantrel.h"

namespace vantrel {

/*
 * Marshalling mode bits. MARSHAL_STRICT: every variant must be written
 * {signature value}. MARSHAL_RANGE: integers out of their type's range
 * are refused instead of cut to its width (for values typed by
 * declarations or introspection).
 */
constexpr int MARSHAL_STRICT = 1;
constexpr int MARSHAL_RANGE = 2;

/*
 * MARSHAL_BYTES: arrays of bytes (ay) are Tcl byte arrays both ways,
 * copied once, instead of lists of integers.
 */
constexpr int MARSHAL_BYTES = 4;

/*
 * MARSHAL_CONN_READ: the bits already hold the connection's settings
 * (ConnMode), so AppendArgs need not look them up again.
 */
constexpr int MARSHAL_CONN_READ = 8;

/*
 * The mode bits the connection's settings ask for (MARSHAL_STRICT with
 * MARSHAL_RANGE, MARSHAL_BYTES).
 */
int ConnMode(DBusConnection *conn) noexcept;
/* The same, from the connection's record (may be null). */
int RecordMode(const DBusConnData *cd) noexcept;

/*
 * The largest message a connection sends, header included (dbus connect
 * -maxmessage): a bus drops the whole connection of a sender that
 * exceeds its limit, so larger messages are refused before they go.
 * minMessageLimit is the smallest limit a script may state (no message
 * below it needs the connection's limit looked up); busMessageLimit,
 * dbus-daemon's built-in limit, which every system bus keeps, is the
 * default on a bus connection; elsewhere it is the D-Bus maximum,
 * DBUS_MAXIMUM_MESSAGE_LENGTH. MessageLimit gives the connection's
 * (the D-Bus maximum for a null connection).
 */
constexpr size_t minMessageLimit = 4096;
constexpr size_t busMessageLimit = 32 * 1024 * 1024;
size_t MessageLimit(DBusConnection *conn) noexcept;

/*
 * DBus_AppendArgs and DBus_BasicArg with mode bits; the exported ones
 * use no bits beyond the connection's.
 */
int AppendArgs(Tcl_Interp *interp, const char *tag, DBusConnection *conn,
	DBusMessage *msg, const char *signature, int objc,
	Tcl_Obj *const objv[], int mode, size_t headerFields = 0);

/*
 * The size of a message's header without its signature field, from its
 * fields (null when absent), with room for the longest sender field a
 * bus may add when sender is null: what AppendArgs needs to know of the
 * message to keep it within the size limit, given by a caller that has
 * the fields at hand (reading them back from the message costs more).
 * Never 0.
 */
size_t HeaderFieldsSize(const char *path, const char *intf,
	const char *member, const char *errorName, const char *dest,
	bool replySerial, const char *sender) noexcept;
int BasicArg(Tcl_Interp *interp, const char *tag, DBusMessageIter *iter,
	int type, Tcl_Obj *arg, int mode);


/*
 * The "utf-8" encoding, looked up once per process and held for its
 * lifetime: every string argument would otherwise pay a lookup.
 */
Tcl_Encoding Utf8Encoding() noexcept;

/* True when every byte of the text is 7-bit ASCII (and non-zero). */
bool IsAscii(const char *text, int length) noexcept;

/*
 * Makes a new string object (ref count 0) from UTF-8 text received from
 * libdbus.
 */
Tcl_Obj *NewUtf8Obj(const char *text) noexcept;

/*
 * The external UTF-8 form of a Tcl value's string, as libdbus wants it.
 * Plain ASCII text is used in place; anything else is converted into the
 * buffer, which is freed with the record.
 */
struct ExternalText {
    const char *bytes = nullptr;	/* The converted text. */
    int length = 0;			/* Its length in bytes. */
    bool converted = false;		/* buffer is in use. */
    Tcl_DString buffer;

    ExternalText() noexcept = default;
    ~ExternalText() { if (converted) Tcl_DStringFree(&buffer); }
    ExternalText(const ExternalText &) = delete;
    ExternalText &operator=(const ExternalText &) = delete;

    /* Converts the string of value. */
    void From(Tcl_Obj *value) noexcept;

    /*
     * What libdbus would refuse (and abort on): NULL when the text is
     * fit to send, else the reason, a message for the script, with the
     * errorCode word for it in *kind ("NUL" or "UTF8").
     */
    const char *Problem(const char **kind) const noexcept;
};

/*
 * The channels made for the descriptors of one received message while
 * its arguments are converted for one handler script: the script's
 * only for as long as it runs, unless it keeps them. Settle, called
 * once the script has returned and the library has dropped its own
 * references to the script's words, closes every one of them that the
 * script neither closed nor kept; a channel is kept when its name value
 * is still referenced (stored in a variable, a list or dict, or a
 * script made with list, such as a chan event or after script). A
 * record that is destroyed unsettled leaves the channels open.
 */
class FdChannels {
public:
    FdChannels() noexcept = default;
    ~FdChannels() {
	if (!made_.empty()) {
	    Release();
	}
    }
    FdChannels(const FdChannels &) = delete;
    FdChannels &operator=(const FdChannels &) = delete;

    /*
     * Records a channel just made and registered in the interpreter,
     * with its name value (one reference taken here).
     */
    void Add(Tcl_Obj *name, Tcl_Channel chan);

    /* Closes the channels left over, as said above. */
    void Settle(Tcl_Interp *interp);

    /* The number of channels recorded. */
    size_t Count() const noexcept { return made_.size(); }

private:
    struct Made {
	Tcl_Obj *name;		/* One reference. */
	Tcl_Channel chan;	/* Valid while !closed. */
	bool closed;		/* The channel has been closed. */
    };
    static void Closed(ClientData made);
    void Release() noexcept;
    std::vector<std::unique_ptr<Made>> made_;
};

/*
 * DBus_IterList, with the channels made for descriptors recorded in
 * made (when not null) for the caller to settle, and the mode bits
 * (MARSHAL_BYTES).
 */
Tcl_Obj *IterList(Tcl_Interp *interp, DBusMessageIter *iter, int details,
	FdChannels *made, int mode = 0);

/*
 * Words of a command being put together, each held (one reference)
 * until the Words go: the first few without a heap allocation.
 */
class Words {
public:
    Words() noexcept = default;
    ~Words();
    Words(const Words &) = delete;
    Words &operator=(const Words &) = delete;
    void Add(Tcl_Obj *value) {
	if (count_ < fewWords) {
	    Tcl_IncrRefCount(value);
	    few_[count_++] = value;
	} else {
	    AddMore(value);
	}
    }
    void Clear() noexcept;
    int Count() const noexcept { return count_; }
    Tcl_Obj **At() noexcept {
	return count_ <= fewWords ? few_ : more_.data();
    }
private:
    void AddMore(Tcl_Obj *value);
    static constexpr int fewWords = 8;
    Tcl_Obj *few_[fewWords];
    std::vector<Tcl_Obj *> more_;
    int count_ = 0;
};

/*
 * IterList's values as words added to words instead of the elements of
 * a new list: a handler's arguments. signature, if known, is the
 * message's (iter at its first argument), which saves a step.
 */
void IterWords(Tcl_Interp *interp, DBusMessageIter *iter, int details,
	FdChannels *made, int mode, Words *words,
	const char *signature = nullptr);

/*
 * The header dict of a received message (as DBus_MessageInfo makes it),
 * from a cache of the thread's that is reused in place while nobody else
 * holds the dict: one slot per use, so that the replies of calls and the
 * messages given to handlers each keep their own shape.
 *
 * Results:
 *	The dict, borrowed from the cache: a caller that keeps it takes a
 *	reference. The next HeaderDict of the same use may change it unless
 *	it is so held.
 */
enum HeaderUse { HEADER_REPLY, HEADER_EVENT, HEADER_USES };

/*
 * Header fields a caller has already read from a message, so that they
 * are not read again: each as libdbus gives it (null when the message
 * has no such field), pointing into the message, valid while it lives.
 * HeaderDict takes the path, interface and member from it when known is
 * set, and leaves the signature in it.
 */
struct HeaderFields {
    HeaderFields() = default;
    HeaderFields(const char *p, const char *i, const char *m)
	    : known(true), path(p), interface(i), member(m) {}
    bool known = false;		/* path, interface and member are set. */
    const char *path = nullptr;
    const char *interface = nullptr;
    const char *member = nullptr;
    const char *signature = nullptr;	/* Set by HeaderDict. */
};
Tcl_Obj *HeaderDict(HeaderUse use, DBusMessage *msg,
	HeaderFields *fields = nullptr);

/*
 * Installs the header dict of a reply as the interpreter's return
 * options, as Tcl_SetReturnOptions would on a reset interpreter.
 */
void SetReturnHeader(Tcl_Interp *interp, DBusMessage *reply);

} // namespace vantrel

#endif
