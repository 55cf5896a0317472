"""dfota-mkpkg end to end: a package made from two firmware builds, proved by
its own --check on a simulated device of every kind (with power cuts on
one; two signed, checked by a device that trusts the key), and a damaged
package that the check must refuse."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from firmware import image, revise
from simdev import EMULATOR, SIM, WORK

MKPKG = os.environ.get("DFOTA_MKPKG", "")
KIB, MIB = 1024, 1024 * 1024

# Partitions: name, image file, update, old image, new image. tz is gated by
# its version, aop is unchanged (left out on NR, carried on A/B), and the
# new system image reaches into a second 20 MiB block the old one lacks.
SYSTEM = image(20 * MIB - 128 * KIB, 5)
PARTITIONS = [("tz", "tz.mbn", "full", image(64 * KIB, 1), image(80 * KIB, 2)),
              ("aop", "aop.mbn", "full", image(32 * KIB, 3), image(32 * KIB, 3)),
              ("boot", "boot.img", "diff", image(96 * KIB, 4), revise(image(96 * KIB, 4), 7, size=120 * KIB)),
              ("system", "system.img", "block", SYSTEM, revise(SYSTEM, 6, size=20 * MIB + 256 * KIB))]
OLD_VERSIONS = {"TZ_VERSION": "TZ_V=1.0\n", "AOP_VERSION": "AOP_V=3.1\n"}
NEW_VERSIONS = {"TZ_VERSION": "TZ_V=1.1\n", "AOP_VERSION": "AOP_V=3.1\n"}
# Root file systems: bytes (mode 0644), (bytes, mode), ("->", target), or a directory mode.
BIG = image(64 * KIB, 8)
OLD_FS = {"usr/lib/old.so": b"old", "usr/lib/link.so": ("->", "old.so"), "usr/lib/libc.so": ("->", "libc.so.6"),
          "usr/lib/libc.so.6": b"c6", "usr/bin/big": (BIG, 0o755), "etc/conf": b"conf",
          "usr/share/olddir/x/y": b"y", "firmware/wlan.bin": image(24 * KIB, 9), "var": 0o755}
NEW_FS = {"usr/lib/libc.so": ("->", "libc.so.7"), "usr/lib/libc.so.7": b"c7", "usr/lib/libnew.so": ("->", "libc.so.7"),
          "usr/bin/big": (revise(BIG, 10), 0o755), "usr/bin/tool": (b"#!/bin/sh\n", 0o750), "etc/conf": (b"conf", 0o600),
          "usr/share/newdir/sub/file": b"deep", "usr/share/newdir/sub": 0o700,
          "firmware/wlan.bin": revise(OLD_FS["firmware/wlan.bin"], 11), "firmware/new.bin": b"fw", "var": 0o755}
# Damage the check must find: what, the file changed (a byte flipped, or
# added), what it says.
DAMAGE = [("a patch", "bad-out/image/boot.img.p", r"\ncheck: [1-9]\d* of \d+ rows differ\n"),
          ("an image", "bad-out/image/tz.mbn", r"\ncheck: [1-9]\d* of \d+ rows differ\n"),
          ("a root file system with its own cat", "bad-old/rootfs/bin/cat", r"cannot be checked: /bin/cat\n")]
# Device kinds: storage, slots, full images on both slots, power cuts, signed.
KINDS = {"A/B eMMC": ("emmc", "ab", True, 0, True), "NR eMMC": ("emmc", "nr", False, 0, False),
         "NR NAND": ("nand", "nr", False, 3, True), "A/B NAND": ("nand", "ab", False, 0, False)}


def tree(top, entries):
    for rel, v in sorted(entries.items(), key=lambda e: isinstance(e[1], int)):  # directory modes last
        p = Path(top, rel)
        p.mkdir(parents=True, exist_ok=True) if isinstance(v, int) else p.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(v, int):
            p.chmod(v)
        elif v[0] == "->":
            p.symlink_to(v[1])
        else:
            p.write_bytes(v if isinstance(v, bytes) else v[0])
            p.chmod(0o644 if isinstance(v, bytes) else v[1])


def firmware(top, storage, slots, both, new):
    """A firmware build directory: images/, versions/, rootfs/, and in the
    new one firmware.toml."""
    tree(top + "/images", {f: (n if new else o) for _, f, _, o, n in PARTITIONS})
    tree(top + "/versions", {k: v.encode() for k, v in (NEW_VERSIONS if new else OLD_VERSIONS).items()})
    tree(top + "/rootfs", NEW_FS if new else OLD_FS)
    if new:
        names = lambda p: 'a = "%s_a"\nb = "%s_b"\n' % (p, p) if slots == "ab" else 'nr = "%s"\n' % p
        Path(top, "firmware.toml").write_text(
            '[device]\nstorage = "%s"\nslots = "%s"\n%s' % (storage, slots, "both_slots = true\n" * both) + "".join(
                '\n[[partition]]\nname = "%s"\nimage = "%s"\nupdate = "%s"\n%s' % (p, f, u, names(p))
                for p, f, u, _, _ in PARTITIONS))


def mkpkg(base, *args):
    """dfota-mkpkg with the host read-only but for base: a run that escapes
    its simulated device fails instead of touching this machine."""
    env = dict(os.environ, TMPDIR=base, DFOTA_SIM=SIM, DFOTA_MKPKG_JOBS="2")
    cmd = ["bwrap", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--bind", base, base,
           "--unshare-pid", "--die-with-parent", MKPKG] + list(args)
    return subprocess.run(cmd, env=env, capture_output=True, text=True, errors="replace", timeout=600)


# --check runs the agent on this machine: not a cross build's, which needs an emulator.
@unittest.skipUnless(MKPKG and SIM and not EMULATOR, "DFOTA_MKPKG and DFOTA_SIM name host binaries")
class MakePackageTest(unittest.TestCase):
    def test_package_round_trips_on_every_kind(self):
        for kind, (storage, slots, both, cuts, signed) in KINDS.items():
            with self.subTest(kind), tempfile.TemporaryDirectory(prefix="dfota-mkpkg-", dir=WORK) as base:
                old, new, out = base + "/old", base + "/new", base + "/out"
                firmware(old, storage, slots, both, False)
                firmware(new, storage, slots, both, True)
                if signed:
                    self.assertEqual(mkpkg(base, "--keygen", base + "/keys").returncode, 0)
                r = mkpkg(base, *(["--sign", base + "/keys/dfota.key"] if signed else []), old, new, out)
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                r = mkpkg(base, "--check", old, new, out, *(["--cuts", str(cuts)] if cuts else []))
                self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
                self.assertEqual("the device trusts the signer's key" in r.stdout, signed)
                self.assertRegex(r.stdout, r"\ncheck: \d+ rows, all equal\n")
                for path in ("/usr/lib/old.so", "/usr/lib/libc.so", "/etc/conf", "/firmware/new.bin"):
                    self.assertRegex(r.stdout, r"\n%s .* ok\n" % re.escape(path))
                if cuts:
                    self.assertIn("\ncuts: %d of %d ended on the new firmware" % (cuts, cuts), r.stdout)
                if kind != "A/B eMMC":
                    continue
                for what, path, pattern in DAMAGE:
                    for copy in ("old", "out"):
                        shutil.rmtree(base + "/bad-" + copy, ignore_errors=True)
                        shutil.copytree(base + "/" + copy, base + "/bad-" + copy, symlinks=True)
                    p = Path(base, path)
                    if p.exists():
                        data = bytearray(p.read_bytes())
                        data[100] ^= 0x20
                        p.write_bytes(data)
                    else:
                        tree(str(p.parent), {p.name: (b"#!/bin/sh\n", 0o755)})
                    r = mkpkg(base, "--check", base + "/bad-old", new, base + "/bad-out")
                    self.assertEqual(r.returncode, 1, what + "\n" + r.stdout + r.stderr)
                    self.assertRegex(r.stdout + r.stderr, pattern, what)
                    if what != "a root file system with its own cat":  # the agent refused it unread
                        self.assertIn("package refused: another digest: " + path[8:], r.stderr, what)


if __name__ == "__main__":
    unittest.main()
