"""Block diffs: a 48 MiB partition brought to its new image 20 MiB at a time."""

import hashlib
import os
import random
import shutil
import subprocess
import tempfile
import unittest

from simdev import Device

MIB = 1 << 20
BLOCK = 20 * MIB
SIZE = 48 * MIB
BLOCKS = [(0, BLOCK), (BLOCK, BLOCK), (2 * BLOCK, 8 * MIB)]  # the last one is partial
MAP = ["system system.img system system_a system_b"]
PKG = "/data/delta"
LEFTOVERS = ("/data/block_backup", "/tmp/tmp_file_pt", "/data/upgrade/install/savefile")


def md5(data):
    return hashlib.md5(data).hexdigest()


def content(seed, size):
    # Random bytes are what bsdiff sorts fastest; repeating patterns take it
    # several times as long.
    return random.Random(seed).randbytes(size)


OLD = content(1, SIZE)
NEW = bytearray(OLD)
for pos in range(4321, SIZE, MIB + 4099):
    NEW[pos:pos + 24] = b"new firmware at %08x" % pos
NEW = bytes(NEW)
OTHER = content(2, SIZE)  # neither old nor new

_patches = {}


def patches():
    """The bsdiff patch of every block, made once for the whole module."""
    if not _patches:
        tmp = tempfile.mkdtemp(prefix="dfota-block-")
        try:
            procs = []
            for i, (off, n) in enumerate(BLOCKS):
                for name, data in (("old", OLD), ("new", NEW)):
                    with open(os.path.join(tmp, "%s%d" % (name, i)), "wb") as f:
                        f.write(data[off:off + n])
                procs.append(subprocess.Popen(["bsdiff"] + [os.path.join(tmp, "%s%d" % (k, i))
                                                            for k in ("old", "new", "p")]))
            for i, p in enumerate(procs):
                assert p.wait() == 0, "bsdiff failed"
                with open(os.path.join(tmp, "p%d" % i), "rb") as f:
                    _patches[i] = f.read()
        finally:
            shutil.rmtree(tmp)
    return _patches


def line(i, oldsize=None, md5old=None):
    off, n = BLOCKS[i]
    oldsize = n if oldsize is None else oldsize
    md5old = md5(OLD[off:off + oldsize]) if md5old is None else md5old
    return "patchblock,system,%d,%d,%s,%d,%s" % (off, oldsize, md5old, n, md5(NEW[off:off + n]))


def package_files(lines, chunks=None):
    files = {"updater_script_block_diff": "".join(l + "\n" for l in lines)}
    for i, data in (chunks or patches()).items():
        files["image/system.img_chunk_%d.p" % i] = data
    return files


ALL = [line(i) for i in range(3)]


