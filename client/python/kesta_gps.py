"""Hear the KESTA_GPS service's broadcast on Linux (standard library only).

    import kesta_gps
    with kesta_gps.Listener() as l:       # root: $KESTA_GPS_ROOT, else /var/lib/kesta-gps
        fix = l.next(timeout=5.0)        # None when nothing came in time
        for fix in l:                    # or every broadcast, as it comes
            print(fix.speed_kmh, fix.valid, fix.received)

speed_kmh is whole km/h (cut, not rounded), valid is True for a valid fix,
received is the time.time() it was taken in. The wire format is the one the
C library (kesta_gps_client.h) reads: a 40-byte datagram at
<root>/.platform/ipc/<pid>.sock.
"""
import collections
import os
import socket
import struct
import time

__all__ = ["Fix", "Listener", "message_number"]

Fix = collections.namedtuple("Fix", "speed_kmh valid received")

_PACKET = struct.Struct("=IIQIIQq")  # magic, kind, window, message, 0, wParam, lParam
_MAGIC = 0x4B475053
_POST = 1
_UCRED = struct.Struct("=iII")  # pid, uid, gid


def message_number(name):
    """The number the service's registered message `name` has (the rule and
    its test vectors: tests/data/message-numbers.txt)."""
    h = 2166136261
    for b in name.encode("utf-8"):
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return 0xC000 + ((h ^ (h >> 14) ^ (h >> 28)) & 0x3FFF)


class Listener:
    """One listener per process at a time: its socket is named by the pid."""

    def __init__(self, root=None, name="KESTA_GPS"):
        root = root or os.environ.get("KESTA_GPS_ROOT") or "/var/lib/kesta-gps"
        if not os.path.isdir(root):
            raise FileNotFoundError(2, "no such folder", root)
        platform = os.path.join(root, ".platform")
        ipc = os.path.join(platform, "ipc")
        try:
            os.mkdir(platform, 0o700)
        except FileExistsError:
            pass
        self._sender = os.stat(platform).st_uid
        # The service's own user listens beside its sockets; any other user
        # only in the folder the service opens to its listener group.
        own = self._sender == os.geteuid()
        folder = ipc if own else os.path.join(platform, "listen")
        if own:
            try:
                os.mkdir(ipc, 0o700)
            except FileExistsError:
                pass
        self._message = message_number(name)
        self._path = os.path.join(folder, "%d.sock" % os.getpid())
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        try:
            self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
            try:
                os.unlink(self._path)  # left by a process that had this pid
            except FileNotFoundError:
                pass
            try:
                self._sock.bind(self._path)
            except FileNotFoundError:
                if own:
                    raise
                raise PermissionError(13, "not the service's user nor in its listener group", root)
            os.chmod(self._path, 0o600 if own else 0o660)
        except BaseException:
            self._sock.close()
            raise

    def fileno(self):
        return self._sock.fileno()

    def next(self, timeout=None):
        """The next fix, or None when none came within `timeout` seconds."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            self._sock.settimeout(left)
            try:
                data, anc, flags, _ = self._sock.recvmsg(_PACKET.size + 1, socket.CMSG_SPACE(_UCRED.size))
            except socket.timeout:
                return None
            received = time.time()
            if len(data) != _PACKET.size or not self._from_service(anc):
                continue
            magic, kind, _, message, _, wparam, lparam = _PACKET.unpack(data)
            if magic == _MAGIC and kind == _POST and message == self._message:
                return Fix(wparam, lparam == 1, received)

    def _from_service(self, anc):
        for level, kind, data in anc:
            if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS and len(data) >= _UCRED.size:
                uid = _UCRED.unpack(data[:_UCRED.size])[1]
                return uid in (self._sender, 0)
        return False

    def __iter__(self):
        while True:
            yield self.next()

    def close(self):
        if self._sock.fileno() >= 0:
            self._sock.close()
            try:
                os.unlink(self._path)
            except FileNotFoundError:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
