#!/usr/bin/env python3
"""A scripted HTTP server for client tests: it plays the same list of steps on
every connection it accepts and reports what the client sent.

Usage: scripted_http_peer.py [--host ADDR] [--connections N] [--lifetime T]
                             [--io-timeout S] STEP...

Steps, played in order on each connection:
  head           read the request up to the end of its headers
  body           read the body the headers announce (Content-Length or chunked)
  request        head, then body
  send:HEX       send these bytes (hexadecimal)
  fill:N:HEX     send the bytes HEX repeated, N bytes in all
  drain:S        read whatever arrives until the client closes or S seconds pass
  hold:S         keep the connection open for S seconds without reading
  close          stop here: the remaining steps are skipped, the connection
                 closed

Output (standard output, one line each, flushed):
  READY <port>                  listening
  CLIENT <n> <port>             connection n accepted from this client port
  REQUEST <n> <hex>             every byte received on connection n, once its
                                steps are done
  DONE <n>                      follows the REQUEST line (wait for this one)
The server listens on port 0 of ADDR (default 127.0.0.1) and exits after N
connections (default 1) or T seconds (default 20), whichever comes first.
"""

import argparse
import socket
import sys
import time

from peer_stream import PeerStream


class Connection(PeerStream):
    def head(self):
        self.header_block = self.read_until(b"\r\n\r\n") or b""

    def body(self):
        headers = {}
        for line in self.header_block.split(b"\r\n")[1:]:
            name, sep, value = line.partition(b":")
            if sep:
                headers[name.strip().lower()] = value.strip()
        if headers.get(b"transfer-encoding", b"").lower() == b"chunked":
            while True:
                size_line = self.read_until(b"\r\n")
                if size_line is None:
                    return
                size = int(size_line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.read_until(b"\r\n") not in (None, b"\r\n"):
                        pass
                    return
                if self.read_exactly(size + 2) is None:
                    return
        elif b"content-length" in headers:
            self.read_exactly(int(headers[b"content-length"]))

    def drain(self, seconds):
        end = min(time.monotonic() + seconds, self.deadline)
        while time.monotonic() < end and self.receive(end - time.monotonic()):
            pass

    def send(self, data):
        try:
            self.sock.sendall(data)
        except (ConnectionError, socket.timeout):
            pass


def play(conn, steps):
    conn.header_block = b""
    for step in steps:
        kind, _, arg = step.partition(":")
        if kind == "head":
            conn.head()
        elif kind == "body":
            conn.body()
        elif kind == "request":
            conn.head()
            conn.body()
        elif kind == "send":
            conn.send(bytes.fromhex(arg))
        elif kind == "fill":
            count, _, pattern = arg.partition(":")
            unit = bytes.fromhex(pattern)
            total = int(count)
            conn.send((unit * (total // len(unit) + 1))[:total])
        elif kind == "drain":
            conn.drain(float(arg))
        elif kind == "hold":
            time.sleep(max(0.0, min(float(arg), conn.deadline - time.monotonic())))
        elif kind == "close":
            return
        else:
            raise SystemExit("unknown step " + step)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--connections", type=int, default=1)
    parser.add_argument("--lifetime", type=float, default=20.0)
    parser.add_argument("--io-timeout", type=float, default=5.0)
    parser.add_argument("steps", nargs="*")
    args = parser.parse_args()

    deadline = time.monotonic() + args.lifetime
    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    server = socket.socket(family, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((args.host, 0))
    server.listen(8)
    print("READY %d" % server.getsockname()[1], flush=True)

    for number in range(1, args.connections + 1):
        left = deadline - time.monotonic()
        if left <= 0:
            break
        server.settimeout(left)
        try:
            sock, address = server.accept()
        except socket.timeout:
            break
        print("CLIENT %d %d" % (number, address[1]), flush=True)
        conn = Connection(sock, deadline, args.io_timeout)
        play(conn, args.steps)
        print("REQUEST %d %s\nDONE %d" % (number, conn.captured.hex(), number), flush=True)
        # Let the client read everything before the connection goes away:
        # closing with unread input would reset it.
        try:
            sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        conn.drain(2.0)
        sock.close()
    server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
