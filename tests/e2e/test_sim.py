"""The simulated device itself: its root, its tools, its trace and power cuts."""

import os
import subprocess
import unittest

import simdev
from simdev import Device


class RootTest(unittest.TestCase):
    def run_without_root(self, root_value):
        # Run from an empty scratch directory so that anything written
        # relative to the current directory would show.
        d = Device()
        self.addCleanup(d.close)
        scratch = os.path.join(d.base, "cwd")
        os.makedirs(scratch)
        env = {"PATH": "/usr/bin:/bin"}
        if root_value is not None:
            env["DFOTA_SYSROOT"] = root_value
        cmd = simdev.shlex.split(simdev.EMULATOR) + [simdev.SIM]
        sandbox = d.sandbox() + ["--chdir", scratch, "--"]
        proc = subprocess.run(sandbox + cmd, env=env, capture_output=True, text=True, cwd=scratch)
        d.check_canaries()
        return proc, scratch, d

    def test_refuses_to_start_without_a_valid_root(self):
        for value in (None, "", "relative/root", "/nonexistent/dfota-root", "/etc/hostname"):
            with self.subTest(root=value):
                proc, scratch, d = self.run_without_root(value)
                self.assertEqual(proc.returncode, 255)
                lines = proc.stderr.strip().splitlines()
                self.assertEqual(len(lines), 1, proc.stderr)
                self.assertIn("DFOTA_SYSROOT", lines[0])
                self.assertEqual(proc.stdout, "")
                self.assertEqual(os.listdir(scratch), [])
                self.assertFalse(os.path.exists(d.path("/data/upgrade")))

    def test_a_bad_cut_point_is_refused(self):
        d = Device()
        self.addCleanup(d.close)
        for value in ("0", "-3", "ten"):
            with self.subTest(cut=value):
                r = d.run(env={"DFOTA_SIM_CUT_AT": value})
                self.assertEqual(r.rc, 255)
                self.assertIn("DFOTA_SIM_CUT_AT", r.stderr)
                self.assertFalse(d.exists("/data/upgrade"))

    def test_a_run_writes_only_inside_its_root(self):
        # The sandbox makes the host read-only with empty canaries for /data
        # and /tmp; run() fails the test if anything lands there.
        d = Device(slot="_a")
        self.addCleanup(d.close)
        d.package("/data/delta", ["boot boot.img boot boot_a boot_b"])
        r = d.run()
        self.assertEqual(r.rc, 0, r.stdout + r.stderr)
        self.assertTrue(d.exists("/data/upgrade/install/log"))
        self.assertTrue(d.exists("/tmp/restoredut_flag"))


class ToolTest(unittest.TestCase):
    def test_missing_platform_tool_is_status_127_and_never_the_hosts(self):
        # NR eMMC device whose package fails: the failure path asks abctl for
        # slot 0. Without abctl in the root the command must not run at all.
        d = Device(slot=None, tools=("marvane_dev_info",))
        self.addCleanup(d.close)
        d.package("/tmp/delta", files={"updater_script_image_diff": "patchfile,boot,1,x,1,y\n"})
        r = d.run()
        self.assertEqual(r.rc, 255)
        self.assertIn("abctl --set_active 0", r.trace_commands())
        self.assertTrue([m for m in r.log if "failed, ret: 32512" in m], r.log)
        self.assertIn("abctl: not found", r.stderr)
        self.assertEqual(d.tool_calls(), [])

    def test_reboot_and_mount_tools_come_only_from_the_root(self):
        # An A/B device without reboot in its bin: the completion's "reboot"
        # is refused although the host has a reboot command.
        d = Device(slot="_b", tools=("abctl", "marvane_dev_info"))
        self.addCleanup(d.close)
        d.package("/tmp/delta", ["boot boot.img boot boot_a boot_b"])
        r = d.run()
        self.assertEqual(r.rc, 0, r.stdout + r.stderr)
        self.assertIn("reboot", r.trace_commands())
        self.assertIn("reboot: not found", r.stderr)
        self.assertEqual(d.tool_calls(), ["abctl --boot_slot", "abctl --boot_slot", "abctl --set_active 0"])


class TraceTest(unittest.TestCase):
    def full_run_trace(self):
        d = Device(slot=None)
        self.addCleanup(d.close)
        d.package("/data/delta", ["boot boot.img boot boot_a boot_b"])
        r = d.run()
        self.assertEqual(r.rc, 0, r.stdout + r.stderr)
        return r.trace

    def test_operations_are_numbered_from_one_without_gaps(self):
        trace = self.full_run_trace()
        self.assertGreater(len(trace), 20)
        numbers = [int(l.split(" ", 1)[0]) for l in trace]
        self.assertEqual(numbers, list(range(1, len(trace) + 1)))
        kinds = {l.split(" ", 2)[1] for l in trace}
        self.assertTrue(kinds <= {"write", "truncate", "create", "unlink", "remove", "rename", "chmod",
                                  "mkdir", "erase", "command"}, kinds)
        # The log is the agent's own and never counted.
        self.assertFalse([l for l in trace if l.endswith("/install/log") or l.endswith("/logbak")])
        self.assertTrue(trace[0].startswith("1 command mkdir -p "))

    def test_cut_at_each_point_stops_there_and_the_next_boot_finishes(self):
        trace = self.full_run_trace()
        marker_op = next(i + 1 for i, l in enumerate(trace) if "dfota_upgraded" in l)
        for n in (1, 2, len(trace) // 2, marker_op, len(trace)):
            with self.subTest(cut=n):
                d = Device(slot=None)
                self.addCleanup(d.close)
                d.package("/data/delta", ["boot boot.img boot boot_a boot_b"])
                r = d.run(cut_at=n)
                self.assertEqual(r.rc, 137)
                self.assertEqual(len(r.trace), n - 1)
                self.assertEqual(r.trace, trace[:n - 1])
                self.assertIn("power cut before operation %d" % n, r.stderr)
                if n <= marker_op:
                    self.assertFalse(d.exists("/data/dfota_upgraded"))
                    self.assertFalse(d.exists("/data/recovery/intent"))
                if n == 1:
                    self.assertFalse(d.exists("/data/upgrade"))
                if n == marker_op:
                    # Everything before the marker happened, nothing after it.
                    self.assertEqual(d.log_messages()[-1], "reboot system")
                    self.assertEqual(d.status()[0], "dst_reboot\n")
                again = d.run()
                self.assertEqual(again.rc, 0, again.stdout + again.stderr)
                self.assertTrue(d.exists("/data/dfota_upgraded"))
                self.assertEqual(d.read("/data/recovery/intent"), "--send_intent=DELTA_UPDATE_SUCCESS")


if __name__ == "__main__":
    unittest.main()
