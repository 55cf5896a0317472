"""One run of the agent from start to end on simulated devices."""

import re
import unittest

from simdev import PLATFORM_TOOLS, Device

MAP = ["boot boot.img boot boot_a boot_b", "system system.img system system_a system_b"]
STAGES = ["dst_start", "dst_get_dev_info", "dst_unpack", "dst_check", "dst_patch_full", "dst_patch_diff",
          "dst_patch_diff", "dst_set_boot_mode", "dst_reboot"]
DONE = ("dst_reboot\n", "".join(s + "\n" for s in STAGES), "90")
SPACE = ["Both /tmp and /data have the same amount of space.", "The /tmp directory has more space.",
         "The /data directory has more space."]
UPGRADED = {"/data/dfota_upgraded": True, "/data/recovery/intent": "--send_intent=DELTA_UPDATE_SUCCESS"}
BOOT = "pname[boot] imagename[boot.img] nr_pname[boot] a_pnam[boot_a] b_pname[boot_b]"
RECOVERY = "pname[recovery] imagename[recovery.img] nr_pname[recovery] a_pnam[recovery_a] b_pname[recovery_b]"
RECOVERY_MAP = [MAP[0], "recovery recovery.img recovery recovery_a recovery_b"]
FAILED_DIFF = {"updater_script_image_diff": "patchfile,boot,1,x,1,y\n"}
KEPT = {"/data/pkg.bin": "pkg", "/data/delta.zip": "zip"}


def failed(stages):
    return "dst_failed\n", "".join(s + "\n" for s in STAGES[:stages] + ["dst_failed"]), "0"


def ab_calls(target):
    return ["abctl --boot_slot", "abctl --boot_slot", "abctl --set_active %d" % target, "reboot "]


def like(pattern, text):
    return re.fullmatch(".*".join(map(re.escape, pattern.split("*"))), text, re.S) is not None


def row(name, **kw):
    """By default an NR eMMC device with the package in /tmp/delta, and a run
    that succeeds. log, cmds: messages and commands in this order ('*' is any
    text); never: neither logged nor run; after: device files that exist
    (True), do not (False) or hold this text."""
    return dict(dict(kind="emmc", slot=None, tools=PLATFORM_TOOLS, cmdline="console=ttyMSM0", pkg=["/tmp/delta"],
                     map=MAP, files={}, writes={}, args=(), tmpfs=None, stdout_closed=False, rc=0, log=[], cmds=[],
                     never=[], once=[], calls=None, after={}, status=None, stderr="", console=False, plain=False),
                name=name, **kw)


