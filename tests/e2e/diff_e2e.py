#!/usr/bin/env python3
"""`kovrel diff` against the simulator, compared with a difference that this
script computes itself (os.walk and os.lstat over the two snapshot trees).

Usage: diff_e2e.py KOVREL

Run inside a private network namespace with loopback up (the simulator
listens on its standard ports): tests/support/run_in_netns.sh does that.
Builds a volume of a few thousand entries with two snapshots, starts
`KOVREL sim` for at most two minutes, and checks:
  - the text, JSON and CSV listings hold exactly the independent difference,
    each change once;
  - --only filters by change type;
  - an interrupted listing ends its session and prints a restart cookie from
    which a second run lists exactly the rest;
  - a wrong password fails with exit status 1 and a message that says so.
Exits 0 when every check passed; prints each failure otherwise.
"""
import csv
import io
import json
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

PASSWORD = "e2e-secret"
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what, flush=True)


def write(path, content):
    with open(path, "w") as f:
        f.write(content)


def build_snapshots(volume):
    """s1: about 3000 entries; s2: a copy with entries created, deleted and
    modified. Directory times in s2 are put back to those of s1, so that only
    the changes made here differ."""
    rng = random.Random(7)
    s1 = os.path.join(volume, ".snapshot", "s1")
    s2 = os.path.join(volume, ".snapshot", "s2")
    for d in range(30):
        sub = os.path.join(s1, "dir%02d" % d, "sub%d" % (d % 4))
        os.makedirs(sub)
        for f in range(45):
            write(os.path.join(sub, "file%03d.txt" % f), "base %d %d\n" % (d, f))
        for f in range(50):
            write(os.path.join(s1, "dir%02d" % d, "top%03d" % f), "x" * (f % 7))
    os.symlink("dir00/top000", os.path.join(s1, "link_kept"))
    os.symlink("dir01/top000", os.path.join(s1, "link_gone"))
    subprocess.run(["cp", "-a", s1, s2], check=True)

    for d in rng.sample(range(30), 8):
        base = os.path.join(s2, "dir%02d" % d)
        for f in rng.sample(range(50), 20):
            os.remove(os.path.join(base, "top%03d" % f))
        for f in range(15):
            write(os.path.join(base, "added%02d" % f), "new\n")
    for d in rng.sample(range(30), 3):
        shutil.rmtree(os.path.join(s2, "dir%02d" % d, "sub%d" % (d % 4)))
    os.makedirs(os.path.join(s2, "brand", "new", "tree"))
    for f in range(40):
        write(os.path.join(s2, "brand", "new", "tree", "n%02d" % f), "n")
    os.symlink("brand", os.path.join(s2, "link_new"))
    os.remove(os.path.join(s2, "link_gone"))
    for d in rng.sample(range(30), 10):
        for f in rng.sample(range(50), 12):
            path = os.path.join(s2, "dir%02d" % d, "top%03d" % f)
            if os.path.exists(path):
                with open(path, "a") as fh:
                    fh.write("more content\n")
    for d in rng.sample(range(30), 4):
        for f in range(5):
            path = os.path.join(s2, "dir%02d" % d, "top%03d" % (40 + f))
            if os.path.exists(path):
                os.chmod(path, 0o600)
    for top, dirs, _ in os.walk(s1):
        for name in dirs + [""]:
            rel = os.path.relpath(os.path.join(top, name), s1)
            mirror = os.path.join(s2, rel)
            if os.path.isdir(mirror) and not os.path.islink(mirror):
                st = os.lstat(os.path.join(s1, rel))
                os.utime(mirror, ns=(st.st_atime_ns, st.st_mtime_ns))
    return s1, s2


def entries(root):
    """Relative path (beginning with "/") -> lstat result, for every entry."""
    found = {}
    for top, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(top, name)
            found["/" + os.path.relpath(path, root)] = os.lstat(path)
    return found


def type_of(st):
    if stat.S_ISDIR(st.st_mode):
        return "dir"
    if stat.S_ISREG(st.st_mode):
        return "file"
    if stat.S_ISLNK(st.st_mode):
        return "symlink"
    return "other"


def independent_difference(s1, s2):
    before, after = entries(s1), entries(s2)
    changes = set()
    for path, st in after.items():
        if path not in before:
            changes.add(("created", type_of(st), path))
    for path, st in before.items():
        if path not in after:
            changes.add(("deleted", type_of(st), path))
    for path in before.keys() & after.keys():
        a, b = before[path], after[path]
        if (type_of(a) != type_of(b) or a.st_size != b.st_size or a.st_mode != b.st_mode
                or a.st_mtime_ns != b.st_mtime_ns or a.st_uid != b.st_uid
                or a.st_gid != b.st_gid):
            changes.add(("modified", type_of(b), path))
    return changes


