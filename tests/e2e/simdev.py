"""Simulated devices for end-to-end runs of dfota-sim.

A device is a directory tree laid out as the module's file systems are, with
fake platform tools in bin/ that record every call. Runs happen inside
bubblewrap with the host read-only, so a path that escapes the simulated root
fails the test instead of touching this machine; the host's /data and /tmp
are replaced by empty canary directories that must stay empty.
"""

import hashlib
import os
import re
import shlex
import shutil
import stat
import subprocess
import tempfile
from pathlib import Path
from types import SimpleNamespace

SIM = os.environ.get("DFOTA_SIM", "")
EMULATOR = os.environ.get("DFOTA_EMULATOR", "")
# Runs sync their file system; on a tmpfs that stays cheap while other jobs
# fill the disk's write-back.
WORK = os.environ.get("DFOTA_E2E_WORK", "/dev/shm" if os.path.isdir("/dev/shm") else "/var/tmp")
INSTALL = "/data/upgrade/install/"
PLATFORM_TOOLS = ("abctl", "marvane_dev_info", "ubidetach", "mount", "umount", "df", "reboot")

# The one thing every fake tool does first: note how it was called. Tools
# are found through PATH, so $0 is ROOT/bin/NAME; no process is started for
# it, as a run calls them often.
TOOL_HEAD = """#!/bin/sh
root=${0%/bin/*}
echo "${0##*/} $*" >> "$root/tool_calls"
"""

# etc/abctl_signal makes the next --boot_slot send SIGUSR1, SIGUSR2 and
# SIGTERM to the agent: the nearest ancestor whose command line names dfota-sim.
ABCTL = TOOL_HEAD + r"""if [ "$1" = --set_active ]; then
  echo "$2" > "$root/etc/active_slot"
  exit "$(cat "$root/etc/set_active_status" 2>/dev/null || echo 0)"
fi
[ "$1" = --boot_slot ] || exit 1
if [ -f "$root/etc/abctl_signal" ]; then
  rm -f "$root/etc/abctl_signal"; p=$$
  while p=$(sed 's/.*) //' /proc/$p/stat | cut -d' ' -f2) && [ "$p" -gt 1 ]; do
    tr '\0' ' ' < /proc/$p/cmdline | grep -q dfota-sim && { kill -USR1 $p; kill -USR2 $p; kill -TERM $p; break; }
  done
fi
cat "$root/etc/slot" 2>/dev/null
exit 0
"""


