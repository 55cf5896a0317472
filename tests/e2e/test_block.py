"""Block diffs: a 48 MiB partition brought to its new image 20 MiB at a time."""

import random
import unittest

from firmware import BLOCK, Package, md5, revise
from simdev import Device

MIB = 1 << 20
SIZE = 48 * MIB  # two whole blocks and a partial one
MAP = ["system system.img system system_a system_b"]
LEFTOVERS = ("/data/block_backup", "/tmp/tmp_file_pt", "/data/upgrade/install/savefile")
# Random bytes are what bsdiff sorts fastest; repeating patterns take it
# several times as long.
OLD = random.Random(1).randbytes(SIZE)
NEW = revise(OLD, 3)
OTHER = random.Random(2).randbytes(SIZE)  # neither old nor new


def package(old=OLD, edit=lambda lines: lines):
    p = Package()
    p.add_block_diff("system", "system.img", old, NEW)
    p.block = edit(p.block)
    return p


def device(kind, slot, parts, pkg, files):
    d = Device(kind=kind, slot=slot)
    for name, data in parts.items():
        d.add_partition(name, SIZE, data)
    for path, data in files.items():
        d.write(path, data)
    pkg.install(d, "/data/delta", MAP)
    return d


class BlockDiffTest(unittest.TestCase):
    def test_block_diffs(self):
        full = package()
        malformed = package(edit=lambda b: [b[0], "patchblock,system,%d,abc,%s,1,%s" % (BLOCK, md5(b""), md5(b""))])
        # A block beyond the old image is carried whole, whatever old digest is listed: even that of no bytes.
        grown = package(OLD[:2 * BLOCK], lambda b: b[:2] + [b[2].replace("0" * 32, md5(b""))])
        half_new = OLD[:BLOCK] + NEW[BLOCK:2 * BLOCK] + OLD[2 * BLOCK:]
        rows = [
            # (name, kind, slot, partitions, files on the device, package,
            #  exit status, a piece of a message logged, partitions afterwards)
            ("nr old blocks", "emmc", None, {"system": OLD}, {}, full, 0, "is old", {"system": NEW}),
            ("nr new block skipped", "emmc", None, {"system": half_new}, {}, full,
             0, "md5:[%s]" % md5(NEW[BLOCK:2 * BLOCK]), {"system": NEW}),
            ("ab old blocks", "emmc", "_a", {"system_a": OLD, "system_b": OTHER}, {}, full,
             0, "system_a is old ", {"system_a": OLD, "system_b": NEW}),
            ("ab old small new big", "emmc", "_a", {"system_a": OLD[:2 * BLOCK], "system_b": OTHER}, {},
             grown, 0, "old small, new big", {"system_b": NEW}),
            ("ab source not old", "emmc", "_a", {"system_a": OTHER, "system_b": OTHER}, {}, full,
             255, "Error, old partition[system_a] not match, error", {"system_b": OTHER}),
            ("nr neither and a bad backup", "emmc", None, {"system": OTHER[:BLOCK] + OLD[BLOCK:]},
             {"/data/block_backup": OTHER[BLOCK:2 * BLOCK]}, full,
             255, "is not the old block of partition[system]", {"system": OTHER[:BLOCK] + OLD[BLOCK:]}),
            ("nr neither and no backup", "emmc", None, {"system": OTHER}, {}, full,
             255, "block_backup not exist", {"system": OTHER}),
            ("nr neither, no backup, save file new", "emmc", None, {"system": OTHER[:BLOCK] + NEW[BLOCK:]},
             {LEFTOVERS[2]: NEW[:BLOCK]}, full, 0, "SAVEFILE holds the new block, writing it", {"system": NEW}),
            ("malformed line", "emmc", None, {"system": OLD}, {}, malformed,
             255, "/data/delta/updater_script_block_diff line 2: field 4 (old size)",
             {"system": NEW[:BLOCK] + OLD[BLOCK:]}),
            ("ab nand", "nand", "_a", {"system_a": OLD, "system_b": OTHER}, {}, full,
             0, "nand_write_file_from_offset_to_partition Entry, partition: system_b", {"system_b": NEW}),
        ]
        for name, kind, slot, parts, files, pkg, rc, message, want in rows:
            with self.subTest(name), device(kind, slot, parts, pkg, files) as d:
                r = d.run()
                self.assertEqual(r.rc, rc, "\n".join(r.log[-15:]))
                self.assertTrue(any(message in m for m in r.log), message)
                for part, data in want.items():
                    self.assertTrue(d.partition_stream(part, SIZE) == data, part)
                for path in LEFTOVERS if rc == 0 else LEFTOVERS[:2]:
                    self.assertFalse(d.exists(path), path)


if __name__ == "__main__":
    unittest.main()
