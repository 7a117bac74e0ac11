#!/usr/bin/env python3
"""Tests of `kovrel sim`, the storage-system simulator, from the outside.

The simulator is driven with this file's own clients (HTTP and HTTPS from the
standard library, the ROVUDI-D/1.0 stream protocol and ONC RPC written here),
so nothing of the library is involved; the expected differences are computed
here with os.walk and os.lstat.

Run it inside a private network namespace with loopback up, giving the path
of the kovrel executable:

    unshare -rn sh -c 'ip link set lo up; python3 tests/sim/sim_test.py BUILD/tools/kovrel'

Extra arguments go to unittest (for example -v, or a test name). Every
simulator started here stops by itself after at most SIM_SECONDS even if this
script dies, and every socket has a time-out.
"""

import base64
import hashlib
import http.client
import os
import random
import re
import shutil
import signal
import socket
import ssl
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

KOVREL = None  # set from the command line
SIM_SECONDS = 120
IO_TIMEOUT = 10

API_PATH = "/servlets/kovrel.servlets.admin.XMLrequest_filer"
STREAM_PROTOCOL = b"ROVUDI-D/1.0"

# Change types and file types as the change records carry them.
DIR_CREATE, DIR_DELETE, INODE_CREATE, INODE_ACCESSED, INODE_MODIFIED, INODE_DELETED = 1, 2, 3, 4, 5, 6
FTYPES = {stat.S_IFREG: 1, stat.S_IFDIR: 2, stat.S_IFBLK: 3, stat.S_IFCHR: 4,
          stat.S_IFLNK: 5, stat.S_IFSOCK: 6, stat.S_IFIFO: 7}

OP_CQ_START, OP_CQ_STATUS, OP_CQ_NEXT, OP_CQ_END, OP_ILLEGAL = 64, 65, 66, 67, 10044
NFS4_OK, V2_OK, MAX_SESSIONS = 0, 50091, 50089
BADSESSION, SEQ_MISORDERED, TOO_MANY_OPS, MINOR_VERS_MISMATCH, NOTSUPP = 10052, 10063, 10070, 10021, 10004


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Sim:
    """One simulator process: started with free ports, stopped with SIGTERM."""

    def __init__(self, volumes, *extra, users=None, ports=None):
        self.ports = ports if ports is not None else {name: free_port() for name in ("http", "https", "stream", "rpc")}
        args = [KOVREL, "sim", "--seconds", str(SIM_SECONDS)]
        for name, port in self.ports.items():
            args += ["--%s-port" % name, str(port)]
        for name, path in volumes.items():
            args += ["--volume", "%s=%s" % (name, path)]
        for user in users or []:
            args += ["--user", user]
        args += list(extra)
        self.proc = subprocess.Popen(args, stderr=subprocess.PIPE, stdout=subprocess.PIPE)
        self.ready_line = self._wait_ready()
        self.user, self.password = (users[0].split(":", 1) if users else ("admin", "admin"))

    def _wait_ready(self):
        line = b""
        deadline = time.time() + 30
        while time.time() < deadline:
            line = self.proc.stderr.readline()
            if not line:
                break
            if line.startswith(b"kovrel sim: ready"):
                return line.decode()
        self.proc.kill()
        self.proc.wait()
        self.proc.stderr.close()
        self.proc.stdout.close()
        raise AssertionError("simulator not ready: %r" % line)

    def stop(self):
        """SIGTERM; the simulator must close everything and exit with 0."""
        self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout=40)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("simulator did not stop on SIGTERM")
        return status

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            status = self.stop()
            if exc[0] is None:
                assert status == 0, "exit status %d after SIGTERM: %s" % (
                    status, self.proc.stderr.read().decode(errors="replace"))
        for pipe in (self.proc.stderr, self.proc.stdout):
            pipe.close()


# --- XML API clients -------------------------------------------------------

def api_document(api, children=(), version="1.15"):
    from xml.sax.saxutils import escape
    inner = "".join("<%s>%s</%s>" % (k, escape(v), k) for k, v in children)
    return ("<?xml version='1.0' encoding='utf-8' ?>\n"
            "<!DOCTYPE kovrel SYSTEM 'file:/etc/kovrel_filer.dtd'>\n"
            "<kovrel version='%s' xmlns='http://www.kovrel.example/api'><%s>%s</%s></kovrel>"
            % (version, api, inner, api)).encode()


def parse_results(body):
    """The "results" element of a reply: (attributes, element)."""
    import xml.etree.ElementTree as ET
    root = ET.fromstring(body)
    assert root.tag == "kovrel", body
    results = root.find("results")
    assert results is not None, body
    return results.attrib, results


def http_post(sim, body, user=None, password=None, tls=False, path=API_PATH, auth=True):
    port = sim.ports["https" if tls else "http"]
    if tls:
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=IO_TIMEOUT, context=ctx)
    else:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=IO_TIMEOUT)
    headers = {}
    if auth:
        cred = "%s:%s" % (user or sim.user, password if password is not None else sim.password)
        headers["Authorization"] = "Basic " + base64.b64encode(cred.encode()).decode()
    try:
        conn.request("POST", path, body=body, headers=headers)
        resp = conn.getresponse()
        return resp.status, resp.getheader("Content-Type"), resp.read()
    finally:
        conn.close()


def recv_line(sock):
    line = b""
    while not line.endswith(b"\n"):
        c = sock.recv(1)
        if not c:
            break
        line += c
    return line.rstrip(b"\r\n")


def stream_post(sim, body, user=None, password=None):
    """Returns (status, reply document or None)."""
    user = sim.user if user is None else user
    password = sim.password if password is None else password
    with socket.create_connection(("127.0.0.1", sim.ports["stream"]), timeout=IO_TIMEOUT) as s:
        s.sendall(b"ROVUDI-D/1.0\r\nUser: %s\r\nPassword: %s\r\nContent-length: %d\r\n\r\n"
                  % (user.encode(), password.encode(), len(body)) + body)
        status_line = recv_line(s)
        m = re.match(rb"ROVUDI-D/1\.0 (\d+)$", status_line)
        assert m, status_line
        status = int(m.group(1))
        if status != 200:
            return status, None
        m = re.match(rb"Content-length: (\d+)$", recv_line(s))
        assert m
        assert recv_line(s) == b""
        length, data = int(m.group(1)), b""
        while len(data) < length:
            chunk = s.recv(length - len(data))
            assert chunk, "reply cut short"
            data += chunk
        return status, data


TRANSPORTS = ("http", "https", "stream")


def call(sim, api, children=(), transport="http"):
    """One API call; returns (attributes, results element)."""
    body = api_document(api, children)
    if transport == "stream":
        status, reply = stream_post(sim, body)
        assert status == 200, status
    else:
        status, ctype, reply = http_post(sim, body, tls=(transport == "https"))
        assert status == 200, (status, reply)
        assert ctype.startswith("text/xml"), ctype
    return parse_results(reply)


