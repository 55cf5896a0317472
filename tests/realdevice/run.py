#!/usr/bin/env python3
"""The device build on a real kernel under QEMU (TCG): one machine per flash
type runs every scenario of the table, then power cuts kill a machine in the
middle of a run. The guest's /init (beside this file) leaves digests, status
files, logs and tool calls in the 9p share; they are compared here."""

import os
import random
import shutil
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import SimpleNamespace

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
from firmware import Package, image, md5, mkpkg, revise  # noqa: E402

B = Path(__file__).resolve().parents[2] / "build-realdevice"
SHARE, KIB, MIB, ES = B / "share", 1024, 1 << 20, 128 * 1024
CUTS, SEED = int(os.environ.get("DFOTA_REALDEVICE_CUTS", 20)), int(os.environ.get("DFOTA_REALDEVICE_SEED", 1))
# NAND partitions lie one after the other from the chip's first erase block,
# BAD are chip blocks; eMMC partitions follow userdata (/data) on the card.
SIZES = {"nand": {"boot": 7 * ES, "system": 47 * ES}, "emmc": dict(
    rpm_b=MIB, system=2 * MIB, boot_a=MIB, boot_b=MIB, modem_a=MIB, modem_b=MIB)}  # NAND: good blocks
ENV = {"nand": dict(NAMES="boot,system", BLOCKS="8,48", BAD="2,13"), "emmc": dict(PARTS=len(SIZES["emmc"]) + 1)}
MAP = ["{0} {0}.img {0} {0}_a {0}_b".format(n) for n in ("boot", "system", "rpm", "modem")]
STAGES = "dst_start dst_get_dev_info dst_unpack dst_check dst_patch_full dst_patch_diff dst_patch_diff " \
         "dst_set_boot_mode dst_reboot ".replace(" ", "\n")
CALLS = {"": "abctl --boot_slot\nmarvane_dev_info write boot_mode 0\n",
         "_a": "abctl --boot_slot\nabctl --boot_slot\nabctl --set_active 1\nreboot \n"}
BOOT0, SYS1, RPM0, AB0, OTHER = image(600 * KIB, 1), image(3 * MIB, 3), image(700 * KIB, 4), image(600 * KIB, 8), b"x"
BOOT1, RPM1, AB1 = revise(BOOT0, 2, 700 * KIB), revise(RPM0, 5, 800 * KIB), revise(AB0, 9, 700 * KIB)
BLK0 = random.Random(6).randbytes(2 * MIB)  # one block, shorter than 20 MiB
BLK1 = revise(BLK0, 7)
# name, flash, slot, package directory, images written first (None: a UBI
# volume "system" with a mounted UBIFS), images expected, package contents.
# An NR eMMC image diff writes the map's _b name.
ROWS = [
    ("nand-full-over-ubi", "nand", "", "/tmp/delta", {"system": None}, {"system": SYS1},
     lambda p: p.add_full("system", "system.img", SYS1)),
    ("nand-diff-bad-block", "nand", "", "/data/delta", {"boot": BOOT0}, {"boot": BOOT1},
     lambda p: p.add_image_diff("boot", "boot.img", BOOT0, BOOT1)),
    ("emmc-nr-diff-block", "emmc", "", "/data/delta", {"rpm_b": RPM0, "system": BLK0}, {"rpm_b": RPM1, "system": BLK1},
     lambda p: (p.add_image_diff("rpm", "rpm.img", RPM0, RPM1), p.add_block_diff("system", "system.img", BLK0, BLK1))),
    ("emmc-ab-full", "emmc", "_a", "/tmp/delta", {"boot_a": AB0, "boot_b": OTHER}, {"boot_b": AB1},
     lambda p: p.add_full("boot", "boot.img", AB1)),
    ("emmc-ab-diff", "emmc", "_a", "/data/delta", {"modem_a": AB0, "modem_b": OTHER}, {"modem_b": AB1},
     lambda p: p.add_image_diff("modem", "modem.img", AB0, AB1)),
    ("emmc-ab-signed", "emmc", "_a", "/tmp/delta", {"boot_a": AB0, "boot_b": OTHER}, {"boot_b": AB1},
     lambda p: p.add_full("boot", "boot.img", AB1)),
    ("emmc-ab-forged", "emmc", "_a", "/tmp/delta", {"boot_a": AB0, "boot_b": OTHER}, {},
     lambda p: p.add_full("boot", "boot.img", AB1)),
]
# Rows whose device holds a trusted key: the package signed, the forged one
# then altered in one byte of its image.
SIGNED = {"emmc-ab-signed": None, "emmc-ab-forged": "image/boot.img"}
REFUSED = dict(rc="255\n", status="dst_failed\n", install_process="0", calls="abctl --boot_slot\n" * 2,
               status_list="dst_start\ndst_get_dev_info\ndst_unpack\ndst_check\ndst_failed\n",
               state="mounted=0 ubi=0 upgraded=0\n")
