#!/usr/bin/env python3
"""A scripted HTTP/1.1 server for the XML API transport tests: it reads whole
requests (head and Content-Length body), reports the exact bytes of each, and
answers with scripted replies. Connections are served at the same time, each
in its own thread, and may carry several requests one after the other.

Usage: api_http_peer.py [--host ADDR] [--port P] [--connections N] [--lifetime T]
                        [--io-timeout S] [--tls-cert F --tls-key F [--tls-ca F]]
                        REPLY...

The k-th request received (counted over all connections, from 1) gets the
k-th REPLY; the last REPLY serves every later request. A REPLY is a list of
actions joined by "+", played in order:
  send=HEX   send these bytes (hexadecimal)
  hold=S     do nothing for S seconds
  close      close the connection (the remaining actions are skipped)
When the actions end without "close", the connection waits for the next
request.

With --tls-cert and --tls-key every connection is TLS; with --tls-ca too, the
client must present a certificate issued by that CA.

Output (standard output, one line each, flushed):
  READY <port>                 listening
  CONNECTION <n> <port>        connection n accepted from this client port
  CLIENT-CERT <n> <cn>         the common name of the client's certificate
  TLS-ERROR <n> <text>         the handshake on connection n failed
  REQUEST <k> <n> <hex>        request k, read whole on connection n,
  REQUEST-DONE <k>             followed by this line in the same write
  CLOSED <n>                   connection n is over
The server listens on port --port (default 0: any free one) of ADDR (default
127.0.0.1; "::" listens on IPv6 and IPv4 alike) and exits once N connections
(default 1) are over or T seconds (default 20) have passed, whichever comes
first.
"""

import argparse
import socket
import ssl
import sys
import threading
import time

from peer_stream import PeerStream

lock = threading.Lock()
request_count = 0


def say(line):
    with lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


class Connection(PeerStream):
    def __init__(self, sock, number, deadline, io_timeout):
        super().__init__(sock, deadline, io_timeout)
        self.number = number

    def read_request(self):
        """The bytes of one whole request, or None when the client stops
        before sending one."""
        head = self.read_until(b"\r\n\r\n")
        if head is None:
            return None
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, sep, value = line.partition(b":")
            if sep and name.strip().lower() == b"content-length":
                length = int(value.strip())
        body = self.read_exactly(length)
        return None if body is None else head + body

    def play(self, reply):
        """Plays a reply; False when the connection is to be closed."""
        for action in reply.split("+"):
            kind, _, arg = action.partition("=")
            if kind == "send":
                try:
                    self.sock.sendall(bytes.fromhex(arg))
                except OSError:
                    return False
            elif kind == "hold":
                time.sleep(max(0.0, min(float(arg), self.deadline - time.monotonic())))
            elif kind == "close":
                return False
            else:
                raise SystemExit("unknown action " + action)
        return True


def serve(sock, number, args, replies, deadline, tls):
    try:
        if tls is not None:
            sock.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                sock = tls.wrap_socket(sock, server_side=True)
            except (ssl.SSLError, OSError) as error:
                say("TLS-ERROR %d %s" % (number, str(error).replace("\n", " ")))
                return
            cert = sock.getpeercert()
            if cert:
                for rdn in cert.get("subject", ()):
                    for key, value in rdn:
                        if key == "commonName":
                            say("CLIENT-CERT %d %s" % (number, value))
        conn = Connection(sock, number, deadline, args.io_timeout)
        global request_count
        while True:
            request = conn.read_request()
            if request is None:
                break
            with lock:
                request_count += 1
                k = request_count
            say("REQUEST %d %d %s\nREQUEST-DONE %d" % (k, number, request.hex(), k))
            if not conn.play(replies[min(k, len(replies)) - 1]):
                break
    finally:
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        sock.close()
        say("CLOSED %d" % number)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--connections", type=int, default=1)
    parser.add_argument("--lifetime", type=float, default=20.0)
    parser.add_argument("--io-timeout", type=float, default=10.0)
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--tls-ca")
    parser.add_argument("replies", nargs="+")
    args = parser.parse_args()

    deadline = time.monotonic() + args.lifetime
    tls = None
    if args.tls_cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.tls_cert, args.tls_key)
        if args.tls_ca:
            tls.verify_mode = ssl.CERT_REQUIRED
            tls.load_verify_locations(args.tls_ca)

    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    server = socket.socket(family, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if args.host == "::":
        server.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    server.bind((args.host, args.port))
    server.listen(64)
    say("READY %d" % server.getsockname()[1])

    threads = []
    for number in range(1, args.connections + 1):
        left = deadline - time.monotonic()
        if left <= 0:
            break
        server.settimeout(left)
        try:
            sock, address = server.accept()
        except socket.timeout:
            break
        say("CONNECTION %d %d" % (number, address[1]))
        thread = threading.Thread(
            target=serve, args=(sock, number, args, args.replies, deadline, tls), daemon=True
        )
        thread.start()
        threads.append(thread)
    server.close()
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
