"""The file-system script on whole runs: deletes, adds and file patches,
with file systems that are nearly full (real size-limited tmpfs mounts)."""

import os
import re
import stat
import unittest

from firmware import diff, image, md5, revise
from simdev import TOOL_HEAD, Device

KIB = 1024
BIG_OLD, APP_OLD = image(64 * KIB, 21), image(64 * KIB, 23)
BIG_NEW, APP_NEW = revise(BIG_OLD, 22), revise(APP_OLD, 24)
TOOL, MODEM = image(8 * KIB, 25), image(8 * KIB, 26)
TOPS = ("usr", "opt", "var", "firmware")

# Files (content, or content and mode), links ("->", target) and
# directories (mode) of the old and the new firmware.
OLD = {"usr/lib/old.so": b"old", "usr/lib/a,b.so": b"comma", "usr/bin/crlf": b"crlf",
       "usr/lib/link.so": ("->", "old.so"), "usr/lib/libc.so": ("->", "libc.so.6"), "usr/lib/libc.so.6": b"c",
       "usr/share/olddir/x/y": b"y",
       "usr/share/doc/readme": b"doc", "usr/share/doc/sub/more": b"doc", "usr/share/locale/m": b"m",
       "usr/share/locale-en/m": b"en", "usr/share/locale-de/m": b"de", "usr/bin/big": (BIG_OLD, 0o755),
       "opt/app.bin": (APP_OLD, 0o600), "var/conf/keep": b"old conf", "firmware": 0o755}
NEW = {"usr/lib/libc.so": ("->", "libc.so.6"), "usr/lib/libc.so.6": b"c",
       "usr/lib/libnew.so": ("->", "libnew.so.1"), "usr/share/doc": 0o755,
       "usr/share/newdir/sub": 0o700, "usr/bin/tool": (TOOL, 0o750), "firmware/modem.bin": MODEM,
       "usr/bin/big": (BIG_NEW, 0o755), "opt/app.bin": (APP_NEW, 0o640), "var/conf/keep": b"new conf",
       "var/conf/added/deep": b"added"}
PACKAGE = {"system/usr/lib/libnew.so": ("->", "libnew.so.1"), "system/usr/lib/libc.so": ("->", "libc.so.7"),
           "system/usr/bin/tool": TOOL, "modem/firmware/modem.bin": MODEM,
           "system/usr/bin/big.p": diff(BIG_OLD, BIG_NEW), "system/opt/app.bin.p": diff(APP_OLD, APP_NEW),
           "system/var/conf/keep": b"new conf", "system/var/conf/added/deep": b"added"}
SCRIPT = ("deletefile,usr/lib/old.so\ndeletefile,usr/lib/a,b.so\ndeletefile,usr/bin/crlf\r\n\n"
          "deletefile,usr/lib/gone.so\ndeletelink,usr/lib/link.so\ndeletedir,usr/share/olddir\n"
          "deletedir,usr/share/none\naddlink,usr/lib/libnew.so\naddlink,usr/lib/libc.so\n"
          "adddir,usr/share/newdir/sub,700\nadddir,usr/share/doc,700\n"
          "addfile,usr/bin/tool,%s,750\naddfile,firmware/modem.bin,%s,644\r\n"
          "patchfile,usr/bin/big,%s,%s,0,755\npatchfile,opt/app.bin,%s,%s,0,640\n"
          "deleterecursive,usr/share/doc/\ndeleterecursive,usr/share/locale\n"
          "addrecursive,var/conf/\naddrecursive,var/none/\nunknown,line\n"
          % (md5(TOOL), md5(MODEM), md5(BIG_OLD), md5(BIG_NEW), md5(APP_OLD), md5(APP_NEW)))
DF = TOOL_HEAD + 'exec /bin/df "$@"\n'
OVERLAY_DF = TOOL_HEAD + 'echo "Filesystem 1K-blocks Used Available Use% Mounted on"; echo "overlayfs:/ 9 1 8 1% /"\n'


