"""One run of the agent from start to end on simulated devices."""

import unittest

from simdev import Device

MAP = ["boot boot.img boot boot_a boot_b", "system system.img system system_a system_b"]
STAGES_OK = ["dst_start", "dst_get_dev_info", "dst_unpack", "dst_check", "dst_patch_full",
             "dst_patch_diff", "dst_patch_diff", "dst_set_boot_mode", "dst_reboot"]


class RunCase(unittest.TestCase):
    def device(self, **kw):
        d = Device(**kw)
        self.addCleanup(d.close)
        return d

    def assertLogged(self, r, message):
        self.assertIn(message, r.log, "\n".join(r.log))

    def assertNotLogged(self, r, message):
        self.assertNotIn(message, r.log)


class PackageDirectoryTest(RunCase):
    def test_tmp_delta_wins_when_both_exist(self):
        d = self.device(slot=None)
        d.package("/tmp/delta", MAP)
        d.package("/data/delta", MAP)
        r = d.run()
        self.assertEqual(r.rc, 0)
        self.assertLogged(r, "Path '/tmp/delta' exists.")
        self.assertLogged(r, "Found file[/tmp/delta/partition_image_map.cfg]")
        self.assertFalse([m for m in r.log if "more space" in m or "same amount" in m])
        self.assertTrue(d.exists("/data/delta/partition_image_map.cfg"))

    def test_data_delta_alone(self):
        d = self.device(slot=None)
        d.package("/data/delta", MAP)
        r = d.run()
        self.assertLogged(r, "Path '/data/delta' exists.")
        self.assertLogged(r, "Found file[/data/delta/partition_image_map.cfg]")

    def test_neither_chooses_the_larger_file_system_and_a_tie_goes_to_data(self):
        cases = [
            # (tmpfs size over the device's /tmp, expected message, chosen directory)
            (None, "Both /tmp and /data have the same amount of space.", "/data/delta"),
            (1 << 50, "The /tmp directory has more space.", "/tmp/delta"),
            (1 << 20, "The /data directory has more space.", "/data/delta"),
        ]
        for size, message, chosen in cases:
            with self.subTest(message=message):
                d = self.device(slot=None)
                if size is not None:
                    # /tmp and /data of the device share the host's file
                    # system; a tmpfs of a chosen size makes them differ.
                    r = d.run(bwrap_extra=["--size", str(size), "--tmpfs", d.path("/tmp")])
                else:
                    r = d.run()
                self.assertEqual(r.rc, 0, r.stdout + r.stderr)
                self.assertLogged(r, message)
                self.assertLogged(r, "Warning, Not found file[%s/partition_image_map.cfg]" % chosen)


class StatusFilesTest(RunCase):
    def test_complete_run(self):
        d = self.device(slot=None)
        d.package("/tmp/delta", MAP)
        r = d.run()
        self.assertEqual(r.rc, 0)
        status, status_list, process = d.status()
        self.assertEqual(status, "dst_reboot\n")
        self.assertEqual(status_list, "".join(s + "\n" for s in STAGES_OK))
        self.assertEqual(process, "90")

    def test_failure_from_the_checks_on(self):
        d = self.device(slot=None)
        d.package("/tmp/delta", MAP, files={"updater_script_system": "deletefile,etc/x\n"})
        r = d.run()
        self.assertEqual(r.rc, 255)
        status, status_list, process = d.status()
        self.assertEqual(status, "dst_failed\n")
        self.assertEqual(status_list.split(), STAGES_OK[:4] + ["dst_failed"])
        self.assertEqual(process, "0")
        idx = r.log.index("main_err")
        self.assertEqual(r.log[idx - 1], "Error, package needs updates this build cannot apply")
        self.assertLogged(r, "DFOTA Patch Failed")

    def test_preparation_failure_has_no_failed_stage(self):
        d = self.device(slot=None)
        d.package("/tmp/delta", ["boot boot.img boot"])
        r = d.run()
        self.assertEqual(r.rc, 255)
        self.assertLogged(r, "Error, construct partition and image map fail")
        self.assertEqual(d.status(), ("dst_start\n", "dst_start\n", "0"))
        self.assertNotLogged(r, "DFOTA Patch Failed")
        self.assertFalse(d.exists("/tmp/restoredut_flag"))

    def test_status_files_of_an_earlier_run_are_replaced(self):
        d = self.device(slot=None)
        d.package("/tmp/delta", MAP)
        d.write("/data/upgrade/install/status_list", "dst_start\ndst_failed\n")
        d.run()
        self.assertEqual(d.status()[1].split(), STAGES_OK)

    def test_a_script_this_build_cannot_apply_is_refused_before_any_change(self):
        script = "updater_script_system"
        d = self.device(slot="_a")
        d.package("/data/delta", MAP, files={script: "addfile,boot,1,x\n"})
        r = d.run()
        self.assertEqual(r.rc, 255)
        self.assertTrue([m for m in r.log if script in m and "cannot apply" in m], r.log)
        self.assertEqual(d.status()[0], "dst_failed\n")
        self.assertNotIn("abctl --set_active 1", d.tool_calls())
        self.assertTrue(d.exists("/data/delta/" + script))


