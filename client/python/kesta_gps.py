"""Hear the KESTA_GPS service's broadcast on Linux (standard library only).

    import kesta_gps
    with kesta_gps.Listener() as l:       # root: $KESTA_GPS_ROOT, else /var/lib/kesta-gps
        fix = l.next(timeout=5.0)        # the latest fix; None when none came in time
        for fix in l:                    # or each new fix once, as it comes
            print(fix.speed_kmh, fix.valid, fix.received - fix.sent)

speed_kmh is whole km/h (cut, not rounded), valid is True for a valid fix,
received is the time.time() the module took it in and sent the time.time()
the service sent it (equal when the service does not say), so
received - sent is its age. The wire format is the one the C library
(kesta_gps_client.h) reads and describes.

Exceptions:
    ListenError (an OSError), from Listener(): errno ENOENT (no such root),
        ENOTDIR, ESRCH (no service has ever run on this root), EBUSY (this
        process listens already), EACCES (neither the service's user nor let
        in by its listener group), EPERM (the root's .platform or its socket
        is not the service's, or others may write .platform), or what the
        system said.
    ServiceStopped (an OSError, errno ENOTCONN), from next(): the service has
        stopped; said at once when noticed, then at each timeout while it is
        away. The listener stays and hears the service when it runs again.
    ValueError, from next(): a negative timeout.

One listener per process at a time; not thread-safe. After os.fork() the
child may close the listener it inherited (the parent keeps hearing) and
make its own; it must not read from the inherited one.
"""
import collections
import errno
import os
import pwd
import select
import socket
import stat
import struct
import time

__all__ = ["Fix", "Listener", "ListenError", "ServiceStopped", "message_number"]

Fix = collections.namedtuple("Fix", "speed_kmh valid received sent")

# magic, kind, window, message, when sent (the sender's CLOCK_MONOTONIC in
# ms, low 32 bits; 0: not said), wParam, lParam
_PACKET = struct.Struct("=IIQIIQq")
_MAGIC = 0x4B475053
_POST = 1
_UCRED = struct.Struct("=iII")  # pid, uid, gid
_RETRY = 0.2  # while the service is away, tried again this often
_CHECK = 1.0  # the own user's check that the service still runs
_FRESH = 2.0  # after a backlog, the wait for the next broadcast
_GONE = object()
_listening = None  # the pid of the process that listens


def message_number(name):
    """The number the service's registered message `name` has (the rule and
    its test vectors: tests/data/message-numbers.txt)."""
    h = 2166136261
    for b in name.encode("utf-8"):
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return 0xC000 + ((h ^ (h >> 14) ^ (h >> 28)) & 0x3FFF)


class ListenError(OSError):
    """The listener cannot start (see the module's documentation)."""


