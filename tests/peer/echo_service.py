#!/usr/bin/python3
"""A D-Bus service written with python3-dbus, to check the wire format of
the extension against an implementation it does not share code with.

Usage: echo_service.py ADDRESS [NAME]

Connects to the message bus at ADDRESS, owns NAME (default
org.vantrel.Echo) and prints one ready line, "ready UNIQUE-NAME". Then it
serves, on any object path, the interface org.vantrel.Echo:

  Echo(...)          returns its arguments unchanged, same signature
  Describe(...)      returns one STRING: the signature received, then
                     each argument with its exact D-Bus type (see desc)
  Fixed(s case)      returns the fixed typed values of CASES[case]
  Fail(s name, s text)  answers with the error NAME carrying TEXT
  Last()             a{sv}: the header of the previous method call
  ReadFd(h fd)       s: what the descriptor's file holds
  MakeFd(s text)     h: a descriptor of a pipe that holds TEXT
  Sleep(u ms)        answers (with nothing) after MS milliseconds

Every signal whose interface begins with "org.vantrel." is reported on
standard output as one line:
  signal PATH INTERFACE MEMBER DESTINATION SIGNATURE DESC...
with "-" for an absent destination. Runs until killed.
"""
import os
import sys

import dbus
import dbus.lowlevel as ll
import dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)

IFACE = "org.vantrel.Echo"


def core(v):
    """The value of v with its exact D-Bus type, outside any variant."""
    if isinstance(v, dbus.Boolean):
        return "b:%d" % int(v)
    for cls, code in ((dbus.Byte, "y"), (dbus.Int16, "n"), (dbus.UInt16, "q"),
                      (dbus.Int32, "i"), (dbus.UInt32, "u"),
                      (dbus.Int64, "x"), (dbus.UInt64, "t")):
        if isinstance(v, cls):
            return "%s:%d" % (code, int(v))
    if isinstance(v, dbus.Double):
        return "d:%r" % float(v)
    if isinstance(v, dbus.ObjectPath):
        return "o:%s" % str(v)
    if isinstance(v, dbus.Signature):
        return "g:%s" % str(v)
    if isinstance(v, dbus.String):
        return "s:%s" % str(v)
    if isinstance(v, dbus.types.UnixFd):
        fd = v.take()
        try:
            return "h:%s" % read_all(fd)
        finally:
            os.close(fd)
    if isinstance(v, dbus.Dictionary):
        return "a{%s}{%s}" % (v.signature, ",".join(
            "%s=%s" % (desc(k), desc(x)) for k, x in v.items()))
    if isinstance(v, dbus.Array):
        return "a%s[%s]" % (v.signature, ",".join(desc(x) for x in v))
    if isinstance(v, dbus.Struct):
        return "(%s)" % ",".join(desc(x) for x in v)
    return "?%r" % (v,)


def desc(v):
    """core(v) inside one v<...> per variant around it."""
    text = core(v)
    for _ in range(getattr(v, "variant_level", 0)):
        text = "v<%s>" % text
    return text


def read_all(fd):
    try:
        os.lseek(fd, 0, os.SEEK_SET)
    except OSError:
        pass
    chunks = []
    while True:
        data = os.read(fd, 65536)
        if not data:
            break
        chunks.append(data)
    return b"".join(chunks).decode("utf-8")


def pipe_with(text):
    r, w = os.pipe()
    os.write(w, text.encode("utf-8"))
    os.close(w)
    return r


V = dbus.Dictionary
CASES = {
    "none": ("", []),
    "one": ("s", ["only"]),
    "pair": ("si", ["two", 2]),
    "basic": ("ybnqiuxtdsog", [200, True, -2, 65535, -5, 4294967295, -1,
                               18446744073709551615, 2.5, "h\u00e9llo \u20ac",
                               "/a/b", "a{sv}"]),
    "uint64": ("tttt", [2**63, 2**63 - 1, 2**64 - 1, 0]),
    "limits": ("ynnqiixx", [0, -32768, 32767, 0, -2**31, 2**31 - 1,
                            -2**63, 2**63 - 1]),
    "array": ("ai", [[1, 2, 3]]),
    "arrays": ("ayabadasat", [bytes([0, 127, 255]), [True, False, True],
                            [1.5, -0.25], ["x", "y z"],
                            [2**64 - 1, 5]]),
    "empty": ("aiasa{sv}aya(ii)", [[], [], {}, b"", []]),
    "asv": ("a{sv}", [V({"name": dbus.String("foo", variant_level=1),
                          "count": dbus.Int32(3, variant_level=1)},
                         signature="sv")]),
    "structs": ("a(ii)(si)", [[(1, 2), (3, 4)], ("a", 1)]),
    "dicts": ("a{is}a{sa{sy}}", [{1: "one", 2: "two"},
                                 {"k": {"a": 1, "b": 2}}]),
    "variants": ("vvvvvvvv", [
        dbus.Int32(42, variant_level=1),
        dbus.String("x", variant_level=1),
        dbus.Array([1, 2, 3], signature="i", variant_level=1),
        dbus.Struct(("a", dbus.Int32(1)), signature="si", variant_level=1),
        dbus.String("x", variant_level=2),
        V({"k": dbus.Int32(1, variant_level=1)}, signature="sv",
          variant_level=1),
        dbus.UInt64(2**64 - 1, variant_level=1),
        dbus.Array([], signature="s", variant_level=1),
    ]),
}


