# serve_objects.py --
#
#	The python3-dbus service of the exported-object benchmark: /obj
#	answers org.freedesktop.DBus.Properties.Get for the property Value
#	of org.vantrel.Bench, the way python3-dbus programs serve
#	properties (python3-dbus has no property support of its own: a
#	method of the Properties interface looks the value up). Prints its
#	unique name, then serves until killed.

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

VALUES = {"org.vantrel.Bench": {"Value": "the value"}}


class Bench(dbus.service.Object):
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss",
                         out_signature="v")
    def Get(self, interface, prop):
        return VALUES[interface][prop]


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    Bench(bus, "/obj")
    print(bus.get_unique_name(), flush=True)
    GLib.MainLoop().run()


main()