class CompletionTest(RunCase):
    def test_ab_from_data_switches_slot_cleans_up_and_reboots(self):
        d = self.device(slot="_a")
        d.package("/data/delta", MAP)
        d.write("/data/delta.zip", "zip")
        d.write("/data/pkg.bin", "pkg")
        d.write("/data/upgrade/install/savefile", "old save")
        d.write("/tmp/tmp_file_pt", "scratch")
        d.write("/data/recovery/intent", "an older, longer intent text\n")
        r = d.run("-f", "/data/pkg.bin")
        self.assertEqual(r.rc, 0, r.stdout + r.stderr)
        self.assertEqual(d.tool_calls(), ["abctl --boot_slot", "abctl --boot_slot", "abctl --set_active 1", "reboot "])
        cmds = r.trace_commands()
        self.assertEqual(cmds[-3:], ["sync", "reboot", "sync"])
        self.assertLess(cmds.index("abctl --set_active 1"), cmds.index("rm '$ROOT/data/delta/' -rf"))
        self.assertTrue(d.exists("/data/dfota_upgraded"))
        self.assertEqual(d.read("/data/recovery/intent"), "--send_intent=DELTA_UPDATE_SUCCESS")
        for gone in ("/data/delta", "/data/delta.zip", "/data/pkg.bin", "/data/upgrade/install/savefile",
                     "/tmp/tmp_file_pt"):
            self.assertFalse(d.exists(gone), gone)
        log = r.log
        self.assertLess(log.index("DFOTA Patch Success"), log.index("change_slot"))
        self.assertLess(log.index("change_slot"), log.index("reboot system"))

    def test_package_in_tmp_and_the_f_path_are_kept(self):
        d = self.device(slot="_a")
        d.package("/tmp/delta", MAP)
        d.write("/data/pkg.bin", "pkg")
        d.write("/data/delta.zip", "zip")
        r = d.run("-f", "/data/pkg.bin")
        self.assertEqual(r.rc, 0)
        for kept in ("/tmp/delta/partition_image_map.cfg", "/data/pkg.bin", "/data/delta.zip"):
            self.assertTrue(d.exists(kept), kept)
        self.assertFalse([c for c in r.trace_commands() if c.startswith("rm ")])

    def test_nr_resets_the_boot_mode_and_does_not_reboot(self):
        d = self.device(slot=None)
        d.package("/data/delta", MAP)
        r = d.run()
        self.assertEqual(r.rc, 0)
        self.assertEqual(d.tool_calls(), ["abctl --boot_slot", "marvane_dev_info write boot_mode 0"])
        self.assertNotIn("reboot", r.trace_commands())
        self.assertLogged(r, "recovery exit")
        self.assertLogged(r, "system type? [NR system]")
        self.assertTrue(d.exists("/data/dfota_upgraded"))
        self.assertEqual(d.read("/data/recovery/intent"), "--send_intent=DELTA_UPDATE_SUCCESS")
        self.assertFalse(d.exists("/data/delta"))

    def test_failing_slot_switch_keeps_the_package_for_another_run(self):
        d = self.device(slot="_a")
        d.package("/data/delta", MAP)
        d.write("/data/pkg.bin", "pkg")
        d.write("/etc/set_active_status", "1")
        r = d.run("-f", "/data/pkg.bin")
        self.assertEqual(r.rc, 255)
        log = r.log
        self.assertEqual(log[log.index("main_err") - 1], "Error, change_slot failed")
        self.assertTrue([m for m in log if m.startswith("[") and "failed, ret: 256, error" in m], log)
        self.assertLogged(r, "DFOTA Patch Failed")
        self.assertEqual(d.status()[0], "dst_failed\n")
        self.assertFalse(d.exists("/data/dfota_upgraded"))
        self.assertFalse(d.exists("/data/recovery/intent"))
        self.assertTrue(d.exists("/data/delta/partition_image_map.cfg"))
        self.assertTrue(d.exists("/data/pkg.bin"))
        self.assertNotIn("reboot ", d.tool_calls())
        # A/B failures never touch the slot again.
        self.assertEqual([c for c in d.tool_calls() if "set_active" in c], ["abctl --set_active 1"])

    def test_nand_nr_failure_asks_nothing_of_the_slot_tool(self):
        d = self.device(kind="nand", slot=None)
        d.package("/tmp/delta", MAP, files={"updater_script_image_diff": "patchfile,boot,0,x,1,y\n"})
        r = d.run()
        self.assertEqual(r.rc, 255)
        self.assertLogged(r, "flashtype: [NAND]")
        self.assertEqual(d.tool_calls(), ["abctl --boot_slot"])


