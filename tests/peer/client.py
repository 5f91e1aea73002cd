# client.py --
#
#	An independent D-Bus peer for the tests, written with python3-dbus.
#	It reads one JSON request per line on standard input and answers
#	each with one JSON line on standard output; signals it listens to
#	are printed as they arrive. The first line it prints is
#	{"ready": UNIQUE_NAME}.
#
#	Requests:
#	  {"op": "call", "dest", "path", "iface", "method", "sig", "args",
#	   "noreply": bool, "timeout": seconds}
#	      -> {"type": "return", "sig", "args"} or
#	         {"type": "error", "name", "args"}; with noreply: {"sent": serial}
#	  {"op": "emit", "path", "iface", "member", "sig", "args", "dest"}
#	      -> {"sent": serial}
#	  {"op": "listen", "iface", "member"}
#	      -> {"ok": 1}, then {"signal": member, "path", "sig", "args"} per signal

import json
import sys

import dbus
import dbus.lowlevel
import dbus.mainloop.glib
from gi.repository import GLib


def plain(value):
    """Turns python-dbus values into JSON-friendly ones."""
    if isinstance(value, dbus.Dictionary) or isinstance(value, dict):
        return {str(plain(k)): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, dbus.Array, dbus.Struct)):
        return [plain(v) for v in value]
    if isinstance(value, (dbus.Boolean, bool)):
        return bool(value)
    if isinstance(value, float):
        return float(value)
    if isinstance(value, int):
        return int(value)
    return str(value)


def out(obj):
    sys.stdout.write(json.dumps(obj) + "\n")
    sys.stdout.flush()


def describe(msg):
    args = [plain(a) for a in msg.get_args_list()]
    if isinstance(msg, dbus.lowlevel.ErrorMessage):
        return {"type": "error", "name": msg.get_error_name(), "args": args}
    return {"type": "return", "sig": msg.get_signature() or "",
            "args": args}


def request(bus, req):
    op = req["op"]
    if op == "call":
        msg = dbus.lowlevel.MethodCallMessage(
            req["dest"], req["path"], req.get("iface") or None, req["method"])
        if req.get("args"):
            msg.append(*req["args"], signature=req.get("sig", ""))
        if req.get("noreply"):
            msg.set_no_reply(True)
            bus.send_message(msg)
            out({"sent": msg.get_serial()})
            return
        bus.send_message_with_reply(msg, lambda reply: out(describe(reply)),
                                    req.get("timeout", 10.0))
    elif op == "emit":
        msg = dbus.lowlevel.SignalMessage(req["path"], req["iface"],
                                          req["member"])
        if req.get("dest"):
            msg.set_destination(req["dest"])
        if req.get("args"):
            msg.append(*req["args"], signature=req.get("sig", ""))
        bus.send_message(msg)
        out({"sent": msg.get_serial()})
    elif op == "listen":
        def got(*args, **kw):
            out({"signal": kw["member"], "path": kw["path"],
                 "args": [plain(a) for a in args]})
        bus.add_signal_receiver(got, signal_name=req.get("member"),
                                dbus_interface=req.get("iface"),
                                member_keyword="member", path_keyword="path")
        # A round trip so that the match rule is in place before we answer.
        bus.get_unique_name()
        bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus", "GetId", "", [])
        out({"ok": 1})
    else:
        out({"bad": op})


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    loop = GLib.MainLoop()

    def readable(source, condition):
        line = sys.stdin.readline()
        if not line:
            loop.quit()
            return False
        line = line.strip()
        if line:
            try:
                request(bus, json.loads(line))
            except Exception as exc:  # report and keep serving
                out({"exception": str(exc)})
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, readable)
    out({"ready": bus.get_unique_name()})
    loop.run()


main()
