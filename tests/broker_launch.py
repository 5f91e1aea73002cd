#!/usr/bin/python3
"""broker_launch.py -- starts a private dbus-broker the way systemd would.

Usage: broker_launch.py CONFIG SOCKET SCOPE LOG

dbus-broker-launch does not listen by itself: it takes the listening
socket from its parent, as systemd's socket activation hands one over
(descriptor 3, LISTEN_FDS=1, LISTEN_PID its own PID). This script binds
and listens on the unix socket path SOCKET, then forks. The child starts
a session of its own (so that the launcher, the dbus-broker it spawns
and the log reader below form one process group, whose ID is the
launcher's PID), moves the socket to descriptor 3 and becomes
dbus-broker-launch --scope SCOPE --config-file CONFIG, its output and
its log going to LOG.

The parent waits until the bus answers an authentication request, then
prints the bus address (with the bus's guid) and the launcher's PID, one
line each, as dbus-daemon --fork --print-address=1 --print-pid=1 does,
and exits. It fails (status 1, the reason on standard error) when the
launcher ends or the bus does not come up within ten seconds, stopping
whatever it started. Stopping the launcher by its PID stops the bus and
the log reader with it.
"""

import ctypes
import os
import select
import signal
import socket
import sys
import time

JOURNAL = "/run/systemd/journal/socket"


def remove_old(path):
    """Removes whatever socket is at path, as dbus-daemon does before it
    listens there: a bus can be started again at the same address, and a
    new bus takes the address over from a running one."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def private_journal(log, listener, path):
    """Gives this process a private /run holding a journal socket of its
    own, and a reader that copies each entry's MESSAGE line to the log
    file: dbus-broker-launch refuses to start without a journal, and the
    machine's journal (if any) is not ours to write to. Needs the right
    to make a mount namespace (root); without it, the machine's journal
    is used where there is one. The reader ends with the launcher, its
    parent, or with the process group.

    Returns the path at which the bus socket is then found: a socket
    below /run (the system bus's) is bound first onto a file beside the
    log, since the launcher connects to its own bus by path."""
    libc = ctypes.CDLL(None, use_errno=True)
    clone_newns, ms_bind, ms_rec, ms_private = 0x20000, 0x1000, 0x4000, 0x40000

    def mount(source, target, fstype, flags, data):
        if libc.mount(source.encode(), target.encode(),
                      fstype.encode() if fstype else None, flags,
                      data.encode() if data else None) != 0:
            sys.stderr.write("cannot mount %s: %s\n"
                             % (target, os.strerror(ctypes.get_errno())))
            os._exit(1)

    if libc.unshare(clone_newns) != 0:
        return path
    mount("none", "/", None, ms_rec | ms_private, None)
    if os.path.realpath(path).startswith("/run/"):
        outside = os.path.join(os.path.dirname(log), "listen.sock")
        open(outside, "w").close()
        mount(path, outside, None, ms_bind, None)
        path = outside
    mount("vantrel-broker", "/run", "tmpfs", 0, "mode=755")
    os.makedirs(os.path.dirname(JOURNAL))
    journal = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    journal.bind(JOURNAL)
    launcher = os.getpid()
    if os.fork() != 0:
        journal.close()
        return path
    try:
        listener.close()
        # Killed as soon as the launcher ends (PR_SET_PDEATHSIG).
        libc.prctl(1, signal.SIGKILL, 0, 0, 0)
        out = os.open(log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        while os.getppid() == launcher:
            if not select.select([journal], [], [], 1.0)[0]:
                continue
            entry = journal.recv(65536)
            for line in entry.split(b"\n"):
                if line.startswith(b"MESSAGE="):
                    os.write(out, line[8:] + b"\n")
    finally:
        os._exit(0)


def authenticate(path, launcher, deadline):
    """Returns the bus's guid once it accepts EXTERNAL authentication,
    or None when the launcher ends first or the deadline passes."""
    uid = str(os.getuid()).encode().hex()
    while time.monotonic() < deadline:
        if os.waitpid(launcher, os.WNOHANG)[0] != 0:
            return None
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.settimeout(max(0.1, deadline - time.monotonic()))
                s.connect(path)
                s.sendall(b"\0AUTH EXTERNAL " + uid.encode() + b"\r\n")
                reply = b""
                while not reply.endswith(b"\r\n"):
                    chunk = s.recv(256)
                    if not chunk:
                        break
                    reply += chunk
            words = reply.split()
            if len(words) == 2 and words[0] == b"OK":
                return words[1].decode()
        except OSError:
            pass
        time.sleep(0.05)
    return None


def main(argv):
    if len(argv) != 5:
        sys.stderr.write("usage: broker_launch.py CONFIG SOCKET SCOPE LOG\n")
        return 2
    config, path, scope, log = argv[1:]
    remove_old(path)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(64)

    pid = os.fork()
    if pid == 0:
        try:
            os.setsid()
            # Nothing started here may hold the caller's output open.
            fd = os.open(log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
            null = os.open(os.devnull, os.O_RDONLY)
            os.dup2(null, 0)
            os.dup2(fd, 1)
            os.dup2(fd, 2)
            own = private_journal(log, listener, path)
            os.dup2(listener.fileno(), 3)
            os.set_inheritable(3, True)
            os.closerange(4, 1024)
            # The launcher is a client of its own bus, found as systemd's
            # unit environment would give it (for either scope).
            address = "unix:path=" + own
            env = dict(os.environ, LISTEN_FDS="1", LISTEN_PID=str(os.getpid()),
                       DBUS_SESSION_BUS_ADDRESS=address,
                       DBUS_SYSTEM_BUS_ADDRESS=address)
            env.pop("LISTEN_FDNAMES", None)
            os.execvpe("dbus-broker-launch", [
                "dbus-broker-launch", "--scope", scope,
                "--config-file", config], env)
        finally:
            os._exit(127)

    listener.close()
    guid = authenticate(path, pid, time.monotonic() + 10)
    if guid is None:
        try:
            os.killpg(pid, signal.SIGTERM)
        except OSError:
            pass
        sys.stderr.write("dbus-broker did not come up; see %s\n" % log)
        return 1
    sys.stdout.write("unix:path=%s,guid=%s\n%d\n" % (path, guid, pid))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
