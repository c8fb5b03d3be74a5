#!/usr/bin/env python3
"""Backup throughput of gcebackup against `cp --sparse=always`.

Starts gce-emulator with one instance whose 4 GiB disk holds 1 GiB of data,
backs it up with gcebackup, copies the same disk file with
`cp --sparse=always` in the same run, and prints one table: rates over the
disk size, the ratio to cp, the image's size on disk against the data, and
gcebackup's peak memory.

Usage: backup_throughput.py [BUILD_DIR]   (default: build)
Targets: rate >= 0.8 x cp, image <= 1.1 x data, peak RSS < 64 MiB.
"""
import json
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

GIB = 1 << 30
MIB = 1 << 20
DISK_GB = 4
DATA_CHUNKS = 8  # 8 runs of 128 MiB spread over the disk: 1 GiB of data


def seed():
    chunk = (1 * GIB // MIB) // DATA_CHUNKS
    stride = (DISK_GB * GIB // MIB) // DATA_CHUNKS
    chunks = [{"offsetMiB": i * stride, "lengthMiB": chunk} for i in range(DATA_CHUNKS)]
    return {
        "projects": [{"id": "bench-project", "number": "100000000001", "name": "Bench"}],
        "regions": [{"name": "us-central1", "zones": ["us-central1-a"]}],
        "machineTypes": [{"name": "e2-standard-4", "guestCpus": 4, "memoryMb": 16384,
                          "isSharedCpu": False, "maximumPersistentDisks": 128}],
        "serviceAccounts": [{"email": "bench-sa@bench-project.iam.gserviceaccount.com",
                             "project": "bench-project", "keyFile": "bench-sa"}],
        "instances": [
            {"project": "bench-project", "zone": "us-central1-a", "name": "bench-proxy",
             "machineType": "e2-standard-4", "proxy": True,
             "disks": [{"name": "bench-proxy", "sizeGb": 10, "boot": True}]},
            {"project": "bench-project", "zone": "us-central1-a", "name": "bench-1",
             "machineType": "e2-standard-4",
             "disks": [{"name": "bench-1", "sizeGb": DISK_GB, "boot": True,
                        "data": {"seed": 11, "chunks": chunks}}]},
        ],
    }


def start_emulator(exe, state):
    log = open(os.path.join(state, "emulator.log"), "wb")
    proc = subprocess.Popen([exe, "--listen", "127.0.0.1:0", "--state", state, "--seed",
                             os.path.join(state, "seed.json")],
                            stdout=subprocess.PIPE, stderr=log)
    line = proc.stdout.readline().decode()
    m = re.search(r"listening on (http://127\.0\.0\.1:\d+)", line)
    if not m:
        proc.kill()
        raise SystemExit("gce-emulator did not start: " + line)
    return proc, m.group(1)


def allocated(path):
    return os.stat(path).st_blocks * 512


def timed(cmd):
    t = time.monotonic()
    subprocess.run(cmd, check=True)
    return time.monotonic() - t


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    bindir = os.path.abspath(os.path.join(build, "bin"))
    gcebackup = os.path.join(bindir, "gcebackup")
    emulator = os.path.join(bindir, "gce-emulator")
    for exe in (gcebackup, emulator):
        if not os.access(exe, os.X_OK):
            raise SystemExit("missing " + exe + " (build first)")

    root = tempfile.mkdtemp(prefix="gcebackup-bench-")
    proc = None
    try:
        state = os.path.join(root, "emulator")
        os.makedirs(state)
        with open(os.path.join(state, "seed.json"), "w") as f:
            json.dump(seed(), f)
        proc, url = start_emulator(emulator, state)
        settings = os.path.join(root, "settings.ini")
        with open(settings, "w") as f:
            f.write("[VirtualServer]\nnGoogleOperationPollingInMins=0\n")

        # gcebackup, measured as a child so that its peak RSS is known.
        store = os.path.join(root, "store")
        before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        t = time.monotonic()
        out = subprocess.run(
            [gcebackup, "--endpoint", url, "--credential", os.path.join(state, "credential.txt"),
             "--device-dir", os.path.join(state, "by-id"), "--state-dir", os.path.join(root, "state"),
             "--settings", settings, "--json", "-q",
             "backup", "--project", "bench-project", "--instance", "bench-1", "--to", store],
            check=True, stdout=subprocess.PIPE).stdout
        job_seconds = time.monotonic() - t
        rss_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        result = json.loads(out)
        disk = result["manifest"]["disks"][0]
        image = os.path.join(result["backupDir"], disk["file"])
        copy_seconds = result["copySeconds"]

        # The same disk file through cp and through the data path, interleaved,
        # best of three each; the device is flushed before every run.
        resources = json.loads(subprocess.run(["curl", "-s", url + "/emulator/v1/resources"],
                                              check=True, stdout=subprocess.PIPE).stdout)
        src = next(d["file"] for d in resources["projects"]["bench-project"]["disks"]
                   if d["name"] == "bench-1")
        dst = os.path.join(root, "copy.img")
        datapath = os.path.join(bindir, "datapath_bench")
        cp_times, cp_sync_times, dp_times, dp_rss = [], [], [], []
        for _ in range(3):
            for kind in ("cp", "cp+sync", "datapath"):
                if os.path.exists(dst):
                    os.unlink(dst)
                os.sync()
                if kind == "cp":
                    cp_times.append(timed(["cp", "--sparse=always", src, dst]))
                elif kind == "cp+sync":
                    cp_sync_times.append(
                        timed(["sh", "-c", 'cp --sparse=always "$0" "$1" && sync "$1"', src, dst]))
                elif os.access(datapath, os.X_OK):
                    r = json.loads(subprocess.run([datapath, src, dst], check=True,
                                                  stdout=subprocess.PIPE).stdout)
                    dp_times.append(r["seconds"])
                    dp_rss.append(r["maxRssKiB"])
        cp_best, cp_sync_best = min(cp_times), min(cp_sync_times)
        dp_best = min(dp_times) if dp_times else copy_seconds

        size = disk["sizeBytes"]
        data = disk["dataBytes"]
        rate = lambda s: size / s / MIB
        rows = [
            ("cp --sparse=always", cp_best, rate(cp_best), cp_sync_best / cp_best, allocated(src)),
            ("cp --sparse=always + sync", cp_sync_best, rate(cp_sync_best), 1.0, allocated(src)),
            ("gcebackup data path (synced)", dp_best, rate(dp_best), cp_sync_best / dp_best, allocated(image)),
            ("  same, inside the backup job", copy_seconds, rate(copy_seconds), cp_sync_best / copy_seconds,
             allocated(image)),
            ("gcebackup whole backup job", job_seconds, rate(job_seconds), cp_sync_best / job_seconds,
             allocated(image)),
        ]
        print("gcebackup backup throughput: %d GiB disk holding %.2f GiB of data" % (size // GIB, data / GIB))
        print("%-30s %9s %11s %10s %14s" % ("copy", "seconds", "MiB/s", "x cp+sync", "on disk"))
        # Rates are over the disk size (holes included); "x cp+sync" is the
        # speed relative to cp followed by a sync of the copy.
        for name, secs, r, ratio, alloc in rows:
            print("%-30s %9.2f %11.0f %10.2f %10.0f MiB" % (name, secs, r, ratio, alloc / MIB))
        ratio_plain = cp_best / dp_best
        image_ratio = allocated(image) / data
        rss_mib = max(rss_kib, before) / 1024
        print("data path vs cp without sync: %.2f x; image/data: %.3f; gcebackup peak RSS: %.1f MiB" %
              (ratio_plain, image_ratio, rss_mib))
        ok = cp_sync_best / dp_best >= 0.8 and image_ratio <= 1.1 and rss_mib < 64
        print("targets (>= 0.8 x cp, image <= 1.1 x data, RSS < 64 MiB): %s" % ("met" if ok else "NOT met"))
        return 0
    finally:
        if proc:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