# --- ONC RPC client --------------------------------------------------------

def xdr_opaque(b):
    return struct.pack(">I", len(b)) + b + b"\0" * ((4 - len(b) % 4) % 4)


class Unpacker:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def u32(self):
        v, = struct.unpack_from(">I", self.data, self.pos)
        self.pos += 4
        return v

    def u64(self):
        v, = struct.unpack_from(">Q", self.data, self.pos)
        self.pos += 8
        return v

    def i64(self):
        v, = struct.unpack_from(">q", self.data, self.pos)
        self.pos += 8
        return v

    def opaque(self):
        n = self.u32()
        v = self.data[self.pos:self.pos + n]
        assert len(v) == n, "truncated opaque"
        self.pos += n + (4 - n % 4) % 4
        return v

    def done(self):
        return self.pos == len(self.data)


class RpcClient:
    PROGRAM, VERSION = 400010, 1

    def __init__(self, sim):
        self.sock = socket.create_connection(("127.0.0.1", sim.ports["rpc"]), timeout=IO_TIMEOUT)
        self.xid = random.randrange(1 << 31)

    def close(self):
        self.sock.close()

    def send_record(self, payload):
        self.sock.sendall(struct.pack(">I", 0x80000000 | len(payload)) + payload)

    def recv_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("connection closed")
            data += chunk
        return data

    def recv_record(self):
        data = b""
        while True:
            header, = struct.unpack(">I", self.recv_exact(4))
            data += self.recv_exact(header & 0x7FFFFFFF)
            if header & 0x80000000:
                return data

    def call(self, proc, args=b""):
        """Returns (accept_stat, results bytes)."""
        self.xid += 1
        self.send_record(struct.pack(">10I", self.xid, 0, 2, self.PROGRAM, self.VERSION, proc,
                                     0, 0, 0, 0) + args)
        u = Unpacker(self.recv_record())
        xid, mtype, reply_stat = u.u32(), u.u32(), u.u32()
        assert (xid, mtype, reply_stat) == (self.xid, 1, 0)
        u.u32()  # verifier flavor
        u.opaque()
        accept = u.u32()
        return accept, u.data[u.pos:]

    def compound(self, ops, tag=b"CQ_NEXT", minorversion=0):
        """ops: list of (opnum, args bytes). Returns (status, tag, [(resop, decoded)])."""
        args = xdr_opaque(tag) + struct.pack(">II", minorversion, len(ops))
        for opnum, op_args in ops:
            args += struct.pack(">I", opnum) + op_args
        accept, results = self.call(1, args)
        assert accept == 0, accept
        return decode_compound(results)

    def op(self, opnum, handle, hash_text):
        tag = {OP_CQ_NEXT: b"CQ_NEXT", OP_CQ_STATUS: b"CQ_STATUS", OP_CQ_END: b"CQ_END"}[opnum]
        status, rtag, res = self.compound(
            [(opnum, xdr_opaque(handle.encode()) + xdr_opaque(hash_text.encode()))], tag=tag)
        assert rtag == tag
        assert len(res) == 1 and res[0][0] == opnum, res
        return status, res[0][1]


def decode_record(u, v2):
    rec = {"ino": u.u64() if v2 else u.u32(), "change": u.u32(), "ftype": u.u32(),
           "crtime": u.i64(), "mtime": u.i64(), "atime": u.i64(), "ctime": u.i64(),
           "owner": u.u32(), "group": u.u32(), "fattr": u.u32(), "dos": u.u32(),
           "size": u.u64(), "links": u.u32(), "iofenced": u.u32()}
    rec["name"] = u.opaque().decode("utf-8", "surrogateescape")
    return rec


def decode_compound(data):
    u = Unpacker(data)
    status, tag, n = u.u32(), u.opaque(), u.u32()
    results = []
    for _ in range(n):
        resop = u.u32()
        op_status = u.u32()
        res = {"status": op_status}
        if resop in (OP_CQ_STATUS, OP_CQ_END, OP_CQ_START):
            res["text"] = u.opaque().decode()
        elif resop == OP_CQ_NEXT:
            if op_status in (NFS4_OK, V2_OK):
                res.update(num_changes=u.u32(), progress=u.u32(), eof=u.u32())
                res["records"] = [decode_record(u, op_status == V2_OK) for _ in range(u.u32())]
                res["cookie"] = u.opaque().decode()
            else:
                res["text"] = u.opaque().decode()
        results.append((resop, res))
    assert u.done(), "bytes left after the COMPOUND result"
    return status, tag, results


def request_hash(session_id, sequence):
    return hashlib.sha256(("%s-%08x" % (session_id, sequence))[:45].encode()).hexdigest()


class Session:
    """A change-scan session driven the way a client does: the request hash
    of each call, next calls counted from 1."""

    def __init__(self, rpc, handle, session_id):
        self.rpc, self.handle, self.id, self.sequence = rpc, handle, session_id, 0

    def next(self):
        self.sequence += 1
        return self.rpc.op(OP_CQ_NEXT, self.handle, request_hash(self.id, self.sequence))

    def status(self):
        return self.rpc.op(OP_CQ_STATUS, self.handle, request_hash(self.id, 0))

    def end(self):
        return self.rpc.op(OP_CQ_END, self.handle, request_hash(self.id, 0))

    def all_batches(self, limit=10000):
        batches = []
        for _ in range(limit):
            status, res = self.next()
            assert status in (NFS4_OK, V2_OK) and res["status"] == status, (status, res)
            batches.append(res)
            if res["eof"]:
                return batches
        raise AssertionError("no end of difference")


def start_args(volume, diff, base=None, max_diffs=100, atime=False, cookie=None, fattrs=True):
    children = [("version", "2"), ("volume", volume)]
    if base is not None:
        children.append(("base-snapshot", base))
    children += [("diff-snapshot", diff), ("file-access-protocol", "nfs")]
    if cookie is not None:
        children.append(("restart-cookie", cookie))
    children += [("application-name", "sim_test"), ("application-type", "test"),
                 ("max-diffs", str(max_diffs)), ("atime", "true" if atime else "false"),
                 ("include-file-attributes", "true" if fattrs else "false"),
                 ("checkpointing", "false")]
    return children


def start_session(sim, rpc, volume, diff, **kw):
    attrs, results = call(sim, "chgscan-iter-start", start_args(volume, diff, **kw))
    assert attrs.get("status") == "passed", attrs
    handle = results.findtext("session-handle")
    session_id = results.findtext("session-id")
    assert len(session_id) == 36 and len(session_id + "-00000000") == 45, session_id
    assert results.findtext("session-status")
    return Session(rpc, handle, session_id)


# --- The independent difference --------------------------------------------

