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
#	   "noreply": bool, "timeout": seconds, "typed": bool}
#	      -> {"type": "return", "sig", "args"} or
#	         {"type": "error", "name", "args"}; with noreply: {"sent": serial}
#	  {"op": "emit", "path", "iface", "member", "sig", "args", "dest"}
#	      -> {"sent": serial}
#	  {"op": "listen", "iface", "member", "typed": bool}
#	      -> {"ok": 1}, then {"signal": member, "path", "args"} per signal
#
#	An argument written as {"dbus": TYPE, "value": VALUE} is sent as that
#	D-Bus type (inside a variant too): {"dbus": "x", "value": 5} is an
#	INT64, {"dbus": "as", "value": []} an empty string array.
#	With "typed", answers and signals also carry "sig" and "typed": each
#	argument written out with the D-Bus type of every variant's content,
#	as in "<x 30>" or "{Volume: <d 0.5>, Tags: <as[a, b]>}".

import json
import os
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


BASIC = [
    (dbus.Boolean, "b"), (dbus.Byte, "y"), (dbus.Int16, "n"),
    (dbus.UInt16, "q"), (dbus.Int32, "i"), (dbus.UInt32, "u"),
    (dbus.Int64, "x"), (dbus.UInt64, "t"), (dbus.Double, "d"),
    (dbus.ObjectPath, "o"), (dbus.Signature, "g"), (dbus.String, "s"),
    (dbus.types.UnixFd, "h"),
]
MAKERS = {code: cls for cls, code in BASIC}


def typed(value, tag=False, level=None):
    """Writes an incoming value out with the types a peer saw: every
    variant as <TYPE VALUE>; containers inside a variant carry their
    signature (a{sv}{...}, as[...]). Top-level arguments and the
    elements of containers are typed by the signature around them."""
    if level is None:
        level = getattr(value, "variant_level", 0)
    if level > 0:
        return "<" + typed(value, True, level - 1) + ">"
    if isinstance(value, dbus.Dictionary):
        pre = "a{%s}" % value.signature if tag else ""
        return pre + "{" + ", ".join(
            "%s: %s" % (typed(k), typed(v)) for k, v in value.items()) + "}"
    if isinstance(value, dbus.Array):
        pre = "a%s" % value.signature if tag else ""
        return pre + "[" + ", ".join(typed(v) for v in value) + "]"
    if isinstance(value, dbus.Struct):
        return "(" + ", ".join(typed(v) for v in value) + ")"
    text = str(plain(value)).lower() if isinstance(value, dbus.Boolean) \
        else str(plain(value))
    if not tag:
        return text
    for cls, code in BASIC:
        if isinstance(value, cls):
            return code + " " + text
    return "? " + text


def outgoing(arg):
    """Turns a JSON argument into what python-dbus should send."""
    if isinstance(arg, dict) and "dbus" in arg:
        sig, value = arg["dbus"], arg["value"]
        if sig.startswith("a{"):
            return dbus.Dictionary(
                {k: outgoing(v) for k, v in value.items()},
                signature=sig[2:-1])
        if sig.startswith("a"):
            return dbus.Array([outgoing(v) for v in value],
                              signature=sig[1:])
        return MAKERS[sig](value)
    if isinstance(arg, list):
        return [outgoing(v) for v in arg]
    if isinstance(arg, dict):
        return {k: outgoing(v) for k, v in arg.items()}
    return arg


def out(obj):
    sys.stdout.write(json.dumps(obj) + "\n")
    sys.stdout.flush()


def describe(msg, withtypes=False):
    args = [plain(a) for a in msg.get_args_list()]
    if isinstance(msg, dbus.lowlevel.ErrorMessage):
        return {"type": "error", "name": msg.get_error_name(), "args": args}
    answer = {"type": "return", "sig": msg.get_signature() or "",
              "args": args}
    if withtypes:
        answer["typed"] = [typed(a) for a in msg.get_args_list()]
    return answer


def request(bus, req):
    op = req["op"]
    if op == "call":
        msg = dbus.lowlevel.MethodCallMessage(
            req["dest"], req["path"], req.get("iface") or None, req["method"])
        if req.get("args"):
            msg.append(*outgoing(req["args"]), signature=req.get("sig", ""))
        if req.get("noreply"):
            msg.set_no_reply(True)
            bus.send_message(msg)
            out({"sent": msg.get_serial()})
            return
        withtypes = bool(req.get("typed"))
        bus.send_message_with_reply(
            msg, lambda reply: out(describe(reply, withtypes)),
            req.get("timeout", 10.0))
    elif op == "emit":
        msg = dbus.lowlevel.SignalMessage(req["path"], req["iface"],
                                          req["member"])
        if req.get("dest"):
            msg.set_destination(req["dest"])
        if req.get("args"):
            msg.append(*outgoing(req["args"]), signature=req.get("sig", ""))
        bus.send_message(msg)
        out({"sent": msg.get_serial()})
    elif op == "listen":
        withtypes = bool(req.get("typed"))

        def got(*args, **kw):
            seen = {"signal": kw["member"], "path": kw["path"],
                    "args": [plain(a) for a in args]}
            if withtypes:
                seen["sig"] = kw["msg"].get_signature() or ""
                seen["typed"] = [typed(a) for a in args]
            out(seen)
        bus.add_signal_receiver(got, signal_name=req.get("member"),
                                dbus_interface=req.get("iface"),
                                member_keyword="member", path_keyword="path",
                                message_keyword="msg")
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

    # Requests are read straight from the descriptor: a buffered reader
    # could hold back a second request that arrived with the first one,
    # and the descriptor would not become readable again for it.
    pending = [b""]

    def readable(source, condition):
        data = os.read(sys.stdin.fileno(), 65536)
        if not data:
            loop.quit()
            return False
        *lines, pending[0] = (pending[0] + data).split(b"\n")
        for line in lines:
            line = line.decode().strip()
            if not line:
                continue
            try:
                request(bus, json.loads(line))
            except Exception as exc:  # report and keep serving
                out({"exception": str(exc)})
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, readable)
    out({"ready": bus.get_unique_name()})
    loop.run()


main()
