"""Builds old and new firmware for two simulated modules, makes the signed
package between them with dfota-mkpkg and proves it with dfota-mkpkg --check,
then installs it on the demo's own modules (which trust the key; a bad NAND
block, a nearly full /opt), runs dfota-sim on them and shows what changed,
and that a forged package is refused."""

import copy
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile

import simdev
from firmware import image, md5, revise
from simdev import TOOL_HEAD, Device

MKPKG = os.environ.get("DFOTA_MKPKG", "")
MIB = 1024 * 1024
KIB = 1024
# Logical name: image file, partition size on the modules, how the package
# brings the new image.
PARTS = {"boot": ("boot.img", 2 * MIB, "full"), "modem": ("NON-HLOS.bin", 6 * MIB, "diff"),
         "system": ("system.img", 64 * MIB, "block")}
# Version files of the builds; the running firmware's versions are on the
# module's kernel command line.
VERSIONS_OLD = {"ABL_VERSION": "ABL_VERSION=2.1.0", "TZ_VERSION": "TZ_V=4.1.7"}
VERSIONS_NEW = {"ABL_VERSION": "ABL_VERSION=2.2.0", "TZ_VERSION": "TZ_V=4.1.8"}


def firmware():
    old = {"boot": image(1 * MIB, 1), "modem": image(4 * MIB, 2), "system": image(56 * MIB, 3)}
    new = {"boot": revise(old["boot"], 11),
           "modem": revise(old["modem"], 12, size=4 * MIB + 300 * 1024),
           "system": revise(old["system"], 13, size=60 * MIB)}
    return old, new


AGENT_OLD, APP_OLD = image(64 * KIB, 31), image(64 * KIB, 33)
AGENT_NEW, APP_NEW = revise(AGENT_OLD, 32), revise(APP_OLD, 34)
LIB_NEW = image(8 * KIB, 35)
# Root file systems of the NAND builds: (content, mode) for a file, ("->",
# target) for a link, a mode for a directory. On the module /opt is its own
# file system, kept nearly full by app.bin, so that one patch has no room to
# keep the old copy beside it.
# Both have what stays as it is, so that the generator changes the
# directories name by name rather than replacing them whole.
KEPT = {"usr": 0o755, "usr/bin": 0o755, "usr/lib": 0o755, "usr/share": 0o755, "opt": 0o755,
        "usr/lib/libc.so.6": (b"c library", 0o755), "usr/share/motd": (b"welcome", 0o644)}
ROOT_OLD = {**KEPT, "usr/bin/agentd": (AGENT_OLD, 0o755), "usr/lib/libold.so.1": (b"old library", 0o644),
            "usr/lib/libold.so": ("->", "libold.so.1"), "usr/share/legacy": 0o755,
            "usr/share/legacy/readme": (b"legacy notes", 0o644), "opt/app.bin": (APP_OLD, 0o600)}
ROOT_NEW = {**KEPT, "usr/bin/agentd": (AGENT_NEW, 0o755), "usr/lib/libnew.so.2": (LIB_NEW, 0o755),
            "usr/lib/libnew.so": ("->", "libnew.so.2"), "usr/share/help": 0o755,
            "usr/share/help/index": (b"help index", 0o644), "usr/share/help/en": 0o755,
            "usr/share/help/en/intro": (b"intro", 0o644), "opt/app.bin": (APP_NEW, 0o640)}
# Shown in the order the agent's passes take them: what goes, what comes,
# what is patched.
ROOT_PATHS = ["usr/lib/libold.so.1", "usr/lib/libold.so", "usr/share/legacy", "usr/share/legacy/readme",
              "usr/lib/libnew.so", "usr/share/help", "usr/share/help/index", "usr/share/help/en/intro",
              "usr/lib/libnew.so.2", "usr/bin/agentd", "opt/app.bin"]
# Where old copies wait while a patch is applied; none may outlive the run.
LEFTOVERS = ("/data/upgrade/install/savefile", "/system/savefile_ex", "/usr/bin/agentd.bak", "/opt/app.bin.bak")


def lay(top, entries):
    """A tree under the host directory top; directory modes last, so that
    the tree can be filled whatever they are."""
    for rel, v in sorted(entries.items()):
        p = os.path.join(top, rel)
        os.makedirs(p if isinstance(v, int) else os.path.dirname(p), exist_ok=True)
        if isinstance(v, tuple) and v[0] == "->":
            os.symlink(v[1], p)
        elif isinstance(v, tuple):
            with open(p, "wb") as f:
                f.write(v[0])
            os.chmod(p, v[1])
    for rel, v in entries.items():
        if isinstance(v, int):
            os.chmod(os.path.join(top, rel), v)


