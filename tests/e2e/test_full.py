"""Full images: written whole, verified, and skipped where the device already
runs the version the package declares."""

import unittest

from firmware import md5
from simdev import Device

SIZE = 256 * 1024
OLD = b"old firmware"
NAMES = ["abl", "tz", "tz_devcfg", "multi_image_qti", "multi_image", "boot", "recovery"]
GATES = "console=ttyMSM0 TZ_V=1.0 MIQ_V=7 MI_V==3 ABL_VERSION=9"


def image(name):
    return (name.encode() + b"-new ") * 400


def addfile(name, size=None):
    return "addfile,%s,%d,%s" % (name, len(image(name)) if size is None else size, md5(image(name)))


def package(d, names, script, files=()):
    d.package("/tmp/delta", ["%s %s.img %s %s_a %s_b" % ((n,) * 5) for n in names],
              dict(files, updater_script_image_full="".join(l + "\n" for l in script),
                   **{"image/%s.img" % n: image(n) for n in names}))


# name, device slot, cmdline, script lines, package files, device names written, exit status, a message logged
ROWS = [
    ("equal and different versions, tz_devcfg never gated", "_a", GATES, [addfile(n) for n in NAMES[:5]],
     {"TZ_VERSION": "TZ_V=1.0\n", "MULTI_IMAGE_QTI_VERSION": "MIQ_V=8\n", "MULTI_IMAGE_VERSION": "x\nMI_V = 3\n"},
     {"abl_b", "tz_devcfg_b", "multi_image_qti_b"}, 0, "multi_image no need to upgrade,skip "),
    ("missing version on either side", "_a", "console=ttyMSM0 TZ_V=2.0",
     [addfile(n) for n in ("abl", "tz", "multi_image")], {"MULTI_IMAGE_VERSION": "MI_V=3\n"},
     {"abl_b", "multi_image_b"}, 0, "tz no need to upgrade,skip "),
    ("different tz version written, a version file without the key, CRLF", "_b", "console=ttyMSM0 TZ_V=1.0",
     ["# header\r", addfile("tz") + "\r", addfile("multi_image")],
     {"TZ_VERSION": "TZ_V=1.1\n", "MULTI_IMAGE_VERSION": "OTHER=1\n"}, {"tz_a"}, 0,
     "addfile tz newsize[%d], md5new[%s]" % (len(image("tz")), md5(image("tz")))),
    ("project system: only recovery; the A/B flag writes slot A, then B", "_b", "console=ttyMSM0 PRJ_QX410_IN_00",
     ["", addfile("boot"), "noop,boot", addfile("recovery")], {"kelo_ab_need_upgrade_flag": ""},
     {"recovery_a", "recovery_b"}, 0, "skip partition[boot]"),
    ("recovery on NR: recovery skipped, NR name written", None, "console=ttyMSM0 recovery",
     [addfile("recovery"), addfile("boot")], {}, {"boot"}, 0, "skip partition[recovery]"),
    ("slot unknown", "other", "console=ttyMSM0", [addfile("boot")], {}, set(), 255, "Error, can't get current slot"),
]


class FullImageTest(unittest.TestCase):
    def test_rows(self):
        devices = [n + s for n in NAMES for s in ("", "_a", "_b")]
        for name, slot, cmdline, script, files, written, rc, message in ROWS:
            with self.subTest(name), Device(slot=slot, cmdline=cmdline) as d:
                for dev in devices:
                    d.add_partition(dev, SIZE, OLD)
                package(d, NAMES, script, files)
                r = d.run()
                self.assertEqual(r.rc, rc, "\n".join(r.log))
                self.assertIn(message, r.log)
                for dev in devices:
                    want = image(dev.removesuffix("_a").removesuffix("_b")) if dev in written else OLD
                    self.assertEqual(d.partition_stream(dev, len(want)), want, dev)


if __name__ == "__main__":
    unittest.main()
