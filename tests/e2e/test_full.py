"""Full images: written whole, verified, and skipped where the device already
runs the version the package declares."""

import hashlib
import unittest

from simdev import Device

SIZE = 256 * 1024
OLD = b"old firmware"
NAMES = ["abl", "tz", "tz_devcfg", "multi_image_qti", "multi_image", "boot", "recovery"]
MAP = ["%s %s.img %s %s_a %s_b" % (n, n, n, n, n) for n in NAMES]
SCRIPT = "/tmp/delta/updater_script_image_full"
AB_FAILED = "Error, get_ab_pname failed"


def image(name):
    return (name.encode() + b"-new ") * 400


def addfile(name, size=None):
    img = image(name)
    return "addfile,%s,%d,%s" % (name, len(img) if size is None else size, hashlib.md5(img).hexdigest())


GATE_CMDLINE = "console=ttyMSM0 TZ_V=1.0 MIQ_V=7 MI_V==3 ABL_VERSION=9"

# name, device slot, cmdline, script lines, package files,
# device names written, exit status, log lines in order, log lines never seen
ROWS = [
    ("equal and different versions, tz_devcfg never gated", "_a", GATE_CMDLINE,
     [addfile(n) for n in NAMES[:5]],
     {"TZ_VERSION": "TZ_V=1.0\n", "MULTI_IMAGE_QTI_VERSION": "MIQ_V=8\n", "MULTI_IMAGE_VERSION": "x\nMI_V = 3\n"},
     {"abl_b", "tz_devcfg_b", "multi_image_qti_b"}, 0,
     ["kelo_get_verison_from_file fail ", "cmdline:1.0 equal to device: 1.0 ", "tz no need to upgrade,skip ",
      "pname: multi_image_qti_b", "cmdline:3 equal to device: 3 ", "multi_image no need to upgrade,skip "],
     ["multi_image_qti no need to upgrade,skip "]),
    ("missing version on either side", "_a", "console=ttyMSM0 TZ_V=2.0",
     [addfile("abl"), addfile("tz"), addfile("multi_image")],
     {"MULTI_IMAGE_VERSION": "MI_V=3\n"},
     {"abl_b", "multi_image_b"}, 0,
     ["get_cmdline_para fail ", "kelo_get_version_from_cmdline fail ", "kelo_get_verison_from_file tz fail ",
      "tz no need to upgrade,skip ", "kelo_get_version_from_cmdline multi_image fail "], []),
    ("different tz version written, a version file without the key, CRLF", "_b", "console=ttyMSM0 TZ_V=1.0",
     ["# header\r", addfile("tz") + "\r", addfile("multi_image")],
     {"TZ_VERSION": "TZ_V=1.1\n", "MULTI_IMAGE_VERSION": "OTHER=1\n"},
     {"tz_a"}, 0, ["addfile tz newsize[%d], md5new[%s]" % (len(image("tz")), hashlib.md5(image("tz")).hexdigest()),
                   "kelo_get_verison_from_file multi_image fail "],
     ["tz no need to upgrade,skip "]),
    ("A/B flag writes slot A, then slot B", "_b", "console=ttyMSM0",
     [addfile("boot")], {"kelo_ab_need_upgrade_flag": ""},
     {"boot_a", "boot_b"}, 0,
     [" get upgrade_partition:boot_a ", "switch to partition B ", " get upgrade_partition:boot_b "], []),
    ("normal system of the project: only recovery", "_a", "console=ttyMSM0 PRJ_QX410_IN_00",
     ["", addfile("boot"), "noop,boot", addfile("recovery")], {},
     {"recovery_b"}, 0, ["skip partition[boot]"], []),
    ("recovery on NR: recovery skipped, NR name written", None, "console=ttyMSM0 recovery",
     [addfile("recovery"), addfile("boot")], {},
     {"boot"}, 0, ["skip partition[recovery]", "pname: boot"], []),
    ("size out of range", "_a", "console=ttyMSM0",
     [addfile("boot", 0)], {}, set(), 255,
     ["Error, size out of range", "Error,patch full partition failed"], []),
    ("malformed line names script and line", "_a", "console=ttyMSM0",
     ["other,command,with,more", "addfile,boot,12x,abc", addfile("recovery")], {}, set(), 255,
     ["Error, %s line 2: field 3 (newsize) \"12x\" is not a decimal number of 32 bits" % SCRIPT,
      "Error,patch full partition failed"], []),
    ("slot unknown", "other", "console=ttyMSM0",
     [addfile("boot")], {}, set(), 255, ["Error, can't get current slot", AB_FAILED], []),
]


