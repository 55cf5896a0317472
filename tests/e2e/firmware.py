"""Old and new firmware for simulated devices, and packages that carry the
step between them: full images, whole-image patches and 20 MiB block patches,
made with Debian's bsdiff."""

import hashlib
import os
import random
import subprocess
import tempfile

BLOCK = 20 * 1024 * 1024


def md5(data):
    return hashlib.md5(data).hexdigest()


def image(size, seed):
    """Firmware-like bytes: runs of a few repeating records, so that patches
    stay small and bsdiff stays fast."""
    rnd = random.Random(seed)
    records = [bytes(rnd.randrange(256) for _ in range(64)) for _ in range(16)]
    out = bytearray()
    while len(out) < size:
        out += records[rnd.randrange(16)] * rnd.randrange(1, 64)
    return bytes(out[:size])


def revise(old, seed, size=None, edits=64):
    """The next version of an image: scattered edits, optionally another size."""
    rnd = random.Random(seed)
    new = bytearray(old[:size] if size is not None else old)
    if size is not None and size > len(new):
        new += image(size - len(new), seed + 1)
    for _ in range(edits):
        at = rnd.randrange(len(new))
        chunk = bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 200)))
        new[at:at + len(chunk)] = chunk
    return bytes(new[:len(new)])


_patch_cache = {}


def bsdiff(old, new):
    key = (md5(old), md5(new))
    if key not in _patch_cache:
        with tempfile.TemporaryDirectory() as t:
            paths = [os.path.join(t, n) for n in ("old", "new", "patch")]
            for p, data in zip(paths, (old, new)):
                with open(p, "wb") as f:
                    f.write(data)
            subprocess.run(["bsdiff"] + paths, check=True)
            with open(paths[2], "rb") as f:
                _patch_cache[key] = f.read()
    return _patch_cache[key]


class Package:
    """Files of one package: scripts and image/ by relative path."""

    def __init__(self):
        self.files = {}
        self.full, self.diff, self.block = [], [], []

    def add_full(self, pname, imagename, new):
        self.files["image/" + imagename] = new
        self.full.append("addfile,%s,%d,%s" % (pname, len(new), md5(new)))

    def add_image_diff(self, pname, imagename, old, new):
        self.files["image/%s.p" % imagename] = bsdiff(old, new)
        self.diff.append("patchfile,%s,%d,%s,%d,%s" % (pname, len(old), md5(old), len(new), md5(new)))

    def add_block_diff(self, pname, imagename, old, new):
        for n, off in enumerate(range(0, len(new), BLOCK)):
            o, w = old[off:off + BLOCK], new[off:off + BLOCK]
            self.files["image/%s_chunk_%d.p" % (imagename, n)] = bsdiff(o, w) if o else w
            self.block.append("patchblock,%s,%d,%d,%s,%d,%s" % (pname, off, len(o), md5(o) if o else "0" * 32,
                                                                 len(w), md5(w)))

    def install(self, dev, where, map_lines):
        files = dict(self.files)
        for name, lines in (("updater_script_image_full", self.full), ("updater_script_image_diff", self.diff),
                            ("updater_script_block_diff", self.block)):
            if lines:
                files[name] = "".join(l + "\n" for l in lines)
        dev.package(where, map_lines, files)
