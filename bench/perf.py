#!/usr/bin/env python3
"""gcebackup performance against gce-emulator, printed as one table.

Starts its own gce-emulator on a free loopback port and measures, in one run:

  * the backup window of an 8-disk instance while snapshots and disks take
    L seconds to become READY: the time from the start of MountVM to the end
    of UnmountVM, less the time spent copying data, against the ideal 2L
    (one round of snapshots, then one round of disks, each overlapped);
    the same for a restore of that backup (one round of disks: ideal L);
  * the same windows at realistic latencies (attach and detach 2 s, other
    operations 0.5 s, snapshots and disks L) for instances of 8 and 32
    disks, copied 4 at a time, against the ideal 2L + one attach + one
    detach + the copy (L + attach + detach + copy for a restore);
  * the cloud calls of the 8-disk backup and restore per disk, from the
    emulator's request counts, with status polls (reads of a disk, snapshot
    or operation still pending) counted apart and related to the time
    resources were pending;
  * the data path: a 4 GiB disk holding 1 GiB of data backed up and restored
    (the restore timed whole, with the bytes it read), against both
    `cp --sparse=always` and `cp --sparse=always` + sync of the same disk
    file in the same run; rates are MiB of data per second; gcebackup's peak
    RSS;
  * the CPU time (user + sys) of gcebackup, which hosts the plug-in, for the
    8-disk backup, beside its wall time;
  * incremental replication (`gcebackup replicate`) of that disk: time and
    bytes written of a pass after 1 % of it changed, against the full first
    pass, with the peak local disk use of the pass (state directory);
  * a deduplicating repository (`gcebackup init`): the first backup against
    `cp` + sync of the same disk in the same rounds, its restore against the
    same cp with the disk file read from the device (as the restore reads
    its chunk files) and the cached one, and the
    bytes stored by a second backup of the unchanged disk and after 1 % of it
    changed;
  * a protection policy (`gcebackup run`) over 16 instances of 2 disks at
    realistic latencies (attach and detach 2 s, every other operation
    0.5 s): wall time with 4 instances at once against the same instances
    one after another, in the same run.

Usage: perf.py [BUILD_DIR] [-v] [--only KIND[,KIND...]]
  -v      also prints the calls by route
  --only  runs only these groups of rows: slow (the 8-disk windows at L),
          realistic (the windows at realistic latencies), data (the data
          path), replication, repository, fleet (the protection-policy row);
          the default is all of them
"""
import base64
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

GIB = 1 << 30
MIB = 1 << 20
PROJECT = "bench-project"
ZONE = "us-central1-a"

LATENCY_MS = 3000  # L: snapshots and disks take this long to become READY
WIDE_DISKS = 8  # disks of the instance whose backup window is measured
WIDER_DISKS = 32  # the larger instance of the realistic-latency windows
# Realistic latencies: attach and detach 2 s, other operations 0.5 s.
REALISTIC = {"disk": LATENCY_MS, "snapshot": LATENCY_MS, "operation": 500, "instance": 500, "attach": 2000}
PARALLEL = 4
DATA_DISK_GB = 4
DATA_CHUNKS = 8  # 8 runs of 128 MiB spread over the data disk: 1 GiB of data
DATA_ROUNDS = 3  # rounds of the data-path copies; the median of each kind counts
REPLICA_CHANGE = 0.01  # share of the disk changed between replication passes
REPO_ROUNDS = 5  # rounds of first backups into a fresh repository; the median counts

VERBOSE = "-v" in sys.argv[1:]
FLEET_INSTANCES = 16  # instances of the protection-policy row, 2 disks each
FLEET_CONCURRENCY = 4
# Realistic latencies of the protection-policy row: attach and detach 2 s, the rest 0.5 s.
FLEET_LATENCY = {"disk": 500, "snapshot": 500, "operation": 500, "instance": 500, "attach": 2000}
GROUPS = ("slow", "realistic", "data", "replication", "repository", "fleet")


def wanted_groups(argv):
    """The groups of rows to run, from --only KIND[,KIND...] (or --only=...)."""
    for i, a in enumerate(argv):
        value = None
        if a == "--only" and i + 1 < len(argv):
            value = argv[i + 1]
        elif a.startswith("--only="):
            value = a[len("--only="):]
        if value is not None:
            kinds = [k for k in value.split(",") if k]
            bad = [k for k in kinds if k not in GROUPS]
            if bad:
                raise SystemExit("--only: unknown group(s) %s (known: %s)" % (", ".join(bad), ", ".join(GROUPS)))
            return set(kinds)
    return set(GROUPS)


