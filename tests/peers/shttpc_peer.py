#!/usr/bin/env python3
"""A TCP peer for the socket-layer tests.

Listens on HOST (port chosen by the system), prints "READY <port>" and
serves at most --connections connections, one at a time, in one of these
modes:
  echo       sends back everything it receives until the client closes
  close      closes each connection at once
  silent     accepts and keeps the connections open, never reading or writing
  send       sends --data, then closes
  tls-close  completes a TLS handshake (--cert/--key), then closes
The peer exits after its connections are served or after --seconds,
whichever comes first.
"""
import argparse
import signal
import socket
import ssl
import sys
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["echo", "close", "silent", "send", "tls-close"])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--connections", type=int, default=1)
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--data", default="")
    parser.add_argument("--rcvbuf", type=int, default=0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()

    signal.alarm(args.seconds)
    deadline = time.monotonic() + args.seconds
    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if args.rcvbuf:
        # Set before listening so that accepted sockets inherit it.
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, args.rcvbuf)
    listener.bind((args.host, 0))
    listener.listen(4)
    tls = None
    if args.mode == "tls-close":
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.cert, args.key)
    # One write, so that the reader never sees the line without its port.
    sys.stdout.write("READY %d\n" % listener.getsockname()[1])
    sys.stdout.flush()

    held = []
    for _ in range(args.connections):
        conn, _ = listener.accept()
        if args.mode == "echo":
            with conn:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        break
                    conn.sendall(data)
        elif args.mode == "close":
            conn.close()
        elif args.mode == "silent":
            held.append(conn)
        elif args.mode == "send":
            with conn:
                conn.sendall(args.data.encode())
        elif args.mode == "tls-close":
            try:
                with tls.wrap_socket(conn, server_side=True):
                    pass
            except (ssl.SSLError, OSError):
                pass
    # Silent connections stay open until the time is up.
    while held and time.monotonic() < deadline:
        time.sleep(0.1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
