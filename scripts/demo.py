"""Runs dfota-sim on two simulated devices and shows what it did."""

import simdev
from simdev import Device

MAP = [
    "# pname   imagename   nr_pname  a_pname   b_pname",
    "boot      boot.img    boot      boot_a    boot_b",
    "system    system.img  system    system_a  system_b",
    "modem     NON-HLOS.bin modem    modem_a   modem_b",
]


def show(title, dev, result):
    print("=" * 72)
    print(title)
    print("=" * 72)
    print("device root: %s" % dev.root)
    print("exit status: %d" % result.rc)
    print("\n-- log (%s) --" % "/data/upgrade/install/log")
    for line in dev.log_messages():
        print("   " + line)
    status, status_list, process = dev.status()
    print("\n-- status files --")
    print("   status          : %r" % status)
    print("   status_list     : %s" % ", ".join((status_list or "").split()))
    print("   install_process : %r" % process)
    print("\n-- platform tools called --")
    for call in dev.tool_calls():
        print("   " + call)
    print("\n-- shell commands run (from the trace) --")
    for cmd in result.trace_commands():
        print("   " + cmd)
    print("\n-- left for the device --")
    for path in ("/data/dfota_upgraded", "/data/recovery/intent", "/tmp/restoredut_flag"):
        if dev.exists(path):
            print("   %-24s %r" % (path, dev.read(path)))
        else:
            print("   %-24s (absent)" % path)
    print("   %-24s %s" % ("/data/delta", "present" if dev.exists("/data/delta") else "removed"))
    print()


def main():
    ab = Device(kind="emmc", slot="_a")
    ab.package("/data/delta", MAP)
    ab.write("/data/delta.zip", "the archive the package came in")
    show("A/B eMMC module running slot A, package in /data/delta", ab, ab.run())

    nr = Device(kind="emmc", slot=None)
    nr.package("/tmp/delta", MAP)
    show("Non-redundant module, package in /tmp/delta", nr, nr.run())

    bad = Device(kind="emmc", slot="_b")
    bad.package("/data/delta", MAP)
    bad.write("/etc/set_active_status", "1")
    show("A/B module running slot B whose slot switch fails", bad, bad.run())

    for d in (ab, nr, bad):
        d.close()


if __name__ == "__main__":
    main()
