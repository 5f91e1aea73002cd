/*
 * echo_client.c --
 *
 *	The raw libdbus client of the method-call benchmark: the peer that
 *	the Tcl client is measured against. Each call builds its message,
 *	sends it with dbus_connection_send_with_reply_and_block and reads
 *	every value of the reply, as a careful C program would.
 *
 *	Usage: echo_client ADDRESS WORKLOAD SECONDS
 *	       echo_client ADDRESS WORKLOAD -count N
 *	WORKLOAD is none, string, dict, bytes or ints. Calls Echo for
 *	about SECONDS seconds after a short warm-up and prints one line:
 *	"calls N wall S cpu S" (wall-clock and own CPU time in seconds).
 *	With -count it makes exactly N calls, without warm-up, and prints
 *	"calls N": the form that bench/run-instructions.sh counts the
 *	instructions of.
 */

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/resource.h>
#include <dbus/dbus.h>

#define DICT_ENTRIES 100
#define BYTES_LENGTH 65536
#define INTS_LENGTH 10000

static char text[1025];
static char keys[DICT_ENTRIES][16];
static char values[DICT_ENTRIES][16];
static unsigned char bytes[BYTES_LENGTH];
static dbus_int32_t ints[INTS_LENGTH];

static double
Now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static double
CpuTime(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec
	    + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

/* AppendArgs -- the arguments of one call of the workload. */
static void
AppendArgs(DBusMessage *msg, const char *workload)
{
    DBusMessageIter iter, array, entry, variant;
    dbus_message_iter_init_append(msg, &iter);
    if (strcmp(workload, "string") == 0) {
	const char *p = text;
	dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &p);
    } else if (strcmp(workload, "dict") == 0) {
	dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, "{sv}",
		&array);
	for (int i = 0; i < DICT_ENTRIES; i++) {
	    const char *key = keys[i];
	    dbus_message_iter_open_container(&array, DBUS_TYPE_DICT_ENTRY,
		    NULL, &entry);
	    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
	    if (i % 2 == 0) {
		dbus_int32_t n = i;
		dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT,
			"i", &variant);
		dbus_message_iter_append_basic(&variant, DBUS_TYPE_INT32, &n);
	    } else {
		const char *s = values[i];
		dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT,
			"s", &variant);
		dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &s);
	    }
	    dbus_message_iter_close_container(&entry, &variant);
	    dbus_message_iter_close_container(&array, &entry);
	}
	dbus_message_iter_close_container(&iter, &array);
    } else if (strcmp(workload, "bytes") == 0 || strcmp(workload, "ints") == 0) {
	int isBytes = workload[0] == 'b';
	const void *block = isBytes ? (const void *) bytes : (const void *) ints;
	dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY,
		isBytes ? "y" : "i", &array);
	dbus_message_iter_append_fixed_array(&array,
		isBytes ? DBUS_TYPE_BYTE : DBUS_TYPE_INT32, &block,
		isBytes ? BYTES_LENGTH : INTS_LENGTH);
	dbus_message_iter_close_container(&iter, &array);
    }
}

/* ReadValue -- reads one value of the reply; returns a checksum. */
static long
ReadValue(DBusMessageIter *iter)
{
    long sum = 0;
    int type = dbus_message_iter_get_arg_type(iter);
    if (dbus_type_is_basic(type)) {
	DBusBasicValue value;
	dbus_message_iter_get_basic(iter, &value);
	if (type == DBUS_TYPE_STRING) {
	    sum += (long) strlen(value.str);
	} else {
	    sum += value.i32;
	}
	return sum;
    }
    DBusMessageIter sub;
    dbus_message_iter_recurse(iter, &sub);
    if (type == DBUS_TYPE_ARRAY
	    && dbus_type_is_fixed(dbus_message_iter_get_element_type(iter))) {
	const void *block;
	int count;
	dbus_message_iter_get_fixed_array(&sub, &block, &count);
	return count;
    }
    while (dbus_message_iter_get_arg_type(&sub) != DBUS_TYPE_INVALID) {
	sum += ReadValue(&sub);
	dbus_message_iter_next(&sub);
    }
    return sum;
}

int
main(int argc, char **argv)
{
    int counted = argc == 5 && strcmp(argv[3], "-count") == 0;
    if (argc != 4 && !counted) {
	fprintf(stderr, "usage: echo_client ADDRESS WORKLOAD SECONDS\n"
		"       echo_client ADDRESS WORKLOAD -count N\n");
	return 2;
    }
    const char *workload = argv[2];
    double seconds = counted ? 0 : atof(argv[3]);
    long count = counted ? atol(argv[4]) : 0;
    memset(text, 'x', 1024);
    for (int i = 0; i < DICT_ENTRIES; i++) {
	snprintf(keys[i], sizeof(keys[i]), "key%d", i);
	snprintf(values[i], sizeof(values[i]), "value%d", i);
    }
    for (int i = 0; i < BYTES_LENGTH; i++) {
	bytes[i] = (unsigned char) i;
    }
    for (int i = 0; i < INTS_LENGTH; i++) {
	ints[i] = i;
    }

    DBusError err;
    dbus_error_init(&err);
    DBusConnection *conn = dbus_connection_open_private(argv[1], &err);
    if (conn == NULL || !dbus_bus_register(conn, &err)) {
	fprintf(stderr, "echo_client: %s\n", err.message);
	return 1;
    }
    long calls = 0, check = 0;
    double wall0 = 0, cpu0 = 0, wall = 0;
    for (int warm = !counted; !counted || calls < count; ) {
	DBusMessage *msg = dbus_message_new_method_call("org.vantrel.Bench",
		"/org/vantrel/Bench", "org.vantrel.Bench", "Echo");
	AppendArgs(msg, workload);
	DBusMessage *reply = dbus_connection_send_with_reply_and_block(conn,
		msg, -1, &err);
	dbus_message_unref(msg);
	if (reply == NULL) {
	    fprintf(stderr, "echo_client: %s\n", err.message);
	    return 1;
	}
	DBusMessageIter iter;
	if (dbus_message_iter_init(reply, &iter)) {
	    check += ReadValue(&iter);
	}
	dbus_message_unref(reply);
	calls++;
	if (warm && calls == 50) {
	    warm = 0;
	    calls = 0;
	    wall0 = Now();
	    cpu0 = CpuTime();
	} else if (!counted && !warm && calls % 16 == 0
		&& (wall = Now() - wall0) >= seconds) {
	    break;
	}
    }
    if (counted) {
	printf("calls %ld\n", calls);
    } else {
	printf("calls %ld wall %.6f cpu %.6f\n", calls, wall, CpuTime() - cpu0);
    }
    if (check < 0) {
	printf("unexpected checksum %ld\n", check);
    }
    dbus_connection_close(conn);
    dbus_connection_unref(conn);
    return 0;
}
