#!/usr/bin/env python3
"""An ONC RPC server over TCP for the change-scan connection and session tests.

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
  compound       as normal, and COMPOUND (procedure 1) of program 400010
                 version 1 is checked and answered from the --reply scripts
With --calls N a connection is closed after N answered calls.
For every call it prints one line:
  "CALL xid=<n> prog=<n> vers=<n> proc=<n> cred=<flavor>"
and a malformed call header is reported as "BAD <reason>" before the
connection is closed. The peer exits after its connections have ended or
after --seconds, whichever comes first.

Mode compound
-------------
The arguments of a COMPOUND call (the bytes after the call header, the
credential and the verifier) are parsed strictly as XDR COMPOUND4args:
  tag           opaque: 4-byte length, the bytes, zero padding to 4
  minorversion  uint32
  argarray      uint32 count, then per operation its uint32 opnum and, for
                65, 66 and 67 (the only operations accepted), session_handle
                opaque<128> then session_id opaque<128>.
A violation prints "BAD <reason>" and closes the connection without an
answer; the reasons are
  "truncated <field>"                  the record ends inside <field>, one
                                       of: tag length, tag, minorversion,
                                       argarray count, opnum, session_handle
                                       length, session_handle, session_id
                                       length, session_id
  "<field> length <n> over 128"        session_handle or session_id too long
  "<field> padding not zero"           a padding byte of tag,
                                       session_handle or session_id is not 0
  "no operations"                      argarray is empty (this client always
                                       sends one operation)
  "unknown op <n>"                     an opnum other than 65, 66, 67
  "<n> bytes left over"                bytes after the last operation
A well-formed call prints, after its CALL line, one line:
  "COMPOUND tag=<tag> minor=<n> ops=<count> op=<opnum> handle=<handle>
   id=<session_id> args=<hex>"
(on one line), where op, handle and id are those of the first operation,
<hex> is the whole COMPOUND4args in lowercase hex, two digits per byte, and
tag, handle and id are shown as text: bytes 0x21..0x7e other than a
backslash as themselves, every other byte (space included) as \\xNN with two
lowercase hex digits, so a field never contains a space.

With --session-id ID the line ends in " hash=ok" or " hash=bad": ok when the
first operation's session_id equals the lowercase hex SHA-256 (64 characters)
of the text ID + "-" + the sequence as exactly 8 lowercase hex digits, cut to
its first 45 characters. The sequence is 0 when the first operation is 65 or
67; when it is 66 the sequence is the number of well-formed calls with first
operation 66 received by this process so far, this one included (1, 2, ...),
counted over all connections because a session outlives its connection.
Without --session-id nothing is appended.

The k-th well-formed COMPOUND call of the process (over all connections) is
answered from the k-th --reply REPLY; the last REPLY answers all later calls.
Unless the REPLY says otherwise the answer is an accepted reply (AUTH_NONE
verifier, accept status SUCCESS) whose result is a COMPOUND4res: status
(int32), tag (the call's tag echoed, as opaque), resarray (uint32 count and
the results); each result is its uint32 operation number (the call's first
opnum unless said otherwise) followed by the operation's result, which starts
with its int32 status. REPLYs:
  batch:V:N:EOF   a next result, one result in resarray. V=1: op status 0,
                  COMPOUND status 0, records CQ V1; V=2: op status 50091,
                  COMPOUND status 50091, records V2. After the op status:
                  num_changes N, progress 10*N (uint32), eof EOF (bool, 0/1),
                  crp: uint32 count N then N records, restart_cookie opaque
                  of the ASCII bytes "cookie-<N>" (N in decimal). 0 <= N
                  <= 10000.
  names           as batch:1:2:1, but the names of the two records are
                  empty and "abcde".
  ok:TEXT         op status 0, COMPOUND status 0, then session_status as an
                  XDR string holding TEXT (for status and end calls).
  error:STATUS:TEXT  op status STATUS and COMPOUND status STATUS (int32),
                  then session_error as an XDR string holding TEXT.
  illegal         COMPOUND status 10044 and one result of operation 10044
                  (OP_ILLEGAL) whose result is just the status 10044.
  two             COMPOUND status 0 and two results, both of the call's
                  operation; each is as ok:two, or for operation 66 as the
                  result of batch:1:0:1.
  empty:STATUS    COMPOUND status STATUS and an empty resarray.
  garbage         the accepted SUCCESS reply header followed by the 6 bytes
                  00 00 00 00 00 00 instead of a COMPOUND4res.
  huge-count      a V1 next result (COMPOUND and op status 0, num_changes 1,
                  progress 10, eof 0) whose crp count is 0x10000000 but
                  which holds only record 0; the reply ends there.
  huge-name       a V1 next result (COMPOUND and op status 0, num_changes 1,
                  progress 10, eof 0, crp count 1) whose record 0 has the
                  name length 0xFFFFFFF0 followed by only the 8 bytes
                  "hugename"; the reply ends there.
  hangup          the connection is closed without an answer.
  split           the reply of batch:1:3:1, sent as three record-marking
                  fragments in three writes about 50 ms apart: the first 10
                  bytes, then half of the rest (rounded down), then the
                  remainder; only the last fragment has the last-fragment
                  bit.
Record i (0-based) of a batch, fields in wire order (XDR, big-endian):
  scr_inode_num   100+i (uint32) in V1, 0x100000000+i (uint64) in V2
  scr_change_type (i % 6) + 1        uint32
  scr_ftype       1 + (i % 3)        uint32
  scr_crtime      1000+i             int64
  scr_mtime       -(2000+i)          int64
  scr_atime       3000+i             int64
  scr_ctime       4000+i             int64
  scr_owner       500+i              uint32
  scr_group       600+i              uint32
  scr_fattr       0o644 (420)        uint32
  scr_dos_bits    0x20               uint32
  scr_size        (1<<40)+i          uint64
  scr_links       1+i                uint32
  scr_is_iofenced i % 2              uint32
  scr_name        "name<i>" (i in decimal) as opaque: length, bytes, zeros
So a V1 record is 76 bytes of fixed fields, a V2 record 80, then 4 bytes of
name length and the name padded to a multiple of 4.
In mode compound, NULL and other procedures are answered as in mode normal.
"""
import argparse
import hashlib
import signal
import socket
import struct
import sys
import threading
import time