class BlockDiffTest(unittest.TestCase):
    def device(self, kind, slot, parts, extra=None, lines=ALL, chunks=None):
        d = Device(kind=kind, slot=slot)
        self.addCleanup(d.close)
        for name, data in parts.items():
            d.add_partition(name, SIZE, data)
        for path, data in (extra or {}).items():
            d.write(path, data)
        d.package(PKG, MAP, package_files(lines, chunks))
        return d

    def test_block_diffs(self):
        half_new = OLD[:BLOCK] + NEW[BLOCK:2 * BLOCK] + OLD[2 * BLOCK:]
        grown = {**patches(), 2: NEW[2 * BLOCK:]}
        rows = [
            # (name, kind, slot, partitions, files on the device, script lines,
            #  package chunks, exit status, message part, blocks patched, partitions afterwards)
            ("nr old blocks", "emmc", None, {"system": OLD}, None, ALL, None,
             0, "is old", 3, {"system": NEW}),
            ("nr new block skipped", "emmc", None, {"system": half_new}, None, ALL, None,
             0, "md5:[%s]" % md5(NEW[BLOCK:2 * BLOCK]), 2, {"system": NEW}),
            ("ab old blocks", "emmc", "_a", {"system_a": OLD, "system_b": OTHER}, None, ALL, None,
             0, "system_a is old ", 3, {"system_a": OLD, "system_b": NEW}),
            ("ab old small new big", "emmc", "_a", {"system_a": OLD[:2 * BLOCK], "system_b": OTHER}, None,
             ALL[:2] + [line(2, 0, md5(b""))], grown, 0, "old small, new big", 2, {"system_b": NEW}),
            ("ab source not old", "emmc", "_a", {"system_a": OTHER, "system_b": OTHER}, None, ALL, None,
             255, "Error, old partition[system_a] not match, error", 0, {"system_b": OTHER}),
            ("nr neither and a bad backup", "emmc", None, {"system": OTHER[:BLOCK] + OLD[BLOCK:]},
             {"/data/block_backup": OTHER[BLOCK:2 * BLOCK]}, ALL, None,
             255, "is not the old block of partition[system]", 0, {"system": OTHER[:BLOCK] + OLD[BLOCK:]}),
            ("nr neither and no backup", "emmc", None, {"system": OTHER}, None, ALL, None,
             255, "block_backup not exist", 0, {"system": OTHER}),
            ("nr neither, no backup, save file new", "emmc", None, {"system": OTHER[:BLOCK] + NEW[BLOCK:]},
             {"/data/upgrade/install/savefile": NEW[:BLOCK]}, ALL, None,
             0, "SAVEFILE holds the new block, writing it", 0, {"system": NEW}),
            ("malformed line", "emmc", None, {"system": OLD}, None,
             [ALL[0], "patchblock,system,%d,abc,%s,1,%s" % (BLOCK, md5(b""), md5(b""))], None,
             255, PKG + "/updater_script_block_diff line 2: field 4 (old size)", 1,
             {"system": NEW[:BLOCK] + OLD[BLOCK:]}),
            ("ab nand", "nand", "_a", {"system_a": OLD, "system_b": OTHER}, None, ALL, None,
             0, "nand_write_file_from_offset_to_partition Entry, partition: system_b", 3, {"system_b": NEW}),
        ]
        for name, kind, slot, parts, extra, lines, chunks, rc, message, patched, want in rows:
            with self.subTest(name):
                d = self.device(kind, slot, parts, extra, lines, chunks)
                r = d.run()
                self.assertEqual(r.rc, rc, "\n".join(r.log[-15:]))
                self.assertTrue(any(message in m for m in r.log), message)
                self.assertEqual(len([m for m in r.log if m.rstrip().endswith("is old")]), patched)
                for part, data in want.items():
                    self.assertTrue(d.partition_stream(part, SIZE) == data, part)
                for path in LEFTOVERS[:2] + (LEFTOVERS[2:] if rc == 0 else ()):
                    self.assertFalse(d.exists(path), path)


class PowerCutTest(unittest.TestCase):
    """An NR block diff cut anywhere finishes on the next run."""

    EVEN = 44

    def device(self):
        d = Device(kind="emmc", slot=None)
        self.addCleanup(d.close)
        d.add_partition("system", SIZE, OLD)
        d.package(PKG, MAP, package_files(ALL))
        return d

    def test_every_cut_recovers(self):
        ops = [l.split(" ", 2) for l in self.device().run().trace]
        # An even spread, and the edges of every write of a block: just
        # before its first byte (the save file complete) and just after its
        # last (the save file not yet removed).
        edges = {int(n) for (n, _, p), (_, _, q) in zip(ops[1:], ops)
                 if (p == "/dev/mmcblk0p1") != (q == "/dev/mmcblk0p1")}
        self.assertEqual(len(edges), 2 * len(BLOCKS))
        cuts = edges | {1 + k * (len(ops) - 1) // (self.EVEN - 1) for k in range(self.EVEN)}
        for cut in sorted(cuts):
            with self.subTest(cut=cut):
                d = self.device()
                self.assertEqual(d.run(cut_at=cut, trace=False).rc, 137)
                # A restart empties /tmp.
                shutil.rmtree(d.path("/tmp"))
                os.mkdir(d.path("/tmp"))
                r = d.run(trace=False)
                self.assertEqual(r.rc, 0, "\n".join(r.log[-15:]))
                self.assertTrue(d.partition("system") == NEW)


if __name__ == "__main__":
    unittest.main()
