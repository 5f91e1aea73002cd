/*
 * marshal.hpp --
 *
 *	Pieces of outgoing marshalling shared between the files of the
 *	value subsystem, and by no one else.
 */

#ifndef VANTREL_MARSHAL_HPP
#define VANTREL_MARSHAL_HPP

#include "vantrel.h"
#include "values/values.hpp"

namespace vantrel {

/*
 * Deepest nesting of containers (arrays, structs, dict entries and
 * variants together) that a D-Bus message may hold; libdbus and the bus
 * refuse anything deeper.
 */
constexpr int maxContainerDepth = 2 * DBUS_MAXIMUM_TYPE_RECURSION_DEPTH;

/*
 * Appends a Tcl list as an array of a fixed-size basic type in one
 * block; each element is read as DBus_BasicArg reads it.
 */
int AppendFixedArray(Tcl_Interp *interp, const char *tag,
	DBusMessageIter *iter, int elementType, Tcl_Obj *value,
	int mode) noexcept;

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
    {}
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
	return dbus_message_iter_close_container(parent_, &sub_);
    }
private:
    DBusMessageIter *parent_;
    DBusMessageIter sub_;
    bool open_;
};

} // namespace vantrel

#endif
