"""Builds old firmware on simulated modules, a delta package to the new
firmware, runs dfota-sim on them and shows what changed."""

import copy
import os
import re
import shutil
import stat
import tempfile

import simdev
from firmware import Package, bsdiff, image, md5, revise
from simdev import TOOL_HEAD, Device

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


KIB = 1024
AGENT_OLD, APP_OLD = image(64 * KIB, 31), image(64 * KIB, 33)
AGENT_NEW, APP_NEW = revise(AGENT_OLD, 32), revise(APP_OLD, 34)
LIB_NEW = image(8 * KIB, 35)
# Root file system entries: (content, mode) for a file, ("->", target) for a
# link, a mode for a directory. /opt is its own file system, kept nearly full
# by app.bin, so that one patch has no room to keep the old copy beside it.
ROOT_OLD = {"usr/bin/agentd": (AGENT_OLD, 0o755), "usr/lib/libold.so.1": (b"old library", 0o644),
            "usr/lib/libold.so": ("->", "libold.so.1"), "usr/share/legacy": 0o755,
            "usr/share/legacy/readme": (b"legacy notes", 0o644), "opt/app.bin": (APP_OLD, 0o600)}
ROOT_NEW = {"usr/bin/agentd": (AGENT_NEW, 0o755), "usr/lib/libnew.so.2": (LIB_NEW, 0o755),
            "usr/lib/libnew.so": ("->", "libnew.so.2"), "usr/share/help": 0o755,
            "usr/share/help/index": (b"help index", 0o644), "usr/share/help/en/intro": (b"intro", 0o644),
            "opt/app.bin": (APP_NEW, 0o640)}
ROOT_PACKAGE = {"system/usr/bin/agentd.p": (bsdiff(AGENT_OLD, AGENT_NEW), 0o644),
                "system/opt/app.bin.p": (bsdiff(APP_OLD, APP_NEW), 0o644),
                "system/usr/lib/libnew.so.2": (LIB_NEW, 0o644), "system/usr/lib/libnew.so": ("->", "libnew.so.2"),
                "system/usr/share/help/index": (b"help index", 0o644),
                "system/usr/share/help/en/intro": (b"intro", 0o644)}
ROOT_SCRIPT = """deletefile,usr/lib/libold.so.1
deletelink,usr/lib/libold.so
deletedir,usr/share/legacy
addlink,usr/lib/libnew.so
adddir,usr/share/help,755
addfile,usr/lib/libnew.so.2,%s,755
patchfile,usr/bin/agentd,%s,%s,0,755
patchfile,opt/app.bin,%s,%s,0,640
addrecursive,usr/share/help/
""" % (md5(LIB_NEW), md5(AGENT_OLD), md5(AGENT_NEW), md5(APP_OLD), md5(APP_NEW))
# Shown in the order of the script: what goes, what comes, what is patched.
ROOT_PATHS = ["usr/lib/libold.so.1", "usr/lib/libold.so", "usr/share/legacy", "usr/share/legacy/readme",
              "usr/lib/libnew.so", "usr/share/help", "usr/share/help/index", "usr/share/help/en/intro",
              "usr/lib/libnew.so.2", "usr/bin/agentd", "opt/app.bin"]
# Where old copies wait while a patch is applied; none may outlive the run.
LEFTOVERS = ("/data/upgrade/install/savefile", "/system/savefile_ex", "/usr/bin/agentd.bak", "/opt/app.bin.bak")


def lay(dev, where, entries):
    for rel, v in sorted(entries.items()):
        p = dev.path(where + "/" + rel)
        os.makedirs(p if isinstance(v, int) else os.path.dirname(p), exist_ok=True)
        if isinstance(v, int):
            os.chmod(p, v)
        elif v[0] == "->":
            os.symlink(v[1], p)
        else:
            dev.write(where + "/" + rel, v[0])
            os.chmod(p, v[1])


def add_root_fs(dev, where):
    """The old root file system, and what the package carries to change it."""
    lay(dev, "", ROOT_OLD)
    lay(dev, where, ROOT_PACKAGE)
    dev.package(where, None, {"updater_script_system": ROOT_SCRIPT})
    # The agent asks df which file system a path is on and how much room it has.
    dev.add_tool("df", TOOL_HEAD + 'exec /bin/df "$@"\n')
    dev.small = {"/opt": 100 * KIB}


