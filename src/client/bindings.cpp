/*
 * bindings.cpp --
 *
 *	Signal bindings and followed bus names. The connection's router
 *	(handlers/dispatch.cpp) hands every incoming signal to this file's
 *	step, which offers it to the bindings that can match it, in the
 *	order they were made, so that any number of them can see the same
 *	signal; the owner of a followed name is learnt with GetNameOwner
 *	and kept from NameOwnerChanged.
 *
 *	The bindings are indexed by the path, interface and member they
 *	name: a signal is looked up once for each combination of named
 *	and unnamed fields that some binding uses (at most eight), so a
 *	binding that names another path, interface or member costs the
 *	signal nothing.
 */

#include <algorithm>
#include <map>
#include <unordered_map>
#include "client/client.hpp"
#include "client/handles.hpp"
#include "handlers/handlers.hpp"
#include "outgoing/outgoing.hpp"
#include "values/values.hpp"

namespace {

using vantrel::Binding;
using vantrel::OwnerCallback;

/* A followed bus name. */
struct Tracker {
    vantrel::ConnRef conn;	/* Where it is followed. */
    std::string name;
    std::string owner;		/* Meaningful once known. */
    bool known = false;
    Binding *changes = nullptr;	/* The NameOwnerChanged binding. */
    DBusPendingCall *pending = nullptr; /* GetNameOwner, until answered;
				 * one reference. */
    std::map<int, OwnerCallback> callbacks;
};

/*
 * Which of path, interface and member a binding names: one bit each. A
 * signal is looked up under each shape some binding has.
 */
constexpr unsigned namesPath = 1, namesInterface = 2, namesMember = 4;
constexpr unsigned shapeCount = 8;

/* Up to this many bindings, a signal is offered to each in turn. */
constexpr size_t fewBindings = 8;

} // namespace

namespace vantrel {

/* What the client side keeps per connection, in its parts. */
struct ClientState {
    /* Every binding, by the order it was made in; a dead one stays
     * until no walk is on. */
    std::map<unsigned long, std::unique_ptr<Binding>> bindings;
    /* The live bindings by shape and the fields they name (Key). */
    std::unordered_map<std::string, std::vector<Binding *>> index;
    size_t shapes[shapeCount] = {}; /* Live bindings of each shape. */
    size_t live = 0;		/* Live bindings in all. */
    std::vector<unsigned long> dead; /* Removed during a walk. */
    std::map<std::string, std::unique_ptr<Tracker>> trackers;
    int walking = 0;		/* Walks of RouteToBindings in progress. */
    int nextToken = 0;
    unsigned long nextSeq = 0;
};

} // namespace vantrel

