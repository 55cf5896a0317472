"""The simulated device binary refuses a root or a cut point it cannot use.
(Its trace, cuts and platform tools are unit-tested in tests/platform.)"""

import os
import unittest

from simdev import Device


class SimTest(unittest.TestCase):
    def test_a_bad_root_or_cut_point_is_refused_before_anything_is_written(self):
        for var, values in (("DFOTA_SYSROOT", (None, "", "relative/root", "/nonexistent/dfota-root", "/etc/hostname")),
                            ("DFOTA_SIM_CUT_AT", ("0", "-3", "ten"))):
            for value in values:
                with self.subTest(var=var, value=value), Device() as d:
                    # Run from an empty directory: anything written relative to it would show.
                    cwd = os.path.join(d.base, "cwd")
                    os.makedirs(cwd)
                    r = d.run(env={var: value}, cwd=cwd)
                    self.assertEqual((r.rc, r.stdout, os.listdir(cwd)), (255, "", []))
                    self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                    self.assertIn(var, r.stderr)
                    self.assertFalse(d.exists("/data/upgrade"))


if __name__ == "__main__":
    unittest.main()
