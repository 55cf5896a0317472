"""Builds old firmware on simulated modules, a delta package to the new
firmware, runs dfota-sim on them and shows what changed."""

import copy
import os
import shutil
import tempfile

import simdev
from firmware import Package, image, md5, revise
from simdev import Device

MIB = 1024 * 1024
MAP = [
    "# pname   imagename    nr_pname  a_pname   b_pname",
    "boot      boot.img     boot      boot_a    boot_b",
    "modem     NON-HLOS.bin modem     modem_a   modem_b",
    "system    system.img   system    system_a  system_b",
]
SIZES = {"boot": 2 * MIB, "modem": 6 * MIB, "system": 64 * MIB}


def firmware():
    old = {"boot": image(1 * MIB, 1), "modem": image(4 * MIB, 2), "system": image(56 * MIB, 3)}
    new = {"boot": revise(old["boot"], 11),
           "modem": revise(old["modem"], 12, size=4 * MIB + 300 * 1024),
           "system": revise(old["system"], 13, size=60 * MIB)}
    pkg = Package()
    pkg.add_full("boot", "boot.img", new["boot"])
    pkg.add_image_diff("modem", "NON-HLOS.bin", old["modem"], new["modem"])
    pkg.add_block_diff("system", "system.img", old["system"], new["system"])
    return old, new, pkg


def heading(title):
    print("=" * 78)
    print(title)
    print("=" * 78)


def base(p):
    return p.split("_")[0]


def state(dev, p, old, new):
    n, o = new[base(p)], old[base(p)]
    stream = dev.partition_stream(p, max(len(n), len(o)))
    if stream[:len(n)] == n:
        return "new     " + md5(n)
    if stream[:len(o)] == o:
        return "old     " + md5(o)
    return "neither " + md5(stream[:len(n)])


def states(dev, parts, old, new):
    return {p: state(dev, p, old, new) for p in parts}


def table(parts, before, after):
    print("   %-10s %-42s %-42s" % ("partition", "before", "after"))
    for p in parts:
        print("   %-10s %-42s %-42s" % (p, before[p], after[p]))


def report(dev, result):
    print("   exit status : %d" % result.rc)
    print("   stages      : %s" % ", ".join((dev.status()[1] or "").split()))
    print("   tools called: %s" % "; ".join(dev.tool_calls()))
    errors = [m for m in result.log if m.startswith("Error")]
    if result.rc != 0:
        print("   errors      : %s" % " | ".join(errors))


def clone(dev):
    twin = copy.copy(dev)
    twin.base = tempfile.mkdtemp(prefix="dfota-demo-", dir=simdev.WORK)
    twin.root = os.path.join(twin.base, "root")
    shutil.copytree(dev.root, twin.root, symlinks=True)
    return twin


def main():
    print("building old firmware, new firmware and the package (bsdiff patches) ...")
    old, new, pkg = firmware()
    print("package: full image of boot, image diff of modem, block diff of system in %d blocks of 20 MiB\n"
          % len(pkg.block))

    ab = Device(kind="emmc", slot="_a")
    for p in SIZES:
        ab.add_partition(p + "_a", SIZES[p], old[p])
        ab.add_partition(p + "_b", SIZES[p], b"")
    pkg.install(ab, "/data/delta", MAP)
    parts = [p + s for p in SIZES for s in ("_a", "_b")]
    before = states(ab, parts, old, new)
    r = ab.run()
    heading("A/B eMMC module running slot A: the package writes slot B and switches to it")
    table(parts, before, states(ab, parts, old, new))
    report(ab, r)
    print("   active slot : %s" % (ab.read("/etc/active_slot").strip() if ab.exists("/etc/active_slot") else "-"))
    print()

    nr = Device(kind="nand", slot=None)
    for p in SIZES:
        nr.add_partition(p, SIZES[p], old[p], bad=(3,) if p == "modem" else ())
    pkg.install(nr, "/tmp/delta", MAP)
    twin = clone(nr)
    parts = list(SIZES)
    before = states(nr, parts, old, new)
    r = nr.run()
    heading("Non-redundant NAND module (modem has a bad block): partitions rewritten in place")
    table(parts, before, states(nr, parts, old, new))
    report(nr, r)
    print()

    cut = len(r.trace) // 2
    heading("The same NAND module, power cut at operation %d of %d, then the next boot" % (cut, len(r.trace)))
    r1 = twin.run(cut_at=cut)
    print("   first run   : exit %d, %s" % (r1.rc, r1.stderr.strip().splitlines()[-1]))
    print("   after cut   : %s" % ", ".join("%s %s" % (p, s.split()[0]) for p, s in states(twin, parts, old, new).items()))
    left = [f for f in ("/data/upgrade/install/savefile", "/data/block_backup") if twin.exists(f)]
    print("   save files  : %s" % (", ".join(left) or "none"))
    r2 = twin.run()
    after = states(twin, parts, old, new)
    print("   second run  : exit %d" % r2.rc)
    table(parts, before, after)
    print("   all new     : %s" % all(after[p].startswith("new") for p in parts))

    for d in (ab, nr, twin):
        d.close()


if __name__ == "__main__":
    main()