namespace {

using vantrel::ClientState;

/* The client state of a connection, made when create asks for it. */
ClientState *
State(DBusConnection *conn, bool create)
{
    return vantrel::PartOf(conn, &DBusConnParts::client, create);
}

/* The n-th argument of a message when it is a string, else null. */
const char *
StringArg(DBusMessage *msg, int n)
{
    DBusMessageIter iter;
    if (!dbus_message_iter_init(msg, &iter)) {
	return NULL;
    }
    for (int i = 0; i < n; i++) {
	if (!dbus_message_iter_next(&iter)) {
	    return NULL;
	}
    }
    int type = dbus_message_iter_get_arg_type(&iter);
    if (type != DBUS_TYPE_STRING && type != DBUS_TYPE_OBJECT_PATH) {
	return NULL;
    }
    const char *text = NULL;
    dbus_message_iter_get_basic(&iter, &text);
    return text;
}

bool
Equal(const std::string &want, const char *have)
{
    return want.empty() || (have != NULL && want == have);
}

/* Whether a binding takes a signal of the given path, interface and
 * member. */
bool
Matches(ClientState *state, const Binding &b, DBusMessage *msg,
	const char *path, const char *intf, const char *member)
{
    const vantrel::SignalMatch &m = b.match;
    if (!Equal(m.path, path) || !Equal(m.interface, intf)
	    || !Equal(m.member, member)) {
	return false;
    }
    if (!m.sender.empty()) {
	const char *sender = dbus_message_get_sender(msg);
	if (sender == NULL) {
	    return false;
	}
	if (m.sender != sender) {
	    auto it = state->trackers.find(m.sender);
	    /* Unknown yet: the bus's own match rule has chosen for us. */
	    if (it != state->trackers.end() && it->second->known
		    && it->second->owner != sender) {
		return false;
	    }
	}
    }
    for (const auto &arg : m.args) {
	const char *value = StringArg(msg, arg.first);
	if (value == NULL || arg.second != value) {
	    return false;
	}
    }
    return true;
}

/* The shape of a match: which of path, interface and member it names. */
unsigned
ShapeOf(const vantrel::SignalMatch &m)
{
    return (m.path.empty() ? 0 : namesPath)
	    | (m.interface.empty() ? 0 : namesInterface)
	    | (m.member.empty() ? 0 : namesMember);
}

/*
 * The index key of a shape and the fields it names, written into key
 * (cleared first); the fields a shape leaves out are left out.
 */
void
Key(std::string &key, unsigned shape, const char *path, const char *intf,
	const char *member)
{
    key.assign(1, static_cast<char>('0' + shape));
    if (shape & namesPath) {
	key.append(path).push_back('\0');
    }
    if (shape & namesInterface) {
	key.append(intf).push_back('\0');
    }
    if (shape & namesMember) {
	key.append(member);
    }
}

/* The shape of a binding, and its index key written into key. */
unsigned
KeyOf(const Binding *b, std::string &key)
{
    const vantrel::SignalMatch &m = b->match;
    unsigned shape = ShapeOf(m);
    Key(key, shape, m.path.c_str(), m.interface.c_str(), m.member.c_str());
    return shape;
}

void
IndexBinding(ClientState *state, Binding *b)
{
    std::string key;
    unsigned shape = KeyOf(b, key);
    state->index[key].push_back(b);
    state->shapes[shape]++;
    state->live++;
}

void
UnindexBinding(ClientState *state, Binding *b)
{
    std::string key;
    unsigned shape = KeyOf(b, key);
    auto it = state->index.find(key);
    if (it != state->index.end()) {
	std::vector<Binding *> &v = it->second;
	v.erase(std::remove(v.begin(), v.end(), b), v.end());
	if (v.empty()) {
	    state->index.erase(it);
	}
    }
    state->shapes[shape]--;
    state->live--;
}

/* Frees the bindings removed while a walk was on. */
void
Purge(ClientState *state)
{
    for (unsigned long seq : state->dead) {
	state->bindings.erase(seq);
    }
    state->dead.clear();
}

/*
 * RouteToBindings --
 *
 *	The bindings' step of the router, for every signal: offers it to
 *	each live binding that can match it and was made before the walk
 *	began, in the order they were made.
 */
void
RouteToBindings(DBusConnection *conn, DBusConnParts *parts, DBusMessage *msg,
	const char *path, const char *intf, const char *member)
{
    ClientState *state = parts->client;
    if (state == nullptr || state->live == 0) {
	return;
    }

    /*
     * The candidates, taken before any is offered the signal: all of a
     * few bindings (cheaper than the lookups), else those the index
     * gives.
     */
    Binding *few[fewBindings];
    std::vector<Binding *> many;
    Binding **candidates = few;
    size_t count = 0;
    if (state->live <= fewBindings) {
	for (auto &entry : state->bindings) {
	    if (!entry.second->dead) {
		few[count++] = entry.second.get();
	    }
	}
    } else {
	thread_local std::string key;
	int buckets = 0;
	for (unsigned shape = 0; shape < shapeCount; shape++) {
	    if (state->shapes[shape] == 0
		    || ((shape & namesPath) && path == NULL)
		    || ((shape & namesInterface) && intf == NULL)
		    || ((shape & namesMember) && member == NULL)) {
		continue;
	    }
	    Key(key, shape, path, intf, member);
	    auto it = state->index.find(key);
	    if (it != state->index.end()) {
		many.insert(many.end(), it->second.begin(), it->second.end());
		buckets++;
	    }
	}
	if (buckets > 1) {
	    std::sort(many.begin(), many.end(),
		    [](const Binding *a, const Binding *b) {
		return a->seq < b->seq;
	    });
	}
	candidates = many.data();
	count = many.size();
    }

    vantrel::HeaderFields fields(path, intf, member);
    state->walking++;
    for (size_t i = 0; i < count; i++) {
	Binding *b = candidates[i];
	if (!b->dead && Matches(state, *b, msg, path, intf, member)) {
	    b->deliver(conn, msg, fields);
	}
    }
    if (--state->walking == 0 && !state->dead.empty()) {
	Purge(state);
    }
}

/* Quotes a match rule value, as the filter command does. */
void
AppendRule(std::string &rule, const char *key, const std::string &value)
{
    if (value.empty()) {
	return;
    }
    vantrel::ObjPtr raw = vantrel::holdObj(Tcl_NewStringObj(value.c_str(),
	    static_cast<int>(value.size())));
    vantrel::ObjPtr quoted = vantrel::adoptObj(DBus_QuoteRuleValue(raw.get()));
    rule.append(",");
    rule.append(key);
    rule.append("=");
    rule.append(Tcl_GetString(quoted.get()));
}

std::string
RuleOf(const vantrel::SignalMatch &m)
{
    std::string rule = "type='signal'";
    AppendRule(rule, "sender", m.sender);
    AppendRule(rule, "path", m.path);
    AppendRule(rule, "interface", m.interface);
    AppendRule(rule, "member", m.member);
    for (const auto &arg : m.args) {
	AppendRule(rule, ("arg" + std::to_string(arg.first)).c_str(),
		arg.second);
    }
    return rule;
}

/* Tells every callback of a tracker its owner. */
void
Announce(DBusConnection *conn, Tracker *tracker)
{
    /* A callback may stop following: walk a copy of the tokens. */
    std::vector<OwnerCallback> calls;
    for (auto &entry : tracker->callbacks) {
	calls.push_back(entry.second);
    }
    for (auto &call : calls) {
	call(conn, tracker->owner);
    }
}

/*
 * OwnerReply --
 *
 *	Notification of GetNameOwner: the owner is known from now on.
 */
void
OwnerReply(DBusPendingCall *pending, void *data)
{
    auto *tracker = static_cast<Tracker *>(data);
    /* The reply stolen from the pending call is ours. */
    vantrel::MessagePtr reply = vantrel::adoptMessage(
	    dbus_pending_call_steal_reply(pending));
    dbus_pending_call_unref(pending);
    tracker->pending = nullptr;
    const char *owner = NULL;
    if (reply && dbus_message_get_type(reply.get())
	    == DBUS_MESSAGE_TYPE_METHOD_RETURN) {
	dbus_message_get_args(reply.get(), NULL, DBUS_TYPE_STRING, &owner,
		DBUS_TYPE_INVALID);
    }
    tracker->owner = owner ? owner : "";
    tracker->known = true;
    Announce(tracker->conn, tracker);
}

/*
 * Asks the bus who owns a tracker's name; OwnerReply takes the answer.
 * False without memory.
 */
bool
AskOwner(Tracker *tracker)
{
    vantrel::MessagePtr ask = vantrel::adoptMessage(
	    dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
		    DBUS_INTERFACE_DBUS, "GetNameOwner"));
    const char *text = tracker->name.c_str();
    DBusPendingCall *pending = NULL;
    if (!ask || !dbus_message_append_args(ask.get(), DBUS_TYPE_STRING,
	    &text, DBUS_TYPE_INVALID)
	    || !dbus_connection_send_with_reply(tracker->conn, ask.get(),
		    &pending, DBUS_TIMEOUT_USE_DEFAULT)) {
	return false;
    }
    if (pending == NULL) {
	/* A closed connection: nobody owns anything there. */
	tracker->known = true;
	tracker->owner.clear();
	return true;
    }
    tracker->pending = pending;
    dbus_pending_call_set_notify(pending, OwnerReply, tracker, NULL);
    return true;
}

