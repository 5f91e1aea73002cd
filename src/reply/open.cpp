/*
 * open.cpp --
 *
 *	The method calls that exported objects have taken on and not
 *	answered yet. Every reply the library sends is checked against
 *	them, whoever sends it, so that an object knows which of its calls
 *	it must still answer when it goes.
 */

#include <cstring>
#include "common.hpp"
#include "reply/reply.hpp"

namespace {

/*
 * The records of this thread that have open calls, linked through
 * their own fields; none in the usual case, which spares every reply
 * the search.
 */
thread_local vantrel::OpenCalls *withCalls = nullptr;

} // namespace

namespace vantrel {

OpenCalls::~OpenCalls()
{
    calls_.clear();
    Link();
}

/*
 * Link --
 *
 *	Keeps the record among the thread's records with open calls while
 *	it has any, and only then.
 */
void
OpenCalls::Link()
{
    bool linked = prev_ != nullptr || withCalls == this;
    if (calls_.empty() && linked) {
	(prev_ != nullptr ? prev_->next_ : withCalls) = next_;
	if (next_ != nullptr) {
	    next_->prev_ = prev_;
	}
	prev_ = next_ = nullptr;
    } else if (!calls_.empty() && !linked) {
	next_ = withCalls;
	if (next_ != nullptr) {
	    next_->prev_ = this;
	}
	withCalls = this;
    }
}

void
OpenCalls::Erase(std::vector<Call>::iterator it)
{
    calls_.erase(it);
    Link();
}

void
OpenCalls::Open(DBusConnection *conn, DBusMessage *call)
{
    if (dbus_message_get_no_reply(call)) {
	return;
    }
    calls_.push_back({conn, holdMessage(call), true});
    Link();
}

void
OpenCalls::Close(DBusMessage *call, bool deferred, bool gone)
{
    for (auto it = calls_.begin(); it != calls_.end(); ++it) {
	if (it->msg.get() != call) {
	    continue;
	}
	if (deferred && !gone) {
	    it->running = false;
	    return;
	}
	DBusConnection *conn = it->conn;
	MessagePtr msg = std::move(it->msg);
	Erase(it);
	if (deferred) {
	    /* The script deferred a call of an object it unexported. */
	    ReplyUnknownObject(conn, msg.get());
	}
	return;
    }
}

void
OpenCalls::CloseAll(bool answer)
{
    std::vector<Call> all;
    all.swap(calls_);
    Link();
    for (Call &call : all) {
	if (answer && call.running) {
	    calls_.push_back(std::move(call));	/* Close answers it. */
	} else if (answer) {
	    ReplyUnknownObject(call.conn, call.msg.get());
	}
    }
    Link();
}

/*
 * Answered --
 *
 *	A reply to the call with the given serial from dest (null for a
 *	peer without a name) went out on conn: the open call it answers, if
 *	any, is closed.
 */
void
OpenCalls::Answered(DBusConnection *conn, const char *dest,
	dbus_uint32_t serial)
{
    for (OpenCalls *r = withCalls; r != nullptr; r = r->next_) {
	for (auto it = r->calls_.begin(); it != r->calls_.end(); ++it) {
	    DBusMessage *call = it->msg.get();
	    const char *sender = dbus_message_get_sender(call);
	    if (it->conn == conn && dbus_message_get_serial(call) == serial
		    && (sender == NULL ? dest == NULL
			: dest != NULL && std::strcmp(sender, dest) == 0)) {
		r->Erase(it);
		return;
	    }
	}
    }
}

} // namespace vantrel
