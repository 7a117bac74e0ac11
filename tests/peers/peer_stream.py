"""Buffered reading from a peer's accepted connection, shared by the scripted
test peers: every wait is bounded by the connection's deadline and its
per-read time-out, and everything received is also kept in `captured` so a
peer can report the exact bytes of a request."""
import socket
import ssl
import time


class PeerStream:
    def __init__(self, sock, deadline, io_timeout):
        self.sock = sock
        self.deadline = deadline
        self.io_timeout = io_timeout
        self.pending = b""
        self.captured = b""
        self.eof = False

    def receive(self, wait):
        """Reads more bytes into pending; False at the end of the stream, on
        a reset or broken TLS stream (both end it), or when nothing arrives
        within `wait` seconds or before the deadline."""
        if self.eof:
            return False
        wait = min(wait, self.deadline - time.monotonic())
        if wait <= 0:
            return False
        self.sock.settimeout(wait)
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            return False
        except (ssl.SSLError, OSError):
            self.eof = True
            return False
        if not data:
            self.eof = True
            return False
        self.pending += data
        self.captured += data
        return True

    def read_until(self, marker):
        """The bytes up to and including `marker`, or None when they do not
        all arrive."""
        while marker not in self.pending:
            if not self.receive(self.io_timeout):
                return None
        index = self.pending.index(marker) + len(marker)
        taken, self.pending = self.pending[:index], self.pending[index:]
        return taken

    def read_exactly(self, count):
        """The next `count` bytes, or None when they do not all arrive."""
        while len(self.pending) < count:
            if not self.receive(self.io_timeout):
                return None
        taken, self.pending = self.pending[:count], self.pending[count:]
        return taken