void
DropTracker(ClientState *state, const std::string &name)
{
    auto it = state->trackers.find(name);
    if (it == state->trackers.end()) {
	return;
    }
    Tracker *tracker = it->second.get();
    if (tracker->pending != nullptr) {
	dbus_pending_call_cancel(tracker->pending);
	dbus_pending_call_unref(tracker->pending);
	tracker->pending = nullptr;
    }
    if (tracker->changes != nullptr) {
	vantrel::RemoveBinding(tracker->changes);
    }
    state->trackers.erase(it);
}

} // namespace

namespace vantrel {

Binding *
AddBinding(Tcl_Interp *interp, DBusConnection *conn, SignalMatch match,
	Deliver deliver,
	const char *tag, bool addRule)
{
    if (!dbus_connection_get_is_connected(conn)) {
	Fail(interp, tag, "CONNECTION", "connection is closed");
	return nullptr;
    }
    ClientState *state = State(conn, true);
    auto binding = std::make_unique<Binding>();
    binding->conn = conn;
    binding->match = std::move(match);
    binding->deliver = std::move(deliver);
    /* A peer sends its signals straight to us: no rule to ask for. */
    if (addRule && HasBus(conn)) {
	std::string rule = RuleOf(binding->match);
	MessagePtr msg = BusCall("AddMatch");
	const char *text = rule.c_str();
	if (!msg || !dbus_message_append_args(msg.get(), DBUS_TYPE_STRING,
		&text, DBUS_TYPE_INVALID)) {
	    DBus_MemoryError(interp);
	    return nullptr;
	}
	/* Blocking: the answer is in before WaitReply returns. */
	int code = WaitReply(interp, conn, std::move(msg),
		{tag, DBUS_TIMEOUT_USE_DEFAULT, false},
		[tag](Tcl_Interp *ip, DBusMessage *answer) {
	    ErrorGuard err;
	    if (dbus_set_error_from_message(err.get(), answer)) {
		Tcl_SetObjResult(ip, Tcl_ObjPrintf("Match Error: %s",
			err.message()));
		Tcl_DBusErrorCode(ip, tag, err.get());
		return TCL_ERROR;
	    }
	    return TCL_OK;
	});
	if (code != TCL_OK) {
	    return nullptr;
	}
	RememberRule(conn, rule.c_str());
	binding->rule = std::move(rule);
    }
    Binding *made = binding.get();
    made->seq = ++state->nextSeq;
    state->bindings.emplace(made->seq, std::move(binding));
    IndexBinding(state, made);
    return made;
}

void
RemoveBinding(Binding *binding)
{
    if (binding->dead) {
	return;
    }
    binding->dead = true;
    DBusConnection *conn = binding->conn;
    if (!binding->rule.empty()) {
	ForgetRule(conn, binding->rule.c_str());
	if (dbus_connection_get_is_connected(conn)) {
	    /* Without an error to fill, libdbus does not wait. */
	    dbus_bus_remove_match(conn, binding->rule.c_str(), NULL);
	}
    }
    ClientState *state = State(conn, false);
    if (state == nullptr) {
	return;
    }
    UnindexBinding(state, binding);
    /* A walk may hold it among its candidates: freed after the walk. */
    state->dead.push_back(binding->seq);
    if (state->walking == 0) {
	Purge(state);
    }
}

int
FollowOwner(Tcl_Interp *interp, DBusConnection *conn, const std::string &name,
	OwnerCallback callback, const char *tag)
{
    if (!dbus_connection_get_is_connected(conn)) {
	Fail(interp, tag, "CONNECTION", "connection is closed");
	return -1;
    }
    if (RefuseNoBus(interp, tag, conn) != TCL_OK) {
	return -1;
    }
    ClientState *state = State(conn, true);
    auto it = state->trackers.find(name);
    Tracker *tracker;
    if (it == state->trackers.end()) {
	auto made = std::make_unique<Tracker>();
	tracker = made.get();
	tracker->conn = conn;
	tracker->name = name;
	SignalMatch m;
	m.sender = DBUS_SERVICE_DBUS;
	m.path = DBUS_PATH_DBUS;
	m.interface = DBUS_INTERFACE_DBUS;
	m.member = "NameOwnerChanged";
	m.args.emplace_back(0, name);
	/*
	 * Changes reported before the GetNameOwner reply are older than
	 * the owner it gives, so they are skipped.
	 */
	Binding *changes = AddBinding(interp, conn, m,
		[tracker](DBusConnection *on, DBusMessage *msg,
			const HeaderFields &) {
	    const char *newOwner = StringArg(msg, 2);
	    if (!tracker->known || newOwner == NULL
		    || tracker->owner == newOwner) {
		return;
	    }
	    tracker->owner = newOwner;
	    Announce(on, tracker);
	}, tag);
	if (changes == nullptr) {
	    return -1;
	}
	tracker->changes = changes;
	if (!AskOwner(tracker)) {
	    RemoveBinding(changes);
	    DBus_MemoryError(interp);
	    return -1;
	}
	state->trackers.emplace(name, std::move(made));
    } else {
	tracker = it->second.get();
    }
    int token = ++state->nextToken;
    if (tracker->known) {
	/* Learnt before: this follower hears it now (it only queues). */
	callback(conn, tracker->owner);
    }
    tracker->callbacks.emplace(token, std::move(callback));
    return token;
}

void
InitClient()
{
    AddSignalRoute(RouteToBindings);
}

void
StopFollowing(DBusConnection *conn, int token)
{
    ClientState *state = State(conn, false);
    if (state == nullptr) {
	return;
    }
    for (auto &entry : state->trackers) {
	if (entry.second->callbacks.erase(token) > 0) {
	    if (entry.second->callbacks.empty()) {
		DropTracker(state, entry.first);
	    }
	    return;
	}
    }
}

const std::string *
KnownOwner(DBusConnection *conn, const std::string &name)
{
    ClientState *state = State(conn, false);
    if (state == nullptr) {
	return nullptr;
    }
    auto it = state->trackers.find(name);
    if (it == state->trackers.end() || !it->second->known) {
	return nullptr;
    }
    return &it->second->owner;
}

void
ClientLost(DBusConnection *conn)
{
    ForgetIntrospection(conn);
    ClientState *state = State(conn, false);
    if (state == nullptr) {
	return;
    }
    for (auto &entry : state->trackers) {
	Tracker *tracker = entry.second.get();
	if (tracker->pending != nullptr) {
	    dbus_pending_call_cancel(tracker->pending);
	    dbus_pending_call_unref(tracker->pending);
	    tracker->pending = nullptr;
	}
	bool had = tracker->known && !tracker->owner.empty();
	tracker->known = true;
	tracker->owner.clear();
	if (had) {
	    Announce(conn, tracker);
	}
    }
}

/*
 * AskOwnersAgain --
 *
 *	After a reconnection: every followed name's owner is asked of the
 *	new bus (client.hpp).
 */
void
AskOwnersAgain(DBusConnection *conn)
{
    ClientState *state = State(conn, false);
    if (state == nullptr) {
	return;
    }
    for (auto &entry : state->trackers) {
	Tracker *tracker = entry.second.get();
	tracker->known = false;
	AskOwner(tracker);
    }
}

/*
 * ForgetClientState --
 *
 *	The last step of DropClient (handles.cpp): every tracker and
 *	binding of the connection go.
 */
void
ForgetClientState(DBusConnection *conn)
{
    ClientState *state = State(conn, false);
    if (state == nullptr) {
	return;
    }
    while (!state->trackers.empty()) {
	DropTracker(state, state->trackers.begin()->first);
    }
    for (auto &entry : state->bindings) {
	entry.second->dead = true;
    }
    DropPart(conn, &DBusConnParts::client);
}

} // namespace vantrel
