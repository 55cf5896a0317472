"""Power cuts through one run that changes every kind of thing at once, on
each kind of system: the next boot, or the one after a second cut, must end
on the new firmware."""

import copy
import os
import random
import shutil
import sys
import unittest
from concurrent.futures import ThreadPoolExecutor

from firmware import Package, image, md5, revise, sign
from test_fsupdate import KIB, device, finished

OLD = {"modem": image(24 * KIB, 41), "boot": image(40 * KIB, 42), "system": random.Random(43).randbytes(100 * KIB)}
NEW = {"modem": image(32 * KIB, 44), "boot": revise(OLD["boot"], 45, size=44 * KIB),
       "system": revise(OLD["system"], 46)}
PKG = Package()
PKG.add_full("modem", "modem.img", NEW["modem"])
PKG.add_image_diff("boot", "boot.img", OLD["boot"], NEW["boot"])
PKG.add_block_diff("system", "system.img", OLD["system"], NEW["system"])  # one block, shorter than 20 MiB
KINDS = {"A/B eMMC": ("emmc", "_a"), "NR eMMC": ("emmc", None), "NR NAND": ("nand", None)}  # flash, slot
# Cuts before every THIN-th operation; a second cut after every SECOND-th of those.
THIN, SECOND = (8, 2) if os.environ.get("DFOTA_EMULATOR") else (1, 4)


def make(flash, slot):
    d = device(kind=flash, slot=slot)
    for name, old in OLD.items():  # four erase blocks; on NAND the block diff writes around a bad one
        for p in [name + "_a", name + "_b"] if slot else [name]:
            d.add_partition(p, 256 * KIB, old, 64 * KIB, bad=(1,) * (flash == "nand" and name == "system"))
    # NR eMMC takes image diffs to the map's B name: here the NR name.
    PKG.install(d, "/data/delta", ["%s %s.img %s %s_a %s" % (n, n, n, n, n + "_b" * bool(slot)) for n in OLD])
    if flash == "emmc" and not slot:  # verified by every run, also one after the package was removed
        sign(d, "/data/delta")
    return d


class PowerCutTest(unittest.TestCase):
    def cut(self, d, n):
        """A power cut before operation n, then the next power-on: /tmp empty,
        the slot last set active running."""
        self.assertEqual(d.run(cut_at=n).rc, 137)
        shutil.rmtree(d.path("/tmp"))
        os.mkdir(d.path("/tmp"))
        if d.exists("/etc/active_slot"):
            d.write("/etc/slot", "_" + "ab"[int(d.read("/etc/active_slot"))])

    def finish(self, d, slot):
        """A run to the end on the new firmware, with nothing left behind and
        the next boot arranged: the slot switched, or the boot mode reset."""
        r, tail = d.run(), ["abctl --set_active 1", "reboot "] if slot else ["marvane_dev_info write boot_mode 0"]
        self.assertEqual(r.rc, 0, "\n".join(r.log[-15:]))
        self.assertEqual(({p: md5(d.partition_stream(p, None)) for p in d.partitions}, d.tool_calls()[-len(tail):]),
                         (self.want, tail))
        self.assertTrue(finished(d) and not d.exists("/data/block_backup"), "root file system or a save file")
        return r

    def runs_after(self, kind, n, second):
        """The runs after a cut before operation n; with second, on a copy, a
        second cut at a seeded random point of the next run and a third run.
        Returns the second cuts tried and the failures."""
        (flash, slot), at, tried = KINDS[kind], "%s, cut %d (%s)" % (kind, n, self.trace[n - 1]), 0
        with make(flash, slot) as d:
            try:
                self.cut(d, n)
                if second:  # a copy of the device, removed with it
                    c = copy.copy(d)
                    c.base, c.root = d.base + "/copy", d.base + "/copy/root"
                    shutil.copytree(d.root, c.root, symlinks=True)
                r = self.finish(d, slot)
                if second:
                    m, tried = random.Random(at).randint(1, len(r.trace)), 1
                    at += ", second cut %d (%s)" % (m, r.trace[m - 1])
                    self.cut(c, m)
                    self.finish(c, slot)
            except AssertionError as e:
                return tried, ["%s: %s" % (at, e)]
        return tried, []

    def test_power_cut_anywhere_is_finished_by_the_next_runs(self):
        for kind, (flash, slot) in KINDS.items():
            with make(flash, slot) as d:  # the run without a cut: its operations, the partitions it leaves
                self.trace, self.want = d.run().trace, {p: md5(d.partition_stream(p, None)) for p in d.partitions}
                self.assertTrue(all(d.partition_stream(p, None).startswith(
                    (OLD if p.endswith("_a") else NEW)[p.removesuffix("_a").removesuffix("_b")]) for p in d.partitions))
            n, k = len(self.trace), min(len(self.trace), 240)  # a longer run is cut at an even spread of 240
            cuts = [1 + i * n // k for i in range(k)][::THIN]
            with ThreadPoolExecutor(2) as pool:  # a device per core
                results = list(pool.map(lambda i: self.runs_after(kind, cuts[i], i % SECOND == 0), range(len(cuts))))
            failed, seconds = [f for _, fs in results for f in fs], sum(t for t, _ in results)
            print("power cuts, %s: %d operations in the run, %d cut points tried%s, %d second cuts tried, "
                  "%d of %d finished" % (kind, n, len(cuts), " (every %dth: emulated)" % THIN * (THIN > 1), seconds,
                                         len(cuts) + seconds - len(failed), len(cuts) + seconds), file=sys.stderr)
            with self.subTest(kind):
                self.assertEqual(len(failed), 0, "\n\n".join(failed))


if __name__ == "__main__":
    unittest.main()
