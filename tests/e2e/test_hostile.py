"""Hostile packages and device states in one table, every row checked alike: the exit status, a log line naming
the cause, nothing changed that the package does not name, and whatever changed new or with a verified copy from
which a run of the sound package finishes."""

import os
import re
import shutil
import unittest
from pathlib import Path

from firmware import diff, image, keypair, md5, mkpkg, revise
from simdev import TOOL_HEAD, Device

KIB = 1024
OTHER, BOOT, MODEM, SYS, APP, BIG = (image(n * KIB, i) for i, n in enumerate((64, 40, 48, 64, 16, 600)))
MODEM2, SYS2, APP2, ADD = revise(MODEM, 7, 52 * KIB), revise(SYS, 8), revise(APP, 9), b"added"
ADDED, X = "usr/share/new dir/add'ed $(touch pwned).txt", md5(b"x")
F, D, B, S = ("updater_script_" + n for n in ("image_full", "image_diff", "block_diff", "system"))
M, CHUNK, MP = "partition_image_map.cfg", "image/system.img_chunk_0.p", "image/modem.img.p"
SAVE, BACKUP, APP_BAK = "/data/upgrade/install/savefile", "/data/block_backup", "/usr/bin/app.bak"
COPIES = SAVE, "/system/savefile_ex", APP_BAK
PACKAGE = {M: "".join("%s %s.img %s %s_a %s_b\n" % ((n,) * 5) for n in ("boot", "modem", "system")),
           F: "addfile,boot,%d,%s\n" % (len(BOOT), md5(BOOT)),
           D: "patchfile,modem,%d,%s,%d,%s\n" % (len(MODEM), md5(MODEM), len(MODEM2), md5(MODEM2)),
           B: "patchblock,system,0,%d,%s,%d,%s\n" % (len(SYS), md5(SYS), len(SYS2), md5(SYS2)),
           S: "deletefile,usr/lib/old lib.so\nadddir,usr/share/new dir,750\naddfile,%s,%s,640\npatchfile,usr/bin/app,"
              "%s,%s,0,755\ndeleterecursive,usr/share/doc/\n" % (ADDED, md5(ADD), md5(APP), md5(APP2)),
           "image/boot.img": BOOT, MP: diff(MODEM, MODEM2), CHUNK: diff(SYS, SYS2),
           "system/usr/bin/app.p": diff(APP, APP2), "system/" + ADDED: ADD}
# Each partition's old and new content (the A/B sources stay old; an NR eMMC
# module's image diffs go to the B name); the root file system before, and
# after as mode and digest (None: gone).
NAND = {"boot": (OTHER, BOOT), "modem": (MODEM, MODEM2), "system": (SYS, SYS2)}
PARTS = {"nand": NAND, "nr": {n.replace("modem", "modem_b"): v for n, v in NAND.items()},
         "ab": {n + s: (v[0], v[0]) if s == "_a" else (OTHER, v[1]) for n, v in NAND.items() for s in ("_a", "_b")}}
FS = {"/usr/bin/app": (APP, 0o755), "/usr/lib/old lib.so": (b"old", 0o644), "/usr/share/doc/it's": (b"doc", 0o644)}
NEW_FS = {"/usr/bin/app": (0o100755, md5(APP2)), "/usr/lib/old lib.so": None, "/usr/share/doc/it's": None,
          "/usr/share/new dir": (0o40750, False), "/" + ADDED: (0o100640, md5(ADD))}
KNOWN = {md5(x) for x in (BOOT, MODEM, MODEM2, SYS, SYS2, APP, APP2)}  # what a copy left behind may hold
# Beside the named paths, what a run may change: its own files, /tmp, the
# package, the copies and the platform tools' records.
ALLOWED = ("/tmp", "/data/upgrade", "/data/delta", "/data/recovery", "/data/dfota_upgraded", BACKUP, COPIES[1],
           "/tool_calls", "/etc/active_slot")


