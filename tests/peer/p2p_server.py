#!/usr/bin/python3
"""A D-Bus peer that is not a message bus.

Listens on a private address, prints the address as its ready line and
accepts every connection. On each it exports /org/vantrel/Py with the
interface org.vantrel.Py: Echo(s) returns its argument after emitting
the signal Echoed(s) straight to the caller, and Hang never answers.
Nothing answers at /org/freedesktop/DBus, so a client's Hello (bus
registration) gets libdbus's own UnknownMethod error. Runs until killed.
"""
import sys

import dbus
import dbus.mainloop.glib
import dbus.server
import dbus.service
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)

INTF = "org.vantrel.Py"


class Py(dbus.service.Object):
    @dbus.service.method(INTF, in_signature="s", out_signature="s")
    def Echo(self, text):
        self.Echoed(text)
        return text

    @dbus.service.signal(INTF, signature="s")
    def Echoed(self, text):
        pass

    @dbus.service.method(INTF, in_signature="", out_signature="",
                         async_callbacks=("ok", "fail"))
    def Hang(self, ok, fail):
        pass


objects = []


class Server(dbus.server.Server):
    def connection_added(self, conn):
        objects.append(Py(conn, "/org/vantrel/Py"))


server = Server(sys.argv[1] if len(sys.argv) > 1 else "unix:tmpdir=/tmp")
print(server.address, flush=True)
GLib.MainLoop().run()
