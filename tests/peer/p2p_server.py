#!/usr/bin/python3
"""A D-Bus peer that is not a message bus.

Listens on a private address, prints the address as its ready line and
accepts every connection. It exports nothing, so a client's Hello to
org.freedesktop.DBus (bus registration) is answered with libdbus's own
UnknownMethod error. Runs until killed.
"""
import sys

import dbus
import dbus.mainloop.glib
import dbus.server
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)

connections = []


class Server(dbus.server.Server):
    def connection_added(self, conn):
        connections.append(conn)


server = Server(sys.argv[1] if len(sys.argv) > 1 else "unix:tmpdir=/tmp")
print(server.address, flush=True)
GLib.MainLoop().run()