def seed():
    chunk = (1 * GIB // MIB) // DATA_CHUNKS
    stride = (DATA_DISK_GB * GIB // MIB) // DATA_CHUNKS
    chunks = [{"offsetMiB": i * stride, "lengthMiB": chunk} for i in range(DATA_CHUNKS)]
    def wide_disks(prefix, n):
        disks = [{"name": "%s-%d" % (prefix, i), "sizeGb": 10, "boot": i == 0} for i in range(n)]
        disks[0]["data"] = {"seed": 3, "chunks": [{"offsetMiB": 0, "lengthMiB": 1}]}
        return disks
    wide = wide_disks("wide", WIDE_DISKS)
    return {
        "projects": [{"id": PROJECT, "number": "100000000001", "name": "Bench"}],
        "regions": [{"name": "us-central1", "zones": [ZONE]}],
        "machineTypes": [{"name": "e2-standard-4", "guestCpus": 4, "memoryMb": 16384,
                          "isSharedCpu": False, "maximumPersistentDisks": 128}],
        "serviceAccounts": [{"email": "bench-sa@bench-project.iam.gserviceaccount.com",
                             "project": PROJECT, "keyFile": "bench-sa"}],
        "instances": [
            {"project": PROJECT, "zone": ZONE, "name": "bench-proxy", "machineType": "e2-standard-4",
             "proxy": True, "disks": [{"name": "bench-proxy", "sizeGb": 10, "boot": True}]},
            {"project": PROJECT, "zone": ZONE, "name": "wide", "machineType": "e2-standard-4",
             "disks": wide},
            {"project": PROJECT, "zone": ZONE, "name": "wider", "machineType": "e2-standard-4",
             "disks": wide_disks("wider", WIDER_DISKS)},
            {"project": PROJECT, "zone": ZONE, "name": "data", "machineType": "e2-standard-4",
             "disks": [{"name": "data", "sizeGb": DATA_DISK_GB, "boot": True,
                        "data": {"seed": 11, "chunks": chunks}}]},
        ] + [
            {"project": PROJECT, "zone": ZONE, "name": "fleet-%02d" % i, "machineType": "e2-standard-4",
             "labels": {"fleet": "bench"},
             "disks": [{"name": "fleet-%02d" % i, "sizeGb": 10, "boot": True,
                        "data": {"seed": 100 + i, "chunks": [{"offsetMiB": 0, "lengthMiB": 1}]}},
                       {"name": "fleet-%02d-data" % i, "sizeGb": 10,
                        "data": {"seed": 200 + i, "chunks": [{"offsetMiB": 0, "lengthMiB": 1}]}}]}
            for i in range(FLEET_INSTANCES)
        ],
    }


class Emulator:
    def __init__(self, exe, state):
        self.log = open(os.path.join(state, "emulator.log"), "wb")
        self.proc = subprocess.Popen([exe, "--listen", "127.0.0.1:0", "--state", state, "--seed",
                                      os.path.join(state, "seed.json")],
                                     stdout=subprocess.PIPE, stderr=self.log)
        line = self.proc.stdout.readline().decode()
        m = re.search(r"listening on (http://127\.0\.0\.1:\d+)", line)
        if not m:
            self.stop()
            raise SystemExit("gce-emulator did not start: " + line)
        self.url = m.group(1)

    def control(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request(self.url + "/emulator/v1/" + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=60) as r:
            return json.loads(r.read() or b"{}")

    def latency(self, ms, **others):
        body = {"disk": ms, "snapshot": ms, "operation": 20, "instance": 50, "attach": -1}
        body.update(others)
        self.control("POST", "latency", body)
        return self.control("GET", "latency")

    def disk_file(self, name):
        res = self.control("GET", "resources")
        return next(d["file"] for d in res["projects"][PROJECT]["disks"] if d["name"] == name)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


def tree_bytes(path):
    """Bytes the files under path occupy on disk."""
    total = 0
    for root, _, files in os.walk(path):
        for f in files:
            try:
                total += os.lstat(os.path.join(root, f)).st_blocks * 512
            except OSError:
                pass
    return total


class Run:
    """One gcebackup child: its JSON answer, wall time and own rusage; with
    watch, the peak of the bytes stored under that directory while it ran."""

    def __init__(self, argv, check=True, watch=None):
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            t = time.monotonic()
            proc = subprocess.Popen(argv, stdout=out, stderr=err)
            self.peak_local = 0
            base = tree_bytes(watch) if watch else 0
            # wait4 gives this child's own rusage (RUSAGE_CHILDREN would mix
            # in every earlier child).
            while True:
                pid, status, ru = os.wait4(proc.pid, os.WNOHANG if watch else 0)
                if pid == proc.pid:
                    break
                self.peak_local = max(self.peak_local, tree_bytes(watch) - base)
                time.sleep(0.02)
            self.wall = time.monotonic() - t
            proc.returncode = self.rc = os.waitstatus_to_exitcode(status)
            out.seek(0)
            err.seek(0)
            self.out = out.read().decode(errors="replace")
            self.err = err.read().decode(errors="replace")
        self.cpu = ru.ru_utime + ru.ru_stime
        self.rss_mib = ru.ru_maxrss / 1024
        if check and self.rc != 0:
            raise SystemExit("gcebackup %s failed (exit %d):\n%s%s" % (argv[argv.index("-q") + 1], self.rc,
                                                                       self.out, self.err))
        try:
            self.json = json.loads(self.out) if self.out.strip() else {}
        except ValueError:
            self.json = {}


class Bench:
    def __init__(self, build):
        self.bindir = os.path.abspath(os.path.join(build, "bin"))
        self.gcebackup = os.path.join(self.bindir, "gcebackup")
        emulator = os.path.join(self.bindir, "gce-emulator")
        for exe in (self.gcebackup, emulator):
            if not os.access(exe, os.X_OK):
                raise SystemExit("missing " + exe + " (build first)")
        self.root = tempfile.mkdtemp(prefix="gcebackup-perf-")
        self.state = os.path.join(self.root, "emulator")
        os.makedirs(self.state)
        with open(os.path.join(self.state, "seed.json"), "w") as f:
            json.dump(seed(), f)
        self.settings = os.path.join(self.root, "settings.ini")
        with open(self.settings, "w") as f:
            f.write("[VirtualServer]\nnGoogleOperationPollingInMins=0\n")
        self.store = os.path.join(self.root, "store")
        self.emu = Emulator(emulator, self.state)

    def close(self):
        self.emu.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def gce(self, *args, check=True, watch=None):
        return Run([self.gcebackup, "--endpoint", self.emu.url,
                    "--credential", os.path.join(self.state, "credential.txt"),
                    "--device-dir", os.path.join(self.state, "by-id"),
                    "--state-dir", os.path.join(self.root, "state"),
                    "--settings", self.settings, "--parallel", str(PARALLEL), "--json", "-q"] + list(args),
                   check=check, watch=watch)

    def counted(self, *args):
        """Runs gcebackup with fresh request counts; returns (run, stats)."""
        self.emu.control("POST", "stats/reset")
        run = self.gce(*args)
        return run, self.emu.control("GET", "stats")


def call_economy(stats, disks, latency, verbose_title):
    """Calls per disk outside polls, and polls per pending resource-second."""
    requests = stats.get("requests", {})
    pending = stats.get("pendingReads", {})
    polls = sum(pending.values())
    total = sum(requests.values())
    # Resources that were pending: snapshots and disks created; each is
    # pending about as long as the emulator's latency for its kind.
    snaps = sum(v for k, v in requests.items() if re.search(r"^POST .*/(createSnapshot|snapshots)$", k))
    created = sum(v for k, v in requests.items() if re.search(r"^POST .*/disks$", k))
    pending_seconds = (snaps * (latency["snapshot"] + latency["operation"]) +
                       created * max(latency["disk"], latency["operation"])) / 1000.0
    if VERBOSE:
        print("-- %s: %d calls, %d polls (%s), %d snapshots and %d disks pending %.1f s in all" %
              (verbose_title, total, polls, ", ".join("%s %d" % kv for kv in sorted(pending.items())),
               snaps, created, pending_seconds), file=sys.stderr)
        for k, v in sorted(requests.items(), key=lambda kv: -kv[1]):
            print("   %5d  %s" % (v, k), file=sys.stderr)
    return (total - polls) / disks, polls, (polls / pending_seconds if pending_seconds else 0.0)


def allocated(path):
    return os.stat(path).st_blocks * 512


def median(values):
    v = sorted(values)
    return v[len(v) // 2] if len(v) % 2 else (v[len(v) // 2 - 1] + v[len(v) // 2]) / 2


def drop_cache(path):
    fd = os.open(path, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)


def time_copies(src, dst, kinds, datapath, keep=False):
    """Seconds of each way of copying src to dst, one after the other; the
    device is flushed before every copy. With keep, each copy goes to a file
    of its own (dst.1, dst.2, ...) that the caller removes later: a file
    removed just before a measure (discards, freed inodes that the file
    system skips for a while) slows what follows it."""
    times = {}
    for n, kind in enumerate(kinds):
        if keep:
            dst = "%s.%d" % (dst, n + 1)
        if os.path.exists(dst):
            os.unlink(dst)
        os.sync()
        t = time.monotonic()
        if kind == "cp":
            subprocess.run(["cp", "--sparse=always", src, dst], check=True)
        elif kind in ("cp+sync", "cp+sync cold"):
            if kind == "cp+sync cold":
                # The source's pages leave the page cache first, so cp reads
                # it from the device as a restore reads its chunk files.
                drop_cache(src)
                t = time.monotonic()
            subprocess.run(["sh", "-c", 'cp --sparse=always "$0" "$1" && sync "$1"', src, dst], check=True)
        elif kind == "datapath":
            r = json.loads(subprocess.run([datapath, src, dst], check=True, stdout=subprocess.PIPE).stdout)
            times[kind] = r["seconds"]
            continue
        times[kind] = time.monotonic() - t
        if keep:
            # Its pages leave the cache, as the jobs' written pages do: the
            # next copy or job gets recycled pages, not fresh ones (on a
            # virtual machine a page first touched is costly).
            drop_cache(dst)
    if os.path.exists(dst) and not keep:
        os.unlink(dst)
    return times


def find_number(doc, pattern):
    """First number under a key matching pattern, anywhere in a JSON document."""
    if isinstance(doc, dict):
        for k, v in doc.items():
            if re.search(pattern, k, re.I) and isinstance(v, (int, float)) and not isinstance(v, bool):
                return v
        for v in doc.values():
            n = find_number(v, pattern)
            if n is not None:
                return n
    elif isinstance(doc, list):
        for v in doc:
            n = find_number(v, pattern)
            if n is not None:
                return n
    return None


def fs_type(path):
    try:
        return subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True).stdout.strip()
    except OSError:
        return "?"


def shares_extents(path):
    """True when files under path can be cloned (cp --reflink=always)."""
    a, c = os.path.join(path, "reflink-a"), os.path.join(path, "reflink-b")
    try:
        with open(a, "wb") as f:
            f.write(b"x" * 4096)
        return subprocess.run(["cp", "--reflink=always", a, c], capture_output=True).returncode == 0
    finally:
        for f in (a, c):
            if os.path.exists(f):
                os.unlink(f)


def replication(b):
    """Bytes written and seconds of an incremental replication pass after 1 %
    of the data disk changed, against the first (full) pass; a string when it
    could not be measured."""
    args = ["replicate", "--project", PROJECT, "--instance", "data", "--to-project", PROJECT,
            "--to-zone", ZONE, "--standby", "data-standby"]
    state = os.path.join(b.root, "state")
    full = b.gce(*args, check=False, watch=state)
    if full.rc != 0:
        return "replicate failed: " + (full.err.strip().splitlines() or ["exit %d" % full.rc])[-1][:60]
    # 1 % of the disk changed, in 1 MiB pieces spread evenly over it.
    size = DATA_DISK_GB * GIB
    pieces = max(1, int(size * REPLICA_CHANGE) // MIB)
    for i in range(pieces):
        blob = base64.b64encode(os.urandom(MIB)).decode()
        b.emu.control("POST", "disks/write", {"project": PROJECT, "scope": ZONE, "disk": "data",
                                              "offset": i * (size // pieces) // MIB * MIB, "data": blob})
    incr = b.gce(*args, check=False, watch=state)
    if incr.rc != 0:
        return "second pass failed: " + (incr.err.strip().splitlines() or ["exit %d" % incr.rc])[-1][:60]
    fb, ib = find_number(full.json, r"^bytesWritten$"), find_number(incr.json, r"^bytesWritten$")
    return {"full_bytes": fb, "incr_bytes": ib, "full_s": full.wall, "incr_s": incr.wall,
            "incr_read": find_number(incr.json, r"^bytesRead$"), "data": find_number(incr.json, r"^dataBytes$"),
            "changed": pieces * MIB, "peak_local": max(full.peak_local, incr.peak_local),
            "rss": max(full.rss_mib, incr.rss_mib)}


def repository_rows(b, row):
    """Backups into a deduplicating repository (gcebackup init): the first
    backup and its restore against `cp --sparse=always` + sync of the same
    disk file in the same rounds (a fresh repository each round), then the
    bytes stored by a second backup of the unchanged disk and by one after
    1 % of the disk changed (in 1 MiB pieces spread over it)."""
    src = b.emu.disk_file("data")
    cps, colds, backups, restores = [], [], [], []
    # Each round writes fresh files and none is removed before the last round:
    # the 2,000 files of a repository removed just before the next backup
    # cost that backup up to a third of its time (discards, and inodes the
    # file system will not reuse for some seconds).
    rounds = []
    for i in range(REPO_ROUNDS):
        repo = os.path.join(b.root, "repo-%d" % i)
        rounds += [repo, os.path.join(b.root, "copy-%d.img.1" % i), os.path.join(b.root, "copy-%d.img.2" % i)]
        b.gce("init", repo)
        copies = time_copies(src, os.path.join(b.root, "copy-%d.img" % i), ("cp+sync cold", "cp+sync"), None,
                             keep=True)
        cps.append(copies["cp+sync"])
        colds.append(copies["cp+sync cold"])
        os.sync()
        backups.append(b.gce("backup", "--project", PROJECT, "--instance", "data", "--to", repo))
        os.sync()
        restores.append(b.gce("restore", "--from", repo, "--instance", "data", "--as", "data-repo-%d" % i,
                              "--zone", ZONE, "--machine-type", "auto"))
    cp = median(cps)
    first = sorted(backups, key=lambda r: r.json["copySeconds"])[len(backups) // 2]
    # Rates are MiB of data per second (holes are not counted), as in the data-path rows.
    data = first.json["manifest"]["disks"][0]["dataBytes"]
    rate_of = lambda s: "%.0f MiB/s" % (data / s / MIB)
    bc = first.json["copySeconds"]
    rc = median([r.json["copySeconds"] for r in restores])
    row("repository: cp --sparse=always + sync", "%.2f s" % cp, "same disk, same rounds", rate_of(cp))
    # The restore reads chunk files that the backup dropped from the page
    # cache, where the cp above finds the disk file cached (it has just read
    # it). The same cp reading its source from the device is the restore's
    # like-for-like reference; the ratio to the cached cp is printed beside.
    cold = median(colds)
    row("repository: cp + sync, source uncached", "%.2f s" % cold, "same disk, same rounds", rate_of(cold))
    row("repository: first backup, in the job", "%.2f s" % bc, rate_of(bc), "%.2f x cp" % (cp / bc),
        ">= 0.8 x cp", cp / bc >= 0.8)
    row("repository: restore, in the job", "%.2f s" % rc, rate_of(rc),
        "%.2f x uncached cp, %.2f x cp" % (cold / rc, cp / rc), ">= 0.8 x uncached cp", cold / rc >= 0.8)
    stored0 = backups[-1].json["repository"]["storedBytes"]
    second = b.gce("backup", "--project", PROJECT, "--instance", "data", "--to", repo)
    stored1 = second.json["repository"]["storedBytes"]
    row("repository: second backup, unchanged", "%.1f KiB stored" % (stored1 / 1024),
        "first: %.0f MiB" % (stored0 / MIB), "%.4f x" % (stored1 / stored0), "<= 0.01 x", stored1 <= stored0 / 100)
    disk_size = DATA_DISK_GB * GIB
    pieces = max(1, int(disk_size * REPLICA_CHANGE) // MIB)
    for i in range(pieces):
        blob = base64.b64encode(os.urandom(MIB)).decode()
        b.emu.control("POST", "disks/write", {"project": PROJECT, "scope": ZONE, "disk": "data",
                                              "offset": (i * (disk_size // pieces) + 4096) // 4096 * 4096,
                                              "data": blob})
    changed = pieces * MIB
    third = b.gce("backup", "--project", PROJECT, "--instance", "data", "--to", repo)
    stored2 = third.json["repository"]["storedBytes"]
    row("repository: backup after 1 % changed", "%.1f MiB stored" % (stored2 / MIB),
        "changed: %.0f MiB" % (changed / MIB), "%.2f x" % (stored2 / changed), "<= 2 x", stored2 <= 2 * changed)
    bucket_rows(b, row, cp, bc, rc, rate_of)
    for path in rounds:
        if os.path.isdir(path):
            shutil.rmtree(path, ignore_errors=True)
        elif os.path.exists(path):
            os.unlink(path)
    if VERBOSE:
        print("-- repository, seconds by round: cp+sync %s; uncached %s; backup %s; restore %s" % (
            " ".join("%.2f" % t for t in cps), " ".join("%.2f" % t for t in colds), " ".join("%.2f" % r.json["copySeconds"] for r in backups),
            " ".join("%.2f" % r.json["copySeconds"] for r in restores)), file=sys.stderr)


def bucket_rows(b, row, cp, local_backup, local_restore, rate_of):
    """The same first backup and restore with the repository on a Cloud
    Storage bucket of gce-emulator (gs://BUCKET/PREFIX: chunks uploaded side
    by side over HTTP to the emulator on this machine), beside the directory
    rows of the same run."""
    token = b.emu.control("POST", "tokens", {"lifetimeSeconds": 3600})["access_token"]
    req = urllib.request.Request(b.emu.url + "/storage/v1/b?project=" + PROJECT,
                                 data=json.dumps({"name": "bench-repo"}).encode(), method="POST",
                                 headers={"Content-Type": "application/json", "Authorization": "Bearer " + token})
    with urllib.request.urlopen(req, timeout=60) as r:
        r.read()
    url = "gs://bench-repo/perf"
    b.gce("init", url)
    os.sync()
    backup = b.gce("backup", "--project", PROJECT, "--instance", "data", "--to", url, check=False)
    restore = None
    if backup.rc == 0:
        restore = b.gce("restore", "--from", url, "--instance", "data", "--as", "data-bucket",
                        "--zone", ZONE, "--machine-type", "auto", check=False)
    if backup.rc != 0 or restore.rc != 0:
        failed = backup if backup.rc != 0 else restore
        row("repository on a bucket", "n/a (exit %d: %s)" % (failed.rc, failed.json.get("error", "")))
        return
    bb, br = backup.json["copySeconds"], restore.json["copySeconds"]
    row("repository on a bucket: first backup", "%.2f s" % bb, rate_of(bb),
        "%.2f x cp, %.2f x dir" % (cp / bb, local_backup / bb))
    row("repository on a bucket: restore", "%.2f s" % br, rate_of(br),
        "%.2f x cp, %.2f x dir" % (cp / br, local_restore / br))


def fleet(b, row):
    """The protection-policy row: the same 16 instances backed up by `run`
    one after another (concurrency 1), then 4 at a time, each into a store
    of its own."""
    b.emu.control("POST", "latency", FLEET_LATENCY)
    walls = {}
    for concurrency in (1, FLEET_CONCURRENCY):
        policy = os.path.join(b.root, "fleet-%d.ini" % concurrency)
        with open(policy, "w") as f:
            f.write("[policy]\nname = fleet-%d\nconcurrency = %d\n[select]\nprojects = %s\n"
                    "include-labels = fleet=bench\n[repository]\npath = %s\n" %
                    (concurrency, concurrency, PROJECT, os.path.join(b.root, "fleet-store-%d" % concurrency)))
        r = b.gce("run", policy, check=False)
        done = r.json.get("succeeded", 0)
        if r.rc != 0 or done != FLEET_INSTANCES:
            row("policy run, %d instances x 2 disks" % FLEET_INSTANCES,
                "n/a (concurrency %d: exit %d, %d backed up)" % (concurrency, r.rc, done))
            return
        walls[concurrency] = r.wall
    seq, par = walls[1], walls[FLEET_CONCURRENCY]
    row("policy run, %d instances x 2 disks, realistic" % FLEET_INSTANCES, "%.1f s at %d at once" %
        (par, FLEET_CONCURRENCY), "one at a time %.1f s" % seq, "%.2f x" % (par / seq), "<= 0.35 x",
        par / seq <= 0.35)


def emulator_rate(bindir):
    exe = os.path.join(bindir, "emulator_bench")
    if not os.access(exe, os.X_OK):
        return None
    out = subprocess.run([exe, "--benchmark_filter=ConcurrentGet", "--benchmark_format=json",
                          "--benchmark_min_time=1"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        runs = json.loads(out.stdout)["benchmarks"]
        return max(r.get("items_per_second", 0) for r in runs)
    except (ValueError, KeyError):
        return None


def main():
    argv = sys.argv[1:]
    groups = wanted_groups(argv)
    args = [a for i, a in enumerate(argv)
            if not a.startswith("-") and not (i > 0 and argv[i - 1] == "--only")]
    build = args[0] if args else "build"
    b = Bench(build)
    rows = []  # (measure, value, reference, ratio, target, met)

    def row(measure, value, reference="", ratio="", target="", met=None):
        rows.append((measure, value, reference, ratio, target,
                     "" if met is None else ("met" if met else "NOT met")))

    L = LATENCY_MS / 1000.0
    try:
        if "slow" in groups:
            # 1, 2, 4: the 8-disk backup and its restore with slow resources.
            lat = b.emu.latency(LATENCY_MS)
            bk, bstats = b.counted("backup", "--project", PROJECT, "--instance", "wide", "--to", b.store)
            j = bk.json
            window = j["windowSeconds"] - j["copySeconds"]
            limit = 2 * L + 2 + 0.5 * WIDE_DISKS
            row("backup window, %d disks, L = %g s" % (WIDE_DISKS, L), "%.2f s" % window,
                "ideal 2L = %.1f s" % (2 * L), "%.2f x" % (window / (2 * L)), "<= %.1f s" % limit, window <= limit)
            row("  MountVM / UnmountVM / copy", "%.2f / %.2f / %.2f s" %
                (j["mountSeconds"], j["unmountSeconds"], j["copySeconds"]))
            per_disk, polls, rate = call_economy(bstats, WIDE_DISKS, lat, "backup")
            row("backup: cloud calls per disk (no polls)", "%.1f" % per_disk, "", "", "<= 12", per_disk <= 12)
            row("backup: status polls", "%d" % polls, "", "%.2f /res/s" % rate, "<= 2 /res/s", rate <= 2)
            row("backup: gcebackup CPU (user+sys)", "%.2f s" % bk.cpu, "wall %.2f s" % bk.wall,
                "%.1f %%" % (100 * bk.cpu / bk.wall))
            row("backup: gcebackup peak RSS", "%.1f MiB" % bk.rss_mib, "", "", "<= 64 MiB", bk.rss_mib <= 64)

            rs, rstats = b.counted("restore", "--from", b.store, "--instance", "wide", "--as", "wide-copy",
                                   "--zone", ZONE, "--machine-type", "auto")
            rwin = rs.json["windowSeconds"] - rs.json["copySeconds"]
            rlimit = L + 2 + 0.5 * WIDE_DISKS
            row("restore window, %d disks, L = %g s" % (WIDE_DISKS, L), "%.2f s" % rwin,
                "ideal L = %.1f s" % L, "%.2f x" % (rwin / L), "<= %.1f s" % rlimit, rwin <= rlimit)
            per_disk, polls, rate = call_economy(rstats, WIDE_DISKS, lat, "restore")
            row("restore: cloud calls per disk (no polls)", "%.1f" % per_disk)
            row("restore: status polls", "%d" % polls, "", "%.2f /res/s" % rate, "<= 2 /res/s", rate <= 2)
            row("restore: gcebackup CPU (user+sys)", "%.2f s" % rs.cpu, "wall %.2f s" % rs.wall,
                "%.1f %%" % (100 * rs.cpu / rs.wall))

        if "realistic" in groups:
            # Realistic latencies: attach and detach 2 s, other operations 0.5 s,
            # snapshots and disks L; instances of 8 and 32 disks, copied
            # PARALLEL at a time. Ideal backup window: 2L + one attach + one
            # detach + the copy (its span here, which bounds the copy of the
            # largest disk from above); restore: L + attach + detach + copy.
            b.emu.latency(LATENCY_MS, **{k: v for k, v in REALISTIC.items() if k not in ("disk", "snapshot")})
            A, D = REALISTIC["attach"] / 1000.0, REALISTIC["attach"] / 1000.0
            for name, n in (("wide", WIDE_DISKS), ("wider", WIDER_DISKS)):
                store = os.path.join(b.root, "store-real")
                bk = b.gce("backup", "--project", PROJECT, "--instance", name, "--to", store)
                j = bk.json
                ideal = 2 * L + A + D + j["copySeconds"]
                row("backup window, %d disks, realistic" % n, "%.2f s" % j["windowSeconds"],
                    "ideal %.1f s" % ideal, "%.2f x" % (j["windowSeconds"] / ideal), "<= 1.3 x",
                    j["windowSeconds"] <= 1.3 * ideal)
                row("  MountVM / UnmountVM / copy", "%.2f / %.2f / %.2f s" %
                    (j["mountSeconds"], j["unmountSeconds"], j["copySeconds"]))
                row("  peak RSS (--parallel %d)" % PARALLEL, "%.1f MiB" % bk.rss_mib, "", "", "<= 64 MiB",
                    bk.rss_mib <= 64)
                rs = b.gce("restore", "--from", store, "--instance", name, "--as", name + "-real",
                           "--zone", ZONE, "--machine-type", "auto")
                rj = rs.json
                rideal = L + A + D + rj["copySeconds"]
                row("restore window, %d disks, realistic" % n, "%.2f s" % rj["windowSeconds"],
                    "ideal %.1f s" % rideal, "%.2f x" % (rj["windowSeconds"] / rideal))
                shutil.rmtree(store, ignore_errors=True)

        if "data" in groups:
            # 3: the data path on a 4 GiB disk holding 1 GiB, at the emulator's
            # default latency. The machine's own I/O noise is larger than the
            # differences looked for, so each round copies the disk every way in
            # turn (cp, cp + sync, gcebackup's copy alone, a backup job and a
            # restore job), every way meets the same state of the machine, and
            # the median of DATA_ROUNDS rounds counts for each (a single lucky
            # round of any way moves it little).
            b.emu.latency(50)
            src = b.emu.disk_file("data")
            copies, backups, restores = {}, [], []
            for i in range(DATA_ROUNDS):
                for kind, t in time_copies(src, os.path.join(b.root, "copy.img"), ("cp", "cp+sync", "datapath"),
                                           os.path.join(b.bindir, "datapath_bench")).items():
                    copies.setdefault(kind, []).append(t)
                os.sync()
                backups.append(b.gce("backup", "--project", PROJECT, "--instance", "data", "--to", b.store))
                os.sync()
                restores.append(b.gce("restore", "--from", b.store, "--instance", "data", "--as", "data-copy-%d" % i,
                                      "--zone", ZONE, "--machine-type", "auto"))
            typical = {k: median(v) for k, v in copies.items()}
            dk = sorted(backups, key=lambda r: r.json["copySeconds"])[len(backups) // 2]
            disk = dk.json["manifest"]["disks"][0]
            image = os.path.join(dk.json["backupDir"], disk["file"])
            cp, cps = typical["cp"], typical["cp+sync"]
            size, data = disk["sizeBytes"], disk["dataBytes"]
            # Rates are MiB of data per second (holes are not counted).
            rate_of = lambda s: "%.0f MiB/s" % (data / s / MIB)
            vs = lambda s: "%.2f / %.2f x" % (cp / s, cps / s)
            what = "%d GiB disk, %.0f GiB data" % (size // GIB, data / GIB)
            row("data path: cp --sparse=always", "%.2f s" % cp, what, rate_of(cp))
            row("data path: cp --sparse=always + sync", "%.2f s" % cps, what, rate_of(cps))
            if "datapath" in typical:
                dp = typical["datapath"]
                row("data path: gcebackup copy alone", "%.2f s" % dp, rate_of(dp), vs(dp) + " cp / cp+sync",
                    ">= 0.8 x cp+sync", cps / dp >= 0.8)
            bc = dk.json["copySeconds"]
            row("data path: backup, inside the job", "%.2f s" % bc, rate_of(bc), vs(bc) + " cp / cp+sync",
                ">= 0.8 x cp+sync", cps / bc >= 0.8)
            row("data path: image size / data", "%.0f MiB" % (allocated(image) / MIB), "", "%.3f" %
                (allocated(image) / data), "<= 1.1", allocated(image) / data <= 1.1)
            rss = max(r.rss_mib for r in backups)
            row("data path: backup peak RSS", "%.1f MiB" % rss, "", "", "<= 64 MiB", rss <= 64)
            rc = median([r.json["copySeconds"] for r in restores])
            row("data path: restore, copy inside the job", "%.2f s" % rc, rate_of(rc), vs(rc) + " cp / cp+sync")
            rw = median([r.wall for r in restores])
            row("data path: restore, whole job", "%.2f s" % rw, rate_of(rw), vs(rw) + " cp / cp+sync",
                ">= 0.8 x cp+sync", cps / rw >= 0.8)
            reads = max(r.json.get("bytesRead", 0) for r in restores) / data
            row("data path: restore, bytes read / data", "%.0f MiB" % (reads * data / MIB), "", "%.3f" % reads,
                "<= 1.0 (read once)", reads <= 1.0)
            rss = max(r.rss_mib for r in restores)
            row("data path: restore peak RSS", "%.1f MiB" % rss, "", "", "<= 64 MiB", rss <= 64)
            if VERBOSE:
                print("-- data path, seconds by round: %s; backup %s; restore copy %s; restore whole %s" % (
                    "; ".join("%s %s" % (k, " ".join("%.2f" % t for t in v)) for k, v in copies.items()),
                    " ".join("%.2f" % r.json["copySeconds"] for r in backups),
                    " ".join("%.2f" % r.json["copySeconds"] for r in restores),
                    " ".join("%.2f" % r.wall for r in restores)), file=sys.stderr)

        if "replication" in groups:
            # 5: incremental replication, at the emulator's default latencies.
            # Its snapshots and disks made from them are clones where the
            # bench's directory shares extents (TMPDIR on XFS or Btrfs), as
            # the cloud's are incremental; elsewhere each is a full copy.
            row("replication: emulator snapshots", "clones" if shares_extents(b.root) else "full copies",
                "file system %s" % fs_type(b.root))
            b.emu.latency(50)
            rep = replication(b)
            if isinstance(rep, str):
                row("incremental replication (1 % changed)", "n/a (%s)" % rep)
            else:
                fb, ib = rep["full_bytes"], rep["incr_bytes"]
                row("replication: incremental pass time", "%.2f s" % rep["incr_s"], "full pass %.2f s" % rep["full_s"],
                    "%.2f x" % (rep["incr_s"] / rep["full_s"]), "<= 0.3 x", rep["incr_s"] <= 0.3 * rep["full_s"])
                if ib is not None:
                    row("replication: bytes written / changed", "%.1f MiB" % (ib / MIB),
                        "changed %.0f MiB, full %.0f MiB" % (rep["changed"] / MIB, (fb or 0) / MIB),
                        "%.3f" % (ib / rep["changed"]), "<= 1.1", ib <= 1.1 * rep["changed"])
                if rep["incr_read"] and rep["data"]:
                    row("replication: incremental bytes read / data", "%.0f MiB" % (rep["incr_read"] / MIB),
                        "data %.0f MiB" % (rep["data"] / MIB), "%.2f" % (rep["incr_read"] / rep["data"]))
                row("replication: peak local disk use", "%.1f MiB" % (rep["peak_local"] / MIB), "", "",
                    "<= 64 MiB", rep["peak_local"] <= 64 * MIB)
                row("replication: peak RSS", "%.1f MiB" % rep["rss"], "", "", "<= 64 MiB", rep["rss"] <= 64)

        if "repository" in groups:
            repository_rows(b, row)
        if "fleet" in groups:
            fleet(b, row)

        if groups == set(GROUPS):
            gets = emulator_rate(b.bindir)
            if gets:
                row("gce-emulator GETs, 8 clients", "%.0f /s" % gets)
    finally:
        b.close()

    head = ("measure", "value", "reference", "ratio", "target", "")
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(6)]
    print("gcebackup performance against gce-emulator (polling 0; %d CPUs)" % os.cpu_count())
    for r in [head] + rows:
        print("  ".join(str(c).ljust(widths[i]) for i, c in enumerate(r)).rstrip())
    # Unmet targets are figures to read, not a failure of the run.
    return 0


if __name__ == "__main__":
    sys.exit(main())