def toml(storage, slots):
    lines = ["[device]", 'storage = "%s"' % storage, 'slots = "%s"' % slots]
    for name, (img, _, update) in PARTS.items():
        lines += ["", "[[partition]]", 'name = "%s"' % name, 'image = "%s"' % img]
        lines += ['a = "%s_a"' % name, 'b = "%s_b"' % name] if slots == "ab" else ['nr = "%s"' % name]
        lines.append('update = "%s"' % update)
    return "\n".join(lines) + "\n"


def write_build(top, images, versions, root=None, desc=None, like=None):
    """A firmware build directory: images/, versions/, rootfs/ when root is
    given, firmware.toml when desc is. like: a build whose images/ holds the
    same images, linked instead of written again."""
    os.makedirs(os.path.join(top, "images"))
    for name, (img, _, _) in PARTS.items():
        p = os.path.join(top, "images", img)
        if like:
            os.link(os.path.join(like, "images", img), p)
        else:
            with open(p, "wb") as f:
                f.write(images[name])
    lay(os.path.join(top, "versions"), {n: ((v + "\n").encode(), 0o644) for n, v in versions.items()})
    if root is not None:
        lay(os.path.join(top, "rootfs"), root)
    if desc is not None:
        with open(os.path.join(top, "firmware.toml"), "w") as f:
            f.write(desc)


def mkpkg(work, *args):
    """Runs dfota-mkpkg in work and shows what it prints. --check finds
    dfota-sim through DFOTA_SIM."""
    print("   $ dfota-mkpkg %s" % " ".join(args))
    r = subprocess.run([MKPKG, *args], cwd=work, env=dict(os.environ, DFOTA_SIM=simdev.SIM), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True, errors="replace")
    for line in (r.stdout + r.stderr).splitlines():
        print("     " + line)
    return r.returncode


def make_package(work, kind, label):
    """dfota-mkpkg kind/old kind/new kind/package, then its --check. True
    when both succeeded."""
    print("   the package, made from the old and the new build and signed:")
    if mkpkg(work, "--sign", "keys/dfota.key", "%s/old" % kind, "%s/new" % kind, "%s/package" % kind) != 0:
        print("   dfota-mkpkg failed; the demo stops")
        return False
    print()
    print("   the package checked on the generator's own simulated %s module:" % label)
    if mkpkg(work, "--check", "%s/old" % kind, "%s/new" % kind, "%s/package" % kind) != 0:
        print("   the check found the package wrong; the demo stops")
        return False
    print()
    return True


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
    last = max(i for i, m in enumerate(result.log) if "Upgrade Entry" in m)  # a check-only run's lines came first
    errors = [m for m in result.log[last:] if m.startswith("Error")]
    if result.rc != 0:
        print("   errors      : %s" % " | ".join(errors))


def clone(dev):
    twin = copy.copy(dev)
    twin.base = tempfile.mkdtemp(prefix="dfota-demo-", dir=simdev.WORK)
    twin.root = os.path.join(twin.base, "root")
    shutil.copytree(dev.root, twin.root, symlinks=True)
    return twin


def module(work, kind, slot):
    """A module running the old build: its versions on the kernel command
    line, the release key in its trusted keys."""
    dev = Device(kind=kind, slot=slot, cmdline=" ".join(["console=ttyMSM0"] + sorted(VERSIONS_OLD.values())))
    with open(os.path.join(work, "keys/dfota.pub")) as f:
        dev.write("/etc/dfota/trusted.pub", f.read())
    return dev


def ab_module(work, devices, old):
    dev = module(work, "emmc", "_a")
    devices.append(dev)
    for p, (_, size, _) in PARTS.items():
        dev.add_partition(p + "_a", size, old[p])
        dev.add_partition(p + "_b", size, b"")
    return dev


def check_only(dev):
    """dfota --check: would the package install? Its answer and reason."""
    r = dev.run("--check")
    said = [re.sub(r"^\[DFLOG\]\[\d+_\d+\] (\w+\(\d+\): )?", "", m) for m in r.stderr.splitlines()]
    reason = [m for m in said if "refused" in m] or said[-1:]
    print("   $ dfota --check   -> exit %d: %s" % (r.rc, reason[0] if reason else ""))
    print("     trace: %d operations, none outside /tmp: %s" % (len(r.trace), all(
        re.match(r"\d+ (command (mkdir -p .*/data/upgrade/install'|cat |abctl --boot_slot|ls -l )|\w+ /tmp/)", t)
        for t in r.trace)))


