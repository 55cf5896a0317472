"""Old and new firmware for simulated devices, and packages that carry the
step between them: full images, whole-image patches and 20 MiB block patches,
made with Debian's bsdiff."""

import hashlib
import random
import subprocess
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

BLOCK = 20 * 1024 * 1024
_patches = {}


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
    new = bytearray(old[:size])
    if size is not None and size > len(new):
        new += image(size - len(new), seed + 1)
    for _ in range(edits):
        at = rnd.randrange(len(new))
        chunk = bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 200)))
        new[at:at + len(chunk)] = chunk
    return bytes(new)


def bsdiff(old, new):
    key = (md5(old), md5(new))
    if key not in _patches:
        with tempfile.TemporaryDirectory() as t:
            Path(t, "old").write_bytes(old)
            Path(t, "new").write_bytes(new)
            subprocess.run(["bsdiff", "old", "new", "patch"], cwd=t, check=True)
            _patches[key] = Path(t, "patch").read_bytes()
    return _patches[key]


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
        blocks = [(old[off:off + BLOCK], new[off:off + BLOCK]) for off in range(0, len(new), BLOCK)]
        with ThreadPoolExecutor() as pool:
            # A block beyond the old image is carried whole.
            chunks = pool.map(lambda b: bsdiff(*b) if b[0] else b[1], blocks)
        for n, ((o, w), chunk) in enumerate(zip(blocks, chunks)):
            self.files["image/%s_chunk_%d.p" % (imagename, n)] = chunk
            self.block.append("patchblock,%s,%d,%d,%s,%d,%s" % (pname, n * BLOCK, len(o), md5(o) if o else "0" * 32,
                                                                 len(w), md5(w)))

    def install(self, dev, where, map_lines):
        scripts = {"updater_script_image_full": self.full, "updater_script_image_diff": self.diff,
                   "updater_script_block_diff": self.block}
        dev.package(where, map_lines, {**self.files, **{n: "".join(l + "\n" for l in lines)
                                                        for n, lines in scripts.items() if lines}})
