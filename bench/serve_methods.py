# serve_methods.py --
#
#	The python3-dbus side of the method-serving benchmark.
#
#	serve             exports /bench with org.bench.Echo(i, s) -> s,
#	                  prints its unique name and serves until killed.
#	client DEST N W   prints "ready", waits for "go", then calls
#	                  org.bench.Echo on DEST N times with up to W calls
#	                  outstanding, checks every reply, and prints the
#	                  seconds that took (or "error TEXT").

import sys
import time

import dbus
import dbus.lowlevel
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib


class Bench(dbus.service.Object):
    @dbus.service.method("org.bench", in_signature="is", out_signature="s")
    def Echo(self, i, text):
        return text


def serve():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    Bench(bus, "/bench")
    print(bus.get_unique_name(), flush=True)
    GLib.MainLoop().run()


def client(dest, count, window):
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    loop = GLib.MainLoop()
    state = {"sent": 0, "done": 0, "error": None}

    def send_one():
        i = state["sent"]
        state["sent"] += 1
        msg = dbus.lowlevel.MethodCallMessage(dest, "/bench", "org.bench", "Echo")
        msg.append(dbus.Int32(i), "payload %d" % i, signature="is")
        bus.send_message_with_reply(msg, lambda reply, i=i: replied(reply, i), 30.0)

    def replied(reply, i):
        if isinstance(reply, dbus.lowlevel.ErrorMessage):
            state["error"] = reply.get_error_name()
        elif reply.get_args_list() != ["payload %d" % i]:
            state["error"] = "wrong reply %r" % (reply.get_args_list(),)
        state["done"] += 1
        if state["error"] or state["done"] == count:
            loop.quit()
        elif state["sent"] < count:
            send_one()

    print("ready", flush=True)
    sys.stdin.readline()
    start = time.perf_counter()
    for _ in range(min(window, count)):
        send_one()
    loop.run()
    elapsed = time.perf_counter() - start
    if state["error"]:
        print("error %s" % state["error"], flush=True)
    else:
        print("%.6f" % elapsed, flush=True)


if sys.argv[1] == "serve":
    serve()
else:
    client(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
