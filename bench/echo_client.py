# echo_client.py --
#
#	The python3-dbus client of the method-call benchmark, run by Debian's
#	/usr/bin/python3. Calls Echo through a proxy method with an explicit
#	signature, the way a python program would, and receives the reply
#	as dbus-python's own values.
#
#	Usage: echo_client.py ADDRESS WORKLOAD SECONDS
#	Prints "calls N wall S cpu S" like bench/echo_client.c.

import resource
import sys
import time

import dbus

address, workload, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])

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

bus = dbus.bus.BusConnection(address)
proxy = bus.get_object("org.vantrel.Bench", "/org/vantrel/Bench",
                       introspect=False)
echo = proxy.get_dbus_method("Echo", "org.vantrel.Bench")


def cpu():
    ru = resource.getrusage(resource.RUSAGE_SELF)
    return ru.ru_utime + ru.ru_stime


for _ in range(50):
    echo(*args, signature=signature)
calls = 0
wall0, cpu0 = time.monotonic(), cpu()
while True:
    echo(*args, signature=signature)
    calls += 1
    if calls % 16 == 0:
        wall = time.monotonic() - wall0
        if wall >= seconds:
            break
print("calls %d wall %.6f cpu %.6f" % (calls, wall, cpu() - cpu0))
