/*
 * props_client.c --
 *
 *	The client of the exported-object benchmark (bench/run-objects.sh),
 *	written directly against libdbus so that the client costs little
 *	next to the services it measures. It calls one method of one
 *	object for a given time, keeping a window of calls outstanding,
 *	and checks every reply:
 *
 *	  get         org.freedesktop.DBus.Properties.Get("org.vantrel.Bench",
 *	              "Value"), whose reply must be the variant <s "the value">;
 *	  introspect  org.freedesktop.DBus.Introspectable.Introspect, whose
 *	              reply must be a string beginning with "<!DOCTYPE".
 *
 *	Usage: props_client ADDRESS DEST PATH get|introspect SECONDS WINDOW
 *	Prints one line: "calls N wall S" (wall-clock seconds), or
 *	"error TEXT" and exits 1.
 */

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <dbus/dbus.h>

#define BENCH_INTERFACE "org.vantrel.Bench"
#define BENCH_PROPERTY "Value"
#define BENCH_VALUE "the value"
#define WARM_CALLS 200

static double
Now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

/* NewCall -- a new call of the workload; the caller unrefs it. */
static DBusMessage *
NewCall(const char *dest, const char *path, int get)
{
    DBusMessage *msg;
    if (get) {
	const char *iface = BENCH_INTERFACE, *prop = BENCH_PROPERTY;
	msg = dbus_message_new_method_call(dest, path,
		DBUS_INTERFACE_PROPERTIES, "Get");
	if (msg != NULL) {
	    dbus_message_append_args(msg, DBUS_TYPE_STRING, &iface,
		    DBUS_TYPE_STRING, &prop, DBUS_TYPE_INVALID);
	}
    } else {
	msg = dbus_message_new_method_call(dest, path,
		DBUS_INTERFACE_INTROSPECTABLE, "Introspect");
    }
    return msg;
}

/* CheckReply -- 1 when a method return carries what the workload wants. */
static int
CheckReply(DBusMessage *reply, int get)
{
    DBusMessageIter iter, variant;
    const char *text;
    if (!dbus_message_iter_init(reply, &iter)) {
	return 0;
    }
    if (get) {
	if (dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_VARIANT) {
	    return 0;
	}
	dbus_message_iter_recurse(&iter, &variant);
	if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_STRING) {
	    return 0;
	}
	dbus_message_iter_get_basic(&variant, &text);
	return strcmp(text, BENCH_VALUE) == 0;
    }
    if (dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_STRING) {
	return 0;
    }
    dbus_message_iter_get_basic(&iter, &text);
    return strncmp(text, "<!DOCTYPE", 9) == 0;
}

int
main(int argc, char **argv)
{
    if (argc != 7 || (strcmp(argv[4], "get") != 0
	    && strcmp(argv[4], "introspect") != 0)) {
	fprintf(stderr, "usage: props_client ADDRESS DEST PATH "
		"get|introspect SECONDS WINDOW\n");
	return 2;
    }
    const char *dest = argv[2], *path = argv[3];
    int get = strcmp(argv[4], "get") == 0;
    double seconds = atof(argv[5]);
    int window = atoi(argv[6]);
    if (window < 1) {
	window = 1;
    }

    DBusError err;
    dbus_error_init(&err);
    DBusConnection *conn = dbus_connection_open_private(argv[1], &err);
    if (conn == NULL || !dbus_bus_register(conn, &err)) {
	printf("error %s\n", err.message);
	return 1;
    }

    long answered = 0, calls = 0;
    int outstanding = 0, sending = 1;
    double start = 0, wall = 0;
    while (sending || outstanding > 0) {
	while (sending && outstanding < window) {
	    DBusMessage *msg = NewCall(dest, path, get);
	    if (msg == NULL || !dbus_connection_send(conn, msg, NULL)) {
		printf("error out of memory\n");
		return 1;
	    }
	    dbus_message_unref(msg);
	    outstanding++;
	}
	if (!dbus_connection_read_write(conn, -1)) {
	    printf("error disconnected\n");
	    return 1;
	}
	DBusMessage *reply;
	while ((reply = dbus_connection_pop_message(conn)) != NULL) {
	    int type = dbus_message_get_type(reply);
	    if (type == DBUS_MESSAGE_TYPE_ERROR) {
		const char *text = "";
		dbus_message_get_args(reply, NULL, DBUS_TYPE_STRING, &text,
			DBUS_TYPE_INVALID);
		printf("error %s: %s\n", dbus_message_get_error_name(reply),
			text);
		return 1;
	    }
	    if (type == DBUS_MESSAGE_TYPE_METHOD_RETURN) {
		if (!CheckReply(reply, get)) {
		    printf("error unexpected reply of signature '%s'\n",
			    dbus_message_get_signature(reply));
		    return 1;
		}
		outstanding--;
		answered++;
		if (answered == WARM_CALLS) {
		    start = Now();
		} else if (answered > WARM_CALLS) {
		    calls++;
		}
	    }
	    dbus_message_unref(reply);
	}
	if (sending && answered > WARM_CALLS
		&& (wall = Now() - start) >= seconds) {
	    /* The calls still outstanding are answered and counted too. */
	    sending = 0;
	}
    }
    wall = Now() - start;
    printf("calls %ld wall %.6f\n", calls, wall);
    dbus_connection_close(conn);
    dbus_connection_unref(conn);
    return 0;
}