# The device's trusted keys (key pairs' names), and a package signed with a
# key pair, then edited: a package path and its content, None (removed), a
# mode or a function of its content.
TRUST, SIGN = "/etc/dfota/trusted.pub", object()


def device(kind, edits):
    d = Device(kind="nand" if kind == "nand" else "emmc", slot="_a" if kind == "ab" else None)
    d.add_tool("df", TOOL_HEAD + 'exec /bin/df "$@"\n')
    files, parts = {**PACKAGE, **{p: v[0] for p, v in FS.items()}}, {n: v[0] for n, v in PARTS[kind].items()}
    edits = dict(edits)
    signer, signed_edits = edits.pop(SIGN, (None, {}))
    if TRUST in edits:
        names = edits[TRUST] if isinstance(edits[TRUST], tuple) else (edits[TRUST],)
        edits[TRUST] = "# release keys\n" + "".join(Path(keypair(n) + ".pub").read_text() for n in names)
    for at, new in edits.items():  # package and device files, partitions, the size of /data or /usr
        where = parts if at in parts else files
        where[at] = where[at].replace(*new, 1) if isinstance(new, tuple) else new
    d.small = {p: files.pop(p) for p in ("/data", "/usr") if p in files}
    for name, content in parts.items():
        d.add_partition(name, 512 * KIB if kind == "nand" else 200 * KIB, content)
    for p, v in ((p if p[0] == "/" else "/tmp/delta/" + p, v) for p, v in files.items() if v is not None):
        d.write(p, b"" if v is FIFO else v.encode("latin-1") if isinstance(v, str) else v)
        if v is FIFO:  # a file that holds whoever opens it
            os.unlink(d.path(p)), os.mkfifo(d.path(p))
    for p, (_, mode) in FS.items():
        os.chmod(d.path(p), mode)
    if signer:
        mkpkg("--sign", keypair(signer) + ".key", d.path("/tmp/delta"))
    for at, new in signed_edits.items():
        at = d.path("/tmp/delta/" + at)
        if new is None:
            os.unlink(at)
        elif isinstance(new, int):
            os.chmod(at, new)
        else:
            os.makedirs(os.path.dirname(at), exist_ok=True)
            data = new(open(at, "rb").read()) if callable(new) else new
            open(at, "wb").write(data)
    return d


def is_new(d, kind, path, snap):
    node = {d.partitions[n]: n for n in PARTS[kind]}.get(path)
    if node:
        old, new = PARTS[kind][node]
        return old != new and d.partition_stream(node, len(new)) == new
    return path in NEW_FS and snap.get(path) == NEW_FS[path]