class Device:
    """A simulated module. kind: 'emmc' or 'nand'; slot: what abctl prints
    ('_a', '_b', any text, or None for an NR system); tools: the platform
    tools installed."""

    def __init__(self, kind="emmc", slot="_a", tools=PLATFORM_TOOLS, cmdline="console=ttyMSM0"):
        os.makedirs(WORK, exist_ok=True)
        self.base = tempfile.mkdtemp(prefix="dfota-e2e-", dir=WORK)
        self.root = os.path.join(self.base, "root")
        self.partitions, self.nand, self.small = {}, {}, {}
        for d in ("bin", "etc", "data", "tmp", "proc", "dev", "system"):
            os.makedirs(os.path.join(self.root, d))
        self.write("/proc/cmdline", cmdline + "\n")
        self.write("/proc/partitions", "major minor  #blocks  name\n" + (
            "  31  0  10240 mtdblock0\n" if kind == "nand" else " 179  0 7634944 mmcblk0\n 179  1 65536 mmcblk0p1\n"))
        if kind == "nand":
            self.write("/proc/mtd", "dev:    size   erasesize  name\n")
        for t in tools:
            self.add_tool(t, ABCTL if t == "abctl" else TOOL_HEAD)
        if slot is not None:
            self.write("/etc/slot", slot)

    def close(self):
        shutil.rmtree(self.base, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def add_partition(self, name, size, content=b"", erase_size=0x20000, bad=()):
        """A partition of size bytes that begins with content, the rest 0xFF.
        eMMC: a node behind its by-name link, its size in sysfs. NAND: the
        next MTD device, laid out as a whole write leaves it (bad blocks
        skipped), its bad blocks listed."""
        n = len(self.partitions)
        if self.exists("/proc/mtd"):
            chunks = [content[i:i + erase_size] for i in range(0, len(content), erase_size)][::-1]
            blocks = [b"\0" * erase_size if b in bad else chunks.pop() if chunks else b""
                      for b in range(size // erase_size)]
            assert not chunks, "content larger than the good blocks"
            dev = self.partitions[name] = "/dev/mtd%d" % n
            self.nand[name] = erase_size, set(bad)
            self.write(dev, b"".join(b.ljust(erase_size, b"\xff") for b in blocks))
            if bad:
                self.write(dev + ".bad", "".join("%d\n" % b for b in bad))
            with open(self.path("/proc/mtd"), "a") as f:
                f.write('mtd%d: %08x %08x "%s"\n' % (n, size, erase_size, name))
        else:
            node = "mmcblk0p%d" % (n + 1)
            self.partitions[name] = "/dev/" + node
            self.write("/dev/" + node, content.ljust(size, b"\xff"))
            self.write("/sys/block/mmcblk0/%s/size" % node, "%d\n" % (size // 512))
            os.makedirs(self.path("/dev/block/bootdevice/by-name"), exist_ok=True)
            os.symlink("../../../" + node, self.path("/dev/block/bootdevice/by-name/" + name))

    def partition_stream(self, name, length):
        """The first length bytes of a partition as the agent reads it: on
        NAND, the good blocks in order."""
        data = self.read(self.partitions[name], binary=True)
        es, bad = self.nand.get(name, (len(data) or 1, ()))
        return b"".join(data[i:i + es] for i in range(0, len(data), es) if i // es not in bad)[:length]

    def path(self, device_path):
        return self.root + device_path

    def write(self, device_path, content):
        p = Path(self.path(device_path))
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(content) if isinstance(content, bytes) else p.write_text(content)

    def read(self, device_path, binary=False):
        p = Path(self.path(device_path))
        return p.read_bytes() if binary else p.read_text(errors="replace")

    def exists(self, device_path):
        return os.path.lexists(self.path(device_path))

    def entries(self, top="/"):
        """Every entry under top, by device path: its mode, and its link
        target or (regular files) content digest."""
        walk = (os.path.join(at, n) for at, dirs, files in os.walk(self.path(top)) for n in dirs + files)
        return {p[len(self.root):]: (st.st_mode, os.readlink(p) if stat.S_ISLNK(st.st_mode) else stat.S_ISREG(
            st.st_mode) and hashlib.md5(Path(p).read_bytes()).hexdigest()) for p in walk for st in [os.lstat(p)]}

    def add_tool(self, name, script):
        self.write("/bin/" + name, script)
        os.chmod(self.path("/bin/" + name), 0o755)

    def tool_calls(self):
        return self.read("/tool_calls").splitlines() if self.exists("/tool_calls") else []

    def package(self, where="/tmp/delta", map_lines=None, files=None):
        """An unpacked package: partition_image_map.cfg (None: no map) and
        other files by relative path."""
        os.makedirs(self.path(where), exist_ok=True)
        if map_lines is not None:
            self.write(where + "/partition_image_map.cfg", "".join(l + "\n" for l in map_lines))
        for rel, content in (files or {}).items():
            self.write(where + "/" + rel, content)

    def log_messages(self):
        """The agent's log, each entry without its time stamp and function."""
        text = self.read(INSTALL + "log") if self.exists(INSTALL + "log") else ""
        return [re.sub(r"^\[\d{8}_\d{6}\] (\w+\(\d+\): )?", "", l) for l in text.splitlines()]

    def status(self):
        return tuple(self.read(INSTALL + n) if self.exists(INSTALL + n) else None
                     for n in ("status", "status_list", "install_process"))

    def run(self, *args, cut_at=None, env=None, cwd=None, stdout_closed=False):
        """One boot of the agent; env: variables added (removed when None).
        The result: rc, stdout, stderr, log, trace (with the root as $ROOT)
        and the commands in it."""
        assert SIM, "DFOTA_SIM must name the dfota-sim binary"
        trace = Path(self.base, "trace")
        trace.unlink(missing_ok=True)
        e = {k: os.environ.get(k) for k in ("QEMU_LD_PREFIX", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        e.update(PATH="/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", DFOTA_SYSROOT=self.root, LANG="C", TZ="UTC",
                 DFOTA_SIM_TRACE=str(trace), DFOTA_SIM_CUT_AT=None if cut_at is None else str(cut_at))
        e.update(env or {})
        # self.small: device directories that are size-limited file systems.
        # Each lives in a tmpfs of that size inside the sandbox, filled from
        # and saved back to the host, so it persists as a partition does.
        moved, keep = [(self.path(d), os.path.join(self.base, "small" + d.replace("/", "-"))) for d in self.small], ()
        for host, saved in moved:
            os.rename(host, saved)
            os.mkdir(host)
            keep += ("--size", str(self.small[host[len(self.root):]]), "--tmpfs", host)
        wrap = ["sh", "-c", "".join('cp -a "%s/." "%s" && ' % (k, h) for h, k in moved) + '"$@"; rc=$?; ' +
                "".join('rm -rf "%s" && cp -a "%s" "%s"; ' % (k, h, k) for h, k in moved) + "exit $rc", "-"]
        cmd = self.sandbox() + list(keep) + ["--"] + wrap + shlex.split(EMULATOR) + [SIM] + list(args)
        out = subprocess.PIPE
        if stdout_closed:  # a pipe whose reader is already gone
            r, out = os.pipe()
            os.close(r)
        proc = subprocess.run(cmd, env={k: v for k, v in e.items() if v is not None}, cwd=cwd, stdout=out,
                              stderr=subprocess.PIPE, text=True, errors="replace", timeout=600)
        if stdout_closed:
            os.close(out)
        for host, saved in moved:
            os.rmdir(host)
            os.rename(saved, host)
        self.check_canaries()
        lines = trace.read_text().replace(self.root, "$ROOT").splitlines() if trace.exists() else []
        return SimpleNamespace(rc=proc.returncode, stdout=proc.stdout or "", stderr=proc.stderr,
                               log=self.log_messages(), trace=lines,
                               commands=[l.split(" ", 2)[2] for l in lines if l.split(" ", 2)[1] == "command"])

    def sandbox(self):
        # The host's /data and /tmp, where an escaped path would most likely
        # land, become empty writable canaries; the rest is read-only. The
        # build tree of the binary, if under them, is bound back read-only,
        # which leaves empty mount points in the canary.
        cmd = ["bwrap", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc"]
        self.canaries, self.bound = {}, []
        for host in ("/data", "/tmp"):
            if os.path.isdir(host):
                c = self.canaries[host] = os.path.join(self.base, "host" + host.replace("/", "-"))
                os.makedirs(c, exist_ok=True)
                cmd += ["--bind", c, host]
        for needed in {os.path.dirname(os.path.realpath(p)) for p in [SIM] + shlex.split(EMULATOR)[:1]}:
            for host, c in self.canaries.items():
                if needed.startswith(host + "/"):
                    cmd += ["--ro-bind", needed, needed]
                    self.bound.append(c + needed[len(host):])
        return cmd + ["--bind", self.base, self.base, "--unshare-pid", "--die-with-parent"]

    def check_canaries(self):
        for host, c in self.canaries.items():
            left = [p for d, dirs, files in os.walk(c) for p in (os.path.join(d, n) for n in dirs + files)
                    if not any(b == p or b.startswith(p + "/") for b in self.bound)]
            assert not left, "the agent wrote outside its root, into the host's %s: %s" % (host, left)
