"""An NR eMMC upgrade through dfota-sim: a 64 MiB image diff and a 60 MiB block
diff. Prints wall time, peak memory and the ratio to the floor measured in the
same run: decompressing the patches' bzip2 streams, reading the old data
once, writing the new data once, one fsync.
Usage: bench_upgrade.py DFOTA_SIM SCRATCH_DIR"""

import bz2
import os
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
import simdev  # noqa: E402
from firmware import Package, image, revise  # noqa: E402

MIB = 1024 * 1024
MAP = ["modem NON-HLOS.bin modem modem_a modem", "system system.img system system_a system_b"]


def patch_streams(data):
    ctrl, diff = (struct.unpack("<q", data[o:o + 8])[0] for o in (8, 16))
    return data[32:32 + ctrl], data[32 + ctrl:32 + ctrl + diff], data[32 + ctrl + diff:]


def floor(dev, pkg, old, new):
    t0 = time.monotonic()
    for name, data in pkg.files.items():
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


def main():
    sim, work = sys.argv[1], sys.argv[2]
    simdev.SIM, simdev.WORK = sim, work
    print("building 64 MiB and 60 MiB images and their patches (bsdiff) ...", flush=True)
    old = {"modem": image(64 * MIB, 21), "system": image(60 * MIB, 22)}
    new = {"modem": revise(old["modem"], 31, edits=400), "system": revise(old["system"], 32, edits=400)}
    pkg = Package()
    pkg.add_image_diff("modem", "NON-HLOS.bin", old["modem"], new["modem"])
    pkg.add_block_diff("system", "system.img", old["system"], new["system"])

    dev = simdev.Device(kind="emmc", slot=None)
    try:
        dev.add_partition("modem", 66 * MIB, old["modem"])
        dev.add_partition("system", 62 * MIB, old["system"])
        pkg.install(dev, "/data/delta", MAP)
        base = floor(dev, pkg, old, new)
        env = dict(os.environ, DFOTA_SYSROOT=dev.root)
        t0 = time.monotonic()
        # bsdiff ran as a child too: measure the agent alone.
        rss = os.path.join(work, "agent-rss")
        proc = subprocess.run(["/usr/bin/time", "-o", rss, "-f", "%M", sim], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.monotonic() - t0
        with open(rss) as f:
            peak = int(f.read().split()[-1]) / 1024
        ok = proc.returncode == 0 and dev.partition("modem", len(new["modem"])) == new["modem"] and \
            dev.partition("system", len(new["system"])) == new["system"]
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