# name, kind (nr: NR eMMC, nand: NR NAND, ab: A/B eMMC), edits (a package
# file, partition or device path: its content, None, or (text, replacement);
# /data, /usr: its size), a log line. Each run fails (exit 255), but where the agent
# passes a line over by design, as the name says. REFUSED rows change nothing.
LONG, NO_BLOCKS, AF = "," + "x" * 1100 + "\n", {B: None}, "addfile,%%s,%s,644\n" % md5(ADD)
NEAR = md5(SYS2)[:31] + "0f"[md5(SYS2)[31] == "0"]  # wrong in its last character only
LINK, FIFO = "dev/block/bootdevice/by-name/boot", object()  # a link to a partition node; a named pipe
FLIP = lambda b: bytes([b[0] ^ 1]) + b[1:]  # noqa: E731
BIG_IMAGE = {"image/boot.img": BIG, F: "addfile,boot,%d,%s\n" % (len(BIG), md5(BIG))}
REFUSED = [
    ("diff: a size no number", "nr", {D: "\n" + PACKAGE[D].replace("49152", "300k")}, r"2: field 3 \(old size\) \"3"),
    ("diff: neither old nor new, no save file", "nr", {"modem_b": OTHER}, r"\] Invalid flag: 0$"),
    ("diff: neither, a save file of something else", "nand", {"modem": OTHER, SAVE: b"x"}, r"^Error, do_check2 fail"),
    ("diff: the A/B source not old", "ab", {"modem_a": OTHER}, r"^Error,old partition\[modem_a\]\[\w+\] not match$"),
    ("diff: line 2 neither", "nand", {D: ("\n", "\n" + PACKAGE[D].replace("modem", "boot"))}, r"^\[boot\] is not old"),
    ("block: a line of 1024 characters", "nr", {B: ("\n", "," + "x" * (1024 - len(PACKAGE[B])) + "\n")},
     r"block_diff line 1: 1024 characters, at most 1023"),
    ("block: line 2's size no number", "nr", {B: ("\n", "\npatchblock,s,1,x,%s,1,%s\n" % (X, X))}, r"2: field 4 \(old"),
    ("block: neither old nor new, no backup", "nr", {"system": OTHER}, r"^block_backup not exist$"),
    ("block: neither, a backup of something else", "nr", {"system": OTHER, BACKUP: OTHER}, r"is not the old block of"),
    ("block: the A/B source not old", "ab", {"system_a": OTHER}, r"^Error, old partition\[system_a\] not match"),
    ("block: a new digest wrong in its last character", "nr", {B: (md5(SYS2), NEAR)},
     r"patched file not same with new$"),
    ("block: the patch missing", "ab", {CHUNK: None}, r"\] patch_file failed$"),
    ("block: A/B old size 0, not the new block", "ab", {CHUNK: OTHER, B: (",0,65536,", ",0,0,")}, r"is not the new"),
    ("block: /data too small for the backup", "nr", {"/data": 24 * KIB}, r"^Error, block_backup_file failed$"),
    ("full: other commands passed over, a size no number, the stage stops", "nr", {**NO_BLOCKS, F: (
        "", "a,b\naddfile,boot,12x,abc\n")}, r"full line 2: field 3 \(newsize\) \"12x\" is not a decimal number of 32"),
    ("system: a line of 1100 characters", "nand", {S: ("\n", LONG)}, r"system line 1: \d+ characters, at most 1023"),
    # /tmp/delta/system/ and the path fit the 1024-byte buffer, /PATH.bak and its terminator do not.
    ("system: a path too long for its backup", "nr", {S: ("", "deletefile,%s\n" % ("a" * 1002))}, r"1: path too long"),
    ("system: a mode that is not octal", "nr", {S: ("", "adddir,usr/x,rwx\n")}, r"line 1: field 3 \(mode\) \"rwx\""),
    ("system: a path climbing out with ..", "nr", {S: ("", "deletefile,usr/../../etc/slot\n")}, r"with a \"..\" comp"),
    ("system: deleterecursive of the root", "ab", {S: ("", "deleterecursive,/./\n")}, r"line 1: path names the root"),
    ("system: a NUL byte in a path", "nr", {S: ("old lib.so", "old lib.so\0.x")}, r"field 2 \(path\) holds a NUL"),
    ("system: a damaged backup met on resume", "nr", {"/usr/bin/app": b"x", APP_BAK: b"x"}, r"check filebak .* error"),
    ("map: a NUL byte", "nr", {M: ("boot.img", "boot.img\0")}, r"^Error, map line has 2 fields, 5 needed"),
    ("map: empty", "nr", {M: ""}, r"Get imagename by partiton\[modem\] fail"),
    ("signature: none, the device holds a key", "nr", {TRUST: "ours"}, r"refused: no manifest: /tmp/delta/manif"),
    ("signature: an unknown key", "ab", {TRUST: "ours", SIGN: ("theirs", {})}, r"refused: unknown key \w{64}: not"),
    ("signature: truncated", "nand", {TRUST: "ours", SIGN: ("ours", {"manifest.sig": lambda b: b[:99]})},
     r"refused: bad signature: /tmp/delta/manifest.sig is not a public key and a signature$"),
    ("signature: the manifest altered", "nr", {TRUST: "ours", SIGN: ("ours", {"manifest": lambda b: b + b"\n"})},
     r"refused: bad signature: the manifest does not verify with key"),
    ("signature: an image byte flipped after signing", "nand", {TRUST: "ours", SIGN: ("ours", {
        "image/boot.img": FLIP})}, r"refused: another digest: image/boot.img has SHA-256 \w{64}, the manifest says"),
    ("signature: a patch byte flipped", "ab", {TRUST: "ours", SIGN: ("ours", {MP: FLIP})}, r"another digest: image/m"),
    ("signature: a script byte flipped", "nr", {TRUST: "ours", SIGN: ("ours", {S: FLIP})}, r"another digest: updater"),
    ("signature: a file added to system/", "nr", {TRUST: "ours", SIGN: ("ours", {"system/usr/x": b"x"})},
     r"refused: extra file: system/usr/x is in the package, not in the manifest$"),
    ("signature: a file removed", "nand", {TRUST: "ours", SIGN: ("ours", {CHUNK: None})},
     r"refused: file missing: image/system.img_chunk_0.p is in the manifest, not in the package$"),
    ("signature: a file cut short", "ab", {TRUST: "ours", SIGN: ("ours", {CHUNK: lambda b: b[:-1]})},
     r"refused: another size: image/system.img_chunk_0.p holds \d+ bytes, the manifest says \d+$"),
    ("signature: a mode in system/ changed", "nr", {TRUST: "ours", SIGN: ("ours", {"system/" + ADDED: 0o4755})},
     r"refused: another mode: system/usr/share/new dir/add'ed .* is 104755, the manifest says 100644$"),
]
ROWS = [
    ("full: a line of 1100 characters", "nr", {F: ("\n", LONG)}, r"image_full line 1: \d+ characters, at most 1023"),
    ("full: a partition name of 32 characters", "nand", {F: (",boot,", ",%s," % ("b" * 32))}, r"field 2 \(par.* 32"),
    ("full: a digest of 33 characters", "nr", {F: (md5(BOOT), md5(BOOT) + "0")}, r"field 4 \(md5new\) has 33 char"),
    ("full: no digest", "nr", {F: ("," + md5(BOOT), "")}, r"field 4 \(md5new\) is missing$"),
    ("full: size 0", "nr", {F: (",40960,", ",0,")}, r"^Error, size out of range$"),
    ("full: a negative size", "nand", {F: (",40960,", ",-40960,")}, r"^Error, size out of range$"),
    ("full: a size beyond 32 bits", "nr", {F: (",40960,", ",99999999999,")}, r"\"99999999999\" is not a decimal"),
    ("full: not the image's size", "ab", {F: (",40960,", ",40961,")}, r"^Error, image .* 40960 bytes.* 40961 bytes"),
    ("full: not the image's digest", "nand", {F: (md5(BOOT), X)}, r"^Error, image .* the script says .*%s$" % X),
    ("full: an upper-case digest", "nr", {F: (md5(BOOT), md5(BOOT).upper())}, r"^Error, image .* the script says"),
    ("full: the image missing", "ab", {"image/boot.img": None}, r"^Error, image .*boot.img cannot be read$"),
    ("full: the image a named pipe", "nand", {"image/boot.img": FIFO}, r"^Error, image .*boot.img cannot be read$"),
    ("full: an image larger than the partition", "nr", BIG_IMAGE, r"^Error, .* is larger than partition\[boot\]"),
    ("full: an image larger than the NAND partition", "nand", BIG_IMAGE, r"^Error, .* larger than partition\[boot\]"),
    ("full: a NUL byte in the partition name", "nr", {F: (",boot,", ",bo\0ot,")}, r"field 2 \(partition\) holds a NUL"),
    ("full: blanks, quotes and $() in a name", "nr", {F: (",boot,", ",b'o $(reboot)t,")}, r"\[b'o \$\(reboot\)t\] f"),
    ("full: CRLF, passed: the carriage return is dropped", "nr", {F: ("\n", "\r\n")}, r"md5new\[%s\]$" % md5(BOOT)),
    ("full: binary garbage, passed: another command", "nand", {F: ("", "\xff\xfe\0\n\n\0\n")}, r"Patch Success"),
    ("full: empty, passed: it names nothing (boot already new)", "nr", {F: "", "boot": BOOT}, r"^START enter$"),
    ("diff: CRLF and a stale list of upgraded partitions, passed: modem is patched", "nr",
     {D: ("\n", "\r\n"), "/tmp/upgraded_partition_file": "modem\n"}, r"\[\d+\] do patch"),
    ("diff: the A/B target already new, passed: it is skipped", "ab", {"modem_b": MODEM2}, r"skip upgraded partition"),
    # The check found modem old; the same node, by its NR name, gets the new
    # image from the full script before the patch stage: taking the check's
    # finding over would patch the new image as if it were the old one.
    ("diff: a full image over its partition after the check, passed: seen new", "nr", {F: ("", "addfile,modem,%d,%s\n"
     % (len(MODEM2), md5(MODEM2))), "image/modem.img": MODEM2}, r"^md5: %s$" % md5(MODEM2)),
    ("diff: a wrong new digest", "nr", {D: (md5(MODEM2), X)}, r"\] patched file not same with new$"),
    ("diff: a wrong new digest on A/B", "ab", {D: (md5(MODEM2), X)}, r"\] patched file not same with new$"),
    ("diff: the patch missing", "nand", {MP: None}, r"\] patch_file failed$"),
    ("diff: a truncated patch", "nr", {MP: PACKAGE[MP][:-9]}, r"\] patch_file failed$"),
    ("diff: a patch for another old image", "nand", {MP: diff(revise(MODEM, 10), MODEM2)}, r"not same with new$"),
    ("diff: /data too small for the save file", "nr", {**NO_BLOCKS, "/data": 24 * KIB}, r"\] patch_file failed$"),
    ("system: an addfile digest not the file's", "nr", {S: (md5(ADD), X)}, r"^Error, .*\.txt digest \[\w+\], the sc"),
    ("system: an added file larger than the room left", "nr", {"/usr": 256 * KIB, "system/" + ADDED: BIG,
     S: (md5(ADD), md5(BIG))}, r"^Error, file size\[614400\] large than free space\[\d+\]$"),
    ("system: addfile onto a directory", "nr", {S: ("", AF % "usr/lib"), "system/usr/lib": ADD}, r"/usr/lib is a dir"),
    ("system: addfile onto a link", "nr", {S: ("", AF % LINK), "system/" + LINK: ADD}, r"boot is a symbolic link$"),
    ("system: a wrong patch result keeps the old copy", "nr", {S: (md5(APP2), X)}, r"^file patch failed, md5 cur: "),
    ("system: unlink of a directory", "nr", {S: ("", "deletefile,usr/share\n")}, r"unlink /usr/share failed, Is a dir"),
    ("system: a leading slash, passed: the same path from /", "nr", {S: ("addfile,", "addfile,/")}, r"add file succ"),
    ("system: $() and quotes, passed: nothing there", "ab", {S: ("", "deletedir,'$(touch x)'\n")}, r"/'\$\(touch x"),
    ("system: CRLF but the last line, passed: a last mode or rest-of-line path stops before it", "nr",
     {S: PACKAGE[S].replace("\n", "\r\n", 4)}, r"Success"),
    ("full, diff, block, system: an extra field, passed: each line's pattern stops before it", "ab", {F: ("\n", ",x\n"),
     D: ("\n", ",0\n"), B: ("\n", ",1\n"), S: (",750", ",750,1")}, r"Success"),
    ("map: a long comment like a line, passed: a comment", "nr", {M: ("", "#%300s\n" % "boot x b a b")}, r"size\[3\]"),
    ("map: an image name of 40 characters", "nand", {M: ("boot.img", "b" * 40)}, r"imagename of .*\[boot\] is 40"),
    ("map: an image name climbing out of the package", "nr", {M: ("boot.img", "../../../dev/mmcblk0p2")}, r"p2 holds"),
    ("map: an image name with a leading slash, passed: inside image/", "nr", {M: ("boot.img", "/boot.img")}, r"Succ"),
    ("map: $() in a device name", "ab", {M: ("boot_b", "$(touch${IFS}x)")}, r"found partition \$\(touch\$\{IFS\}x\)"),
    ("signature: its key the second of two, passed: installs", "nand", {TRUST: ("theirs", "ours"), SIGN: ("ours", {})},
     r"^package verified: \d+ entries"),
    ("signature: no key on the device, passed: not verified", "ab", {SIGN: ("ours", {})}, r"packages are not verified$"),
]


