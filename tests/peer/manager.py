# manager.py --
#
#	An independent client of an object manager, written with GDBus
#	(python3-gi's Gio.DBusObjectManagerClient): it asks the manager for
#	its objects, builds a proxy for each interface, and follows
#	InterfacesAdded, InterfacesRemoved and PropertiesChanged as GDBus
#	understands them.
#
#	Usage: manager.py DEST PATH
#
#	Prints one JSON line per event; the first one is
#	    {"objects": {PATH: {INTERFACE: {PROPERTY: "TYPE VALUE"}}}}
#	and then, as they happen,
#	    {"added": PATH, "interfaces": {INTERFACE: {PROPERTY: ...}}}
#	    {"removed": PATH}
#	    {"changed": PATH, "interface": NAME, "properties": {...},
#	     "invalidated": [NAME ...]}
#	Property values are written as their GVariant type string and
#	text ("i 5", "as ['a', 'b']"). The standard interfaces of
#	org.freedesktop.DBus are left out: which of them a manager lists is
#	its own affair.

import json
import sys

from gi.repository import Gio, GLib


def out(obj):
    sys.stdout.write(json.dumps(obj, sort_keys=True) + "\n")
    sys.stdout.flush()


def text(value):
    return value.get_type_string() + " " + value.print_(False)


def interfaces(obj):
    found = {}
    for proxy in obj.get_interfaces():
        name = proxy.get_interface_name()
        if name.startswith("org.freedesktop.DBus."):
            continue
        found[name] = {p: text(proxy.get_cached_property(p))
                       for p in proxy.get_cached_property_names()}
    return found


def main():
    dest, path = sys.argv[1], sys.argv[2]
    try:
        manager = Gio.DBusObjectManagerClient.new_for_bus_sync(
            Gio.BusType.SESSION,
            Gio.DBusObjectManagerClientFlags.DO_NOT_AUTO_START,
            dest, path, None, None, None)
    except GLib.Error as exc:
        out({"error": exc.message})
        return
    out({"objects": {obj.get_object_path(): interfaces(obj)
                     for obj in manager.get_objects()}})
    manager.connect("object-added", lambda m, obj: out(
        {"added": obj.get_object_path(), "interfaces": interfaces(obj)}))
    manager.connect("object-removed", lambda m, obj: out(
        {"removed": obj.get_object_path()}))

    def changed(m, obj, proxy, props, invalidated):
        out({"changed": obj.get_object_path(),
             "interface": proxy.get_interface_name(),
             "properties": {k: text(props.lookup_value(k, None))
                            for k in props.keys()},
             "invalidated": list(invalidated)})
    manager.connect("interface-proxy-properties-changed", changed)
    GLib.MainLoop().run()


main()