def read_noatime(path):
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NOATIME", 0))
    try:
        chunks = []
        while True:
            b = os.read(fd, 65536)
            if not b:
                return b"".join(chunks)
            chunks.append(b)
    finally:
        os.close(fd)


def tree_entries(root, skip_snapshots=False):
    """{"/rel/path": (full path, lstat)} without following symbolic links; each
    entry is examined before its directory is read."""
    entries = {}
    for dirpath, dirnames, filenames in os.walk(root):
        if skip_snapshots and dirpath == root:
            dirnames.remove(".snapshot")
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            entries["/" + os.path.relpath(full, root)] = (full, os.lstat(full))
    return entries


def expected_difference(base, diff, atime=False):
    """{path: change type} by the documented rules."""
    b = tree_entries(base) if base else {}
    d = tree_entries(diff)
    changes = {}
    for p in d.keys() - b.keys():
        changes[p] = DIR_CREATE if stat.S_ISDIR(d[p][1].st_mode) else INODE_CREATE
    for p in b.keys() - d.keys():
        changes[p] = DIR_DELETE if stat.S_ISDIR(b[p][1].st_mode) else INODE_DELETED
    for p in b.keys() & d.keys():
        (bf, bs), (df, ds) = b[p], d[p]
        kind = stat.S_IFMT(ds.st_mode)
        if stat.S_IFMT(bs.st_mode) != kind:
            modified = True
        elif (bs.st_uid, bs.st_gid, bs.st_mtime_ns) != (ds.st_uid, ds.st_gid, ds.st_mtime_ns):
            modified = True
        elif kind == stat.S_IFLNK:
            modified = os.readlink(bf) != os.readlink(df)
        elif kind == stat.S_IFREG:
            modified = (stat.S_IMODE(bs.st_mode) != stat.S_IMODE(ds.st_mode)
                        or bs.st_size != ds.st_size or read_noatime(bf) != read_noatime(df))
        else:
            modified = stat.S_IMODE(bs.st_mode) != stat.S_IMODE(ds.st_mode)
        if modified:
            changes[p] = INODE_MODIFIED
        elif atime and kind != stat.S_IFLNK and bs.st_atime_ns != ds.st_atime_ns:
            changes[p] = INODE_ACCESSED
    return changes


def check_order(test, records):
    """Created directories before their contents, deleted ones after."""
    position = {}
    for i, r in enumerate(records):
        position.setdefault(r["name"], []).append(i)
    for i, r in enumerate(records):
        parent = os.path.dirname(r["name"])
        for j in position.get(parent, []):
            parent_change = records[j]["change"]
            if parent_change == DIR_CREATE and r["change"] in (DIR_CREATE, INODE_CREATE):
                test.assertLess(j, i, "%s listed before its created parent" % r["name"])
            if parent_change == DIR_DELETE and r["change"] in (DIR_DELETE, INODE_DELETED):
                test.assertGreater(j, i, "%s listed after its deleted parent" % r["name"])


# --- Tree fixtures -----------------------------------------------------------

def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_base_tree(root, seed=7, files=300):
    """A few hundred entries: nested directories, files, symbolic links, a fifo."""
    rnd = random.Random(seed)
    dirs = [""]
    for i in range(40):
        d = os.path.join(rnd.choice(dirs), "dir%02d" % i)
        os.makedirs(os.path.join(root, d), exist_ok=True)
        dirs.append(d)
    for i in range(files):
        write(os.path.join(root, rnd.choice(dirs), "file%03d.txt" % i),
              ("content %d " % i).encode() * rnd.randrange(1, 50))
    os.symlink("grows.txt", os.path.join(root, "link"))
    os.symlink("../nowhere", os.path.join(root, "dir00", "dangling"))
    os.mkfifo(os.path.join(root, "fifo"))
    os.chmod(os.path.join(root, "dir01"), 0o750)
    # Fixed times a second in the past, so later changes always change mtime
    # unless a test sets it back on purpose.
    past = time.time() - 100
    for dirpath, dirnames, filenames in os.walk(root, topdown=False):
        for name in filenames + dirnames:
            os.utime(os.path.join(dirpath, name), (past, past), follow_symlinks=False)
    return dirs


def mutate_tree(root):
    """Every kind of change the difference knows."""
    j = lambda *p: os.path.join(root, *p)
    write(j("new_top.txt"), b"created")                          # created file
    os.makedirs(j("newdir", "sub"))                              # created directories ...
    write(j("newdir", "sub", "deep.txt"), b"deep")               # ... with contents
    shutil.rmtree(j("gone"))                                     # deleted directory subtree
    os.unlink(j("dir00", "victim.txt"))                          # deleted file
    with open(j("grows.txt"), "ab") as f:                        # modified: size and mtime
        f.write(b" appended")
    # Modified content with the same size and the same mtime: only the
    # content tells.
    same = j("samesize.txt")
    st = os.lstat(same)
    with open(same, "r+b") as f:
        f.write(b"Z")
    os.utime(same, ns=(st.st_atime_ns, st.st_mtime_ns))
    os.chmod(j("modeonly.txt"), 0o600)                           # modified: mode only
    os.utime(j("touched.txt"), (time.time(), time.time()))       # modified: mtime only
    os.unlink(j("link"))                                         # modified: link target
    os.symlink("elsewhere", j("link"))
    os.unlink(j("becomes_dir"))                                  # file -> directory
    os.makedirs(j("becomes_dir", "inside"))
    shutil.rmtree(j("becomes_file"))                             # directory -> file
    write(j("becomes_file"), b"now a file")


def prepare_special_entries(root):
    """Entries that mutate_tree changes in a particular way."""
    write(os.path.join(root, "samesize.txt"), b"abcdef")
    write(os.path.join(root, "grows.txt"), b"grows")
    write(os.path.join(root, "gone", "sub", "leaf.txt"), b"leaf")
    write(os.path.join(root, "dir00", "victim.txt"), b"victim")
    write(os.path.join(root, "modeonly.txt"), b"mode")
    os.chmod(os.path.join(root, "modeonly.txt"), 0o644)
    write(os.path.join(root, "touched.txt"), b"touch")
    write(os.path.join(root, "becomes_dir"), b"file first")
    write(os.path.join(root, "becomes_file", "child.txt"), b"child")
    past = time.time() - 100
    for dirpath, dirnames, filenames in os.walk(root, topdown=False):
        for name in filenames + dirnames:
            os.utime(os.path.join(dirpath, name), (past, past), follow_symlinks=False)


class SimTestCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kovrel_sim_test_")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def volume(self, name="vol1"):
        path = os.path.join(self.tmp, name)
        os.makedirs(path, exist_ok=True)
        return path

    def assertPassed(self, attrs):
        self.assertEqual(attrs.get("status"), "passed", attrs)

    def assertFailed(self, attrs, errno, *words):
        self.assertEqual(attrs.get("status"), "failed", attrs)
        self.assertEqual(attrs.get("errno"), str(errno), attrs)
        for w in words:
            self.assertIn(w, attrs.get("reason", ""))

    def snapshot(self, sim, volume, name):
        attrs, _ = call(sim, "snapshot-create", [("volume", volume), ("snapshot", name)])
        self.assertPassed(attrs)