# Rows whose cause only the writing of the package meets: a check-only run
# answers that the package would install. Its trace may show reads and its
# own work files only; a refused signature's run adds its status, log and
# failure path.
WRITTEN = ("block: /data too small", "full: an image larger", "diff: /data too small", "system: an add",
           "system: addfile onto", "system: a wrong patch", "system: unlink of", "map: $() in a device")
READS = re.compile(r"\d+ (command (mkdir -p '\$ROOT/data/upgrade/install'|cat '|abctl --boot_slot|ls -l )|\w+ /tmp/)")
OWN = re.compile(r"\d+ (\w+ /data/upgrade/install/|command abctl --set_active 0)")


class HostileTest(unittest.TestCase):
    def test_rows(self):
        for name, kind, edits, log in REFUSED + ROWS:
            with self.subTest(name), device(kind, edits) as d:
                c = d.run("--check", cwd=d.root)
                self.assertEqual(c.rc, 0 if ", passed:" in name or name.startswith(WRITTEN) else 255, c.stderr)
                self.assertFalse([t for t in c.trace if not READS.match(t)])
                told = [re.sub(r"^\[DFLOG\]\[\d{8}_\d{6}\] (\w+\(\d+\): )?", "", m) for m in c.stderr.splitlines()]
                self.assertTrue(c.rc == 0 or [m for m in told if re.search(log, m)], log + "\n" + c.stderr)
                before, r = d.entries(), d.run(cwd=d.root)
                self.assertEqual(r.rc, 0 if ", passed:" in name else 255, "\n".join(r.log))
                self.assertTrue([m for m in r.log if re.search(log, m)], log + "\n" + "\n".join(r.log))
                if name.startswith("signature:") and r.rc:  # refused before any change
                    self.assertFalse([t for t in r.trace if not (READS.match(t) or OWN.match(t))], r.trace)
                after, rc = d.entries(), r.rc
                changed = {p for p in before.keys() | after.keys()
                           if before.get(p) != after.get(p) and not p.startswith(ALLOWED)}
                self.assertFalse(changed and (name, kind, edits, log) in REFUSED, changed)
                self.assertFalse([p for p in (BACKUP, "/tmp/tmp_file_pt", "/tmp/tmp_file_new") if d.exists(p)])
                copies = [p for p in COPIES if d.exists(p)]
                for p in changed:  # new, or with a copy from which the next run finishes
                    self.assertTrue(is_new(d, kind, p, after) or rc and copies, p)
                for p in (p for p in copies if before.get(p) != after.get(p)):
                    self.assertIn(md5(d.read(p, binary=True)), KNOWN, p)
                if rc and changed:
                    d.small = {}
                    shutil.rmtree(d.path("/tmp/delta"))
                    d.package("/tmp/delta", None, PACKAGE)
                    self.assertEqual(d.run(cwd=d.root).rc, 0)
                if rc == 0 or changed:
                    snap = d.entries()
                    self.assertTrue(all(is_new(d, kind, p, snap) for p in list(NEW_FS) + [
                        d.partitions[n] for n, v in PARTS[kind].items() if v[0] != v[1]]))
                    self.assertFalse([p for p in COPIES if d.exists(p)])


if __name__ == "__main__":
    unittest.main()
