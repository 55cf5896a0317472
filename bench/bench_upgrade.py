"""An NR eMMC upgrade through dfota-sim: a 64 MiB image diff and a 60 MiB block
diff, in a package made by dfota-mkpkg. Prints wall time, peak memory and the
ratio to the floor measured in the same run: decompressing the patches' bzip2
streams, reading the old data once, writing the new data once, one fsync.
Usage: bench_upgrade.py DFOTA_SIM SCRATCH_DIR (dfota-mkpkg lies beside DFOTA_SIM)"""

import bz2
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
import simdev  # noqa: E402
from firmware import image, revise  # noqa: E402

MIB = 1024 * 1024
FIRMWARE_TOML = """[device]
storage = "emmc"
slots = "nr"

[[partition]]
name = "modem"
image = "NON-HLOS.bin"
nr = "modem"
update = "diff"

[[partition]]
name = "system"
image = "system.img"
nr = "system"
update = "block"
"""
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
        with open(dev.path(dev.partitions[part]), "rb") as f:
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


def make_package(mkpkg, builds, old, new):
    """The package in builds/package, from builds/old and builds/new."""
    write_build(os.path.join(builds, "old"), old)
    write_build(os.path.join(builds, "new"), new, FIRMWARE_TOML)
    package = os.path.join(builds, "package")
    proc = subprocess.run([mkpkg, os.path.join(builds, "old"), os.path.join(builds, "new"), package],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace")
    if proc.returncode != 0:
        print("dfota-mkpkg failed (exit %d):\n%s" % (proc.returncode, proc.stderr.rstrip()))
        return None
    for line in proc.stdout.splitlines():
        print("  " + line)
    return package


def main():
    sim, work = sys.argv[1], sys.argv[2]
    mkpkg = os.path.join(os.path.dirname(os.path.abspath(sim)), "dfota-mkpkg")
    if not os.access(mkpkg, os.X_OK):
        print("%s is missing: build the dfota-mkpkg target beside dfota-sim" % mkpkg)
        return 1
    simdev.SIM, simdev.WORK = sim, work
    print("building 64 MiB and 60 MiB images and their package (dfota-mkpkg) ...", flush=True)
    old = {"modem": image(64 * MIB, 21), "system": image(60 * MIB, 22)}
    new = {"modem": revise(old["modem"], 31, edits=400), "system": revise(old["system"], 32, edits=400)}
    os.makedirs(work, exist_ok=True)
    builds = tempfile.mkdtemp(prefix="bench-upgrade-", dir=work)
    dev = simdev.Device(kind="emmc", slot=None)
    try:
        package = make_package(mkpkg, builds, old, new)
        if package is None:
            return 1
        dev.add_partition("modem", 66 * MIB, old["modem"])
        dev.add_partition("system", 62 * MIB, old["system"])
        shutil.copytree(package, dev.path("/data/delta"), symlinks=True)
        base = floor(dev, package, old, new)
        env = dict(os.environ, DFOTA_SYSROOT=dev.root)
        t0 = time.monotonic()
        # The generator ran as a child too: measure the agent alone.
        rss = os.path.join(work, "agent-rss")
        proc = subprocess.run(["/usr/bin/time", "-o", rss, "-f", "%M", sim], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.monotonic() - t0
        with open(rss) as f:
            peak = int(f.read().split()[-1]) / 1024
        ok = proc.returncode == 0 and dev.partition_stream("modem", len(new["modem"])) == new["modem"] and \
            dev.partition_stream("system", len(new["system"])) == new["system"]
        if not ok:
            print("upgrade failed (exit %d)" % proc.returncode)
            return 1
        largest = max(len(new["modem"]), len(old["modem"])) / MIB
        print("agent run        %7.2f s   (exit 0, both partitions new)" % wall)
        print("floor            %7.2f s   (decompress streams, read old once, write new once, fsync)" % base)
        print("ratio            %7.2f     (target at most 2.0)" % (wall / base))
        print("peak memory      %7.1f MiB (target at most %.0f MiB: twice the largest image plus 16 MiB)"
              % (peak, 2 * largest + 16))
    finally:
        dev.close()
        shutil.rmtree(builds, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
