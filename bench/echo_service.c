/*
 * echo_service.c --
 *
 *	The echo service of the method-call benchmark: owns the bus name
 *	org.vantrel.Bench and answers every call of the method Echo
 *	(interface org.vantrel.Bench, path /org/vantrel/Bench) with a
 *	method return carrying the call's own arguments. Written directly
 *	against libdbus so that the service costs the same for every
 *	client measured. It also answers Introspect, declaring Echo as
 *	taking and returning one string, so that proxies can type their
 *	calls; Echo itself takes and returns any arguments.
 *
 *	Usage: echo_service ADDRESS
 *	Prints "ready" once the name is owned, then serves until the bus
 *	goes away or the process is killed.
 */

#include <stdio.h>
#include <string.h>
#include <dbus/dbus.h>

static void CopyArgs(DBusMessageIter *from, DBusMessageIter *to);

/*
 * CopyValue --
 *	Appends the value at from to to, descending into containers. Arrays
 *	of fixed-size elements are copied as one block.
 */
static void
CopyValue(DBusMessageIter *from, DBusMessageIter *to)
{
    int type = dbus_message_iter_get_arg_type(from);
    if (dbus_type_is_basic(type)) {
	DBusBasicValue value;
	dbus_message_iter_get_basic(from, &value);
	dbus_message_iter_append_basic(to, type, &value);
	return;
    }
    DBusMessageIter fromSub, toSub;
    char *signature = NULL;
    dbus_message_iter_recurse(from, &fromSub);
    if (type == DBUS_TYPE_ARRAY || type == DBUS_TYPE_VARIANT) {
	signature = dbus_message_iter_get_signature(&fromSub);
    }
    if (type == DBUS_TYPE_ARRAY) {
	int elementType = dbus_message_iter_get_element_type(from);
	dbus_message_iter_open_container(to, type, signature, &toSub);
	if (dbus_type_is_fixed(elementType)) {
	    const void *block;
	    int count;
	    dbus_message_iter_get_fixed_array(&fromSub, &block, &count);
	    dbus_message_iter_append_fixed_array(&toSub, elementType, &block,
		    count);
	} else {
	    CopyArgs(&fromSub, &toSub);
	}
    } else {
	dbus_message_iter_open_container(to, type, signature, &toSub);
	CopyArgs(&fromSub, &toSub);
    }
    dbus_message_iter_close_container(to, &toSub);
    dbus_free(signature);
}

/* CopyArgs -- appends every value from the iterator on. */
static void
CopyArgs(DBusMessageIter *from, DBusMessageIter *to)
{
    while (dbus_message_iter_get_arg_type(from) != DBUS_TYPE_INVALID) {
	CopyValue(from, to);
	dbus_message_iter_next(from);
    }
}

/* The introspection data of /org/vantrel/Bench. */
static const char introspection[] =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
    "<node>\n"
    "  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "    <method name=\"Introspect\"><arg name=\"xml\" type=\"s\" direction=\"out\"/></method>\n"
    "  </interface>\n"
    "  <interface name=\"org.vantrel.Bench\">\n"
    "    <method name=\"Echo\">\n"
    "      <arg name=\"text\" type=\"s\" direction=\"in\"/>\n"
    "      <arg name=\"text\" type=\"s\" direction=\"out\"/>\n"
    "    </method>\n"
    "  </interface>\n"
    "</node>\n";

/* Serve -- the object path handler: answers Echo and Introspect,
 * refuses the rest. */
static DBusHandlerResult
Serve(DBusConnection *conn, DBusMessage *msg, void *data)
{
    (void) data;
    if (dbus_message_is_method_call(msg, "org.freedesktop.DBus.Introspectable",
	    "Introspect")) {
	DBusMessage *reply = dbus_message_new_method_return(msg);
	const char *xml = introspection;
	dbus_message_append_args(reply, DBUS_TYPE_STRING, &xml,
		DBUS_TYPE_INVALID);
	dbus_connection_send(conn, reply, NULL);
	dbus_message_unref(reply);
	return DBUS_HANDLER_RESULT_HANDLED;
    }
    if (!dbus_message_is_method_call(msg, "org.vantrel.Bench", "Echo")) {
	return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    DBusMessage *reply = dbus_message_new_method_return(msg);
    DBusMessageIter from, to;
    dbus_message_iter_init_append(reply, &to);
    if (dbus_message_iter_init(msg, &from)) {
	CopyArgs(&from, &to);
    }
    dbus_connection_send(conn, reply, NULL);
    dbus_message_unref(reply);
    return DBUS_HANDLER_RESULT_HANDLED;
}

int
main(int argc, char **argv)
{
    if (argc != 2) {
	fprintf(stderr, "usage: echo_service ADDRESS\n");
	return 2;
    }
    DBusError err;
    dbus_error_init(&err);
    DBusConnection *conn = dbus_connection_open_private(argv[1], &err);
    if (conn == NULL || !dbus_bus_register(conn, &err)) {
	fprintf(stderr, "echo_service: %s\n", err.message);
	return 1;
    }
    if (dbus_bus_request_name(conn, "org.vantrel.Bench",
	    DBUS_NAME_FLAG_DO_NOT_QUEUE, &err)
	    != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
	fprintf(stderr, "echo_service: cannot own org.vantrel.Bench\n");
	return 1;
    }
    DBusObjectPathVTable vtable;
    memset(&vtable, 0, sizeof(vtable));
    vtable.message_function = Serve;
    dbus_connection_register_object_path(conn, "/org/vantrel/Bench", &vtable,
	    NULL);
    printf("ready\n");
    fflush(stdout);
    while (dbus_connection_read_write_dispatch(conn, -1)) {
    }
    return 0;
}