PROGRAM = 400010
VERSION = 1
MAX_RECORD = 1 << 20

MSG_CALL, MSG_REPLY = 0, 1
MSG_ACCEPTED = 0
SUCCESS, PROG_UNAVAIL, PROG_MISMATCH, PROC_UNAVAIL = 0, 1, 2, 3

PROC_COMPOUND = 1
OP_CQ_STATUS, OP_CQ_NEXT, OP_CQ_END = 65, 66, 67
OP_ILLEGAL = 10044
NFS4ERR_OP_ILLEGAL = 10044
NFS4_CQ_SESSION_V2_OK = 50091
SESSION_FIELD_MAX = 128
HASH_TEXT_MAX = 45
MAX_BATCH = 10000

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


def send_split_record(conn, body):
    """Sends body as three fragments in separate writes, to exercise reassembly."""
    first = 10
    second = first + (len(body) - first) // 2
    pieces = [body[:first], body[first:second], body[second:]]
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for n, piece in enumerate(pieces):
        last = 0x80000000 if n == len(pieces) - 1 else 0
        if n:
            time.sleep(0.05)
        conn.sendall(struct.pack(">I", last | len(piece)) + piece)


def parse_call(record):
    """Returns (xid, prog, vers, proc, cred_flavor, args_offset) or raises ValueError."""
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
    return xid, prog, vers, proc, flavors[0], offset


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


# ---- XDR decoding of COMPOUND4args --------------------------------------


class XdrReader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def uint32(self, what):
        if self.pos + 4 > len(self.data):
            raise ValueError("truncated %s" % what)
        (value,) = struct.unpack(">I", self.data[self.pos:self.pos + 4])
        self.pos += 4
        return value

    def opaque(self, what, bound=None):
        length = self.uint32(what + " length")
        if bound is not None and length > bound:
            raise ValueError("%s length %d over %d" % (what, length, bound))
        padded = (length + 3) & ~3
        if self.pos + padded > len(self.data):
            raise ValueError("truncated %s" % what)
        value = self.data[self.pos:self.pos + length]
        if any(self.data[self.pos + length:self.pos + padded]):
            raise ValueError("%s padding not zero" % what)
        self.pos += padded
        return value

    def finish(self):
        left = len(self.data) - self.pos
        if left:
            raise ValueError("%d bytes left over" % left)


def parse_compound_args(args):
    """Returns (tag, minor, [(opnum, handle, session_id), ...]) or raises ValueError."""
    reader = XdrReader(args)
    tag = reader.opaque("tag")
    minor = reader.uint32("minorversion")
    count = reader.uint32("argarray count")
    if count == 0:
        raise ValueError("no operations")
    ops = []
    for _ in range(count):  # each operation consumes bytes, so truncation ends a huge count
        opnum = reader.uint32("opnum")
        if opnum not in (OP_CQ_STATUS, OP_CQ_NEXT, OP_CQ_END):
            raise ValueError("unknown op %d" % opnum)
        handle = reader.opaque("session_handle", SESSION_FIELD_MAX)
        session_id = reader.opaque("session_id", SESSION_FIELD_MAX)
        ops.append((opnum, handle, session_id))
    reader.finish()
    return tag, minor, ops