class FullImageTest(unittest.TestCase):
    def device(self, **kw):
        d = Device(**kw)
        self.addCleanup(d.close)
        return d

    def test_rows(self):
        for name, slot, cmdline, script, files, written, rc, logged, unlogged in ROWS:
            with self.subTest(name):
                d = self.device(slot=slot, cmdline=cmdline)
                devices = [n + s for n in NAMES for s in ("", "_a", "_b")]
                for dev in devices:
                    d.add_partition(dev, SIZE, OLD)
                pkg = {"updater_script_image_full": "".join(l + "\n" for l in script)}
                pkg.update({"image/%s.img" % n: image(n) for n in NAMES})
                pkg.update(files)
                d.package("/tmp/delta", MAP, pkg)
                r = d.run()
                self.assertEqual(r.rc, rc, "\n".join(r.log))
                for dev in devices:
                    logical = dev[:-2] if dev[-2:] in ("_a", "_b") else dev
                    want = image(logical) if dev in written else OLD
                    self.assertEqual(d.partition(dev, len(want)), want, dev)
                at = 0
                for m in logged:
                    self.assertIn(m, r.log[at:], "\n".join(r.log))
                    at = r.log.index(m, at) + 1
                for m in unlogged:
                    self.assertNotIn(m, r.log)

    def test_nand_releases_ubi_volumes_before_writing(self):
        d = self.device(kind="nand", slot=None)
        d.add_tool("df", "#!/bin/sh\necho \"df $*\" >> \"$(dirname \"$0\")/../tool_calls\"\n"
                   "echo 'Filesystem 1K-blocks Used Available Use% Mounted on'\n"
                   "echo '/dev/ubi0_0 9000 10 8990 1% /system'\n"
                   "echo '/dev/ubi1_0 900 10 890 1% /firmware'\n")
        d.add_tool("mount", "#!/bin/sh\necho \"mount $*\" >> \"$(dirname \"$0\")/../tool_calls\"\n"
                   "echo '/dev/ubi0_0 on /system type ubifs (rw)'\n"
                   "echo '/dev/ubi1_0 on /firmware type ubifs (rw)'\n")
        for n in ("system", "modem", "boot"):
            d.add_partition(n, 1024 * 1024, OLD)
        pkg = {"updater_script_image_full": "".join(addfile(n) + "\n" for n in ("system", "modem", "boot"))}
        pkg.update({"image/%s.img" % n: image(n) for n in ("system", "modem", "boot")})
        d.package("/tmp/delta", ["%s %s.img %s %s_a %s_b" % ((n,) * 5) for n in ("system", "modem", "boot")], pkg)
        r = d.run()
        self.assertEqual(r.rc, 0, "\n".join(r.log))
        calls = [c for c in d.tool_calls() if c.split()[0] in ("df", "mount", "umount", "ubidetach")]
        self.assertEqual(calls, ["df ", "mount ", "umount system", "ubidetach -d 0",
                                 "df ", "mount ", "umount firmware", "ubidetach -d 1"])
        for n in ("system", "modem", "boot"):
            self.assertEqual(d.partition_stream(n, len(image(n))), image(n), n)
        # Each volume is released before its partition is touched.
        ops = [l.split(" ", 1)[1].replace("'", "") for l in r.trace]
        for n, detach in (("system", "command ubidetach -d 0"), ("modem", "command ubidetach -d 1")):
            self.assertLess(ops.index(detach), ops.index("erase " + d.partitions[n]), n)


if __name__ == "__main__":
    unittest.main()
