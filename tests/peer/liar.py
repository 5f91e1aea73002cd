#!/usr/bin/python3
"""A python3-dbus service whose introspection data and values disagree,
for the proxy tests: what a proxy is told is not always what it gets.

Usage: liar.py ADDRESS

Connects to the message bus at ADDRESS and prints one line,
"ready UNIQUE-NAME". Then it serves:

  /liar    the interface org.vantrel.Liar, introspected as LIAR_XML, with
           values that do not all fit it:
             Right() -> i 5, as declared
             Count() -> s "not an int", declared i
             Moved is declared (so) and emitted as (s)
             GetAll: Level as s "high" (declared i), Name s, and Extra i
               (undeclared)
             Get Level: s "high"; Get Name: the current name
             Rename(s name): sets Name, emits PropertiesChanged with Name
               invalidated (no value)
             Mislead(): emits Moved("x") and PropertiesChanged with Level
               as s "up" and the undeclared Other
  /honest  the same, but its properties fit: GetAll gives Level i 1 and
           Name, Get Level i 1
  /broken  an introspection document that is not well-formed XML
  /huge    an introspection document of 10001 child nodes
  /nowhere nothing: libdbus answers Introspect with an empty node

Runs until standard input closes or it is killed.
"""
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)

IFACE = "org.vantrel.Liar"
PROPS = dbus.PROPERTIES_IFACE

LIAR_XML = """<node>
  <interface name="org.vantrel.Liar">
    <method name="Right"><arg type="i" direction="out"/></method>
    <method name="Count"><arg type="i" direction="out"/></method>
    <method name="Rename"><arg type="s" name="name" direction="in"/></method>
    <method name="Mislead"/>
    <signal name="Moved"><arg type="s"/><arg type="o"/></signal>
    <property name="Level" type="i" access="read"/>
    <property name="Name" type="s" access="read">
      <annotation name="org.freedesktop.DBus.Property.EmitsChangedSignal"
                  value="invalidates"/>
    </property>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="v" direction="out"/>
    </method>
    <method name="GetAll">
      <arg type="s" direction="in"/><arg type="a{sv}" direction="out"/>
    </method>
  </interface>
</node>"""

BROKEN_XML = """<node>
  <interface name="org.vantrel.Broken">
    <method name="Ping">
  </interface>
</node>"""

HUGE_XML = "<node>" + "".join(
    '<node name="n%d"/>' % i for i in range(10001)) + "</node>"


class Liar(dbus.service.Object):
    def __init__(self, bus, path, xml, lies=True):
        dbus.service.Object.__init__(self, bus, path)
        self.xml = xml
        self.lies = lies
        self.name = "first"

    def level(self):
        return "high" if self.lies else dbus.Int32(1)

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature="",
                         out_signature="s")
    def Introspect(self):
        return self.xml

    @dbus.service.method(IFACE, in_signature="", out_signature="i")
    def Right(self):
        return 5

    @dbus.service.method(IFACE, in_signature="", out_signature="s")
    def Count(self):
        return "not an int"

    @dbus.service.method(IFACE, in_signature="s", out_signature="")
    def Rename(self, name):
        self.name = str(name)
        self.PropertiesChanged(IFACE, dbus.Dictionary({}, signature="sv"),
                               ["Name"])

    @dbus.service.method(IFACE, in_signature="", out_signature="")
    def Mislead(self):
        self.Moved("x")
        self.PropertiesChanged(IFACE, {"Level": "up",
                                       "Other": dbus.Int32(3)}, [])

    @dbus.service.signal(IFACE, signature="s")
    def Moved(self, name):
        pass

    @dbus.service.signal(PROPS, signature="sa{sv}as")
    def PropertiesChanged(self, iface, changed, invalidated):
        pass

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, iface, prop):
        if prop == "Name":
            return self.name
        return self.level()

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, iface):
        values = {"Level": self.level(), "Name": self.name}
        if self.lies:
            values["Extra"] = dbus.Int32(1)
        return values


def main():
    bus = dbus.bus.BusConnection(sys.argv[1])
    keep = [Liar(bus, "/liar", LIAR_XML),
            Liar(bus, "/honest", LIAR_XML, lies=False),
            Liar(bus, "/broken", BROKEN_XML),
            Liar(bus, "/huge", HUGE_XML)]
    print("ready", bus.get_unique_name(), flush=True)
    loop = GLib.MainLoop()
    # The test process holds our standard input: when it ends, so do we.
    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP,
                      lambda fd, cond: loop.quit())
    loop.run()
    del keep


if __name__ == "__main__":
    main()
