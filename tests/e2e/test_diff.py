"""Image diffs: the pre-flight check and the patch stage, on whole runs."""

import re
import unittest

from firmware import bsdiff, image, md5, revise
from simdev import Device

SIZE = 512 * 1024
MAP = ["boot boot.img boot boot_a boot_b", "modem modem.img modem modem_a modem_b"]
SAVEFILE = "/data/upgrade/install/savefile"
OLD = image(300 * 1024, 7)
NEW = revise(OLD, 8, size=320 * 1024)
IMAGES = {"old": OLD, "new": NEW, "neither": image(320 * 1024, 3)}


def line(partition="boot", old_size=str(len(OLD)), new_md5=md5(NEW), end="\n"):
    return "patchfile,%s,%s,%s,%d,%s%s" % (partition, old_size, md5(OLD), len(NEW), new_md5, end)


# Image-diff scripts; lines of other kinds are passed over.
SCRIPTS = {"ok": "version,1\n" + line(), "crlf": "version,1\r\n" + line(end="\r\n")}


def make_device(kind, slot, target, source="neither", save=None, script="ok"):
    """NR: boot (NAND) or boot_b (eMMC) is the target. A/B: boot_a is the source."""
    d = Device(kind=kind, slot=slot)
    if kind == "emmc":
        d.add_partition("boot_a", SIZE, IMAGES[source])
    d.add_partition("boot" if kind == "nand" else "boot_b", SIZE, IMAGES[target])
    d.add_partition("modem" if kind == "nand" else "modem_b", SIZE, IMAGES["neither"])
    d.package("/data/delta", MAP, {"updater_script_image_diff": SCRIPTS[script], "image/boot.img.p": bsdiff(OLD, NEW)})
    if save:
        d.write(SAVEFILE, IMAGES[save])
    return d


def target_holds(d, kind, state):
    return d.partition_stream("boot" if kind == "nand" else "boot_b", len(IMAGES[state])) == IMAGES[state]


class ImageDiffTest(unittest.TestCase):
    def test_partition_and_save_file_states(self):
        rows = [
            # kind, slot, target, source, save file, script, logged: each ends with the new image
            ("emmc", None, "new", "neither", None, "ok", r"\[boot\] is new, don't need upgrade again"),
            ("emmc", None, "old", "neither", None, "crlf", r"\[\d+\] do patch"),
            ("nand", None, "old", None, None, "ok", r"is old"),
            # Cut after the save file was complete, before the partition changed.
            ("emmc", None, "old", "neither", "new", "ok", r"\[\d+\] SAVEFILE is new"),
            ("emmc", None, "neither", "neither", "new", "ok", r"\[\d+\] check ok"),
            ("nand", None, "neither", None, "new", "ok", r"is not old or new, check backupfile"),
            ("emmc", "_a", "neither", "old", None, "ok", r"partiton\[boot\] is old, need to upgrade"),
            ("emmc", "_a", "new", "neither", None, "ok", r"skip upgraded partition: boot"),
        ]
        for kind, slot, target, source, save, script, logged in rows:
            with self.subTest(kind=kind, slot=slot, target=target, source=source, save=save, script=script), \
                    make_device(kind, slot, target, source, save, script) as d:
                # A list left by an earlier boot must not hide a partition that is not new.
                d.write("/tmp/upgraded_partition_file", "boot\n")
                r = d.run()
                self.assertEqual(r.rc, 0, "\n".join(r.log))
                self.assertTrue(target_holds(d, kind, "new"))
                if kind == "emmc":
                    self.assertEqual(d.partition("boot_a", len(IMAGES[source])), IMAGES[source])
                self.assertTrue([m for m in r.log if re.fullmatch(logged, m)], "\n".join(r.log))
                self.assertFalse(d.exists(SAVEFILE) or d.exists("/tmp/tmp_file_new"))


if __name__ == "__main__":
    unittest.main()
