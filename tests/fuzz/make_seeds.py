#!/usr/bin/python3
"""Writes the seed corpus of values_fuzz into tests/fuzz/corpus/values.

Two kinds of seed, as values_fuzz.cpp reads them:
  out-*  ">MTsignature\\nwords": words marshalled by the signature;
  in-*   a message in the wire format, made here with GLib's GDBusMessage
         (Debian's python3-gi), so that the incoming side starts from
         messages that another implementation wrote.
Run it again after changing a seed here; the files are committed.
"""

import os
import sys

from gi.repository import Gio, GLib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "values")


def write(name, data):
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


def out(name, mode, forms, signature, words):
    """An outgoing seed: mode and forms as in values_fuzz.cpp."""
    write("out-" + name, ">%s%s%s\n%s" % (mode, forms, signature, words))


def nest(depth, inner, wrap):
    for _ in range(depth):
        inner = wrap(inner)
    return inner


def outgoing():
    # Every basic type, at the edges of the integer types.
    out("basic", "0", "@", "ybnqiuxtdsog",
        "255 true -32768 65535 -2147483648 4294967295 "
        "-9223372036854775808 18446744073709551615 1.5e300 text /a/b a{sv}")
    out("basic-forms", "0", "_", "ybnqiuxtdsog",
        "0 no 0x7fff 0xffff 0o17 -1 9223372036854775807 0 -Inf {} / {}")
    # Integers cut to their width, or refused with MARSHAL_RANGE.
    out("cut", "0", "A", "ynqiu", "256 40000 -1 4294967295 -1")
    out("range", "2", "A", "ynqiux", "256 40000 -1 2147483648 -1 "
        "18446744073709551616")
    out("range-ok", "2", "@", "tx", "18446744073709551615 "
        "-9223372036854775808")
    out("not-numbers", "0", "@", "idb", "x1 1e1000x maybe")
    # Text: UTF-8 beyond ASCII, outside the BMP, a NUL and a lone
    # surrogate (both refused), invalid paths and signatures.
    out("utf8", "0", "@", "sss", "h\u00e9 \u20ac\u4e2d \U0001F600")
    out("utf8-escapes", "0", "@", "ss", "\\U0001F600 \\u00e9\\u20ac")
    out("nul", "0", "@", "s", "a\\0b")
    out("surrogate", "0", "@", "s", "a\\ud800b")
    out("bad-path", "0", "@", "o", "/a//b")
    out("bad-signature", "0", "@", "g", "a{vs}")
    # Descriptors: channels by name; refused without a connection.
    out("fd", "0", "@", "hah", "stdin {stdout stderr}")
    out("fd-noconn", "4", "@", "h", "stdin")
    out("fd-unknown", "0", "@", "h", "nosuchchannel")
    out("fd-variant", "0", "@", "v", "{h stderr}")
    # Containers.
    out("struct", "0", "@", "(i(sv)ay)", "{1 {x {i 2}} {1 2 3}}")
    out("struct-short", "0", "@", "(iii)", "{1 2}")
    out("struct-long", "0", "@", "(ii)", "{1 2 3}")
    out("dict", "0", "@", "a{sa{sv}}",
        "{org.example.A {Volume {d 0.5} Title {s Song}} B {}}")
    out("dict-odd", "0", "@", "a{ss}", "{a b c}")
    out("dict-keys", "0", "A", "a{is}", "{1 one 01 also-one 0x1 hex}")
    out("dict-struct", "0", "@", "a{o(ias)}", "{/a {1 {x y}} /b {2 {}}}")
    out("arrays", "0", "@", "aasaayaai", "{{a b} {}} {{1 2} {}} {{} {-1}}")
    out("empty", "0", "@", "", "")
    out("surplus", "0", "@", "s", "a b")
    out("missing", "0", "@", "ss", "a")
    out("not-a-list", "0", "@", "as", "\\{a b")
    # Variants, explicit and implicit, and strict.
    out("variant-explicit", "0", "@", "av",
        "{{s x} {as {a b}} {a{sv} {k {v {i 1}}}} {(ii) {1 2}} {v {y 7}} "
        "{ay {}} {g a{sv}} {o /} {b 1} {t 1} {n -1} {q 1} {x 1} {u 1} "
        "{d 1}}")
    out("variant-implicit", "0", "O", "av",
        "{42 3.5 true {a b c} {k v k2 v2} text 99999999999 "
        "99999999999999999999 1e400 {}}")
    out("variant-plain", "0", "@", "av", "{42 {s x} {i} {i 1 2} {q x}}")
    out("variant-dicts", "0", "W", "vv", "{k v k2 {a b}} {i 1 j 2}")
    out("variant-strict", "1", "O", "vv", "{i 42} 42")
    out("variant-strict-ok", "3", "@", "a{sv}", "{k {u 4294967295}}")
    # Deep nesting: the deepest signatures, and variants up to the
    # limit of 63 containers (dbus-broker passes no more) and one past.
    out("deep-arrays", "0", "@", "a" * 32 + "i",
        nest(31, "{1 2}", lambda x: "{%s}" % x))
    out("deep-structs", "0", "@", "(" * 32 + "i" + ")" * 32,
        nest(32, "1", lambda x: "{%s}" % x))
    out("deep-variants", "0", "@", "v", nest(62, "{i 1}",
                                             lambda x: "{v %s}" % x))
    out("deep-variants-over", "0", "@", "v", nest(63, "{i 1}",
                                                  lambda x: "{v %s}" % x))
    out("deep-mixed", "0", "@", "a" * 31 + "v", nest(31, "{av {{i 1}}}",
                                                     lambda x: "{%s}" % x))
    # Arrays of bytes as byte strings: text, byte arrays, characters
    # beyond U+00FF (refused), inside containers and variants.
    out("bytes-text", "8", "@", "ayay", "abc {}")
    out("bytes-binary", "8", "`", "ayv", "\\x00\\xff\\x80 {ay \\x01}")
    out("bytes-wide", "8", "@", "ay", "\\u0100")
    out("bytes-nested", "9", "`", "aaya{yay}(ayv)",
        "{ab {} cd} {1 xy 2 {}} {z {ay q}}")
    out("bytes-lists", "0", "A", "ay", "{1 2 3 255}")
    out("bytes-big", "8", "`", "ay", "".join(
        "\\x%02x" % (i % 256) for i in range(3000)))
    # Big arrays: one block each for the fixed types, more than the
    # 512 bytes kept on the stack and more than one chunk of 512.
    out("big-bytes", "0", "@", "ay", "{%s}" % " ".join(
        str(i % 256) for i in range(6000)))
    out("big-ints", "0", "A", "ai", "{%s}" % " ".join(
        str(i * 7919 - 50000) for i in range(2000)))
    out("big-doubles", "0", "B", "ad", "{%s}" % " ".join(
        "%d.5" % i for i in range(1500)))
    out("big-uint64", "2", "A", "at", "{%s}" % " ".join(
        str(2 ** 64 - 1 - i) for i in range(600)))
    out("big-strings", "0", "@", "as", "{%s}" % " ".join(
        "s%d" % i for i in range(1200)))
    out("big-dict", "0", "@", "a{ss}", "{%s}" % " ".join(
        "k%d v%d" % (i, i) for i in range(600)))


