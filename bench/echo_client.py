# echo_client.py --
#
#	The python3-dbus client of the method-call benchmark, run by Debian's
#	/usr/bin/python3. Calls Echo through a proxy method with an explicit
#	signature, the way a python program would, and receives the reply
#	as dbus-python's own values; the 64 KiB byte array is sent as bytes
#	and asked back as bytes (byte_arrays=True), as a python program
#	handling binary data would, not as a dbus.Array of dbus.Byte.
#
#	Usage: echo_client.py ADDRESS WORKLOAD SECONDS
#	       echo_client.py ADDRESS WORKLOAD -count N
#	Prints "calls N wall S cpu S" like bench/echo_client.c; with -count
#	it makes exactly N calls, without warm-up, and prints "calls N".

import resource
import sys
import time

import dbus

address, workload = sys.argv[1], sys.argv[2]
if sys.argv[3] == "-count":
    count, seconds = int(sys.argv[4]), None
else:
    count, seconds = None, float(sys.argv[3])

if workload == "none":
    args, signature = (), ""
elif workload == "string":
    args, signature = ("x" * 1024,), "s"
elif workload == "dict":
    entries = {}
    for i in range(100):
        entries["key%d" % i] = dbus.Int32(i) if i % 2 == 0 else "value%d" % i
    args, signature = (entries,), "a{sv}"
elif workload == "bytes":
    args, signature = (bytes(i & 0xff for i in range(65536)),), "ay"
elif workload == "ints":
    args, signature = (list(range(10000)),), "ai"
else:
    sys.exit("unknown workload " + workload)
options = {"signature": signature}
if workload == "bytes":
    options["byte_arrays"] = True

bus = dbus.bus.BusConnection(address)
proxy = bus.get_object("org.vantrel.Bench", "/org/vantrel/Bench",
                       introspect=False)
echo = proxy.get_dbus_method("Echo", "org.vantrel.Bench")


def cpu():
    ru = resource.getrusage(resource.RUSAGE_SELF)
    return ru.ru_utime + ru.ru_stime


if count is not None:
    for _ in range(count):
        echo(*args, **options)
    print("calls %d" % count)
    sys.exit(0)

for _ in range(50):
    echo(*args, **options)
calls = 0
wall0, cpu0 = time.monotonic(), cpu()
while True:
    echo(*args, **options)
    calls += 1
    if calls % 16 == 0:
        wall = time.monotonic() - wall0
        if wall >= seconds:
            break
print("calls %d wall %.6f cpu %.6f" % (calls, wall, cpu() - cpu0))