def entry(v):
    """kind, mode, what: a short digest, a link target or nothing."""
    if isinstance(v, int):
        return "dir", "%o" % v, ""
    if v[0] == "->":
        return "link", "", "-> " + v[1]
    return "file", "%o" % v[1], md5(v[0])[:8]


def found(dev, rel):
    p = dev.path("/" + rel)
    if not os.path.lexists(p):
        return None
    st = os.lstat(p)
    if stat.S_ISLNK(st.st_mode):
        return entry(("->", os.readlink(p)))
    if stat.S_ISDIR(st.st_mode):
        return entry(st.st_mode & 0o7777)
    with open(p, "rb") as f:
        return entry((f.read(), st.st_mode & 0o7777))


def root_state(dev, rel):
    e = found(dev, rel)
    label = ("absent" if e is None else "new" if rel in ROOT_NEW and e == entry(ROOT_NEW[rel])
             else "old" if rel in ROOT_OLD and e == entry(ROOT_OLD[rel]) else "other")
    return label, e


def root_states(dev):
    return {rel: root_state(dev, rel) for rel in ROOT_PATHS}


def root_summary(dev):
    """new: every path as the new firmware has it and no old copy left; old:
    every path as the old firmware has it."""
    if all(root_state(dev, rel)[0] == ("new" if rel in ROOT_NEW else "absent") for rel in ROOT_PATHS):
        return "old copies left" if any(dev.exists(f) for f in LEFTOVERS) else "new"
    if all(root_state(dev, rel)[0] == ("old" if rel in ROOT_OLD else "absent") for rel in ROOT_PATHS):
        return "old"
    return "mixed"


def root_table(before, after):
    def cell(s):
        label, e = s
        return "%-6s %s" % (label, "" if e is None else "%-4s %-3s %s" % e)
    print("   %-25s %-31s %-31s" % ("root file system", "before", "after"))
    for rel in ROOT_PATHS:
        print("   %-25s %-31s %-31s" % ("/" + rel, cell(before[rel]), cell(after[rel])))


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
    # df is handed the simulated root's real path; show the path on the module.
    print("   tools called: %s" % "; ".join(c.replace(dev.root, "") for c in dev.tool_calls()))
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
    add_root_fs(nr, "/tmp/delta")
    twin = clone(nr)
    parts = list(SIZES)
    before, root_before = states(nr, parts, old, new), root_states(nr)
    r = nr.run()
    heading("Non-redundant NAND module (modem has a bad block): partitions and root file system changed in place")
    table(parts, before, states(nr, parts, old, new))
    print()
    root_table(root_before, root_states(nr))
    report(nr, r)
    print("   root fs     : %s" % root_summary(nr))
    print("   patches     : agentd's old copy waited beside it; /opt, a 100 KiB file system holding the")
    print("                 64 KiB app.bin, had no room for that, so app.bin's went to the save file:")
    for m in r.log:
        if re.search(r"dp_patch enough_space|mv_file ok", m):
            print("                   %s" % m)
    print()

    cut = len(r.trace) // 2
    heading("The same NAND module, power cut at operation %d of %d, then the next boot" % (cut, len(r.trace)))
    r1 = twin.run(cut_at=cut)
    print("   first run   : exit %d, %s" % (r1.rc, r1.stderr.strip().splitlines()[-1]))
    print("   after cut   : %s, root fs %s" % (", ".join("%s %s" % (p, s.split()[0]) for p, s in
                                                      states(twin, parts, old, new).items()), root_summary(twin)))
    left = [f for f in ("/data/upgrade/install/savefile", "/data/block_backup") if twin.exists(f)]
    print("   save files  : %s" % (", ".join(left) or "none"))
    r2 = twin.run()
    after = states(twin, parts, old, new)
    print("   second run  : exit %d" % r2.rc)
    table(parts, before, after)
    print("   all new     : %s" % all(after[p].startswith("new") for p in parts))
    print("   root fs     : %s" % root_summary(twin))

    for d in (ab, nr, twin):
        d.close()


if __name__ == "__main__":
    main()