class Service:
    def __init__(self, bus):
        self.bus = bus
        self.last = dbus.Dictionary({}, signature="sv")

    def reply(self, msg, signature, values):
        if msg.get_no_reply():
            return
        ret = ll.MethodReturnMessage(msg)
        if values:
            ret.append(*values, signature=signature)
        self.bus.send_message(ret)

    def error(self, msg, name, text):
        if msg.get_no_reply():
            return
        self.bus.send_message(ll.ErrorMessage(msg, name, text))

    def record(self, msg):
        def s(x):
            return dbus.String(x or "", variant_level=1)
        self.last = dbus.Dictionary({
            "member": s(msg.get_member()),
            "interface": s(msg.get_interface()),
            "path": s(msg.get_path()),
            "sender": s(msg.get_sender()),
            "destination": s(msg.get_destination()),
            "signature": s(msg.get_signature()),
            "serial": dbus.UInt32(msg.get_serial(), variant_level=1),
            "noreply": dbus.Boolean(msg.get_no_reply(), variant_level=1),
            "autostart": dbus.Boolean(msg.get_auto_start(), variant_level=1),
        }, signature="sv")

    def filter(self, conn, msg):
        try:
            return self.serve(msg)
        except Exception as e:
            import traceback
            traceback.print_exc()
            self.error(msg, "org.vantrel.Error.Peer", repr(e))
            return ll.HANDLER_RESULT_HANDLED

    def serve(self, msg):
        kind = msg.get_type()
        if kind == ll.MESSAGE_TYPE_SIGNAL:
            iface = msg.get_interface() or ""
            if iface.startswith("org.vantrel."):
                args = msg.get_args_list()
                print("signal %s %s %s %s %s %s" % (
                    msg.get_path(), iface, msg.get_member(),
                    msg.get_destination() or "-", msg.get_signature() or "-",
                    " ".join(desc(a) for a in args)), flush=True)
            return ll.HANDLER_RESULT_NOT_YET_HANDLED
        if kind != ll.MESSAGE_TYPE_METHOD_CALL or msg.get_interface() != IFACE:
            return ll.HANDLER_RESULT_NOT_YET_HANDLED
        member = msg.get_member()
        previous = self.last
        self.record(msg)
        args = msg.get_args_list()
        sig = msg.get_signature()
        if member == "Echo":
            self.reply(msg, sig, args)
        elif member == "Describe":
            self.reply(msg, "s", [" ".join([sig or "-"] + [desc(a) for a in args])])
        elif member == "Fixed":
            signature, values = CASES[str(args[0])]
            self.reply(msg, signature, values)
        elif member == "Fail":
            self.error(msg, str(args[0]), str(args[1]))
        elif member == "Last":
            self.reply(msg, "a{sv}", [previous])
        elif member == "ReadFd":
            fd = args[0].take()
            try:
                self.reply(msg, "s", [read_all(fd)])
            finally:
                os.close(fd)
        elif member == "MakeFd":
            fd = pipe_with(str(args[0]))
            try:
                self.reply(msg, "h", [dbus.types.UnixFd(fd)])
            finally:
                os.close(fd)
        elif member == "Sleep":
            GLib.timeout_add(int(args[0]),
                             lambda: self.reply(msg, "", []) and False)
        else:
            self.error(msg, "org.freedesktop.DBus.Error.UnknownMethod",
                       "no method " + member)
        return ll.HANDLER_RESULT_HANDLED


def main():
    bus = dbus.bus.BusConnection(sys.argv[1])
    name = sys.argv[2] if len(sys.argv) > 2 else IFACE
    bus.request_name(name, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
    bus.add_match_string("type='signal'")
    service = Service(bus)
    bus.add_message_filter(service.filter)
    print("ready", bus.get_unique_name(), flush=True)
    loop = GLib.MainLoop()
    # The test process holds our standard input: when it ends, so do we.
    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP,
                      lambda fd, cond: loop.quit())
    loop.run()


if __name__ == "__main__":
    main()