CUT_ROW = ROWS[2]


def content(flash, data, size, by_agent):
    """A partition read back after data was written whole: the agent fills the
    rest of a NAND block with zeros, the rest is 0xFF as erased or padded."""
    return (data + bytes(-len(data) % ES if by_agent and flash == "nand" else 0)).ljust(size, b"\xff")


def expected(rows):
    """Partition digests after each row, the rows run in this order on fresh machines."""
    state, want = {f: {n: (b"\xff" if f == "nand" else b"\0") * s for n, s in SIZES[f].items()} for f in SIZES}, {}
    for name, flash, _, _, old, new, _ in rows:
        st = state[flash]
        st.update({p: content(flash, o, SIZES[flash][p], False) for p, o in old.items() if o is not None})
        st.update({p: content(flash, n, SIZES[flash][p], True) for p, n in new.items()})
        want[name] = {p: md5(v) for p, v in st.items()}
    return want


def put(path, data):  # a file of the share, text or bytes
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data if isinstance(data, bytes) else data.encode())


def lay_out():
    shutil.rmtree(SHARE, ignore_errors=True)
    (SHARE / "out").mkdir(parents=True)
    for name, flash, slot, where, old, _, build in ROWS:
        d = SHARE / flash / name
        build(p := Package())
        p.install(SimpleNamespace(package=lambda _, m, files: [put(d / "pkg" / r, v) for r, v in dict(
            files, **{"partition_image_map.cfg": "".join(l + "\n" for l in m)}).items()]), where, MAP,
                  ab=bool(slot), nand=flash == "nand")
        if name in SIGNED:
            keys = B / "keys"
            if not (keys / "dfota.key").exists():
                shutil.rmtree(keys, ignore_errors=True)
                mkpkg("--keygen", keys)
            mkpkg("--sign", keys / "dfota.key", d / "pkg")
            put(d / "trusted.pub", (keys / "dfota.pub").read_bytes())
            if SIGNED[name]:
                data = bytearray((d / "pkg" / SIGNED[name]).read_bytes())
                data[len(data) // 2] ^= 1
                put(d / "pkg" / SIGNED[name], bytes(data))
        put(d / "env", "SLOT=%s WHERE=%s UBI=%s\n" % (slot, where, "".join(n for n, o in old.items() if o is None)))
        put(SHARE / flash / "parts", " ".join(SIZES[flash]))
        for part, data in old.items():
            if data is not None:  # NAND: the guest writes the image as it is, eMMC: the whole partition
                put(d / "old" / part, content(flash, data, len(data) if flash == "nand" else SIZES[flash][part], 0))
    put(card := B / "card.img", b"")  # the eMMC: a GPT with named partitions, /data an ext4 on the first
    os.truncate(card, 64 * MIB)
    subprocess.run(["sfdisk", "-q", card], check=True, text=True, input="label: gpt\nsize=32MiB, name=userdata\n" +
                   "".join("size=%dKiB, name=%s\n" % (s // KIB, n) for n, s in SIZES["emmc"].items()))
    subprocess.run(["mkfs.ext4", "-q", "-F", "-E", "offset=%d" % MIB, card, "32M"], check=True)


def boot(flash, card=None, watch=lambda line, qemu: None, **env):
    """One boot of a machine, its console in build-realdevice/; watch sees each line."""
    cmd = ["qemu-system-x86_64", "-machine", "q35", "-accel", "tcg", "-cpu", "max", "-m", "1024", "-nographic",
           "-no-reboot", "-net", "none", "-kernel", B / "vmlinux", "-initrd", B / "initramfs.cpio",
           "-append", " ".join(["console=ttyS0 loglevel=4 panic=-1 no_timer_check FLASH=" + flash] +
                               ["%s=%s" % kv for kv in {**ENV[flash], **env}.items()]),
           "-virtfs", "local,path=%s,mount_tag=host,security_model=none,id=host" % SHARE]
    # The card has no write cache of its own and QEMU keeps none for a raw
    # image: each write it completes is in the image file (the host's page
    # cache outlives a killed QEMU), what the guest still held is lost. That
    # is writethrough for the guest, without the host flush only a host crash
    # needs; cache=none (O_DIRECT) froze QEMU in most boots here.
    if card:
        if not env.get("ITER"):  # a fresh card, unless one that was cut boots again
            shutil.copy(B / "card.img", card)
        cmd += ["-device", "sdhci-pci", "-drive", "if=none,id=sd,format=raw,cache=writeback,file=%s" % card,
                "-device", "sd-card,drive=sd"]
    qemu = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    timer = threading.Timer(300, qemu.kill)
    timer.start()
    with open(B / "-".join(["console", flash] + [str(env[k]) for k in ("CHAIN", "ITER") if k in env]), "w") as log:
        for line in (b.decode(errors="replace") for b in qemu.stdout):
            log.write(line), log.flush(), watch(line, qemu)
    qemu.wait()
    timer.cancel()


def machine(flash):
    """Runs the scenarios of a flash type; once more if the machine hung."""
    for _ in range(2):
        boot(flash, B / "emmc.img" if flash == "emmc" else None)
        if all((SHARE / "out" / r[0] / "rc").exists() for r in ROWS if r[1] == flash):
            break
        print("realdevice: the %s machine gave no results in time; booting it again" % flash, flush=True)


def chain(c, fractions):
    """Power cuts at the given fractions of a run, each followed by a boot that
    finishes the run. Boot 0 first times a whole run; a run that ends before
    its cut is timed again and cut in the next one. The moments of the cuts."""
    run, moments = {}, [None] * len(fractions)
    for k in range(len(fractions) + 1):
        def watch(line, qemu, k=k):
            now = time.monotonic()
            if "CUT-START" in line:
                run["start"] = now
                if k == len(fractions):
                    qemu.kill()
                elif "length" in run:
                    moments[k] = fractions[k] * run["length"]
                    run["timer"] = threading.Timer(moments[k], qemu.kill)
                    run["timer"].start()
            elif "CUT-END" in line:
                run.setdefault("rc", line.split("CUT-END")[1].strip())
                run.pop("timer", threading.Timer(0, int)).cancel()
                run["length"] = min(run.get("length", 1e9), now - run["start"])
        for _ in range(2):  # a boot that hangs is cut by the watchdog and booted again
            boot("emmc", B / ("cut%d.img" % c), watch, ROW=CUT_ROW[0], CHAIN=c, ITER=k)
            run.pop("timer", None)
            if not k or (SHARE / "out" / ("%s-cut%d-%d" % (CUT_ROW[0], c, k)) / "rc").exists():
                break
    return run, list(zip(fractions, moments))


def check(out, want, slot, name):
    """What is wrong with one run, as the guest read it back: installed, or
    refused with nothing changed; a signed row's check-only run before it
    answered alike and only asked for the slot."""
    refused = bool(SIGNED.get(name))
    def f(n):
        return (out / n).read_text(errors="replace") if (out / n).exists() else ""
    if not (out / "rc").exists():
        return ["no results from the machine; its console is in build-realdevice/"]
    got = dict(l.split()[::-1] for l in f("md5").splitlines())
    bad = ["partition %s differs" % p for p, h in want.items() if got.get(p) != h]
    expect = REFUSED if refused else dict(rc="0\n", status="dst_reboot\n", install_process="90", status_list=STAGES,
                                          calls=CALLS[slot], state="mounted=0 ubi=0 upgraded=1\n")
    if name in SIGNED:
        expect = dict(expect, check_rc=expect["rc"], check_calls="abctl --boot_slot\n" * 2)
    bad += ["%s is %r" % (n, f(n)[-40:]) for n, v in expect.items() if f(n) != v]
    logged = "package refused: another digest: image/boot.img" if refused else "DFOTA Patch Success"
    return bad + ([] if logged in f("log") else ["no %r in the log" % logged])


def main():
    start, want, want_cut = time.monotonic(), expected(sorted(ROWS)), expected([CUT_ROW])[CUT_ROW[0]]
    lay_out()
    with ThreadPoolExecutor(2) as pool:
        list(pool.map(machine, ("nand", "emmc")))
        took, rnd = time.monotonic() - start, random.Random(SEED)
        fractions = [(i + rnd.random()) / CUTS for i in range(CUTS)]  # one in each twentieth of the run
        chains = list(pool.map(chain, (0, 1), (fractions[0::2], fractions[1::2])))
    results = [(name, check(SHARE / "out" / name, want[name], slot, name)) for name, _, slot, *_ in ROWS]
    for c, (run, moments) in enumerate(chains):
        results += [("%s power cut %d.%d %.1f s into a run (%.0f%%)" % (CUT_ROW[0], c, k, at or 0, 100 * f),
                     (["uncut run: exit status %s" % run.get("rc")] if run.get("rc") != "0" else []) +
                     check(SHARE / "out" / ("%s-cut%d-%d" % (CUT_ROW[0], c, k)), want_cut, "", CUT_ROW[0]))
                    for k, (f, at) in enumerate(moments, 1)]
    for name, bad in results:
        print("%s %s%s" % ("FAIL" if bad else "PASS", name, ": " + "; ".join(bad) if bad else ""))
    failed = sum(bool(bad) for _, bad in results)
    print("realdevice: %d of %d failed; scenario machines %.0f s, power cuts %.0f s" % (
        failed, len(results), took, time.monotonic() - start - took))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
