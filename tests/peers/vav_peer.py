#!/usr/bin/env python3
"""A scripted server for the "ROVUDI-D/1.0" stream-socket protocol: it plays
the same list of steps on every connection it accepts and reports exactly
what the client sent.

Usage: vav_peer.py [--host ADDR] [--connections N] [--lifetime T]
                   [--io-timeout S] [--final-drain S]
                   [--tls CERT KEY] [--client-ca FILE] STEP...

Steps, played in order on each connection:
  request        read the header block (up to the empty line), then as many
                 payload bytes as its "Content-length:" line announces
  head           read the header block only
  send:HEX       send these bytes (hexadecimal)
  fill:N:HEX     send the bytes HEX repeated, N bytes in all
  hold:S         keep the connection open for S seconds without reading
  reset          abort the connection (the client sees a reset); the
                 remaining steps are skipped
  close          stop here: the remaining steps are skipped

With --tls the connection is TLS (server certificate CERT and key KEY); with
--client-ca as well, the client must present a certificate issued by FILE.

Output (standard output, one line each, flushed):
  READY <port>               listening
  CLIENT <n> <port>          connection n accepted from this client port
  TLS <n> <version> <cn>     TLS handshake done; cn of the client's
                             certificate, or "-" without one
  TLSFAIL <n> <reason>       TLS handshake failed (the connection is dropped)
  RESET <n>                  the reset step was played
  REQUEST <n> <hex>          every byte received on connection n once its
                             steps are done (decrypted under TLS)
  DONE <n>                   follows the REQUEST line (wait for this one)
  CLOSED <n> / OPEN <n>      after DONE: the server ends its side, then waits
                             up to --final-drain seconds (default 2) for the
                             client to close: CLOSED when it did, OPEN when not
The server listens on port 0 of ADDR (default 127.0.0.1) and exits after N
connections (default 1) or T seconds (default 20), whichever comes first.
"""

import argparse
import socket
import ssl
import struct
import sys
import time

from peer_stream import PeerStream


def emit(line):
    print(line, flush=True)


class Connection(PeerStream):
    def __init__(self, sock, deadline, io_timeout):
        super().__init__(sock, deadline, io_timeout)
        self.aborted = False

    def head(self):
        return self.read_until(b"\r\n\r\n") or b""

    def request(self):
        length = 0
        for line in self.head().split(b"\r\n"):
            if line.startswith(b"Content-length:"):
                length = int(line.split(b":", 1)[1])
        if length > 0:
            self.read_exactly(length)

    def send(self, data):
        try:
            self.sock.settimeout(max(0.1, self.deadline - time.monotonic()))
            self.sock.sendall(data)
        except (OSError, ssl.SSLError):
            pass

    def reset(self):
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()
        self.aborted = True

    def finish(self, final_drain):
        """Ends the server's side and reports whether the client closes."""
        try:
            self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        end = min(time.monotonic() + final_drain, self.deadline)
        while not self.eof and time.monotonic() < end:
            self.receive(end - time.monotonic())
        self.sock.close()
        return self.eof


def play(conn, steps, number):
    for step in steps:
        kind, _, arg = step.partition(":")
        if kind == "request":
            conn.request()
        elif kind == "head":
            conn.head()
        elif kind == "send":
            conn.send(bytes.fromhex(arg))
        elif kind == "fill":
            count, _, pattern = arg.partition(":")
            unit = bytes.fromhex(pattern)
            total = int(count)
            conn.send((unit * (total // len(unit) + 1))[:total])
        elif kind == "hold":
            time.sleep(max(0.0, min(float(arg), conn.deadline - time.monotonic())))
        elif kind == "reset":
            conn.reset()
            emit("RESET %d" % number)
            return
        elif kind == "close":
            return
        else:
            raise SystemExit("unknown step " + step)


def tls_context(args):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.tls[0], args.tls[1])
    if args.client_ca:
        context.load_verify_locations(args.client_ca)
        context.verify_mode = ssl.CERT_REQUIRED
    return context


def client_cn(sock):
    cert = sock.getpeercert()
    if not cert:
        return "-"
    for entry in cert.get("subject", ()):
        for key, value in entry:
            if key == "commonName":
                return value.replace(" ", "_")
    return "?"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--connections", type=int, default=1)
    parser.add_argument("--lifetime", type=float, default=20.0)
    parser.add_argument("--io-timeout", type=float, default=5.0)
    parser.add_argument("--final-drain", type=float, default=2.0)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--client-ca")
    parser.add_argument("steps", nargs="*")
    args = parser.parse_args()

    context = tls_context(args) if args.tls else None
    deadline = time.monotonic() + args.lifetime
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((args.host, 0))
    server.listen(16)
    emit("READY %d" % server.getsockname()[1])

    for number in range(1, args.connections + 1):
        left = deadline - time.monotonic()
        if left <= 0:
            break
        server.settimeout(left)
        try:
            sock, address = server.accept()
        except socket.timeout:
            break
        emit("CLIENT %d %d" % (number, address[1]))
        if context is not None:
            sock.settimeout(max(0.1, min(args.io_timeout, deadline - time.monotonic())))
            try:
                sock = context.wrap_socket(sock, server_side=True)
            except (ssl.SSLError, OSError) as error:
                emit("TLSFAIL %d %s" % (number, str(error).replace("\n", " ")))
                sock.close()
                continue
            emit("TLS %d %s %s" % (number, sock.version(), client_cn(sock)))
        conn = Connection(sock, deadline, args.io_timeout)
        play(conn, args.steps, number)
        emit("REQUEST %d %s\nDONE %d" % (number, conn.captured.hex(), number))
        if not conn.aborted:
            emit("%s %d" % ("CLOSED" if conn.finish(args.final_drain) else "OPEN", number))
    server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