ROWS = [
    row("package in both directories: /tmp wins and an earlier status is replaced", pkg=["/tmp/delta", "/data/delta"],
        writes={"/data/upgrade/install/status_list": "dst_start\ndst_failed\n"}, status=DONE,
        log=["Found file[/tmp/delta/partition_image_map.cfg]"], never=SPACE,
        after={"/data/delta/partition_image_map.cfg": True}),
    # /tmp and /data share the host's file system; a tmpfs of a chosen size makes them differ.
    *[row("no package: " + message, pkg=[], tmpfs=size, log=[message, "Warning, Not found file[%s/*]" % chosen])
      for size, message, chosen in ((None, SPACE[0], "/data/delta"), (1 << 50, SPACE[1], "/tmp/delta"),
                                    (1 << 20, SPACE[2], "/data/delta"))],
    row("A/B with no package and no switch recorded: the slot is still switched", slot="_a", pkg=[],
        calls=ab_calls(1)),
    row("NR from /data: the boot mode is reset, the package removed, no reboot", pkg=["/data/delta"],
        calls=["abctl --boot_slot", "marvane_dev_info write boot_mode 0"], never=["reboot"],
        after={**UPGRADED, "/data/delta": False}),
    row("A/B from /data: slot switched, everything cleaned up, reboot", slot="_a", pkg=["/data/delta"],
        writes={**KEPT, "/data/upgrade/install/savefile": "old save", "/tmp/tmp_file_pt": "scratch"},
        args=("-f", "/data/pkg.bin"),
        calls=ab_calls(1), cmds=["abctl --set_active 1", "rm '$ROOT/data/delta/' -rf", "sync", "reboot", "sync"],
        after={**UPGRADED, "/data/delta": False, "/data/delta.zip": False, "/data/pkg.bin": False,
               "/data/upgrade/install/savefile": False, "/tmp/tmp_file_pt": False}),
    *[row("A/B from /tmp on slot %r: target %d, nothing removed" % (slot, target), slot=slot, writes=KEPT,
          args=("-f", "/data/pkg.bin"), log=["get_current_slot: [%d]" % current], calls=ab_calls(target),
          never=["rm *"], after={"/tmp/delta/partition_image_map.cfg": True, **dict.fromkeys(KEPT, True)})
      for slot, current, target in (("_b", 1, 0), ("slot-x", 2, 0), ("b_", 2, 0))],
    row("A/B slot switch fails: the package is kept for another run", slot="_a", pkg=["/data/delta"],
        writes={**KEPT, "/etc/set_active_status": "1"}, args=("-f", "/data/pkg.bin"), rc=255,
        log=["Error, change_slot failed", "main_err", "DFOTA Patch Failed"], status=failed(8), calls=ab_calls(1)[:3],
        after={"/data/dfota_upgraded": False, "/data/recovery/intent": False,
               "/data/delta/partition_image_map.cfg": True, "/data/pkg.bin": True}),
    row("NAND NR failure asks nothing of the slot tool", kind="nand", files=FAILED_DIFF, rc=255,
        calls=["abctl --boot_slot"]),
    row("without abctl the system is NR: its failure path asks for slot 0", slot="_a", tools=("marvane_dev_info",),
        files=FAILED_DIFF, rc=255, calls=[], cmds=["abctl --set_active 0"]),
    row("preparation failure: a map line of four fields", map=[MAP[0], "system system.img system system_a"],
        rc=255, log=["Error, construct partition and image map fail"], never=["DFOTA Patch Failed"],
        status=("dst_start\n", "dst_start\n", "0"), after={"/tmp/restoredut_flag": False}),
    row("signals and a console reader that goes away do not stop the run", slot="_a", stdout_closed=True,
        writes={"/etc/abctl_signal": ""}, once=["sig_handle sig: 10", "sig_handle sig: 12", "sig_handle sig: 15"],
        after=UPGRADED),
    row("project system: only recovery lines", map=RECOVERY_MAP, cmdline="quiet PRJ_QX410_IN_00",
        log=["skip " + BOOT, RECOVERY, "list size[1]"]),
    row("recovery: recovery lines skipped", map=RECOVERY_MAP, cmdline="androidboot.mode=recovery PRJ_QX410_IN_00",
        log=[BOOT, "skip " + RECOVERY, "list size[1]"]),
    row("map comments, blank lines and duplicates", cmdline="quiet",
        map=["# pname image nr a b", "", "   ", MAP[0], RECOVERY_MAP[1], "boot other.img x y z", "  #x a b c d"],
        log=[BOOT, RECOVERY, "pname[#x] imagename[a] nr_pname[b] a_pnam[c] b_pname[d]", "list size[4]"]),
    *[row("debug mode by " + how, args=args, writes={"/dev/ttyMSM0": "", **flag}, console=True)
      for how, args, flag in (("-d", ("-d",), {}), ("flag file", (), {"/data/flag_upgrade_debug": ""}))],
    row("-v and unknown options change nothing", slot="_a", pkg=["/data/delta"], args=("-v", "-x"),
        stderr="invalid option", plain=True),
]


class RunTest(unittest.TestCase):
    def device(self, c):
        d = Device(kind=c["kind"], slot=c["slot"], tools=c["tools"], cmdline=c["cmdline"])
        self.addCleanup(d.close)
        for where in c["pkg"]:
            d.package(where, c["map"], c["files"])
        for path, text in c["writes"].items():
            d.write(path, text)
        return d

    def assertInOrder(self, wanted, got):
        it = iter(got)
        for w in wanted:
            self.assertTrue(any(like(w, m) for m in it), "%r, in this order, not in:\n%s" % (w, "\n".join(got)))

    def test_runs(self):
        for c in ROWS:
            with self.subTest(c["name"]):
                d = self.device(c)
                d.small = {"/tmp": c["tmpfs"]} if c["tmpfs"] else {}
                r = d.run(*c["args"], stdout_closed=c["stdout_closed"])
                self.assertEqual(r.rc, c["rc"], r.stderr + "\n".join(r.log))
                self.assertInOrder(c["log"], r.log)
                self.assertInOrder(c["cmds"], r.commands)
                self.assertFalse([m for m in r.log + r.commands for w in c["never"] if like(w, m)])
                self.assertEqual([r.log.count(m) for m in c["once"]], [1] * len(c["once"]))
                if c["calls"] is not None:
                    self.assertEqual(d.tool_calls(), c["calls"])
                for path, want in c["after"].items():
                    self.assertEqual(d.exists(path) and (d.read(path) if isinstance(want, str) else True), want, path)
                if c["status"]:
                    self.assertEqual(d.status(), c["status"])
                self.assertIn(c["stderr"], r.stderr)
                if c["console"]:
                    self.assertTrue(like("*[DFLOG][*DFOTA Patch Success*", d.read("/dev/ttyMSM0")))
                    # Lines before the options were parsed still went to stdout.
                    self.assertTrue(like("*------Upgrade Entry------*", r.stdout) and "Patch Success" not in r.stdout)
                if c["plain"]:
                    p = self.device(c)
                    self.assertEqual((r.trace, d.status(), d.tool_calls()), (p.run().trace, p.status(), p.tool_calls()))


if __name__ == "__main__":
    unittest.main()
