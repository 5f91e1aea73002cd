# serve_signals.py --
#
#	The python3-dbus side of the signal-serving benchmark.
#
#	emit DEST N      prints "ready", waits for a line "go", sends N
#	                 signals org.bench.Tick(i, s) on /bench to DEST,
#	                 flushes, prints "sent", then waits for end of input.
#	receive N        prints its unique name, waits for "go", then serves
#	                 the signals already queued for it with a python
#	                 handler until N have arrived, and prints the seconds
#	                 that took.

import sys
import time

import dbus
import dbus.lowlevel
import dbus.mainloop.glib
from gi.repository import GLib


def emit(dest, count):
    bus = dbus.SessionBus()
    print("ready", flush=True)
    sys.stdin.readline()
    for i in range(count):
        msg = dbus.lowlevel.SignalMessage("/bench", "org.bench", "Tick")
        msg.set_destination(dest)
        msg.append(dbus.Int32(i), "payload %d" % i, signature="is")
        bus.send_message(msg)
    bus.flush()
    print("sent", flush=True)
    sys.stdin.read()


def receive(count):
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    loop = GLib.MainLoop()
    state = {"n": 0}

    def tick(i, text):
        state["n"] += 1
        if state["n"] == count:
            loop.quit()

    bus.add_signal_receiver(tick, signal_name="Tick", dbus_interface="org.bench",
                            path="/bench")
    print(bus.get_unique_name(), flush=True)
    sys.stdin.readline()
    start = time.perf_counter()
    loop.run()
    print("%.6f" % (time.perf_counter() - start), flush=True)


if sys.argv[1] == "emit":
    emit(sys.argv[2], int(sys.argv[3]))
else:
    receive(int(sys.argv[2]))