def blob(msg, big=False):
    if big:
        msg.set_byte_order(Gio.DBusMessageByteOrder.BIG_ENDIAN)
    if msg.get_serial() == 0:
        msg.set_serial(7)
    return msg.to_blob(Gio.DBusCapabilityFlags.NONE)


def call(signature, values, big=False):
    msg = Gio.DBusMessage.new_method_call(
        "org.example.Fuzz", "/org/example/Fuzz", "org.example.Fuzz", "Take")
    if signature:
        msg.set_body(GLib.Variant("(%s)" % signature, values))
    return blob(msg, big)


def incoming():
    V = GLib.Variant
    basic = (255, True, -32768, 65535, -2 ** 31, 2 ** 32 - 1, -2 ** 63,
             2 ** 64 - 1, -1.5e-300, "text", "/a/b", "a{sv}")
    write("in-basic-le", call("ybnqiuxtdsog", basic))
    write("in-basic-be", call("ybnqiuxtdsog", basic, big=True))
    write("in-doubles", call("ddddd", (float("nan"), float("inf"),
                                       float("-inf"), -0.0, 5e-324)))
    write("in-utf8", call("ssss", ("h\u00e9", "\u20ac\u4e2d", "\U0001F600",
                                   "\ufffe\U0010ffff")))
    variants = [V("y", 1), V("b", False), V("n", -1), V("q", 1),
                V("i", -1), V("u", 1), V("x", -1), V("t", 1), V("d", 0.25),
                V("s", "s"), V("o", "/o"), V("g", "(iv)"),
                V("v", V("v", V("i", 3))), V("(is)", (1, "x")),
                V("a{sv}", {"k": V("as", ["a", "b"])}), V("ay", b"ab"),
                V("as", [])]
    write("in-variants", call("av", (variants,)))
    write("in-variants-be", call("av", (variants,), big=True))
    write("in-containers", call("a{sa{sv}}a(ii)aasa{ys}(i(s(d)))", (
        {"org.example.A": {"Volume": V("d", 0.5)}, "B": {}},
        [(1, 2), (3, 4)], [["a"], []], {1: "one", 2: "two"},
        (1, ("x", (2.5,))))))
    write("in-empty", call("asa{sv}ayaayaaiai", ([], {}, b"", [b""], [[]],
                                               [])))
    # A dict whose keys repeat, which a Tcl dict cannot hold.
    entries = [V.new_dict_entry(V("s", "k"), V("s", v)) for v in "ab"]
    msg = Gio.DBusMessage.new_method_call(
        "org.example.Fuzz", "/org/example/Fuzz", "org.example.Fuzz", "Take")
    msg.set_body(V.new_tuple(V.new_array(None, entries)))
    write("in-dupkeys", blob(msg))

    deep = V("i", 1)
    for _ in range(31):
        deep = V.new_array(None, [deep])
    write("in-deep-arrays", call("a" * 31 + "i", (deep.unpack(),)))
    deep = V.new_tuple(V("i", 1))
    for _ in range(31):
        deep = V.new_tuple(deep)
    msg = Gio.DBusMessage.new_method_call(
        "org.example.Fuzz", "/org/example/Fuzz", "org.example.Fuzz", "Take")
    msg.set_body(V.new_tuple(deep))
    write("in-deep-structs", blob(msg))
    deep = V("i", 1)
    for _ in range(62):
        deep = V("v", deep)
    msg = Gio.DBusMessage.new_method_call(
        "org.example.Fuzz", "/org/example/Fuzz", "org.example.Fuzz", "Take")
    msg.set_body(V.new_tuple(V("v", deep)))
    write("in-deep-variants", blob(msg))

    write("in-big-bytes", call("ay", (bytes(i % 256 for i in range(30000)),)))
    write("in-big-ints", call("ai", ([i * 7919 - 50000 for i in range(4000)],)))
    write("in-big-uint64", call("at", ([2 ** 64 - 1 - i for i in range(1500)],)))
    write("in-big-doubles", call("ad", ([i + 0.5 for i in range(1500)],)))
    write("in-big-int16", call("anaqab", ([-i for i in range(1500)],
                                          list(range(1500)),
                                          [i % 2 == 0 for i in range(1500)])))
    write("in-big-strings", call("as", (["s%d" % i for i in range(1500)],)))

    msg = Gio.DBusMessage.new_signal("/org/example/Fuzz", "org.example.Fuzz",
                                     "Changed")
    msg.set_sender(":1.42")
    msg.set_destination(":1.7")
    msg.set_body(V("(s)", ("x",)))
    write("in-signal", blob(msg))
    write("in-signal-be", blob(msg, big=True))
    request = Gio.DBusMessage.new_method_call(
        "org.example.Fuzz", "/org/example/Fuzz", "org.example.Fuzz", "Take")
    request.set_serial(0xFFFFFFFF)
    msg = Gio.DBusMessage.new_method_error_literal(
        request, "org.example.Error.Busy", "try later")
    msg.set_serial(0x80000000)
    write("in-error", blob(msg))
    msg = Gio.DBusMessage.new_method_reply(request)
    write("in-return", blob(msg))
    msg = Gio.DBusMessage.new_method_call(
        "org.example.Fuzz", "/org/example/Fuzz", None, "Take")
    msg.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED
                  | Gio.DBusMessageFlags.NO_AUTO_START)
    write("in-flags", blob(msg))

    # Descriptors travel beside a message, never inside it: a message
    # that announces one cannot be loaded from bytes alone.
    msg = Gio.DBusMessage.new_method_call(
        "org.example.Fuzz", "/org/example/Fuzz", "org.example.Fuzz", "Take")
    msg.set_body(V("(h)", (0,)))
    fds = Gio.UnixFDList.new()
    fds.append(0)
    msg.set_unix_fd_list(fds)
    write("in-fd", blob(msg))
    msg = Gio.DBusMessage.new_method_call(
        "org.example.Fuzz", "/org/example/Fuzz", "org.example.Fuzz", "Take")
    msg.set_body(V("(h)", (0,)))
    write("in-fd-unannounced", blob(msg))


def main():
    os.makedirs(OUT, exist_ok=True)
    outgoing()
    incoming()
    return 0


if __name__ == "__main__":
    sys.exit(main())
