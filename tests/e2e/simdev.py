"""Simulated devices for end-to-end runs of dfota-sim.

A device is a directory tree laid out as the module's file systems are, with
fake platform tools in bin/ that record every call. Runs happen inside
bubblewrap with the host read-only, so a path that escapes the simulated root
fails the test instead of touching this machine; the host's /data and /tmp
are replaced by empty canary directories that must stay empty.
"""

import os
import re
import shlex
import shutil
import subprocess
import tempfile

SIM = os.environ.get("DFOTA_SIM", "")
EMULATOR = os.environ.get("DFOTA_EMULATOR", "")
WORK = os.environ.get("DFOTA_E2E_WORK", "/var/tmp")

ENTRY_RE = re.compile(r"^\[\d{8}_\d{6}\] (?:([A-Za-z_][A-Za-z0-9_]*)\((\d+)\): )?(.*)$")

# The one thing every fake tool does first: note how it was called.
TOOL_HEAD = """#!/bin/sh
root=$(cd "$(dirname "$0")/.." && pwd)
echo "$(basename "$0") $*" >> "$root/tool_calls"
"""

ABCTL_BODY = """
case "$1" in
  --boot_slot)
    [ -f "$root/etc/abctl_signal" ] && rm -f "$root/etc/abctl_signal" && signal_agent
    [ -f "$root/etc/slot" ] && cat "$root/etc/slot"
    exit 0 ;;
  --set_active)
    echo "$2" > "$root/etc/active_slot"
    exit "$(cat "$root/etc/set_active_status" 2>/dev/null || echo 0)" ;;
esac
exit 1
"""

# Sends SIGUSR1, SIGUSR2 and SIGTERM to the agent that ran this tool (the
# nearest ancestor whose command line names dfota-sim).
SIGNAL_AGENT = """
signal_agent() {
  p=$$
  while [ "$p" -gt 1 ]; do
    p=$(sed 's/.*) //' /proc/$p/stat | cut -d' ' -f2)
    if tr '\\0' ' ' < /proc/$p/cmdline | grep -q dfota-sim; then
      kill -USR1 "$p"; kill -USR2 "$p"; kill -TERM "$p"; return
    fi
  done
}
"""

ABCTL = TOOL_HEAD + SIGNAL_AGENT + ABCTL_BODY

SIMPLE_TOOL = TOOL_HEAD + "exit 0\n"

PLATFORM_TOOLS = ("abctl", "marvane_dev_info", "ubidetach", "mount", "umount", "df", "reboot")


def strip_entry(line):
    """(function, message) of one log line; the timestamp and prefix removed."""
    m = ENTRY_RE.match(line)
    if not m:
        return None, line
    return m.group(1), m.group(3)


class Result:
    def __init__(self, dev, proc, trace_path):
        self.dev = dev
        self.rc = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        self.trace = []
        if trace_path and os.path.exists(trace_path):
            with open(trace_path) as f:
                # The root's own path differs between devices; show it as $ROOT.
                self.trace = [l.rstrip("\n").replace(dev.root, "$ROOT") for l in f]

    @property
    def log(self):
        return self.dev.log_messages()

    def trace_commands(self):
        return [l.split(" ", 2)[2] for l in self.trace if l.split(" ", 2)[1] == "command"]


