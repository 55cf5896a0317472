"""Image diffs: the pre-flight check and the patch stage, on whole runs."""

import hashlib
import os
import random
import re
import subprocess
import tempfile
import unittest

from simdev import Device

SIZE = 512 * 1024
MAP = ["boot boot.img boot boot_a boot_b", "modem modem.img modem modem_a modem_b"]
SAVEFILE = "/data/upgrade/install/savefile"

_rnd = random.Random(7)
OLD = _rnd.randbytes(300 * 1024)
NEW = OLD[:1000] + b"x" * 100 + OLD[1100:] + _rnd.randbytes(20 * 1024)
IMAGES = {"old": OLD, "new": NEW, "neither": _rnd.randbytes(320 * 1024), "other": b"another image"}


def md5(data):
    return hashlib.md5(data).hexdigest()


def bsdiff(old, new):
    with tempfile.TemporaryDirectory() as t:
        for name, data in (("old", old), ("new", new)):
            with open(os.path.join(t, name), "wb") as f:
                f.write(data)
        subprocess.run(["bsdiff", t + "/old", t + "/new", t + "/patch"], check=True)
        with open(t + "/patch", "rb") as f:
            return f.read()


PATCH = bsdiff(OLD, NEW)


def line(partition="boot", old_size=str(len(OLD)), new_md5=md5(NEW), end="\n"):
    return "patchfile,%s,%s,%s,%d,%s%s" % (partition, old_size, md5(OLD), len(NEW), new_md5, end)


# Image-diff scripts; lines of other kinds are passed over.
SCRIPTS = {
    "ok": "version,1\n" + line(),
    "crlf": "version,1\r\n" + line(end="\r\n"),
    "wrong new": line(new_md5=md5(b"not the patch result")),
    "second neither": line() + line("modem"),
    "bad size": "\n" + line(old_size="300k"),
}


def target_of(kind):
    return "boot" if kind == "nand" else "boot_b"


def make_device(kind, slot, target, source="neither", save=None, script="ok"):
    d = Device(kind=kind, slot=slot)
    if kind == "emmc":
        d.add_partition("boot_a", SIZE, IMAGES[source])
    d.add_partition(target_of(kind), SIZE, IMAGES[target])
    d.add_partition("modem" if kind == "nand" else "modem_b", SIZE, IMAGES["neither"])
    d.package("/tmp/delta", MAP, {"updater_script_image_diff": SCRIPTS[script], "image/boot.img.p": PATCH})
    if save:
        d.write(SAVEFILE, IMAGES[save])
    return d


def holds(d, kind, state):
    n = len(IMAGES[state])
    return d.partition_stream(target_of(kind), n) == IMAGES[state]


class ImageDiffTest(unittest.TestCase):
    def test_partition_and_save_file_states(self):
        rows = [
            # kind, slot, target, source, save file, script, exit, target after, logged
            ("emmc", None, "new", "neither", None, "ok", 0, "new", r"^\[boot\] is new, don't need upgrade again$"),
            ("emmc", None, "old", "neither", None, "crlf", 0, "new", r"^\[\d+\] do patch$"),
            ("nand", None, "old", None, None, "ok", 0, "new", r"^is old$"),
            # Cut after the save file was complete, before the partition changed.
            ("emmc", None, "old", "neither", "new", "ok", 0, "new", r"^\[\d+\] SAVEFILE is new$"),
            ("emmc", None, "neither", "neither", "new", "ok", 0, "new", r"^\[\d+\] check ok$"),
            ("nand", None, "neither", None, "new", "ok", 0, "new", r"^is not old or new, check backupfile$"),
            ("emmc", None, "neither", "neither", None, "ok", 255, "neither", r"^\[\d+\] Invalid flag: 0$"),
            ("nand", None, "neither", None, "other", "ok", 255, "neither", r"^Error, do_check2 failed$"),
            ("emmc", "_a", "neither", "old", None, "ok", 0, "new", r"^partiton\[boot\] is old, need to upgrade$"),
            ("emmc", "_a", "new", "neither", None, "ok", 0, "new", r"^skip upgraded partition: boot$"),
            ("emmc", "_a", "neither", "neither", None, "ok", 255, "neither",
             r"^Error,old partition\[boot_a\]\[%s\] not match$" % md5(IMAGES["neither"][:len(OLD)])),
            ("emmc", None, "old", "neither", None, "wrong new", 255, "old", r"^\[\d+\] patched file not same with new$"),
            ("emmc", "_a", "neither", "old", None, "wrong new", 255, "neither",
             r"^\[\d+\] patched file not same with new$"),
            # Refused before any partition byte changes: boot stays old.
            ("emmc", None, "old", "neither", None, "second neither", 255, "old", r"^\[modem\] is not old or new"),
            ("emmc", None, "old", "neither", None, "bad size", 255, "old",
             r"^Error, /tmp/delta/updater_script_image_diff line 2: field 3 \(old size\)"),
        ]
        for kind, slot, target, source, save, script, rc, after, logged in rows:
            with self.subTest(kind=kind, slot=slot, target=target, source=source, save=save, script=script):
                d = make_device(kind, slot, target, source, save, script)
                self.addCleanup(d.close)
                # A list left by an earlier boot must not hide a partition that is not new.
                d.write("/tmp/upgraded_partition_file", "boot\n")
                r = d.run()
                self.assertEqual(r.rc, rc, "\n".join(r.log))
                self.assertTrue(holds(d, kind, after))
                if source is not None and kind == "emmc":
                    self.assertEqual(d.partition("boot_a", len(IMAGES[source])), IMAGES[source])
                self.assertTrue([m for m in r.log if re.search(logged, m)], "\n".join(r.log))
                self.assertFalse(d.exists(SAVEFILE))
                self.assertFalse(d.exists("/tmp/tmp_file_new"))

    def test_a_power_cut_anywhere_is_finished_by_the_next_run(self):
        # NR eMMC, NR NAND, and A/B (which must end with the slot switched).
        for kind, slot, target, source in (("emmc", None, "old", "neither"), ("nand", None, "old", "neither"),
                                           ("emmc", "_a", "neither", "old")):
            d = make_device(kind, slot, target, source)
            self.addCleanup(d.close)
            trace = d.run().trace
            # An even spread, and every operation on the save file or a
            # partition together with the one after it.
            cuts = {1 + i * (len(trace) - 1) // 49 for i in range(50)}
            for i, op in enumerate(trace):
                if op.split(" ", 2)[2].startswith(("/dev/", SAVEFILE)):
                    cuts |= {i + 1, i + 2}
            for n in sorted(c for c in cuts if c <= len(trace)):
                with self.subTest(kind=kind, slot=slot, cut=n, op=trace[n - 1]):
                    d = make_device(kind, slot, target, source)
                    try:
                        self.assertEqual(d.run(cut_at=n).rc, 137)
                        r = d.run()
                        self.assertEqual(r.rc, 0, "\n".join(r.log))
                        self.assertTrue(holds(d, kind, "new"))
                        if slot:
                            self.assertEqual(d.tool_calls()[-2:], ["abctl --set_active 1", "reboot "])
                    finally:
                        d.close()


if __name__ == "__main__":
    unittest.main()