def shown(data):
    """Bytes as space-free text: printable ASCII as is, the rest as \\xNN."""
    return "".join(chr(b) if 0x21 <= b <= 0x7E and b != 0x5C else "\\x%02x" % b for b in data)


def request_hash(session_id, sequence):
    text = ("%s-%08x" % (session_id, sequence))[:HASH_TEXT_MAX]
    return hashlib.sha256(text.encode()).hexdigest()


# ---- XDR encoding of replies --------------------------------------------


def u32(value):
    return struct.pack(">I", value)


def i32(value):
    return struct.pack(">i", value)


def xdr_opaque(data):
    return u32(len(data)) + data + b"\0" * (-len(data) % 4)


def change_record(version, i, name=None):
    inode = struct.pack(">I", 100 + i) if version == 1 else struct.pack(">Q", 0x100000000 + i)
    fixed = inode + struct.pack(">2I4q4IQ2I", (i % 6) + 1, 1 + (i % 3),
                                1000 + i, -(2000 + i), 3000 + i, 4000 + i,
                                500 + i, 600 + i, 0o644, 0x20,
                                (1 << 40) + i, 1 + i, i % 2)
    if name is None:
        name = ("name%d" % i).encode()
    return fixed + xdr_opaque(name)


def next_status(version):
    return 0 if version == 1 else NFS4_CQ_SESSION_V2_OK


def next_result(version, count, eof, names=None):
    """CQ_NEXT4res (status and resok) of a complete batch."""
    records = b"".join(change_record(version, i, None if names is None else names[i])
                       for i in range(count))
    return (i32(next_status(version)) + u32(count) + u32(10 * count) + u32(eof) +
            u32(count) + records + xdr_opaque(("cookie-%d" % count).encode()))


def broken_next_prefix():
    """Start of a V1 next result: status 0, num_changes 1, progress 10, eof 0."""
    return i32(0) + u32(1) + u32(10) + u32(0)


def compound_res(status, tag, results):
    """results: list of (opnum, encoded operation result)."""
    return (i32(status) + xdr_opaque(tag) + u32(len(results)) +
            b"".join(u32(op) + body for op, body in results))


def parse_reply_script(text):
    """Checks a --reply REPLY; returns it as a tuple (kind, parameters...)."""
    kind, _, rest = text.partition(":")
    try:
        if kind == "batch":
            version, count, eof = (int(v) for v in rest.split(":"))
            if version not in (1, 2) or eof not in (0, 1) or not 0 <= count <= MAX_BATCH:
                raise ValueError
            return ("batch", version, count, eof)
        if kind == "ok" and text.startswith("ok:"):
            return ("ok", rest)
        if kind == "error":
            status, sep, message = rest.partition(":")
            if not sep:
                raise ValueError
            return ("error", int32_arg(status), message)
        if kind == "empty":
            return ("empty", int32_arg(rest))
        if kind in ("names", "illegal", "two", "garbage", "huge-count", "huge-name",
                    "hangup", "split") and not rest and ":" not in text:
            return (kind,)
    except ValueError:
        pass
    raise argparse.ArgumentTypeError("bad reply REPLY %r" % text)


def int32_arg(text):
    value = int(text)
    if not -(1 << 31) <= value < (1 << 31):
        raise ValueError
    return value


def compound_answer(script, xid, tag, op):
    """Returns ("send" | "split", reply bytes) or ("hangup", None)."""
    kind = script[0]
    header = reply(xid, SUCCESS)
    if kind == "hangup":
        return "hangup", None
    if kind == "garbage":
        return "send", header + b"\0" * 6
    if kind == "batch":
        _, version, count, eof = script
        body = compound_res(next_status(version), tag, [(op, next_result(version, count, eof))])
    elif kind == "names":
        body = compound_res(0, tag, [(op, next_result(1, 2, 1, [b"", b"abcde"]))])
    elif kind == "split":
        return "split", header + compound_res(0, tag, [(op, next_result(1, 3, 1))])
    elif kind == "ok":
        body = compound_res(0, tag, [(op, i32(0) + xdr_opaque(script[1].encode()))])
    elif kind == "error":
        _, status, message = script
        body = compound_res(status, tag, [(op, i32(status) + xdr_opaque(message.encode()))])
    elif kind == "illegal":
        body = compound_res(NFS4ERR_OP_ILLEGAL, tag, [(OP_ILLEGAL, i32(NFS4ERR_OP_ILLEGAL))])
    elif kind == "two":
        result = next_result(1, 0, 1) if op == OP_CQ_NEXT else i32(0) + xdr_opaque(b"two")
        body = compound_res(0, tag, [(op, result), (op, result)])
    elif kind == "empty":
        body = compound_res(script[1], tag, [])
    elif kind == "huge-count":
        result = broken_next_prefix() + u32(0x10000000) + change_record(1, 0)
        body = compound_res(0, tag, [(op, result)])
    elif kind == "huge-name":
        record = change_record(1, 0, b"")[:76] + u32(0xFFFFFFF0) + b"hugename"
        body = compound_res(0, tag, [(op, broken_next_prefix() + u32(1) + record)])
    else:
        raise AssertionError(kind)
    return "send", header + body


