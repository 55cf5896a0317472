"""Block diffs: a 48 MiB partition brought to its new image 20 MiB at a time."""

import random
import unittest

from firmware import BLOCK, Package, md5, revise
from simdev import Device

MIB = 1 << 20
SIZE = 48 * MIB  # two whole blocks and a partial one
MAP = ["system system.img system system_a system_b"]
LEFTOVERS = ("/data/block_backup", "/tmp/tmp_file_pt", "/data/upgrade/install/savefile")
# Random bytes keep the suffix sort of the generator fast.
OLD = random.Random(1).randbytes(SIZE)
NEW = revise(OLD, 3)
OTHER = random.Random(2).randbytes(SIZE)  # neither old nor new


def package(old=OLD):
    p = Package()
    p.add_block_diff("system", "system.img", old, NEW)
    return p


def device(kind, slot, parts, pkg):
    d = Device(kind=kind, slot=slot)
    for name, data in parts.items():
        d.add_partition(name, SIZE, data)
    pkg.install(d, "/data/delta", MAP)
    return d


class BlockDiffTest(unittest.TestCase):
    def test_block_diffs(self):
        full = package()
        # A/B: a block beyond the old image is carried whole, the old digest listed that of no bytes.
        grown = package(OLD[:2 * BLOCK])
        half_new = OLD[:BLOCK] + NEW[BLOCK:2 * BLOCK] + OLD[2 * BLOCK:]
        rows = [
            # (name, kind, slot, partitions, package,
            #  a piece of a message logged, partitions afterwards): each run succeeds
            ("nr old blocks", "emmc", None, {"system": OLD}, full, "is old", {"system": NEW}),
            ("nr new block skipped", "emmc", None, {"system": half_new}, full,
             "md5:[%s]" % md5(NEW[BLOCK:2 * BLOCK]), {"system": NEW}),
            ("ab old small new big", "emmc", "_a", {"system_a": OLD[:2 * BLOCK], "system_b": OTHER},
             grown, "old small, new big", {"system_b": NEW}),
            ("ab nand", "nand", "_a", {"system_a": OLD, "system_b": OTHER}, full,
             "nand_write_file_from_offset_to_partition Entry, partition: system_b", {"system_b": NEW}),
        ]
        for name, kind, slot, parts, pkg, message, want in rows:
            with self.subTest(name), device(kind, slot, parts, pkg) as d:
                r = d.run()
                self.assertEqual(r.rc, 0, "\n".join(r.log[-15:]))
                self.assertTrue(any(message in m for m in r.log), message)
                for part, data in want.items():
                    self.assertTrue(d.partition_stream(part, SIZE) == data, part)
                for path in LEFTOVERS:
                    self.assertFalse(d.exists(path), path)


if __name__ == "__main__":
    unittest.main()