def populate(d, files, where=""):
    for rel, v in files.items():
        p = d.path(where + "/" + rel)
        os.makedirs(p if isinstance(v, int) else os.path.dirname(p), exist_ok=True)
        if isinstance(v, int):
            os.chmod(p, v)
        elif v[0] in ("->", "=>"):
            (os.symlink if v[0] == "->" else os.link)(v[1] if v[0] == "->" else os.path.dirname(p) + "/" + v[1], p)
        else:
            d.write(where + "/" + rel, v if isinstance(v, bytes) else v[0])
            os.chmod(p, 0o644 if isinstance(v, bytes) else v[1])


def tree(d):
    return {p: v for top in TOPS for p, v in d.entries("/" + top).items()}


def device(files=OLD, script=SCRIPT, df=DF, free=(("/opt", 36 * KIB),), extra=None, where="/data/delta", kind="emmc",
           slot=None):
    """free: directories that are file systems of their own with that many
    bytes free. By default /opt has no room for a second copy of app.bin."""
    d = Device(kind=kind, slot=slot)
    d.add_tool("df", df)
    d.extra = ["/" + p for p in extra or () if p not in NEW]
    populate(d, {**files, **(extra or {})})
    populate(d, PACKAGE, where)
    d.package(where, [], {"updater_script_system": script})
    used = lambda top: sum({st.st_ino: -(-st.st_size // 4096) * 4096 * stat.S_ISREG(st.st_mode) for st in (
        os.lstat(os.path.join(at, n)) for at, _, names in os.walk(d.path(top)) for n in names)}.values())
    d.small = {top: used(top) + room for top, room in free}
    return d


with Device() as reference:
    populate(reference, NEW)
    FINAL = tree(reference)


def finished(d):
    return {p: v for p, v in tree(d).items() if p not in d.extra} == FINAL and not any(d.exists(p) for p in ("/data/upgrade/install/savefile", "/system/savefile_ex"))


class FileSystemUpdateTest(unittest.TestCase):
    def test_script_runs(self):
        rows = [
            # name, device, logged: each run ends on the new firmware
            ("every pass; big patched beside itself, app.bin through /data", device(),
             [r"delete file success count: 3", r"unlink /usr/lib/link.so success", r"delete dir success count: 1",
              r"need delete file not found: /usr/share/none", r"add link success count: 2", r"add dir success count: 1",
              r"add file success count: 2", r"\[step_3\]dp_patch enough_space\[1\]",
              r"\[\d+\] mv_file ok /opt/app.bin -> /data/upgrade/install/savefile",
              r"\[step_3\]dp_patch enough_space\[0\]", r"patch file success count: 2"]),
            ("/data full too: the save file goes to /system",
             device(free=(("/opt", 36 * KIB), ("/data", 48 * KIB)), where="/tmp/delta"),
             [r"\[\d+\] mv_file ok /opt/app.bin -> /system/savefile_ex"]),
            # A second name of app.bin keeps its old blocks in use after the move.
            ("room for the backup, then not for the new file", device(free=(("/opt", 80 * KIB),),
                                                                      extra={"opt/other": ("=>", "app.bin")}),
             [r"free_space: \[16384\] filesize: \[65536\]",
              r"\[\d+\] mv_file ok /opt/app.bin -> /data/upgrade/install/savefile"]),
            ("overlay root: save files only", device(df=OVERLAY_DF),
             [r"is overlayfs", r"\[\d+\] mv_file ok /usr/bin/big -> /data/upgrade/install/savefile"]),
            ("damaged backup removed before backing up", device(extra={"usr/bin/big.bak": b"x"}),
             [r"rm damaged file\[/usr/bin/big.bak\]"]),
            ("a stale save file beside the one that holds the old content",
             device(extra={"usr/bin/big": b"cut", "data/upgrade/install/savefile": b"x", "system/savefile_ex": BIG_OLD}),
             [r"\[step_3\]dp_patch enough_space\[0\]"]),
        ]
        for name, d, logged in rows:
            with self.subTest(name), d:
                r = d.run()
                self.assertEqual(r.rc, 0, "\n".join(r.log))
                for pattern in logged:
                    self.assertTrue([m for m in r.log if re.fullmatch(pattern, m)], pattern + "\n" + "\n".join(r.log))
                self.assertTrue(finished(d), "\n".join(r.log))
                self.assertFalse([l for l in r.trace if ".bak" in l and "overlay" in name])


if __name__ == "__main__":
    unittest.main()