# --- Tests -------------------------------------------------------------------

class CommandLineTest(SimTestCase):
    def run_sim(self, *args):
        return subprocess.run([KOVREL, "sim"] + list(args), capture_output=True, timeout=60)

    def test_start_failures_and_usage(self):
        vol = self.volume()
        busy = socket.socket()
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        self.addCleanup(busy.close)
        busy_port = str(busy.getsockname()[1])
        cases = [
            # (arguments, exit status, text on standard error)
            (["--volume", "vol1=" + vol, "--http-port", busy_port, "--https-port", "0",
              "--stream-port", "0", "--rpc-port", "0"], 1, "in use"),
            # The last listener fails: the ones already up are closed again.
            (["--volume", "vol1=" + vol, "--http-port", str(free_port()), "--https-port",
              str(free_port()), "--stream-port", str(free_port()), "--rpc-port", busy_port], 1,
             "change-scan RPC program on 127.0.0.1 port %s: Address already in use" % busy_port),
            (["--volume", "vol1=" + os.path.join(self.tmp, "missing")], 1, "does not exist"),
            (["--volume", "novalue"], 1, "NAME=DIR"),
            (["--volume", "vol1=" + vol, "--user", "nocolon"], 1, "USER:PASSWORD"),
            (["--volume", "a=" + vol, "--volume", "a=" + vol], 1, "twice"),
            (["--volume", "vol1=" + vol, "--no-such-option"], 2, ""),
            (["--volume", "vol1=" + vol, "--http-port", "70000"], 2, ""),
            ([], 2, "volume"),
        ]
        for args, status, text in cases:
            with self.subTest(args=args):
                r = self.run_sim(*args)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(text, r.stderr.decode())
                self.assertNotIn(b"kovrel sim: ready", r.stderr)

    def test_help_documents_calls_and_errors(self):
        r = self.run_sim("--help")
        self.assertEqual(r.returncode, 0)
        out = r.stdout.decode()
        for word in ("chgscan-iter-start", "snapshot-create", "volume-list-info", "max-diffs",
                     "admin:admin", "50089", "13105", "--seconds", "--inode-offset", "10063"):
            self.assertIn(word, out)

    def test_seconds_stops_by_itself(self):
        vol = self.volume()
        start = time.time()
        r = subprocess.run([KOVREL, "sim", "--volume", "vol1=" + vol, "--seconds", "1",
                            "--http-port", str(free_port()), "--https-port", "0",
                            "--stream-port", "0", "--rpc-port", "0"],
                           capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertLess(time.time() - start, 15)
        ports = r.stderr.decode().strip().split("\n")
        self.assertEqual(len(ports), 1, r.stderr)
        self.assertRegex(ports[0], r"^kovrel sim: ready http=\d+ https=0 stream=0 rpc=0$")

    def test_https_certificates(self):
        vol = self.volume()
        pem = os.path.join(self.tmp, "generated.pem")
        # The generated certificate verifies for the loopback names.
        with Sim({"vol1": vol}, "--cert-out", pem) as sim:
            for host in ("127.0.0.1", "localhost"):
                ctx = ssl.create_default_context(cafile=pem)
                conn = http.client.HTTPSConnection(host, sim.ports["https"], timeout=IO_TIMEOUT,
                                                   context=ctx)
                conn.request("POST", API_PATH, body=api_document("system-get-version"),
                             headers={"Authorization": "Basic YWRtaW46YWRtaW4="})
                self.assertEqual(conn.getresponse().status, 200, host)
                conn.close()
        # A certificate and key given on the command line are used as given.
        cert, key = os.path.join(self.tmp, "c.pem"), os.path.join(self.tmp, "k.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        key, "-out", cert, "-days", "1", "-subj", "/CN=given.test",
                        "-addext", "subjectAltName=IP:127.0.0.1"],
                       check=True, capture_output=True, timeout=60)
        with Sim({"vol1": vol}, "--cert", cert, "--key", key) as sim:
            ctx = ssl.create_default_context(cafile=cert)
            with socket.create_connection(("127.0.0.1", sim.ports["https"]),
                                          timeout=IO_TIMEOUT) as raw:
                with ctx.wrap_socket(raw, server_hostname="127.0.0.1") as s:
                    self.assertEqual(dict(x[0] for x in s.getpeercert()["subject"])["commonName"],
                                     "given.test")
        # Files that are not a certificate and its key stop the start.
        other_key = os.path.join(self.tmp, "other.pem")
        subprocess.run(["openssl", "genrsa", "-out", other_key, "2048"], check=True,
                       capture_output=True, timeout=60)
        for c, k, text in ((key, key, "no PEM certificate"), (cert, cert, "no unencrypted PEM"),
                           (cert, other_key, "does not belong")):
            r = subprocess.run([KOVREL, "sim", "--volume", "vol1=" + vol, "--cert", c, "--key", k,
                                "--https-port", str(free_port()), "--http-port", "0"],
                               capture_output=True, timeout=60)
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertIn(text, r.stderr.decode())

    def test_listen_on_ipv6_loopback(self):
        port = free_port()
        with Sim({"vol1": self.volume()}, "--listen", "::1",
                 ports={"http": port, "https": 0, "stream": 0, "rpc": 0}) as sim:
            conn = http.client.HTTPConnection("::1", port, timeout=IO_TIMEOUT)
            conn.request("POST", API_PATH, body=api_document("system-get-version"),
                         headers={"Authorization": "Basic YWRtaW46YWRtaW4="})
            self.assertEqual(conn.getresponse().status, 200)
            conn.close()
            with self.assertRaises(OSError):
                socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT)

    def test_signals_stop_promptly_with_idle_clients(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig):
                sim = Sim({"vol1": self.volume()})
                idle = []
                try:
                    # A kept-alive HTTP(S) connection after a call, and silent
                    # stream and RPC connections.
                    for tls in (False, True):
                        port = sim.ports["https" if tls else "http"]
                        conn = (http.client.HTTPSConnection(
                            "127.0.0.1", port, timeout=IO_TIMEOUT,
                            context=ssl._create_unverified_context()) if tls else
                            http.client.HTTPConnection("127.0.0.1", port, timeout=IO_TIMEOUT))
                        conn.request("POST", API_PATH, body=api_document("system-get-version"),
                                     headers={"Authorization": "Basic YWRtaW46YWRtaW4="})
                        conn.getresponse().read()
                        idle.append(conn)
                    for name in ("stream", "rpc"):
                        idle.append(socket.create_connection(("127.0.0.1", sim.ports[name])))
                    time.sleep(0.2)
                    start = time.time()
                    sim.proc.send_signal(sig)
                    self.assertEqual(sim.proc.wait(timeout=30), 0)
                    self.assertLess(time.time() - start, 5)
                finally:
                    for c in idle:
                        c.close()
                    sim.__exit__(None, None, None)

    @unittest.skipUnless(os.geteuid() == 0, "the default ports need a namespace of our own")
    def test_default_ports(self):
        vol = self.volume()
        sim = Sim({"vol1": vol}, ports={})
        with sim:
            self.assertEqual(sim.ready_line.strip(),
                             "kovrel sim: ready http=80 https=443 stream=11105 rpc=2049")
            sim.ports = {"http": 80, "https": 443, "stream": 11105, "rpc": 2049}
            for transport in TRANSPORTS:
                attrs, _ = call(sim, "system-get-version", transport=transport)
                self.assertPassed(attrs)
            rpc = RpcClient(sim)
            self.assertEqual(rpc.call(0)[0], 0)
            rpc.close()


