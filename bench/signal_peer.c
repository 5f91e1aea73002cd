/*
 * signal_peer.c --
 *
 *	The raw libdbus peers of the signal benchmark
 *	(bench/run-instructions.sh signals): one sender, and the receiver
 *	that the Tcl handlers are measured against. The signal is
 *	org.bench.Tick(INT32 i, STRING "payload i") on /bench, sent to one
 *	destination, as bench/serve_signals.py sends it.
 *
 *	Usage: signal_peer send ADDRESS DEST N
 *	       signal_peer receive ADDRESS N
 *	send: sends N signals to DEST, waits until the bus has routed every
 *	one (a Ping of the bus answered after them), prints "sent" and exits.
 *	receive: prints its unique name, waits for a line on standard input
 *	(so that every signal can be queued for it first), then dispatches
 *	signals to a filter that reads both arguments, as a careful C program
 *	would, until N have arrived; prints "received N" and exits.
 */

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <dbus/dbus.h>

static long received;		/* Ticks seen by the receiver's filter. */
static long checksum;		/* Sum of their arguments, kept so the
				 * reading is not optimised away. */

/*
 * Connect --
 *	Opens a private connection to ADDRESS and registers with the bus.
 *	Exits the process on failure.
 */
static DBusConnection *
Connect(const char *address)
{
    DBusError err;
    dbus_error_init(&err);
    DBusConnection *conn = dbus_connection_open_private(address, &err);
    if (conn == NULL || !dbus_bus_register(conn, &err)) {
	fprintf(stderr, "signal_peer: %s\n", err.message);
	exit(1);
    }
    return conn;
}

/* Send -- sends count Ticks to dest; returns once the bus has them all. */
static int
Send(DBusConnection *conn, const char *dest, long count)
{
    char text[32];
    for (long i = 0; i < count; i++) {
	DBusMessage *msg = dbus_message_new_signal("/bench", "org.bench",
		"Tick");
	dbus_int32_t n = (dbus_int32_t) i;
	const char *p = text;
	snprintf(text, sizeof(text), "payload %ld", i);
	dbus_message_set_destination(msg, dest);
	dbus_message_append_args(msg, DBUS_TYPE_INT32, &n, DBUS_TYPE_STRING,
		&p, DBUS_TYPE_INVALID);
	dbus_connection_send(conn, msg, NULL);
	dbus_message_unref(msg);
    }

    /*
     * The bus handles one connection's messages in order: once it has
     * answered this call, it has routed every signal sent before it.
     */
    DBusError err;
    dbus_error_init(&err);
    DBusMessage *ping = dbus_message_new_method_call("org.freedesktop.DBus",
	    "/org/freedesktop/DBus", "org.freedesktop.DBus.Peer", "Ping");
    DBusMessage *reply = dbus_connection_send_with_reply_and_block(conn,
	    ping, -1, &err);
    dbus_message_unref(ping);
    if (reply == NULL) {
	fprintf(stderr, "signal_peer: %s\n", err.message);
	return 1;
    }
    dbus_message_unref(reply);
    printf("sent\n");
    return 0;
}

/*
 * Tick --
 *	The receiver's filter: counts the Ticks and reads their arguments.
 *	The message is borrowed from libdbus.
 */
static DBusHandlerResult
Tick(DBusConnection *conn, DBusMessage *msg, void *data)
{
    (void) conn;
    (void) data;
    if (!dbus_message_is_signal(msg, "org.bench", "Tick")) {
	return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    DBusMessageIter iter;
    dbus_int32_t n = 0;
    const char *text = "";
    if (dbus_message_iter_init(msg, &iter)
	    && dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_INT32) {
	dbus_message_iter_get_basic(&iter, &n);
	if (dbus_message_iter_next(&iter)
		&& dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_STRING) {
	    dbus_message_iter_get_basic(&iter, &text);
	}
    }
    checksum += n + (long) strlen(text);
    received++;
    return DBUS_HANDLER_RESULT_HANDLED;
}

/* Receive -- see the usage above. */
static int
Receive(DBusConnection *conn, long count)
{
    char line[64];
    dbus_connection_add_filter(conn, Tick, NULL, NULL);
    printf("%s\n", dbus_bus_get_unique_name(conn));
    fflush(stdout);
    if (fgets(line, sizeof(line), stdin) == NULL) {
	return 1;
    }
    while (received < count
	    && dbus_connection_read_write_dispatch(conn, -1)) {
    }
    printf("received %ld\n", received);
    return received == count && checksum >= 0 ? 0 : 1;
}

int
main(int argc, char **argv)
{
    int rc;
    if (argc == 5 && strcmp(argv[1], "send") == 0) {
	DBusConnection *conn = Connect(argv[2]);
	rc = Send(conn, argv[3], atol(argv[4]));
	dbus_connection_close(conn);
	dbus_connection_unref(conn);
    } else if (argc == 4 && strcmp(argv[1], "receive") == 0) {
	DBusConnection *conn = Connect(argv[2]);
	rc = Receive(conn, atol(argv[3]));
	dbus_connection_close(conn);
	dbus_connection_unref(conn);
    } else {
	fprintf(stderr, "usage: signal_peer send ADDRESS DEST N\n"
		"       signal_peer receive ADDRESS N\n");
	rc = 2;
    }
    return rc;
}
