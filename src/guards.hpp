/*
 * guards.hpp --
 *
 *	Scope guards for the C handles the library juggles: libdbus messages,
 *	pending calls and errors, and Tcl object references. Each guard owns
 *	exactly one reference; release() hands it back to C and always sits
 *	next to a comment naming the new owner.
 */

#ifndef VANTREL_GUARDS_HPP
#define VANTREL_GUARDS_HPP

#include <memory>
#include <utility>
#include "vantrel.h"

namespace vantrel {

struct MessageUnref {
    void operator()(DBusMessage *m) const noexcept { dbus_message_unref(m); }
};
struct PendingUnref {
    void operator()(DBusPendingCall *p) const noexcept {
	dbus_pending_call_unref(p);
    }
};
struct ObjDecr {
    void operator()(Tcl_Obj *o) const noexcept { Tcl_DecrRefCount(o); }
};

/* Owns one libdbus reference to a message. */
using MessagePtr = std::unique_ptr<DBusMessage, MessageUnref>;

/* Takes a libdbus reference of its own to a message we only borrow. */
inline MessagePtr holdMessage(DBusMessage *m) noexcept
{
    return MessagePtr(dbus_message_ref(m));
}

/* Adopts a reference the caller already owns (a new or stolen message). */
inline MessagePtr adoptMessage(DBusMessage *m) noexcept
{
    return MessagePtr(m);
}

/* Owns one libdbus reference to a pending call. */
using PendingPtr = std::unique_ptr<DBusPendingCall, PendingUnref>;

/* Owns one Tcl reference to an object. */
using ObjPtr = std::unique_ptr<Tcl_Obj, ObjDecr>;

/* Takes a new reference of its own (fresh or shared objects alike). */
inline ObjPtr holdObj(Tcl_Obj *o) noexcept
{
    Tcl_IncrRefCount(o);
    return ObjPtr(o);
}

/* Adopts a reference the caller already took. */
inline ObjPtr adoptObj(Tcl_Obj *o) noexcept
{
    return ObjPtr(o);
}

/*
 * One Tcl reference shared by copies, for the callbacks that must be
 * copyable (std::function); the last copy drops it.
 */
using SharedObj = std::shared_ptr<Tcl_Obj>;

inline SharedObj shareObj(Tcl_Obj *o)
{
    Tcl_IncrRefCount(o);
    return SharedObj(o, ObjDecr());
}

/* A DBusError initialised on construction and freed on destruction. */
class ErrorGuard {
public:
    ErrorGuard() noexcept { dbus_error_init(&err_); }
    ~ErrorGuard() { dbus_error_free(&err_); }
    ErrorGuard(const ErrorGuard &) = delete;
    ErrorGuard &operator=(const ErrorGuard &) = delete;
    DBusError *get() noexcept { return &err_; }
    bool isSet() const noexcept { return dbus_error_is_set(&err_); }
    const char *name() const noexcept { return err_.name; }
    const char *message() const noexcept { return err_.message; }
private:
    DBusError err_;
};

/* Runs a callable when the scope ends, for the rare cleanup left over. */
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F f) noexcept : f_(std::move(f)) {}
    ~ScopeExit() { if (armed_) f_(); }
    void dismiss() noexcept { armed_ = false; }
    ScopeExit(const ScopeExit &) = delete;
    ScopeExit &operator=(const ScopeExit &) = delete;
private:
    F f_;
    bool armed_ = true;
};

} // namespace vantrel

#endif
