"""Hear the KESTA_GPS service's broadcast on Linux (standard library only).

    import kesta_gps
    with kesta_gps.Listener() as l:       # root: $KESTA_GPS_ROOT, else /var/lib/kesta-gps
        fix = l.next(timeout=5.0)        # None when nothing came in time
        for fix in l:                    # or every broadcast, as it comes
            print(fix.speed_kmh, fix.valid, fix.received)

speed_kmh is whole km/h (cut, not rounded), valid is True for a valid fix,
received is the time.time() it was taken in. The wire format is the one the
C library (kesta_gps_client.h) reads: a 40-byte datagram at
<root>/.platform/ipc/<pid>.sock for the service's own user, a 40-byte
packet on a connection to <root>/.platform/listen.sock for its listener
group. Listener() raises ListenError (an OSError) when it cannot listen.
"""
import collections
import errno
import os
import pwd
import socket
import stat
import struct
import time

__all__ = ["Fix", "Listener", "ListenError", "message_number"]

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


class ListenError(OSError):
    """The listener cannot start: errno EACCES (neither the service's user
    nor in its listener group), EPERM (the root's .platform belongs to a user
    that is not the service's, or others may write it), or what the system
    said."""


def _trusted(uid):
    """The caller, root, or the service's user (KESTA_GPS_USER, a name or a
    number, else "kesta-gps")."""
    if uid in (os.geteuid(), 0):
        return True
    name = os.environ.get("KESTA_GPS_USER") or "kesta-gps"
    try:
        return pwd.getpwnam(name).pw_uid == uid
    except KeyError:
        return name.isdigit() and int(name) == uid


class Listener:
    """One listener per process at a time. Raises ListenError when it cannot
    listen."""

    def __init__(self, root=None, name="KESTA_GPS"):
        root = root or os.environ.get("KESTA_GPS_ROOT") or "/var/lib/kesta-gps"
        try:
            self._open(root, name)
        except ListenError:
            raise
        except OSError as e:
            raise ListenError(e.errno, "cannot listen: %s" % e.strerror, root) from None

    def _open(self, root, name):
        if not os.path.isdir(root):
            raise FileNotFoundError(2, "no such folder", root)
        platform = os.path.join(root, ".platform")
        ipc = os.path.join(platform, "ipc")
        try:
            os.mkdir(platform, 0o700)
        except FileExistsError:
            pass
        st = os.lstat(platform)
        if not stat.S_ISDIR(st.st_mode) or not _trusted(st.st_uid) or st.st_mode & 0o022:
            raise ListenError(errno.EPERM, "the root's .platform is not the service's: user %d, mode %04o"
                              % (st.st_uid, st.st_mode & 0o7777), root)
        self._sender = st.st_uid
        self._message = message_number(name)
        self._sock = None
        # The service's own user listens beside its sockets; any other user
        # connects to the socket the service opens to its listener group.
        self._member = self._sender != os.geteuid()
        if self._member:
            self._path = os.path.join(platform, "listen.sock")
            self._connect()
            return
        try:
            os.mkdir(ipc, 0o700)
        except FileExistsError:
            pass
        self._path = os.path.join(ipc, "%d.sock" % os.getpid())
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        try:
            self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
            try:
                os.unlink(self._path)  # left by a process that had this pid
            except FileNotFoundError:
                pass
            self._sock.bind(self._path)
            os.chmod(self._path, 0o600)
        except BaseException:
            self._sock.close()
            raise

    def _connect(self):
        """True once connected to the service; False while it is not running."""
        s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        s.settimeout(2.0)
        try:
            s.connect(self._path)
        except (ConnectionRefusedError, BlockingIOError, socket.timeout, InterruptedError):
            s.close()
            return False
        except FileNotFoundError:
            s.close()
            raise ListenError(errno.EACCES, "the service lets no other user listen", self._path) from None
        except PermissionError:
            s.close()
            raise ListenError(errno.EACCES, "not the service's user nor in its listener group", self._path) from None
        except BaseException:
            s.close()
            raise
        uid = _UCRED.unpack(s.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, _UCRED.size))[1]
        if uid not in (self._sender, 0):
            s.close()
            raise ListenError(errno.EPERM, "the socket is not the service's: user %d" % uid, self._path)
        if self._sock is not None:
            self._sock.close()
        self._sock = s
        return True

    def fileno(self):
        """The socket to poll; a group member's changes when the service
        comes back after a restart (None while it is away)."""
        return self._sock.fileno() if self._sock is not None else None

    def next(self, timeout=None):
        """The next fix, or None when none came within `timeout` seconds."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            if self._sock is None:
                # The service is away: tried again every 0.2 s.
                if not self._connect():
                    if left == 0.0:
                        return None
                    time.sleep(0.2 if left is None else min(0.2, left))
                continue
            self._sock.settimeout(left)
            try:
                if self._member:
                    data, flags = self._sock.recvmsg(_PACKET.size + 1)[0], 0
                    anc = None
                else:
                    data, anc, flags, _ = self._sock.recvmsg(_PACKET.size + 1, socket.CMSG_SPACE(_UCRED.size))
            except socket.timeout:
                return None
            except (ConnectionResetError, BrokenPipeError):
                data = b""
            if self._member and not data:
                self._sock.close()  # the service ended: heard again once it is back
                self._sock = None
                continue
            received = time.time()
            # A connection's peer was checked when it was made.
            if len(data) != _PACKET.size or (not self._member and not self._from_service(anc)):
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
        if self._sock is not None and self._sock.fileno() >= 0:
            self._sock.close()
            if not self._member:
                try:
                    os.unlink(self._path)
                except FileNotFoundError:
                    pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
