#!/usr/bin/python3
"""Two services whose introspection data the extension did not write: one
on GDBus (python3-gi) and one on python3-dbus, each on a connection of its
own to the session bus.

Usage: introspect_service.py

Prints one line, "ready GIO-UNIQUE-NAME DBUS-UNIQUE-NAME", then serves:

  GDBus at /org/vantrel/Gio (a child /org/vantrel/Gio/child too), the
  interface org.vantrel.Gio of GIO_XML below.

  python3-dbus at /org/vantrel/Py (a child /org/vantrel/Py/sub too), the
  interface org.vantrel.Py of the class PyObject: its out-arguments and
  the arguments of methods without signatures come without names.

Runs until standard input closes or it is killed.
"""
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import Gio, GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)

GIO_XML = """
<node>
  <interface name="org.vantrel.Gio">
    <annotation name="org.freedesktop.DBus.Property.EmitsChangedSignal"
                value="false"/>
    <method name="Lookup">
      <arg type="s" name="key" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="as" name="values" direction="out"/>
      <arg type="(ixd)" name="stats" direction="out"/>
    </method>
    <method name="Forget">
      <arg type="o" name="path"/>
      <annotation name="org.freedesktop.DBus.Method.NoReply" value="true"/>
      <annotation name="org.freedesktop.DBus.Deprecated" value="true"/>
    </method>
    <method name="Nothing"/>
    <signal name="Moved">
      <arg type="s" name="name"/>
      <arg type="a{oa{sv}}" name="where"/>
    </signal>
    <property name="Volume" type="d" access="readwrite">
      <annotation name="org.freedesktop.DBus.Property.EmitsChangedSignal"
                  value="invalidates"/>
    </property>
    <property name="Id" type="t" access="read"/>
    <property name="Secret" type="ay" access="write"/>
  </interface>
</node>
"""


def gio_call(conn, sender, path, iface, method, params, invocation):
    invocation.return_dbus_error("org.vantrel.Error.NotServed", method)


def gio_get(conn, sender, path, iface, prop):
    return {"Volume": GLib.Variant("d", 0.5),
            "Id": GLib.Variant("t", 7)}.get(prop)


class PyObject(dbus.service.Object):
    @dbus.service.method("org.vantrel.Py", in_signature="sa{sv}",
                         out_signature="asi")
    def Lookup(self, key, options):
        return [key], 1

    @dbus.service.method("org.vantrel.Py", in_signature="", out_signature="")
    def Ping(self):
        pass

    @dbus.service.method("org.vantrel.Py")
    def Untyped(self, anything):
        return anything

    @dbus.service.signal("org.vantrel.Py", signature="so")
    def Moved(self, name, path):
        pass


def main():
    address = Gio.dbus_address_get_for_bus_sync(Gio.BusType.SESSION, None)
    gio = Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
    info = Gio.DBusNodeInfo.new_for_xml(GIO_XML).interfaces[0]
    for path in ("/org/vantrel/Gio", "/org/vantrel/Gio/child"):
        gio.register_object(path, info, gio_call, gio_get, None)

    bus = dbus.SessionBus()
    keep = [PyObject(bus, "/org/vantrel/Py"),
            PyObject(bus, "/org/vantrel/Py/sub")]

    print("ready", gio.get_unique_name(), bus.get_unique_name(), flush=True)
    loop = GLib.MainLoop()
    # The test process holds our standard input: when it ends, so do we.
    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP,
                      lambda fd, cond: loop.quit())
    loop.run()
    del keep


if __name__ == "__main__":
    main()