def make_certificate(directory):
    cert, key = os.path.join(directory, "sim.pem"), os.path.join(directory, "sim.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                    "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def start_simulator(kovrel, volume, cert, key, log):
    sim = subprocess.Popen([kovrel, "sim", "--volume", "vol1=" + volume,
                            "--user", "admin:" + PASSWORD, "--cert", cert, "--key", key,
                            "--seconds", "120"], stderr=log)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        with open(log.name) as f:
            if "kovrel sim: ready" in f.read():
                return sim
        if sim.poll() is not None:
            break
        time.sleep(0.1)
    sim.kill()
    with open(log.name) as f:
        sys.exit("the simulator did not start:\n" + f.read())


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    kovrel = sys.argv[1]
    work = tempfile.mkdtemp(prefix="kovrel_diff_e2e_")
    sim = None
    try:
        volume = os.path.join(work, "vol1")
        s1, s2 = build_snapshots(volume)
        expected = independent_difference(s1, s2)
        print("entries in s1: %d, changes: %d" % (len(entries(s1)), len(expected)), flush=True)
        cert, key = make_certificate(work)
        log = open(os.path.join(work, "sim.log"), "w")
        sim = start_simulator(kovrel, volume, cert, key, log)

        env = dict(os.environ, KOVREL_PASSWORD=PASSWORD)
        base = [kovrel, "diff", "--host", "localhost", "--user", "admin", "--ca-file", cert,
                "--volume", "vol1", "--base", "s1", "--diff", "s2"]

        def run(*extra, password=PASSWORD):
            return subprocess.run(base + list(extra), capture_output=True, text=True,
                                  env=dict(env, KOVREL_PASSWORD=password), timeout=120)

        listed = run("--format", "json", "--max-diffs", "300")
        check(listed.returncode == 0, "json listing exits 0: " + listed.stderr)
        rows = [json.loads(line) for line in listed.stdout.splitlines()]
        got = [(r["change"], r["type"], r["path"]) for r in rows]
        check(set(got) == expected, "json listing: missing %s, extra %s" % (
            sorted(expected - set(got))[:10], sorted(set(got) - expected)[:10]))
        check(len(got) == len(set(got)), "json listing: a change is listed twice")

        marks = {"+": "created", "-": "deleted", "M": "modified", "A": "accessed"}
        text = run()
        check(text.returncode == 0, "text listing exits 0: " + text.stderr)
        text_changes = set()
        for line in text.stdout.splitlines():
            mark, path = line.split("\t", 1)
            text_changes.add((marks.get(mark, mark), path))
        check(text_changes == {(c, p) for c, _, p in expected}, "text listing differs")

        table = run("--format", "csv")
        check(table.returncode == 0, "csv listing exits 0: " + table.stderr)
        reader = csv.DictReader(io.StringIO(table.stdout))
        csv_changes = {(r["change"], r["type"], r["path"]) for r in reader}
        check(csv_changes == expected, "csv listing differs")

        deleted = run("--format", "json", "--only", "deleted")
        only = {(r["change"], r["type"], r["path"])
                for r in map(json.loads, deleted.stdout.splitlines())}
        check(only == {c for c in expected if c[0] == "deleted"}, "--only deleted differs")

        # Interrupted after the first lines, then resumed from the cookie.
        proc = subprocess.Popen(base + ["--format", "json", "--max-diffs", "1"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        first = [proc.stdout.readline() for _ in range(20)]
        proc.send_signal(signal.SIGINT)
        # Read on through the same buffered file: communicate() would read the
        # descriptor directly and miss what the buffer already holds.
        rest = proc.stdout.read()
        err = proc.stderr.read()
        proc.wait(timeout=60)
        check(proc.returncode == 130, "interrupted listing exits 130, got %s" % proc.returncode)
        cookie = None
        for word_line in err.splitlines():
            if "--restart-cookie" in word_line:
                cookie = word_line.split("--restart-cookie", 1)[1].split()[0]
        check(cookie is not None, "interrupted listing prints a restart cookie: " + err)
        if cookie is not None:
            head = [json.loads(line) for line in first + rest.splitlines() if line.strip()]
            resumed = run("--format", "json", "--restart-cookie", cookie)
            check(resumed.returncode == 0, "resumed listing exits 0: " + resumed.stderr)
            tail = [json.loads(line) for line in resumed.stdout.splitlines()]
            whole = [(r["change"], r["type"], r["path"]) for r in head + tail]
            check(set(whole) == expected and len(whole) == len(expected),
                  "interrupted and resumed listings together are the difference, once each")

        wrong = run(password="not-the-password")
        check(wrong.returncode == 1, "a wrong password exits 1")
        check(any(w in wrong.stderr.lower() for w in ("password", "credential", "authoriz")),
              "a wrong password is named as such: " + wrong.stderr)
    finally:
        if sim is not None:
            sim.terminate()
            try:
                sim.wait(timeout=10)
            except subprocess.TimeoutExpired:
                sim.kill()
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
