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
IMAGES = {"old": OLD, "new": NEW, "neither": image(320 * 1024, 3), "other": b"another image"}


def line(partition="boot", old_size=str(len(OLD)), new_md5=md5(NEW), end="\n"):
    return "patchfile,%s,%s,%s,%d,%s%s" % (partition, old_size, md5(OLD), len(NEW), new_md5, end)


# Image-diff scripts; lines of other kinds are passed over.
SCRIPTS = {"ok": "version,1\n" + line(), "crlf": "version,1\r\n" + line(end="\r\n"),
           "wrong new": line(new_md5=md5(b"not the patch result")), "second neither": line() + line("modem"),
           "bad size": "\n" + line(old_size="300k")}


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
            # kind, slot, target, source, save file, script, exit, target after, logged
            ("emmc", None, "new", "neither", None, "ok", 0, "new", r"\[boot\] is new, don't need upgrade again"),
            ("emmc", None, "old", "neither", None, "crlf", 0, "new", r"\[\d+\] do patch"),
            ("nand", None, "old", None, None, "ok", 0, "new", r"is old"),
            # Cut after the save file was complete, before the partition changed.
            ("emmc", None, "old", "neither", "new", "ok", 0, "new", r"\[\d+\] SAVEFILE is new"),
            ("emmc", None, "neither", "neither", "new", "ok", 0, "new", r"\[\d+\] check ok"),
            ("nand", None, "neither", None, "new", "ok", 0, "new", r"is not old or new, check backupfile"),
            ("emmc", None, "neither", "neither", None, "ok", 255, "neither", r"\[\d+\] Invalid flag: 0"),
            ("nand", None, "neither", None, "other", "ok", 255, "neither", r"Error, do_check2 failed"),
            ("emmc", "_a", "neither", "old", None, "ok", 0, "new", r"partiton\[boot\] is old, need to upgrade"),
            ("emmc", "_a", "new", "neither", None, "ok", 0, "new", r"skip upgraded partition: boot"),
            ("emmc", "_a", "neither", "neither", None, "ok", 255, "neither",
             r"Error,old partition\[boot_a\]\[%s\] not match" % md5(IMAGES["neither"][:len(OLD)])),
            ("emmc", None, "old", "neither", None, "wrong new", 255, "old", r"\[\d+\] patched file not same with new"),
            ("emmc", "_a", "neither", "old", None, "wrong new", 255, "neither",
             r"\[\d+\] patched file not same with new"),
            # Refused before any partition byte changes: boot stays old.
            ("emmc", None, "old", "neither", None, "second neither", 255, "old", r"\[modem\] is not old or new.*"),
            ("emmc", None, "old", "neither", None, "bad size", 255, "old",
             r"Error, /data/delta/updater_script_image_diff line 2: field 3 \(old size\).*"),
        ]
        for kind, slot, target, source, save, script, rc, after, logged in rows:
            with self.subTest(kind=kind, slot=slot, target=target, source=source, save=save, script=script), \
                    make_device(kind, slot, target, source, save, script) as d:
                # A list left by an earlier boot must not hide a partition that is not new.
                d.write("/tmp/upgraded_partition_file", "boot\n")
                r = d.run()
                self.assertEqual(r.rc, rc, "\n".join(r.log))
                self.assertTrue(target_holds(d, kind, after))
                if kind == "emmc":
                    self.assertEqual(d.partition("boot_a", len(IMAGES[source])), IMAGES[source])
                self.assertTrue([m for m in r.log if re.fullmatch(logged, m)], "\n".join(r.log))
                self.assertFalse(d.exists(SAVEFILE) or d.exists("/tmp/tmp_file_new"))


if __name__ == "__main__":
    unittest.main()