class SlotTest(RunCase):
    def slot_run(self, slot):
        d = self.device(slot=slot)
        d.package("/tmp/delta", MAP)
        return d, d.run()

    def test_running_slot_decides_the_target(self):
        for slot, logged, current, target in (("_a", "SLOT_A", 0, 1), ("_b", "SLOT_B", 1, 0),
                                              ("slot-x", "SLOT_B", 2, 0), ("b_", "SLOT_B", 2, 0)):
            with self.subTest(slot=slot):
                d, r = self.slot_run(slot)
                self.assertEqual(r.rc, 0)
                self.assertLogged(r, "get_current_slot: [%d]" % current)
                self.assertLogged(r, "current_slot: [%s]" % logged)
                self.assertIn("abctl --set_active %d" % target, d.tool_calls())

    def test_without_the_slot_tool_the_system_is_nr(self):
        d = self.device(slot="_a", tools=("marvane_dev_info",))
        d.package("/tmp/delta", MAP)
        r = d.run()
        self.assertEqual(r.rc, 0)
        self.assertTrue([m for m in r.log if m.endswith("get_ab_partition, error")], r.log)
        self.assertLogged(r, "Error, get_ab_system failed,force set ab_system to 0")
        self.assertLogged(r, "system type? [NR system]")
        self.assertNotIn("change_slot", r.log)

    def test_signals_are_logged_and_do_not_stop_the_run(self):
        d = self.device(slot="_a")
        d.package("/tmp/delta", MAP)
        d.write("/etc/abctl_signal", "")
        r = d.run()
        self.assertEqual(r.rc, 0, r.stdout + r.stderr)
        for sig in (10, 12, 15):
            self.assertEqual(r.log.count("sig_handle sig: %d" % sig), 1, r.log)
        self.assertTrue(d.exists("/data/dfota_upgraded"))


    def test_a_console_reader_that_goes_away_does_not_end_the_run(self):
        d = self.device(slot=None)
        d.package("/tmp/delta", MAP)
        r = d.run(stdout_closed=True)
        self.assertEqual(r.rc, 0, r.stderr)
        self.assertTrue(d.exists("/data/dfota_upgraded"))