class CompoundScript:
    """Process-wide state of mode compound: the reply scripts and the counters."""

    def __init__(self, scripts, session_id):
        self.scripts = scripts
        self.session_id = session_id
        self.lock = threading.Lock()
        self.calls = 0
        self.nexts = 0

    def take(self, opnum):
        """Counts a well-formed call; returns (its REPLY, its hash sequence)."""
        with self.lock:
            chosen = self.scripts[min(self.calls, len(self.scripts) - 1)]
            self.calls += 1
            sequence = 0
            if opnum == OP_CQ_NEXT:
                self.nexts += 1
                sequence = self.nexts
            return chosen, sequence


def serve_compound(conn, script, xid, args):
    """Handles one COMPOUND call; returns False when the connection must close."""
    try:
        tag, minor, ops = parse_compound_args(args)
    except ValueError as e:
        say("BAD %s" % e)
        return False
    opnum, handle, session_id = ops[0]
    chosen, sequence = script.take(opnum)
    line = "COMPOUND tag=%s minor=%d ops=%d op=%d handle=%s id=%s args=%s" % (
        shown(tag), minor, len(ops), opnum, shown(handle), shown(session_id), args.hex())
    if script.session_id is not None:
        expected = request_hash(script.session_id, sequence).encode()
        line += " hash=%s" % ("ok" if session_id == expected else "bad")
    say(line)
    how, body = compound_answer(chosen, xid, tag, opnum)
    if how == "hangup":
        return False
    if how == "split":
        send_split_record(conn, body)
    else:
        send_record(conn, body)
    return True


def serve(conn, mode, calls, script):
    try:
        serve_calls(conn, mode, calls, script)
    except OSError:
        pass  # the client reset the connection: it has ended


def serve_calls(conn, mode, calls, script):
    answered = 0
    with conn:
        while calls == 0 or answered < calls:
            record = read_record(conn)
            if record is None:
                return
            try:
                xid, prog, vers, proc, cred, offset = parse_call(record)
            except ValueError as e:
                say("BAD %s" % e)
                return
            say("CALL xid=%d prog=%d vers=%d proc=%d cred=%d" % (xid, prog, vers, proc, cred))
            if mode == "hangup":
                return
            if mode == "silent":
                continue
            if (mode == "compound" and prog == PROGRAM and vers == VERSION and
                    proc == PROC_COMPOUND):
                if not serve_compound(conn, script, xid, record[offset:]):
                    return
            else:
                send_record(conn, answer(mode, xid, prog, vers, proc))
            answered += 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode",
                        choices=["normal", "prog-unavail", "prog-mismatch", "silent", "hangup",
                                 "compound"])
    parser.add_argument("--port", type=int, default=2049)
    parser.add_argument("--connections", type=int, default=1)
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--calls", type=int, default=0)
    parser.add_argument("--reply", metavar="REPLY", action="append", type=parse_reply_script,
                        help="compound mode: answer of the next COMPOUND call (repeatable; "
                        "the last one answers all later calls)")
    parser.add_argument("--session-id", metavar="ID",
                        help="compound mode: check the request hash against this session id")
    args = parser.parse_args()
    script = None
    if args.mode == "compound":
        if not args.reply:
            parser.error("mode compound needs at least one --reply")
        script = CompoundScript(args.reply, args.session_id)
    elif args.reply or args.session_id is not None:
        parser.error("--reply and --session-id apply only to mode compound")

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
        t = threading.Thread(target=serve, args=(conn, args.mode, args.calls, script),
                             daemon=True)
        t.start()
        threads.append(t)
    listener.close()
    for t in threads:
        t.join()
    return 0


if __name__ == "__main__":
    sys.exit(main())