class ApiTest(SimTestCase):
    def test_credentials(self):
        with Sim({"vol1": self.volume()}, users=["alice:s3cr:et", "bob:pw"]) as sim:
            body = api_document("system-get-version")
            for tls in (False, True):
                with self.subTest(tls=tls):
                    self.assertEqual(http_post(sim, body, tls=tls, auth=False)[0], 401)
                    self.assertEqual(http_post(sim, body, tls=tls, password="wrong")[0], 401)
                    self.assertEqual(http_post(sim, body, tls=tls, user="admin",
                                               password="admin")[0], 401)
                    self.assertEqual(http_post(sim, body, tls=tls)[0], 200)
                    self.assertEqual(http_post(sim, body, tls=tls, user="bob",
                                               password="pw")[0], 200)
            self.assertEqual(stream_post(sim, body, password="wrong"), (401, None))
            self.assertEqual(stream_post(sim, body, user="admin", password="admin"), (401, None))
            self.assertEqual(stream_post(sim, body)[0], 200)
            # A kept connection carries refused and accepted requests alike.
            conn = http.client.HTTPConnection("127.0.0.1", sim.ports["http"], timeout=IO_TIMEOUT)
            for headers, status in (({}, 401), ({"Authorization": "Basic " + base64.b64encode(
                    b"bob:pw").decode()}, 200)):
                conn.request("POST", API_PATH, body=body, headers=headers)
                resp = conn.getresponse()
                resp.read()
                self.assertEqual(resp.status, status)
                self.assertEqual(resp.getheader("WWW-Authenticate") is not None, status == 401)
            conn.close()

    def test_paths_and_methods(self):
        with Sim({"vol1": self.volume()}) as sim:
            body = api_document("system-get-version")
            for path in (API_PATH, "/servlets/kovrel.servlets.admin.XMLrequest",
                         "/apis/XMLrequest"):
                self.assertEqual(http_post(sim, body, path=path)[0], 200, path)
            self.assertEqual(http_post(sim, body, path="/other")[0], 404)
            conn = http.client.HTTPConnection("127.0.0.1", sim.ports["http"], timeout=IO_TIMEOUT)
            conn.request("GET", API_PATH)
            self.assertEqual(conn.getresponse().status, 405)
            conn.close()

    def test_calls_over_every_transport(self):
        vol = self.volume()
        write(os.path.join(vol, "a.txt"), b"a")
        with Sim({"vol1": vol, "vol2": self.volume("vol2")}) as sim:
            for transport in TRANSPORTS:
                with self.subTest(transport=transport):
                    attrs, res = call(sim, "system-get-version", transport=transport)
                    self.assertPassed(attrs)
                    self.assertEqual(res.findtext("version"), "kovrel simulator 1.0")
                    attrs, res = call(sim, "volume-list-info", transport=transport)
                    self.assertPassed(attrs)
                    self.assertEqual([v.findtext("name") for v in res.iter("volume-info")],
                                     ["vol1", "vol2"])
                    snap = "snap-" + transport
                    attrs, _ = call(sim, "snapshot-create",
                                    [("volume", "vol1"), ("snapshot", snap)], transport)
                    self.assertPassed(attrs)
                    attrs, res = call(sim, "snapshot-list-info", [("volume", "vol1")], transport)
                    self.assertPassed(attrs)
                    infos = {s.findtext("name"): int(s.findtext("create-time"))
                             for s in res.iter("snapshot-info")}
                    self.assertIn(snap, infos)
                    self.assertLessEqual(abs(infos[snap] - time.time()), 60)
                    attrs, _ = call(sim, "snapshot-delete",
                                    [("volume", "vol1"), ("snapshot", snap)], transport)
                    self.assertPassed(attrs)
                    self.assertFalse(os.path.exists(os.path.join(vol, ".snapshot", snap)))

    def test_errors_name_the_problem(self):
        vol = self.volume()
        with Sim({"vol1": vol}) as sim:
            self.snapshot(sim, "vol1", "s1")
            cases = [
                ("snapshot-create", [("volume", "vol1"), ("snapshot", "s1")], 13107, ['"s1"']),
                ("snapshot-create", [("volume", "vol9"), ("snapshot", "x")], 13105,
                 ['volume "vol9" does not exist']),
                ("snapshot-create", [("volume", "vol1")], 13103, ['"snapshot"']),
                ("snapshot-create", [("volume", "vol1"), ("snapshot", "../x")], 13104, ["../x"]),
                ("snapshot-create", [("volume", "vol1"), ("snapshot", ".hidden")], 13104, []),
                ("snapshot-delete", [("volume", "vol1"), ("snapshot", "nope")], 13106,
                 ['"nope"']),
                ("snapshot-list-info", [("volume", "vol1"), ("extra", "1")], 13104, ['"extra"']),
                ("snapshot-list-info", [("volume", "vol1"), ("volume", "vol1")], 13104,
                 ["twice"]),
                ("no-such-api", [], 13102, ['"no-such-api"']),
                ("chgscan-iter-start", start_args("vol1", "nope"), 13106, ['"nope"']),
                ("chgscan-iter-start", start_args("vol9", "s1"), 13105, ['"vol9"']),
                ("chgscan-iter-start", start_args("vol1", "s1", base="gone"), 13106, ['"gone"']),
                ("chgscan-iter-start",
                 [c if c[0] != "max-diffs" else ("max-diffs", "0")
                  for c in start_args("vol1", "s1")], 13104, ["max-diffs"]),
                ("chgscan-iter-start",
                 [c if c[0] != "atime" else ("atime", "maybe")
                  for c in start_args("vol1", "s1")], 13104, ["atime", "maybe"]),
                ("chgscan-iter-start",
                 [c for c in start_args("vol1", "s1") if c[0] != "application-name"], 13103,
                 ["application-name"]),
            ]
            for api, children, errno, words in cases:
                with self.subTest(api=api, children=children):
                    attrs, _ = call(sim, api, children)
                    self.assertFailed(attrs, errno, *words)
            documents = [
                (b"not xml at all", "well-formed"),
                (b"<other><system-get-version/></other>", '"other"'),
                (b"<kovrel/>", "no API element"),
                (b"<kovrel><a/><b/></kovrel>", "more than one"),
                (b'<!DOCTYPE kovrel [<!ENTITY e SYSTEM "file:///etc/passwd">]>'
                 b"<kovrel><snapshot-list-info><volume>&e;</volume></snapshot-list-info></kovrel>",
                 "entity"),
            ]
            for doc, words in documents:
                with self.subTest(doc=doc):
                    status, _, reply = http_post(sim, doc)
                    self.assertEqual(status, 200)
                    attrs, _ = parse_results(reply)
                    self.assertFailed(attrs, 13101, words)

    def test_snapshot_copy_preserves_the_tree(self):
        vol = self.volume()
        make_base_tree(vol, files=60)
        os.chmod(os.path.join(vol, "dir03"), 0o555)  # read-only directory
        os.makedirs(os.path.join(vol, ".snapshot", "old"))
        with Sim({"vol1": vol}) as sim:
            self.snapshot(sim, "vol1", "copy")
            snap = os.path.join(vol, ".snapshot", "copy")
            live = tree_entries(vol, skip_snapshots=True)
            copied = tree_entries(snap)
            self.assertEqual(sorted(live), sorted(copied))
            for p, (full, st) in live.items():
                cst = copied[p][1]
                self.assertEqual(stat.S_IFMT(st.st_mode), stat.S_IFMT(cst.st_mode), p)
                self.assertEqual(st.st_mtime_ns, cst.st_mtime_ns, p)
                if not stat.S_ISLNK(st.st_mode):
                    self.assertEqual(stat.S_IMODE(st.st_mode), stat.S_IMODE(cst.st_mode), p)
                    self.assertEqual(st.st_atime_ns, cst.st_atime_ns, p)
                if stat.S_ISREG(st.st_mode):
                    self.assertEqual(read_noatime(full), read_noatime(copied[p][0]), p)
                if stat.S_ISLNK(st.st_mode):
                    self.assertEqual(os.readlink(full), os.readlink(copied[p][0]), p)
            # Nothing of a half-made copy is left beside it.
            self.assertEqual(sorted(os.listdir(os.path.join(vol, ".snapshot"))), ["copy", "old"])
            attrs, _ = call(sim, "snapshot-delete", [("volume", "vol1"), ("snapshot", "copy")])
            self.assertPassed(attrs)
            self.assertEqual(os.listdir(os.path.join(vol, ".snapshot")), ["old"])

    def test_oversized_requests_are_refused(self):
        with Sim({"vol1": self.volume()}) as sim:
            big = b"<kovrel><system-get-version>" + b"x" * (2 << 20) + b"</system-get-version></kovrel>"
            try:
                status = http_post(sim, big)[0]
            except (ConnectionError, http.client.HTTPException):
                status = None  # refused before the whole body was sent
            self.assertIn(status, (413, None))
            with socket.create_connection(("127.0.0.1", sim.ports["stream"]),
                                          timeout=IO_TIMEOUT) as s:
                s.sendall(b"ROVUDI-D/1.0\r\nUser: admin\r\nPassword: admin\r\n"
                          b"Content-length: 999999999\r\n\r\n")
                self.assertEqual(recv_line(s), b"ROVUDI-D/1.0 413")
            attrs, _ = call(sim, "system-get-version")
            self.assertPassed(attrs)

    def test_several_clients_at_once(self):
        with Sim({"vol1": self.volume()}) as sim:
            failures = []

            def client(transport):
                try:
                    for _ in range(15):
                        attrs, _ = call(sim, "volume-list-info", transport=transport)
                        assert attrs["status"] == "passed"
                except Exception as e:  # reported below
                    failures.append(repr(e))

            threads = [threading.Thread(target=client, args=(TRANSPORTS[i % 3],))
                       for i in range(12)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
            self.assertEqual(failures, [])


class ChangeScanTest(SimTestCase):
    def two_snapshots(self, sim, vol):
        prepare_special_entries(vol)
        make_base_tree(vol)
        self.snapshot(sim, "vol1", "base")
        mutate_tree(vol)
        self.snapshot(sim, "vol1", "diff")
        return (os.path.join(vol, ".snapshot", "base"), os.path.join(vol, ".snapshot", "diff"))

    def test_session_over_several_batches(self):
        vol = self.volume()
        with Sim({"vol1": vol}) as sim:
            base, diff = self.two_snapshots(sim, vol)
            rpc = RpcClient(sim)
            self.addCleanup(rpc.close)
            session = start_session(sim, rpc, "vol1", "diff", base="base", max_diffs=4)
            expected = expected_difference(base, diff)
            for path, kind in (("/samesize.txt", INODE_MODIFIED), ("/becomes_dir", INODE_MODIFIED),
                               ("/becomes_dir/inside", DIR_CREATE), ("/gone", DIR_DELETE), ("/gone/sub/leaf.txt", INODE_DELETED),
                               ("/becomes_file/child.txt", INODE_DELETED),
                               ("/modeonly.txt", INODE_MODIFIED), ("/link", INODE_MODIFIED)):
                self.assertEqual(expected.get(path), kind, path)  # the fixture does its job

            status, res = session.status()
            self.assertEqual(status, NFS4_OK)
            self.assertIn("0 of %d" % len(expected), res["text"])

            batches = session.all_batches()
            self.assertGreater(len(batches), 3)
            records = [r for b in batches for r in b["records"]]
            self.assertEqual({r["name"]: r["change"] for r in records}, expected)
            self.assertEqual(len(records), len(expected))  # each change once
            check_order(self, records)
            progress = [b["progress"] for b in batches]
            self.assertEqual(progress, sorted(progress))
            self.assertEqual(progress[-1], 100)
            for b in batches:
                self.assertLessEqual(len(b["records"]), 4)
                self.assertEqual(b["num_changes"], len(b["records"]))
                self.assertEqual(b["eof"], b is batches[-1])
            for r in records:
                tree = base if r["change"] in (DIR_DELETE, INODE_DELETED) else diff
                st = os.lstat(tree + r["name"])
                self.assertEqual(
                    (r["ino"], r["ftype"], r["size"], r["fattr"], r["owner"], r["group"],
                     r["links"], r["mtime"]),
                    (st.st_ino, FTYPES[stat.S_IFMT(st.st_mode)], st.st_size,
                     stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, st.st_nlink,
                     int(st.st_mtime)), r["name"])
            self.assertEqual(next(r["ftype"] for r in records if r["name"] == "/link"), 5)

            # After the end of the difference: empty batches, still at the end.
            status, res = session.next()
            self.assertEqual((status, res["num_changes"], res["eof"], res["records"]),
                             (NFS4_OK, 0, 1, []))
            status, res = session.status()
            self.assertIn("%d of %d" % (len(expected), len(expected)), res["text"])
            status, res = session.end()
            self.assertEqual(status, NFS4_OK)
            self.assertIn("ended", res["text"])
            status, res = session.next()
            self.assertEqual(status, BADSESSION)
            self.assertIn(session.handle, res["text"])

    def test_without_base_everything_is_created(self):
        vol = self.volume()
        make_base_tree(vol, files=30)
        with Sim({"vol1": vol}) as sim:
            self.snapshot(sim, "vol1", "only")
            rpc = RpcClient(sim)
            self.addCleanup(rpc.close)
            session = start_session(sim, rpc, "vol1", "only", max_diffs=1000)
            records = [r for b in session.all_batches() for r in b["records"]]
            expected = expected_difference(None, os.path.join(vol, ".snapshot", "only"))
            self.assertEqual({r["name"]: r["change"] for r in records}, expected)
            self.assertEqual(set(expected.values()), {DIR_CREATE, INODE_CREATE})
            check_order(self, records)
            session.end()

    def test_no_changes_and_attributes_always_given(self):
        vol = self.volume()
        make_base_tree(vol, files=10)
        with Sim({"vol1": vol}) as sim:
            self.snapshot(sim, "vol1", "a")
            self.snapshot(sim, "vol1", "b")
            rpc = RpcClient(sim)
            self.addCleanup(rpc.close)
            session = start_session(sim, rpc, "vol1", "b", base="a")
            status, res = session.next()
            self.assertEqual((status, res["num_changes"], res["eof"], res["progress"]),
                             (NFS4_OK, 0, 1, 100))
            session.end()
            write(os.path.join(vol, "x.txt"), b"x")
            self.snapshot(sim, "vol1", "c")
            session = start_session(sim, rpc, "vol1", "c", base="b", fattrs=False)
            status, res = session.next()
            rec = res["records"][0]
            st = os.lstat(os.path.join(vol, ".snapshot/c/x.txt"))
            self.assertEqual((rec["name"], rec["change"], rec["ftype"], rec["ino"], rec["size"]),
                             ("/x.txt", INODE_CREATE, 1, st.st_ino, 1))
            session.end()

    def test_atime_changes_only_when_asked(self):
        vol = self.volume()
        write(os.path.join(vol, "read.txt"), b"r")
        write(os.path.join(vol, "same.txt"), b"s")
        with Sim({"vol1": vol}) as sim:
            self.snapshot(sim, "vol1", "a")
            self.snapshot(sim, "vol1", "b")
            st = os.lstat(os.path.join(vol, ".snapshot/b/read.txt"))
            os.utime(os.path.join(vol, ".snapshot/b/read.txt"),
                     ns=(st.st_atime_ns + 5 * 10**9, st.st_mtime_ns))
            rpc = RpcClient(sim)
            self.addCleanup(rpc.close)
            for atime, expected in ((False, {}), (True, {"/read.txt": INODE_ACCESSED})):
                with self.subTest(atime=atime):
                    session = start_session(sim, rpc, "vol1", "b", base="a", atime=atime)
                    records = [r for b in session.all_batches() for r in b["records"]]
                    self.assertEqual({r["name"]: r["change"] for r in records}, expected)
                    self.assertEqual(expected, expected_difference(
                        os.path.join(vol, ".snapshot/a"), os.path.join(vol, ".snapshot/b"),
                        atime))
                    session.end()

    def test_version_2_records(self):
        vol = self.volume()
        make_base_tree(vol, files=10)
        offset = 1 << 32
        with Sim({"vol1": vol}, "--inode-offset", str(offset)) as sim:
            self.snapshot(sim, "vol1", "s")
            rpc = RpcClient(sim)
            self.addCleanup(rpc.close)
            session = start_session(sim, rpc, "vol1", "s", max_diffs=5)
            status, res = session.next()
            self.assertEqual((status, res["status"]), (V2_OK, V2_OK))
            self.assertEqual(len(res["records"]), 5)
            for r in res["records"]:
                st = os.lstat(os.path.join(vol, ".snapshot/s") + r["name"])
                self.assertEqual(r["ino"], st.st_ino + offset)
            session.end()

    def test_request_hash_is_checked(self):
        vol = self.volume()
        make_base_tree(vol, files=10)
        with Sim({"vol1": vol}) as sim:
            self.snapshot(sim, "vol1", "s")
            rpc = RpcClient(sim)
            self.addCleanup(rpc.close)
            session = start_session(sim, rpc, "vol1", "s", max_diffs=2)
            wrong = [
                (OP_CQ_NEXT, "0" * 64),
                (OP_CQ_NEXT, request_hash(session.id, 5)),          # another sequence
                (OP_CQ_NEXT, request_hash(session.id, 0)),
                (OP_CQ_STATUS, request_hash(session.id, 1)),
                (OP_CQ_END, request_hash("0" * 36, 0)),             # another session id
                (OP_CQ_END, ""),
            ]
            for opnum, h in wrong:
                with self.subTest(opnum=opnum, hash=h):
                    status, res = rpc.op(opnum, session.handle, h)
                    self.assertEqual((status, res["status"]), (SEQ_MISORDERED, SEQ_MISORDERED))
                    self.assertIn("hash", res["text"])
                    if opnum == OP_CQ_NEXT:
                        session.sequence += 1  # refused next calls count too
            status, res = session.next()
            self.assertEqual(status, NFS4_OK)
            self.assertEqual(len(res["records"]), 2)  # nothing was delivered before
            status, res = rpc.op(OP_CQ_STATUS, "cqs-unknown", request_hash(session.id, 0))
            self.assertEqual(status, BADSESSION)
            self.assertEqual(session.end()[0], NFS4_OK)

    def test_session_limit(self):
        vol = self.volume()
        make_base_tree(vol, files=5)
        with Sim({"vol1": vol}, "--max-sessions", "2") as sim:
            self.snapshot(sim, "vol1", "s")
            rpc = RpcClient(sim)
            self.addCleanup(rpc.close)
            first = start_session(sim, rpc, "vol1", "s")
            start_session(sim, rpc, "vol1", "s")
            for transport in TRANSPORTS:
                attrs, _ = call(sim, "chgscan-iter-start", start_args("vol1", "s"), transport)
                self.assertFailed(attrs, MAX_SESSIONS, "--max-sessions")
            self.assertEqual(first.end()[0], NFS4_OK)
            start_session(sim, rpc, "vol1", "s")

    def test_idle_sessions_expire(self):
        vol = self.volume()
        with Sim({"vol1": vol}, "--max-sessions", "1", "--session-idle", "1") as sim:
            self.snapshot(sim, "vol1", "s")
            rpc = RpcClient(sim)
            self.addCleanup(rpc.close)
            old = start_session(sim, rpc, "vol1", "s")
            time.sleep(2.5)
            start_session(sim, rpc, "vol1", "s")  # the idle one gave its slot
            self.assertEqual(old.status()[0], BADSESSION)

    def test_resume_from_restart_cookie(self):
        vol = self.volume()
        with Sim({"vol1": vol}) as sim:
            base, diff = self.two_snapshots(sim, vol)
            self.snapshot(sim, "vol1", "third")
            rpc = RpcClient(sim)
            self.addCleanup(rpc.close)
            whole = start_session(sim, rpc, "vol1", "diff", base="base", max_diffs=3)
            all_records = [r for b in whole.all_batches() for r in b["records"]]
            whole.end()

            first = start_session(sim, rpc, "vol1", "diff", base="base", max_diffs=3)
            _, b1 = first.next()
            _, b2 = first.next()
            self.assertEqual(first.end()[0], NFS4_OK)
            resumed = start_session(sim, rpc, "vol1", "diff", base="base", max_diffs=3,
                                    cookie=b2["cookie"])
            rest = [r for b in resumed.all_batches() for r in b["records"]]
            self.assertEqual(b1["records"] + b2["records"] + rest, all_records)
            resumed.end()

            refused = [
                (start_args("vol1", "third", base="base", cookie=b2["cookie"]), ['"diff"']),
                (start_args("vol1", "diff", cookie=b2["cookie"]), ["nothing"]),
                (start_args("vol1", "diff", base="base", atime=True, cookie=b2["cookie"]),
                 ["atime"]),
                (start_args("vol1", "diff", base="base", cookie="garbage"), ["restart-cookie"]),
                (start_args("vol1", "diff", base="base", cookie=b2["cookie"][:-1] + "0"),
                 ["no longer matches"]),
            ]
            for children, words in refused:
                with self.subTest(children=children):
                    attrs, _ = call(sim, "chgscan-iter-start", children)
                    self.assertFailed(attrs, 13109, *words)


class RobustnessTest(SimTestCase):
    def assertAlive(self, sim):
        attrs, _ = call(sim, "system-get-version")
        self.assertPassed(attrs)
        rpc = RpcClient(sim)
        self.assertEqual(rpc.call(0), (0, b""))
        rpc.close()

    def exchange(self, port, data, tls=False):
        """Sends data and reads until the server answers and closes (or the
        time-out); returns what came back."""
        raw = socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT)
        if tls:
            ctx = ssl.create_default_context()
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            raw = ctx.wrap_socket(raw)
        got = b""
        with raw as s:
            try:
                s.sendall(data)
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    got += chunk
            except (ConnectionError, ssl.SSLError, socket.timeout):
                pass
        return got

    def test_garbage_on_every_port(self):
        rnd = random.Random(3)
        noise = bytes(rnd.randrange(256) for _ in range(3000))
        with Sim({"vol1": self.volume()}) as sim:
            cases = [
                ("http", noise, False, (b"", b"HTTP/1.1 400")),
                ("http", b"POST " + b"a" * 20000 + b" HTTP/1.1\r\n\r\n", False,
                 (b"", b"HTTP/1.1 4")),
                ("https", noise, False, None),  # not TLS: an alert or a close
                ("https", noise, True, (b"", b"HTTP/1.1 400")),
                ("stream", noise, False, (b"", b"ROVUDI-D/1.0 400")),
                ("stream", b"GET / HTTP/1.1\r\n\r\n", False, (b"ROVUDI-D/1.0 400",)),
                ("stream", b"ROVUDI-D/1.0\r\n" + b"X" * 5000 + b"\r\n", False,
                 (b"ROVUDI-D/1.0 400",)),
                ("stream", b"ROVUDI-D/1.0\r\nUser: a\r\n\r\n", False, (b"ROVUDI-D/1.0 411",)),
                ("rpc", noise, False, None),
                ("rpc", struct.pack(">I", 0x80000000 | 0x7fffffff) + noise, False, None),
            ]
            for port, data, tls, prefixes in cases:
                with self.subTest(port=port, data=data[:20], tls=tls):
                    got = self.exchange(sim.ports[port], data, tls)
                    if prefixes is not None:
                        self.assertTrue(any(got.startswith(p) if p else got == b""
                                            for p in prefixes), got[:100])
                    self.assertAlive(sim)

    def test_rpc_protocol_errors(self):
        with Sim({"vol1": self.volume()}) as sim:
            rpc = RpcClient(sim)
            self.addCleanup(rpc.close)
            session_args = xdr_opaque(b"cqs-x") + xdr_opaque(b"0" * 64)
            # An unknown operation: an OP_ILLEGAL result, tag echoed.
            status, tag, res = rpc.compound([(3, b"")], tag=b"odd tag")
            self.assertEqual((status, tag, res), (OP_ILLEGAL, b"odd tag",
                                                  [(OP_ILLEGAL, {"status": OP_ILLEGAL})]))
            # Two operations: none is run.
            status, _, res = rpc.compound([(OP_CQ_STATUS, session_args)] * 2, tag=b"CQ_STATUS")
            self.assertEqual(status, TOO_MANY_OPS)
            self.assertEqual(res[0][0], OP_CQ_STATUS)
            self.assertIn("one change-scan operation", res[0][1]["text"])
            status, _, res = rpc.compound([(OP_CQ_STATUS, session_args)], minorversion=1)
            self.assertEqual((status, res), (MINOR_VERS_MISMATCH, []))
            self.assertEqual(rpc.compound([]), (NFS4_OK, b"CQ_NEXT", []))
            status, _, res = rpc.compound([(OP_CQ_START, b"")])
            self.assertEqual(status, NOTSUPP)
            self.assertIn("chgscan-iter-start", res[0][1]["text"])
            # Arguments that do not decode, and an unknown procedure.
            accept, _ = rpc.call(1, xdr_opaque(b"t") + struct.pack(">III", 0, 1, OP_CQ_NEXT)
                                 + struct.pack(">I", 5000))
            self.assertEqual(accept, 4)  # GARBAGE_ARGS
            self.assertEqual(rpc.call(7)[0], 3)  # PROC_UNAVAIL
            status, _ = rpc.op(OP_CQ_NEXT, "cqs-x", "0" * 64)
            self.assertEqual(status, BADSESSION)  # the connection still serves


def main():
    global KOVREL
    if len(sys.argv) < 2:
        sys.exit("usage: sim_test.py PATH/TO/kovrel [unittest arguments]")
    KOVREL = os.path.abspath(sys.argv.pop(1))
    unittest.main()


if __name__ == "__main__":
    main()
