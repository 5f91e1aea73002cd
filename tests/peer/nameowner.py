# nameowner.py --
#
#	A peer that owns a well-known bus name on the session bus, so that
#	tests meet a name held by a connection they did not make.
#
#	Usage: nameowner.py NAME ?FLAGS?
#	Requests NAME with the request flags FLAGS (default 0) and prints
#	"ready UNIQUE REPLY": its unique name and the bus's reply code.
#	Then waits until standard input closes or it is killed.

import sys
import dbus

name = sys.argv[1]
flags = int(sys.argv[2]) if len(sys.argv) > 2 else 0
bus = dbus.SessionBus()
reply = bus.request_name(name, flags)
print("ready", bus.get_unique_name(), reply, flush=True)
sys.stdin.read()
