#!/usr/bin/python3
"""A peer-to-peer D-Bus client for the tests, with no bus anywhere.

Usage:
  p2p_peer.py gio ADDRESS     GDBus (python3-gi), authentication-client
  p2p_peer.py dbus ADDRESS    python3-dbus, dbus.connection.Connection
      Both print "ready" (the server is to run its event loop from
      then on), connect to ADDRESS, then talk to the object
      /org/vantrel/P2P of interface org.vantrel.P2P that the server
      exports: Echo("hi", 3), Later("x") at /org/vantrel/P2P/Later (a
      dbus method answered with dbus return), Introspect, Get/Set/Get of the property
      Count, and Ping, which makes the object emit Pinged. One line each,
      then "done"; the connection stays until standard input closes.
  p2p_peer.py idle ADDRESS
      python3-dbus without a main loop: prints "ready", connects, sends
      the signal org.vantrel.Idle.Ready and never reads a message,
      so calls to it stay unanswered.
  p2p_peer.py raw ADDRESS LINE
      A unix socket client speaking the authentication protocol by hand:
      sends the NUL byte and LINE and prints the server's answer; after
      OK sends BEGIN and prints "closed" once the server closes the
      socket, or "open" when it has not within 5 seconds.
  p2p_peer.py silent ADDRESS
      Connects to a unix socket and says nothing; prints "closed" once
      the server closes the socket, or "open" when it has not within 5
      seconds.
"""
import socket
import sys

INTF = "org.vantrel.P2P"
PATH = "/org/vantrel/P2P"


def say(*words):
    print(*words, flush=True)


def wait_stdin():
    sys.stdin.read()


def gio(address):
    from gi.repository import Gio, GLib
    say("ready")
    conn = Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT, None, None)

    def call(intf, method, args, sig=None):
        v = GLib.Variant(sig, args) if sig else None
        return conn.call_sync(None, PATH, intf, method, v, None, 0, 5000,
                              None).unpack()

    say("echo", *call(INTF, "Echo", ("hi", 3), "(si)"))
    say("later", *conn.call_sync(None, PATH + "/Later", INTF, "Later",
                                 GLib.Variant("(s)", ("x",)), None, 0, 5000,
                                 None).unpack())
    xml = call("org.freedesktop.DBus.Introspectable", "Introspect", None)[0]
    say("introspect", int(INTF in xml and "Count" in xml))
    props = "org.freedesktop.DBus.Properties"
    say("get", call(props, "Get", (INTF, "Count"), "(ss)")[0])
    call(props, "Set", (INTF, "Count", GLib.Variant("i", 42)), "(ssv)")
    say("set", call(props, "Get", (INTF, "Count"), "(ss)")[0])
    loop = GLib.MainLoop()
    got = []

    def signal(_c, _s, path, intf, member, params):
        got.append(params.unpack())
        loop.quit()
    conn.signal_subscribe(None, INTF, "Pinged", None, None, 0, signal)
    call(INTF, "Ping", ("p",), "(s)")
    GLib.timeout_add(5000, loop.quit)
    loop.run()
    say("signal", *(got[0] if got else ("none",)))
    say("done")
    wait_stdin()


def pydbus(address):
    import dbus
    import dbus.mainloop.glib
    from gi.repository import GLib
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    say("ready")
    conn = dbus.connection.Connection(address)
    obj = conn.get_object(None, PATH, introspect=False)
    say("echo", *obj.Echo("hi", 3, dbus_interface=INTF))
    later = conn.get_object(None, PATH + "/Later", introspect=False)
    say("later", later.Later("x", dbus_interface=INTF))
    xml = obj.Introspect(dbus_interface="org.freedesktop.DBus.Introspectable")
    say("introspect", int(INTF in xml and "Count" in xml))
    props = "org.freedesktop.DBus.Properties"
    say("get", obj.Get(INTF, "Count", dbus_interface=props))
    obj.Set(INTF, "Count", dbus.Int32(42, variant_level=1),
            dbus_interface=props)
    say("set", obj.Get(INTF, "Count", dbus_interface=props))
    loop = GLib.MainLoop()
    got = []

    def signal(*args):
        got.append(args)
        loop.quit()
    conn.add_signal_receiver(signal, "Pinged", INTF)
    obj.Ping("p", dbus_interface=INTF)
    GLib.timeout_add(5000, loop.quit)
    loop.run()
    say("signal", *(got[0] if got else ("none",)))
    say("done")
    wait_stdin()


def idle(address):
    import dbus
    import dbus.lowlevel
    say("ready")
    conn = dbus.connection.Connection(address)
    # Without a main loop only sending makes libdbus authenticate.
    conn.send_message(dbus.lowlevel.SignalMessage(
        "/org/vantrel/Idle", "org.vantrel.Idle", "Ready"))
    conn.flush()
    wait_stdin()


def silent(address):
    path = address.split("path=", 1)[1].split(",", 1)[0]
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    s.settimeout(5)
    try:
        while s.recv(4096):
            pass
        say("closed")
    except OSError:
        say("open")


def raw(address, line):
    path = address.split("path=", 1)[1].split(",", 1)[0]
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    s.settimeout(5)
    s.sendall(b"\0" + line.encode() + b"\r\n")
    answer = s.recv(4096).decode().split(" ")[0].strip()
    say("answer", answer)
    if answer != "OK":
        return
    try:
        s.sendall(b"BEGIN\r\n")
        while s.recv(4096):
            pass
        say("closed")
    except OSError:
        say("open")


def main():
    mode, address = sys.argv[1], sys.argv[2]
    if mode == "gio":
        gio(address)
    elif mode == "dbus":
        pydbus(address)
    elif mode == "idle":
        idle(address)
    elif mode == "raw":
        raw(address, sys.argv[3])
    elif mode == "silent":
        silent(address)


main()