def install(dev, package, where):
    shutil.copytree(package, dev.path(where), symlinks=True)


def main():
    if not MKPKG or not os.access(MKPKG, os.X_OK):
        print("demo: DFOTA_MKPKG must name the dfota-mkpkg binary", file=sys.stderr)
        return 1
    work = tempfile.mkdtemp(prefix="dfota-demo-", dir=simdev.WORK)
    devices = []
    try:
        return run(work, devices)
    finally:
        for d in devices:
            d.close()
        shutil.rmtree(work, ignore_errors=True)


def run(work, devices):
    print("building the old and the new firmware: boot (full image), modem (image diff), system (block diff),")
    print("for an A/B eMMC module (ab/) and a non-redundant NAND module with a root file system (nand/) ...\n")
    old, new = firmware()
    write_build(os.path.join(work, "ab/old"), old, VERSIONS_OLD)
    write_build(os.path.join(work, "ab/new"), new, VERSIONS_NEW, desc=toml("emmc", "ab"))
    write_build(os.path.join(work, "nand/old"), old, VERSIONS_OLD, ROOT_OLD, like=os.path.join(work, "ab/old"))
    write_build(os.path.join(work, "nand/new"), new, VERSIONS_NEW, ROOT_NEW, toml("nand", "nr"),
                like=os.path.join(work, "ab/new"))

    heading("The release key: the modules trust its public half in /etc/dfota/trusted.pub")
    mkpkg(work, "--keygen", "keys")
    print()

    heading("A/B eMMC module running slot A: the package writes slot B and switches to it")
    if not make_package(work, "ab", "A/B eMMC"):
        return 1
    ab = ab_module(work, devices, old)
    install(ab, os.path.join(work, "ab/package"), "/data/delta")
    parts = [p + s for p in PARTS for s in ("_a", "_b")]
    before = states(ab, parts, old, new)
    print("   the module's update client asks first whether the package would install:")
    check_only(ab)
    r = ab.run()
    print("   the package on this module:")
    table(parts, before, states(ab, parts, old, new))
    report(ab, r)
    print("   active slot : %s" % (ab.read("/etc/active_slot").strip() if ab.exists("/etc/active_slot") else "-"))
    print()

    heading("A forged package: one byte of the signed package's modem patch changed")
    forged = ab_module(work, devices, old)
    install(forged, os.path.join(work, "ab/package"), "/data/delta")
    with open(forged.path("/data/delta/image/NON-HLOS.bin.p"), "r+b") as f:
        f.seek(200)
        byte = f.read(1)
        f.seek(200)
        f.write(bytes([byte[0] ^ 1]))
    before = states(forged, parts, old, new)
    check_only(forged)
    r = forged.run()
    print("   the run refuses it before anything changes:")
    table(parts, before, states(forged, parts, old, new))
    report(forged, r)
    print()

    heading("Non-redundant NAND module (modem has a bad block): partitions and root file system changed in place")
    if not make_package(work, "nand", "NR NAND"):
        return 1
    nr = module(work, "nand", None)
    devices.append(nr)
    for p, (_, size, _) in PARTS.items():
        nr.add_partition(p, size, old[p], bad=(3,) if p == "modem" else ())
    shutil.copytree(os.path.join(work, "nand/old/rootfs"), nr.root, symlinks=True, dirs_exist_ok=True)
    # The agent asks df which file system a path is on and how much room it has.
    nr.add_tool("df", TOOL_HEAD + 'exec /bin/df "$@"\n')
    nr.small = {"/opt": 100 * KIB}
    install(nr, os.path.join(work, "nand/package"), "/tmp/delta")
    twin = clone(nr)
    devices.append(twin)
    parts = list(PARTS)
    before, root_before = states(nr, parts, old, new), root_states(nr)
    r = nr.run()
    print("   the package on this module, whose modem has a bad block and whose /opt is nearly full:")
    table(parts, before, states(nr, parts, old, new))
    print()
    root_table(root_before, root_states(nr))
    report(nr, r)
    print("   root fs     : %s" % root_summary(nr))
    print("   patches     : /opt, a 100 KiB file system holding the 64 KiB app.bin, had no room for a copy")
    print("                 of it, so app.bin's old copy went to the save file; agentd's waited beside it:")
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
