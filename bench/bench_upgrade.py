"""Upgrades through dfota-sim on an NR eMMC, an A/B eMMC and an NR NAND module:
a 64 MiB image diff and a 60 MiB block diff, in a package made by dfota-mkpkg.
Prints for each the wall time and its ratio to the floor measured in the same
run (decompressing the patches' bzip2 streams, reading the old data once,
writing the new data once, one fsync), the agent's peak resident memory and
the largest size /tmp reached (sampled every 5 ms).
Usage: bench_upgrade.py DFOTA_SIM SCRATCH_DIR [KIND...] (dfota-mkpkg lies beside
DFOTA_SIM; KIND: nr-emmc, ab-emmc, nr-nand)"""

import bz2
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
import simdev  # noqa: E402
from firmware import image, revise  # noqa: E402

MIB = 1024 * 1024
KINDS = {"nr-emmc": ("emmc", "nr"), "ab-emmc": ("emmc", "ab"), "nr-nand": ("nand", "nr")}


def firmware_toml(storage, slots):
    names = lambda n: 'a = "%s_a"\nb = "%s_b"\n' % (n, n) if slots == "ab" else 'nr = "%s"\n' % n
    return ('[device]\nstorage = "%s"\nslots = "%s"\n' % (storage, slots) +
            '\n[[partition]]\nname = "modem"\nimage = "NON-HLOS.bin"\n%supdate = "diff"\n' % names("modem") +
            '\n[[partition]]\nname = "system"\nimage = "system.img"\n%supdate = "block"\n' % names("system"))
IMAGES = {"modem": "NON-HLOS.bin", "system": "system.img"}


def write_build(top, images, desc=None):
    os.makedirs(os.path.join(top, "images"))
    for name, data in images.items():
        with open(os.path.join(top, "images", IMAGES[name]), "wb") as f:
            f.write(data)
    if desc:
        with open(os.path.join(top, "firmware.toml"), "w") as f:
            f.write(desc)


def patch_streams(data):
    ctrl, diff = (struct.unpack("<q", data[o:o + 8])[0] for o in (8, 16))
    return data[32:32 + ctrl], data[32 + ctrl:32 + ctrl + diff], data[32 + ctrl + diff:]


def floor(dev, package, old, new):
    t0 = time.monotonic()
    for at, _, files in os.walk(package):
        for name in files:
            with open(os.path.join(at, name), "rb") as f:
                data = f.read()
            if data[:8] == b"BSDIFF40":
                for s in patch_streams(data):
                    bz2.decompress(s)
    for part, size in (("modem", len(old["modem"])), ("system", len(old["system"]))):
        with open(dev.path(dev.partitions[part + ("_a" if part + "_a" in dev.partitions else "")]), "rb") as f:
            f.read(size)
    scratch = dev.path("/data/floor.bin")
    with open(scratch, "wb") as f:
        f.write(new["modem"])
        f.write(new["system"])
        f.flush()
        os.fsync(f.fileno())
    t = time.monotonic() - t0
    os.unlink(scratch)
    return t


def make_package(mkpkg, builds, old, new, toml):
    """The package in builds/package, from builds/old and builds/new."""
    write_build(os.path.join(builds, "old"), old)
    write_build(os.path.join(builds, "new"), new, toml)
    package = os.path.join(builds, "package")
    proc = subprocess.run([mkpkg, os.path.join(builds, "old"), os.path.join(builds, "new"), package],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace")
    if proc.returncode != 0:
        print("dfota-mkpkg failed (exit %d):\n%s" % (proc.returncode, proc.stderr.rstrip()))
        return None
    for line in proc.stdout.splitlines():
        print("  " + line)
    return package


def tmp_size(top):
    total = 0
    for at, _, files in os.walk(top):
        for name in files:
            try:
                total += os.lstat(os.path.join(at, name)).st_blocks * 512
            except OSError:
                pass  # removed while counted
    return total


def run_kind(kind, sim, mkpkg, work, old, new):
    storage, slots = KINDS[kind]
    builds = tempfile.mkdtemp(prefix="bench-upgrade-", dir=work)
    dev = simdev.Device(kind=storage, slot="_a" if slots == "ab" else None)
    try:
        print("%s: making the package ..." % kind, flush=True)
        package = make_package(mkpkg, builds, old, new, firmware_toml(storage, slots))
        if package is None:
            return False
        for name, size in (("modem", 66 * MIB), ("system", 62 * MIB)):
            for p in [name + "_a", name + "_b"] if slots == "ab" else [name]:
                dev.add_partition(p, size, b"" if p.endswith("_b") else old[name])
        shutil.copytree(package, dev.path("/data/delta"), symlinks=True)
        base = floor(dev, package, old, new)
        env = dict(os.environ, DFOTA_SYSROOT=dev.root)
        peak_tmp, done = [0], threading.Event()

        def watch():
            while not done.wait(0.005):
                peak_tmp[0] = max(peak_tmp[0], tmp_size(dev.path("/tmp")))
        watcher = threading.Thread(target=watch)
        watcher.start()
        t0 = time.monotonic()
        # The generator ran as a child too: measure the agent alone.
        rss = os.path.join(work, "agent-rss")
        proc = subprocess.run(["/usr/bin/time", "-o", rss, "-f", "%M", sim], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.monotonic() - t0
        done.set()
        watcher.join()
        with open(rss) as f:
            peak = int(f.read().split()[-1]) / 1024
        suffix = "_b" if slots == "ab" else ""
        ok = proc.returncode == 0 and all(dev.partition_stream(n + suffix, len(new[n])) == new[n] for n in new)
        if not ok:
            print("%s: upgrade failed (exit %d)" % (kind, proc.returncode))
            return False
        largest = max(len(old["modem"]), len(old["system"])) / MIB
        print("%s: agent run    %7.2f s   (exit 0, every partition new)" % (kind, wall))
        print("%s: floor        %7.2f s   (decompress streams, read old once, write new once, fsync)" % (kind, base))
        print("%s: ratio        %7.2f     (target at most 1.4 on nr-emmc)" % (kind, wall / base))
        print("%s: peak memory  %7.1f MiB (target at most %.0f MiB: the largest old image plus 16 MiB)"
              % (kind, peak, largest + 16))
        print("%s: peak /tmp    %7.1f MiB (target at most %.0f MiB: one image)" % (kind, peak_tmp[0] / MIB, largest))
        return True
    finally:
        dev.close()
        shutil.rmtree(builds, ignore_errors=True)


def main():
    sim, work, kinds = sys.argv[1], sys.argv[2], sys.argv[3:] or list(KINDS)
    mkpkg = os.path.join(os.path.dirname(os.path.abspath(sim)), "dfota-mkpkg")
    if not os.access(mkpkg, os.X_OK):
        print("%s is missing: build the dfota-mkpkg target beside dfota-sim" % mkpkg)
        return 1
    simdev.SIM, simdev.WORK = sim, work
    print("building 64 MiB and 60 MiB images ...", flush=True)
    old = {"modem": image(64 * MIB, 21), "system": image(60 * MIB, 22)}
    new = {"modem": revise(old["modem"], 31, edits=400), "system": revise(old["system"], 32, edits=400)}
    os.makedirs(work, exist_ok=True)
    return 0 if all([run_kind(k, sim, mkpkg, work, old, new) for k in kinds]) else 1


if __name__ == "__main__":
    sys.exit(main())
