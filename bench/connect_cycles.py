#!/usr/bin/python3
"""The same connect/close cycles as connect_cycles.tcl, with python3-dbus."""
import os
import sys
import time

import dbus


def fds():
    return len(os.listdir("/proc/self/fd"))


def rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


address = os.environ["DBUS_SESSION_BUS_ADDRESS"]
cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
for _ in range(200):
    dbus.bus.BusConnection(address).close()
fd0, rss0 = fds(), rss()
t0 = time.monotonic()
for _ in range(cycles):
    dbus.bus.BusConnection(address).close()
us = (time.monotonic() - t0) * 1e6
print("python %6d cycles  %6.0f us/cycle  fds %d -> %d  rss %d kB -> %d kB (%+d kB)"
      % (cycles, us / cycles, fd0, fds(), rss0, rss(), rss() - rss0))