class ServiceStopped(OSError):
    """The service has stopped (errno ENOTCONN); the listener stays."""


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
        global _listening
        root = root or os.environ.get("KESTA_GPS_ROOT") or "/var/lib/kesta-gps"
        self._sock = None
        if _listening == os.getpid():
            raise ListenError(errno.EBUSY, "this process listens already", root)
        try:
            self._open(root, name)
        except ListenError:
            raise
        except OSError as e:
            raise ListenError(e.errno, "cannot listen: %s" % e.strerror, root) from None
        _listening = self._owner

    def _open(self, root, name):
        st = os.stat(root)
        if not stat.S_ISDIR(st.st_mode):
            raise NotADirectoryError(errno.ENOTDIR, "not a folder", root)
        platform = os.path.join(root, ".platform")
        ipc = os.path.join(platform, "ipc")
        none = ListenError(errno.ESRCH, "no KESTA_GPS service has run on this root", root)
        try:
            st = os.lstat(platform)
        except FileNotFoundError:
            raise none from None
        if not stat.S_ISDIR(st.st_mode) or not _trusted(st.st_uid) or st.st_mode & 0o022:
            raise ListenError(errno.EPERM, "the root's .platform is not the service's: user %d, mode %04o"
                              % (st.st_uid, st.st_mode & 0o7777), root)
        self._sender = st.st_uid
        self._message = message_number(name)
        self._owner = os.getpid()
        self._service = 0  # the own user's: the pid the broadcast came from
        self._told = False
        # The service's own user listens beside its sockets; any other user
        # connects to the socket the service opens to its listener group.
        self._member = self._sender != os.geteuid()
        if self._member:
            self._path = os.path.join(platform, "listen.sock")
            self._connect()
            return
        if not os.path.isdir(ipc):
            raise none
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
            self._sock = None
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
            raise ListenError(errno.EACCES, "the service lets no other user listen (it runs without a listener group)",
                              self._path) from None
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
        s.settimeout(None)
        if self._sock is not None:
            self._sock.close()
        self._sock = s
        self._told = False
        return True

    def fileno(self):
        """The socket to poll; a group member's changes when the service
        comes back after a restart (None while it is away)."""
        return self._sock.fileno() if self._sock is not None else None

    def _take(self):
        """The next fix that waits, None when none waits, or _GONE when the
        service closed the connection; never waits."""
        while True:
            anc = None
            try:
                if self._member:
                    data = self._sock.recv(_PACKET.size + 1, socket.MSG_DONTWAIT)
                else:
                    data, anc, _, _ = self._sock.recvmsg(_PACKET.size + 1, socket.CMSG_SPACE(_UCRED.size),
                                                         socket.MSG_DONTWAIT)
            except BlockingIOError:
                return None
            except (ConnectionResetError, BrokenPipeError):
                data = b""
            if self._member and not data:
                return _GONE
            # A connection's peer was checked when it was made.
            if len(data) != _PACKET.size or (not self._member and not self._from_service(anc)):
                continue
            magic, kind, _, message, stamp, wparam, lparam = _PACKET.unpack(data)
            if magic != _MAGIC or kind != _POST:
                continue
            self._told = False
            if message == self._message:
                received = time.time()
                # The service's CLOCK_MONOTONIC in ms, cut to 32 bits: the
                # difference from ours is the age.
                age = ((int(time.monotonic() * 1000) - stamp) & 0xFFFFFFFF) if stamp else 0
                return Fix(wparam, lparam == 1, received, received - (age if age < 0x80000000 else 0) / 1000.0)

    def _stopped(self):
        if self._member:
            return self._sock is None
        if not self._service:
            return False
        try:
            os.kill(self._service, 0)
        except ProcessLookupError:
            return True
        except OSError:
            pass
        return False

    def next(self, timeout=None):
        """The latest fix, or None when none came within `timeout` seconds
        (None: wait for ever; 0: only what waits). All that waits is read and
        the last kept; when several waited, the next broadcast is waited for
        (up to the timeout and 2 s) and given, else the last that waited.
        Raises ServiceStopped when the service has stopped."""
        if timeout is not None and timeout < 0:
            raise ValueError("timeout must be None or at least 0: %r" % (timeout,))
        deadline = None if timeout is None else time.monotonic() + timeout
        got, backlog, fresh = None, 0, 0.0
        while True:
            if self._sock is not None:
                n, r = 0, None
                while True:
                    r = self._take()
                    if r is None or r is _GONE:
                        break
                    got, n = r, n + 1
                if n and backlog:
                    return got  # the fresh one after a backlog
                backlog += n
                # More than one waited: the queue may have been full and
                # refused newer broadcasts, so the next to come is the latest.
                if n == 1 and backlog == 1:
                    return got
                if n > 1:
                    fresh = time.monotonic() + _FRESH
                if r is _GONE:
                    self._sock.close()  # heard again once it is back
                    self._sock = None
                    if backlog:
                        return got
                    self._told = True
                    raise ServiceStopped(errno.ENOTCONN, "the KESTA_GPS service has stopped")
            until = deadline
            if backlog and (until is None or fresh < until):
                until = fresh
            wait = None if until is None else max(0.0, until - time.monotonic())
            if self._sock is None:
                if self._connect():
                    continue
                time.sleep(_RETRY if wait is None else min(_RETRY, wait))
            else:
                if not self._member:
                    wait = _CHECK if wait is None else min(_CHECK, wait)
                p = select.poll()
                p.register(self._sock, select.POLLIN)
                if p.poll(None if wait is None else int(wait * 1000 + 0.999)):
                    continue
            over = until is not None and time.monotonic() >= until
            if over and backlog:
                return got
            if self._stopped() and (not self._told or over):
                self._told = True
                raise ServiceStopped(errno.ENOTCONN, "the KESTA_GPS service has stopped")
            if over:
                return None

    def _from_service(self, anc):
        for level, kind, data in anc:
            if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS and len(data) >= _UCRED.size:
                pid, uid, _ = _UCRED.unpack(data[:_UCRED.size])
                if uid in (self._sender, 0):
                    self._service = pid
                    return True
                return False
        return False

    def __iter__(self):
        """Each new fix once, as it comes; waits across a restart of the
        service (next() says that it stopped)."""
        while True:
            try:
                fix = self.next()
            except ServiceStopped:
                continue
            yield fix

    def close(self):
        global _listening
        if self._sock is not None and self._sock.fileno() >= 0:
            self._sock.close()
            # A child made by fork closes its copy: the socket stays its maker's.
            if not self._member and self._owner == os.getpid():
                try:
                    os.unlink(self._path)
                except FileNotFoundError:
                    pass
        if _listening == getattr(self, "_owner", None):
            _listening = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
