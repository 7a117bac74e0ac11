#!/usr/bin/env python3
"""An ONC RPC server over TCP for the change-scan connection tests.

Speaks record marking (4-byte marks, top bit = last fragment) and the call
and reply headers of ONC RPC version 2, independently of the library's RPC
code. Listens on [::]:2049 (IPv4 too), prints "READY" and serves at most
--connections connections (each in its own thread), in one of these modes:
  normal         answers NULL (procedure 0) of program 400010 version 1;
                 another program gets PROG_UNAVAIL, another version
                 PROG_MISMATCH 1..1, another procedure PROC_UNAVAIL
  prog-unavail   answers every call with PROG_UNAVAIL
  prog-mismatch  answers every call with PROG_MISMATCH, versions 2..2
  silent         reads calls and never answers
  hangup         reads one call, then closes the connection
With --calls N a connection is closed after N answered calls.
For every call it prints one line:
  "CALL xid=<n> prog=<n> vers=<n> proc=<n> cred=<flavor>"
and a malformed call header is reported as "BAD <reason>" before the
connection is closed. The peer exits after its connections have ended or
after --seconds, whichever comes first.
"""
import argparse
import signal
import socket
import struct
import sys
import threading

PROGRAM = 400010
VERSION = 1
MAX_RECORD = 1 << 20

MSG_CALL, MSG_REPLY = 0, 1
MSG_ACCEPTED = 0
SUCCESS, PROG_UNAVAIL, PROG_MISMATCH, PROC_UNAVAIL = 0, 1, 2, 3

print_lock = threading.Lock()


def say(line):
    with print_lock:
        print(line, flush=True)


def recv_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def read_record(conn):
    record = b""
    while True:
        mark = recv_exact(conn, 4)
        if mark is None:
            return None
        (word,) = struct.unpack(">I", mark)
        length = word & 0x7FFFFFFF
        if len(record) + length > MAX_RECORD:
            return None
        fragment = recv_exact(conn, length)
        if fragment is None:
            return None
        record += fragment
        if word & 0x80000000:
            return record


def send_record(conn, body):
    conn.sendall(struct.pack(">I", 0x80000000 | len(body)) + body)


def parse_call(record):
    """Returns (xid, prog, vers, proc, cred_flavor) or raises ValueError."""
    if len(record) < 24:
        raise ValueError("short header")
    xid, mtype, rpcvers, prog, vers, proc = struct.unpack(">6I", record[:24])
    if mtype != MSG_CALL:
        raise ValueError("msg_type %d" % mtype)
    if rpcvers != 2:
        raise ValueError("rpcvers %d" % rpcvers)
    offset = 24
    flavors = []
    for _ in ("cred", "verf"):
        if len(record) < offset + 8:
            raise ValueError("short auth")
        flavor, length = struct.unpack(">2I", record[offset:offset + 8])
        if length > 400:
            raise ValueError("auth body %d" % length)
        offset += 8 + ((length + 3) & ~3)
        if len(record) < offset:
            raise ValueError("short auth body")
        flavors.append(flavor)
    return xid, prog, vers, proc, flavors[0]


def reply(xid, accept_stat, mismatch=None):
    body = struct.pack(">3I", xid, MSG_REPLY, MSG_ACCEPTED)
    body += struct.pack(">2I", 0, 0)  # AUTH_NONE verifier
    body += struct.pack(">I", accept_stat)
    if mismatch is not None:
        body += struct.pack(">2I", *mismatch)
    return body


def answer(mode, xid, prog, vers, proc):
    if mode == "prog-unavail":
        return reply(xid, PROG_UNAVAIL)
    if mode == "prog-mismatch":
        return reply(xid, PROG_MISMATCH, (2, 2))
    if prog != PROGRAM:
        return reply(xid, PROG_UNAVAIL)
    if vers != VERSION:
        return reply(xid, PROG_MISMATCH, (VERSION, VERSION))
    if proc != 0:
        return reply(xid, PROC_UNAVAIL)
    return reply(xid, SUCCESS)


def serve(conn, mode, calls):
    answered = 0
    with conn:
        while calls == 0 or answered < calls:
            record = read_record(conn)
            if record is None:
                return
            try:
                xid, prog, vers, proc, cred = parse_call(record)
            except ValueError as e:
                say("BAD %s" % e)
                return
            say("CALL xid=%d prog=%d vers=%d proc=%d cred=%d" % (xid, prog, vers, proc, cred))
            if mode == "hangup":
                return
            if mode == "silent":
                continue
            send_record(conn, answer(mode, xid, prog, vers, proc))
            answered += 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode",
                        choices=["normal", "prog-unavail", "prog-mismatch", "silent", "hangup"])
    parser.add_argument("--port", type=int, default=2049)
    parser.add_argument("--connections", type=int, default=1)
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--calls", type=int, default=0)
    args = parser.parse_args()

    signal.alarm(args.seconds)  # default action ends the process
    listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    listener.bind(("::", args.port))
    listener.listen(8)
    say("READY")
    threads = []
    for _ in range(args.connections):
        conn, _ = listener.accept()
        t = threading.Thread(target=serve, args=(conn, args.mode, args.calls), daemon=True)
        t.start()
        threads.append(t)
    listener.close()
    for t in threads:
        t.join()
    return 0


if __name__ == "__main__":
    sys.exit(main())