class Device:
    """A simulated module. kind: 'emmc' or 'nand'; slot: '_a', '_b', any other
    text, or None for an NR system (abctl prints nothing); tools: the platform
    tools to install (default all)."""

    def __init__(self, kind="emmc", slot="_a", tools=PLATFORM_TOOLS, cmdline="console=ttyMSM0"):
        os.makedirs(WORK, exist_ok=True)
        self.base = tempfile.mkdtemp(prefix="dfota-e2e-", dir=WORK)
        self.root = os.path.join(self.base, "root")
        for d in ("bin", "etc", "data", "tmp", "proc", "dev", "system"):
            os.makedirs(os.path.join(self.root, d))
        self.write("/proc/cmdline", cmdline + "\n")
        if kind == "nand":
            self.write("/proc/partitions", "major minor  #blocks  name\n  31  0  10240 mtdblock0\n")
            self.write("/proc/mtd", "dev:    size   erasesize  name\n")
        else:
            self.write("/proc/partitions",
                       "major minor  #blocks  name\n 179  0 7634944 mmcblk0\n 179  1 65536 mmcblk0p1\n")
        for t in tools:
            self.add_tool(t)
        if slot is not None:
            self.write("/etc/slot", slot)

    def close(self):
        shutil.rmtree(self.base, ignore_errors=True)

    # --- partitions ---
    def add_partition(self, name, size, content=b"", erase_size=0x20000, bad=()):
        """A partition of size bytes that begins with content; the rest is
        0xFF. eMMC: a node behind its by-name link, its size in sysfs. NAND:
        the next MTD device, with its bad blocks."""
        self.partitions = getattr(self, "partitions", {})
        n = len(self.partitions)
        if os.path.exists(self.path("/proc/mtd")):
            # Laid out as a whole write leaves it: bad blocks are skipped.
            data, rest = bytearray(), content
            for b in range(size // erase_size):
                if b in bad:
                    data += b"\0" * erase_size
                else:
                    data += rest[:erase_size] + b"\xff" * (erase_size - len(rest[:erase_size]))
                    rest = rest[erase_size:]
            assert not rest, "content larger than the good blocks"
            self.write("/dev/mtd%d" % n, bytes(data))
            with open(self.path("/proc/mtd"), "a") as f:
                f.write('mtd%d: %08x %08x "%s"\n' % (n, size, erase_size, name))
            if bad:
                self.write("/dev/mtd%d.bad" % n, "".join("%d\n" % b for b in bad))
            self.partitions[name] = "/dev/mtd%d" % n
        else:
            node = "mmcblk0p%d" % (n + 1)
            self.write("/dev/" + node, content + b"\xff" * (size - len(content)))
            os.makedirs(self.path("/dev/block/bootdevice/by-name"), exist_ok=True)
            os.symlink("../../../" + node, self.path("/dev/block/bootdevice/by-name/" + name))
            self.write("/sys/block/mmcblk0/%s/size" % node, "%d\n" % (size // 512))
            self.partitions[name] = "/dev/" + node

    def partition(self, name, length=None):
        """The raw bytes of a partition (NAND: bad blocks included)."""
        data = self.read(self.partitions[name], binary=True)
        return data if length is None else data[:length]

    def partition_stream(self, name, length):
        """The first length bytes of a partition as the agent reads it: on
        NAND, the good blocks in order."""
        dev = self.partitions[name]
        data = self.read(dev, binary=True)
        if not dev.startswith("/dev/mtd"):
            return data[:length]
        es = int([l for l in self.read("/proc/mtd").splitlines() if l.startswith(dev[5:] + ":")][0].split()[2], 16)
        bad = set()
        if self.exists(dev + ".bad"):
            bad = {int(x) for x in self.read(dev + ".bad").split()}
        good = b"".join(data[i:i + es] for i in range(0, len(data), es) if i // es not in bad)
        return good[:length]

    # --- files of the device ---
    def path(self, device_path):
        return self.root + device_path

    def write(self, device_path, content, mode=None):
        p = self.path(device_path)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb" if isinstance(content, bytes) else "w") as f:
            f.write(content)
        if mode is not None:
            os.chmod(p, mode)

    def read(self, device_path, binary=False):
        with open(self.path(device_path), "rb" if binary else "r") as f:
            return f.read()

    def exists(self, device_path):
        return os.path.lexists(self.path(device_path))

    def add_tool(self, name, script=None):
        if script is None:
            script = ABCTL if name == "abctl" else SIMPLE_TOOL
        self.write("/bin/" + name, script, 0o755)

    def remove_tool(self, name):
        os.unlink(self.path("/bin/" + name))

    def tool_calls(self):
        p = self.path("/tool_calls")
        if not os.path.exists(p):
            return []
        with open(p) as f:
            return [l.rstrip("\n") for l in f]

    def package(self, where="/tmp/delta", map_lines=None, files=None):
        """An unpacked package. map_lines: lines of partition_image_map.cfg
        (None: no map). files: other package files by relative path."""
        os.makedirs(self.path(where), exist_ok=True)
        if map_lines is not None:
            self.write(where + "/partition_image_map.cfg", "".join(l + "\n" for l in map_lines))
        for rel, content in (files or {}).items():
            self.write(where + "/" + rel, content)

    def log_messages(self):
        p = self.path("/data/upgrade/install/log")
        if not os.path.exists(p):
            return []
        with open(p, errors="replace") as f:
            return [strip_entry(l.rstrip("\n"))[1] for l in f]

    def status(self):
        def rd(name):
            p = self.path("/data/upgrade/install/" + name)
            if not os.path.exists(p):
                return None
            with open(p) as f:
                return f.read()
        return rd("status"), rd("status_list"), rd("install_process")

    # --- running the agent ---
    def run(self, *args, cut_at=None, trace=True, env=None, sandbox=True, bwrap_extra=(), stdout_closed=False):
        assert SIM, "DFOTA_SIM must name the dfota-sim binary"
        trace_path = os.path.join(self.base, "trace") if trace else None
        if trace_path and os.path.exists(trace_path):
            os.unlink(trace_path)
        e = {"PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "DFOTA_SYSROOT": self.root,
             "LANG": "C", "TZ": "UTC"}
        for k in ("QEMU_LD_PREFIX", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if k in os.environ:
                e[k] = os.environ[k]
        if trace_path:
            e["DFOTA_SIM_TRACE"] = trace_path
        if cut_at is not None:
            e["DFOTA_SIM_CUT_AT"] = str(cut_at)
        e.update(env or {})
        cmd = shlex.split(EMULATOR) + [SIM] + list(args)
        if sandbox:
            cmd = self.sandbox() + list(bwrap_extra) + ["--"] + cmd
        if stdout_closed:
            # Standard output is a pipe whose reader is already gone.
            r, w = os.pipe()
            os.close(r)
            proc = subprocess.run(cmd, env=e, stdout=w, stderr=subprocess.PIPE, text=True, timeout=600)
            os.close(w)
            proc.stdout = ""
        else:
            proc = subprocess.run(cmd, env=e, capture_output=True, text=True, timeout=600)
        if sandbox:
            self.check_canaries()
        return Result(self, proc, trace_path)

    def sandbox(self):
        # The host's own /data and /tmp (where an escaped path would most
        # likely land) become empty writable canaries; the rest is read-only.
        # What the run needs from under them (the build tree of the binary)
        # is bound back read-only on top.
        cmd = ["bwrap", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc"]
        self.canaries = {}
        for host_dir in ("/data", "/tmp"):
            if os.path.isdir(host_dir):
                c = os.path.join(self.base, "host" + host_dir.replace("/", "-"))
                os.makedirs(c, exist_ok=True)
                self.canaries[host_dir] = c
                cmd += ["--bind", c, host_dir]
        self.rebound = []
        needed_dirs = [os.path.dirname(os.path.realpath(SIM))]
        if EMULATOR:
            needed_dirs.append(os.path.dirname(os.path.realpath(shlex.split(EMULATOR)[0])))
        for needed in needed_dirs:
            for host_dir in self.canaries:
                if needed.startswith(host_dir + "/"):
                    if needed not in self.rebound:
                        cmd += ["--ro-bind", needed, needed]
                        self.rebound.append(needed)
        return cmd + ["--bind", self.base, self.base, "--unshare-pid", "--die-with-parent"]

    def check_canaries(self):
        for host_dir, c in self.canaries.items():
            # bubblewrap leaves the empty mount points of what it bound back.
            allowed = set()
            for r in self.rebound:
                if r.startswith(host_dir + "/"):
                    parts = r[len(host_dir) + 1:].split("/")
                    allowed.update("/".join(parts[:i]) for i in range(1, len(parts) + 1))
            left = []
            for dirpath, dirs, files in os.walk(c):
                rel = os.path.relpath(dirpath, c)
                left += [os.path.join(rel, f) for f in files]
                left += [os.path.normpath(os.path.join(rel, d)) for d in dirs
                         if os.path.normpath(os.path.join(rel, d)) not in allowed]
                dirs[:] = [d for d in dirs if os.path.normpath(os.path.join(rel, d)) in allowed
                           and os.path.normpath(os.path.join(rel, d)) not in self.rebound_rel(host_dir)]
            assert not left, "the agent wrote outside its root, into the host's %s: %s" % (host_dir, left)

    def rebound_rel(self, host_dir):
        return {r[len(host_dir) + 1:] for r in self.rebound if r.startswith(host_dir + "/")}
