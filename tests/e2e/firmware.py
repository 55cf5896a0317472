"""Old and new firmware for simulated devices, and the packages that carry
the step between them, made by dfota-mkpkg from two firmware builds."""

import hashlib
import os
import random
import subprocess
import tempfile
from pathlib import Path

BLOCK = 20 * 1024 * 1024
MKPKG = os.environ.get("DFOTA_MKPKG", "")
_patches = {}


def md5(data):
    return hashlib.md5(data).hexdigest()


def image(size, seed):
    """Firmware-like bytes: runs of a few repeating records, so that patches
    stay small."""
    rnd = random.Random(seed)
    records = [bytes(rnd.randrange(256) for _ in range(64)) for _ in range(16)]
    out = bytearray()
    while len(out) < size:
        out += records[rnd.randrange(16)] * rnd.randrange(1, 64)
    return bytes(out[:size])


def revise(old, seed, size=None, edits=64):
    """The next version of an image: scattered edits, optionally another size."""
    rnd = random.Random(seed)
    new = bytearray(old[:size])
    if size is not None and size > len(new):
        new += image(size - len(new), seed + 1)
    for _ in range(edits):
        at = rnd.randrange(len(new))
        chunk = bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 200)))
        new[at:at + len(chunk)] = chunk
    return bytes(new)


def mkpkg(*args):
    assert MKPKG, "DFOTA_MKPKG must name the dfota-mkpkg binary"
    r = subprocess.run([MKPKG, *map(str, args)], capture_output=True, text=True)
    assert r.returncode == 0, "dfota-mkpkg %s: %s" % (" ".join(map(str, args)), r.stderr)
    return r


def keypair(name, _made={}):
    """A key pair made once per test process: the path of its files without
    the .key or .pub suffix."""
    if name not in _made:
        _made[name] = tempfile.mkdtemp(prefix="dfota-key-")
        mkpkg("--keygen", _made[name])
    return os.path.join(_made[name], "dfota")


def sign(dev, where, name="ours"):
    """Signs the package in dev's directory where and makes the device trust
    the key."""
    mkpkg("--sign", keypair(name) + ".key", dev.path(where))
    dev.write("/etc/dfota/trusted.pub", Path(keypair(name) + ".pub").read_text())


def diff(old, new):
    """A BSDIFF40 patch from old to new, made by the generator."""
    key = (md5(old), md5(new))
    if key not in _patches:
        with tempfile.TemporaryDirectory() as t:
            Path(t, "old").write_bytes(old)
            Path(t, "new").write_bytes(new)
            mkpkg("--diff", Path(t, "old"), Path(t, "new"), Path(t, "patch"))
            _patches[key] = Path(t, "patch").read_bytes()
    return _patches[key]


class Package:
    """Partition updates of one package; the files come from dfota-mkpkg,
    made for the kind of device the package is installed on."""

    def __init__(self):
        self.parts = []  # (pname, imagename, update, old or None, new)
        self.made = {}

    def add_full(self, pname, imagename, new):
        self.parts.append((pname, imagename, "full", None, new))

    def add_image_diff(self, pname, imagename, old, new):
        self.parts.append((pname, imagename, "diff", old, new))

    def add_block_diff(self, pname, imagename, old, new):
        self.parts.append((pname, imagename, "block", old, new))

    def files(self, ab, nand):
        """The package's files by relative path, the map left out."""
        if (ab, nand) not in self.made:
            with tempfile.TemporaryDirectory() as t:
                toml = '[device]\nstorage = "%s"\nslots = "%s"\n' % ("nand" if nand else "emmc", "ab" if ab else "nr")
                for pname, imagename, update, old, new in self.parts:
                    toml += '[[partition]]\nname = "%s"\nimage = "%s"\nnr = "%s"\na = "%s_a"\nb = "%s_b"\n' \
                            'update = "%s"\n' % (pname, imagename, pname, pname, pname, update)
                    for build, data in (("old", old), ("new", new)):
                        if data is not None:
                            Path(t, build, "images").mkdir(parents=True, exist_ok=True)
                            Path(t, build, "images", imagename).write_bytes(data)
                Path(t, "new", "firmware.toml").write_text(toml)
                Path(t, "old").mkdir(exist_ok=True)
                mkpkg(Path(t, "old"), Path(t, "new"), Path(t, "out"))
                out = Path(t, "out")
                self.made[ab, nand] = {str(p.relative_to(out)): p.read_bytes() for p in sorted(out.rglob("*"))
                                       if p.is_file() and p.name != "partition_image_map.cfg"}
        return self.made[ab, nand]

    def install(self, dev, where, map_lines, ab=None, nand=None):
        """Into dev's package directory, with the test's own map lines (a
        device without a slot file is NR, one with /proc/mtd is NAND)."""
        ab = dev.exists("/etc/slot") if ab is None else ab
        nand = dev.exists("/proc/mtd") if nand is None else nand
        dev.package(where, map_lines, self.files(ab, nand))
