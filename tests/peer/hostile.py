# hostile.py --
#
#	A peer for tests/hostile.test, written with python3-dbus: it sends
#	what a hostile or merely demanding peer may legally send (many
#	descriptors, floods, messages at the protocol's size and nesting
#	limits, names of the longest length) and reports what it receives.
#	Usage: hostile.py ADDRESS. It reads one request per line on
#	standard input, words separated by spaces, and answers each with
#	one line; the first line it prints is "ready UNIQUE_NAME".
#
#	Requests (every signal goes to DEST, on path /hostile and
#	interface org.vantrel.Hostile unless said otherwise):
#	  fds DEST COUNT N     COUNT signals Fds, each with N descriptors (ah)
#	  flood DEST COUNT     COUNT signals Tick, carrying 0 .. COUNT-1 (u)
#	  bytes DEST N         one signal Bytes with an array of N bytes (ay)
#	  text DEST N          one signal Text with a string of N bytes (s)
#	  deep DEST N          one signal Deep whose value nests N arrays,
#	                       each of a struct (a(a(...u...)))
#	  names DEST IFACE MEMBER PATH
#	                       one signal MEMBER on IFACE and PATH, no body
#	      -> "sent"
#	  calls DEST COUNT PATH IFACE MEMBER ?WINDOW?
#	                       COUNT method calls MEMBER on PATH and IFACE,
#	                       carrying 0 .. COUNT-1 (u), at most WINDOW
#	                       (default: all) of them unanswered at a time
#	      -> "answered RETURNS ERRORS" once every call has its answer
#	  listen
#	      -> "ok"; then for every signal of org.vantrel.Hostile that
#	         arrives: "got MEMBER SIGNATURE ARG ..." with each argument
#	         summarised: bytes and strings by their length, arrays as
#	         "[N]", descriptors as "fd", structs as "(...)".

import os
import sys

import dbus
import dbus.lowlevel
import dbus.mainloop.glib
from gi.repository import GLib

IFACE = "org.vantrel.Hostile"
PATH = "/hostile"


def out(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def summary(value):
    if isinstance(value, (bytes, bytearray)):
        return "b%d" % len(value)
    if isinstance(value, dbus.types.UnixFd):
        value.take()
        return "fd"
    if isinstance(value, str):
        return "s%d" % len(value)
    if isinstance(value, dbus.Struct):
        return "(" + ",".join(summary(v) for v in value) + ")"
    if isinstance(value, (list, dbus.Array)):
        return "[%d]" % len(value)
    return str(value)


def signal(bus, dest, member, sig="", args=(), iface=IFACE, path=PATH):
    msg = dbus.lowlevel.SignalMessage(path, iface, member)
    msg.set_destination(dest)
    if sig:
        msg.append(*args, signature=sig)
    bus.send_message(msg)


def nested(n):
    value = dbus.UInt32(7)
    for _ in range(n):
        value = [dbus.Struct((value,))]
    return value


def calls(bus, dest, count, path, iface, member, window=None):
    """Sends count calls without waiting for their answers, at most
    window of them unanswered at a time, and tells when every one of
    them has its answer."""
    window = window or count
    state = {"next": 0, "open": set(), "returns": 0, "errors": 0}

    def send():
        while state["next"] < count and len(state["open"]) < window:
            msg = dbus.lowlevel.MethodCallMessage(dest, path, iface, member)
            msg.append(dbus.UInt32(state["next"]), signature="u")
            state["next"] += 1
            state["open"].add(bus.send_message(msg))

    def answered(conn, msg):
        serial = msg.get_reply_serial()
        if serial not in state["open"]:
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        state["open"].discard(serial)
        if msg.get_type() == dbus.lowlevel.MESSAGE_TYPE_ERROR:
            state["errors"] += 1
        else:
            state["returns"] += 1
        send()
        if not state["open"]:
            bus.remove_message_filter(answered)
            out("answered %d %d" % (state["returns"], state["errors"]))
        return dbus.lowlevel.HANDLER_RESULT_HANDLED

    bus.add_message_filter(answered)
    send()
    bus.flush()


def request(bus, words):
    op = words[0]
    if op == "fds":
        dest, count, n = words[1], int(words[2]), int(words[3])
        null = os.open("/dev/null", os.O_RDONLY)
        fds = [dbus.types.UnixFd(null) for _ in range(n)]
        os.close(null)
        for _ in range(count):
            signal(bus, dest, "Fds", "ah", [fds])
    elif op == "flood":
        dest, count = words[1], int(words[2])
        for i in range(count):
            signal(bus, dest, "Tick", "u", [i])
    elif op == "calls":
        calls(bus, words[1], int(words[2]), *words[3:6],
              *[int(w) for w in words[6:7]])
        return
    elif op == "bytes":
        signal(bus, words[1], "Bytes", "ay",
               [dbus.ByteArray(b"\x01" * int(words[2]))])
    elif op == "text":
        signal(bus, words[1], "Text", "s", ["x" * int(words[2])])
    elif op == "deep":
        n = int(words[2])
        signal(bus, words[1], "Deep", "a(" * n + "u" + ")" * n, [nested(n)])
    elif op == "names":
        signal(bus, words[1], words[3], iface=words[2], path=words[4])
    elif op == "listen":
        def seen(conn, msg):
            if (msg.get_type() == dbus.lowlevel.MESSAGE_TYPE_SIGNAL
                    and msg.get_interface() == IFACE):
                args = msg.get_args_list(byte_arrays=True)
                out(" ".join(["got", msg.get_member(),
                              msg.get_signature() or "-"]
                             + [summary(a) for a in args]))
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        bus.add_message_filter(seen)
        bus.add_match_string("type='signal',interface='%s'" % IFACE)
        out("ok")
        return
    else:
        out("bad " + op)
        return
    bus.flush()
    out("sent")


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(sys.argv[1])
    loop = GLib.MainLoop()

    def readable(source, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        words = line.split()
        if words:
            try:
                request(bus, words)
            except Exception as exc:  # report and keep serving
                out("exception " + str(exc).replace("\n", " "))
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, readable)
    out("ready " + bus.get_unique_name())
    loop.run()


main()