class MapTest(RunCase):
    def map_run(self, lines, cmdline="console=ttyMSM0"):
        d = self.device(slot=None, cmdline=cmdline)
        d.package("/tmp/delta", lines)
        return d.run()

    def test_recovery_mode_filters_lines(self):
        lines = ["boot boot.img boot boot_a boot_b", "recovery recovery.img recovery recovery_a recovery_b"]
        kept_boot = "pname[boot] imagename[boot.img] nr_pname[boot] a_pnam[boot_a] b_pname[boot_b]"
        kept_rec = ("pname[recovery] imagename[recovery.img] nr_pname[recovery] a_pnam[recovery_a] "
                    "b_pname[recovery_b]")
        for cmdline, boot, rec in (("quiet PRJ_QX410_IN_00", False, True),
                                   ("androidboot.mode=recovery PRJ_QX410_IN_00", True, False),
                                   ("quiet", True, True)):
            with self.subTest(cmdline=cmdline):
                r = self.map_run(lines, cmdline)
                self.assertEqual(r.rc, 0)
                self.assertEqual(kept_boot in r.log, boot)
                self.assertEqual(("skip " + kept_boot) in r.log, not boot)
                self.assertEqual(kept_rec in r.log, rec)
                self.assertLogged(r, "list size[%d]" % (boot + rec))

    def test_comments_blank_lines_and_duplicates(self):
        r = self.map_run(["# pname image nr a b", "", "   ", "boot boot.img boot boot_a boot_b",
                          "boot other.img x y z", "  #x a b c d"])
        self.assertEqual(r.rc, 0)
        self.assertLogged(r, "list size[3]")
        self.assertLogged(r, "pname[#x] imagename[a] nr_pname[b] a_pnam[c] b_pname[d]")

    def test_too_few_fields_refuses_the_package(self):
        r = self.map_run(["boot boot.img boot boot_a boot_b", "system system.img system system_a"])
        self.assertEqual(r.rc, 255)
        self.assertLogged(r, "Error, construct partition and image map fail")

    def test_no_map_is_an_empty_map(self):
        d = self.device(slot=None)
        d.package("/tmp/delta")
        r = d.run()
        self.assertEqual(r.rc, 0)
        self.assertLogged(r, "Warning, Not found file[/tmp/delta/partition_image_map.cfg]")


class OptionsTest(RunCase):
    def test_v_and_unknown_options_change_nothing(self):
        base = self.device(slot="_a")
        base.package("/data/delta", MAP)
        plain = base.run()
        d = self.device(slot="_a")
        d.package("/data/delta", MAP)
        r = d.run("-v", "-x")
        self.assertEqual(r.rc, plain.rc)
        self.assertEqual(r.rc, 0)
        self.assertEqual(d.status(), base.status())
        self.assertEqual(d.tool_calls(), base.tool_calls())
        self.assertEqual(r.trace, plain.trace)
        self.assertIn("invalid option", r.stderr)

    def test_debug_mode_echoes_to_the_console(self):
        for how in ("option", "flag file"):
            with self.subTest(how=how):
                d = self.device(slot=None)
                d.package("/tmp/delta", MAP)
                d.write("/dev/ttyMSM0", "")
                if how == "flag file":
                    d.write("/data/flag_upgrade_debug", "")
                r = d.run(*(["-d"] if how == "option" else []))
                self.assertEqual(r.rc, 0)
                console = d.read("/dev/ttyMSM0")
                self.assertIn("[DFLOG][", console)
                self.assertIn("DFOTA Patch Success", console)
                # Lines before the options were parsed still went to stdout.
                self.assertIn("------Upgrade Entry------", r.stdout)
                self.assertNotIn("DFOTA Patch Success", r.stdout)


if __name__ == "__main__":
    unittest.main()
