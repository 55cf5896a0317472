#!/usr/bin/env bash
# Builds what the real-kernel tier boots into build-realdevice/: Debian's
# generic 6.1 kernel (the cloud flavour has no MTD) unpacked, never installed,
# and uncompressed for a direct (PVH) boot that skips the firmware and the
# decompressor; an initramfs with busybox, the modules, the mtd-utils the
# guest needs, the partition-naming module and the static device build.
set -euo pipefail
cd "$(dirname "$0")/../.."
B=build-realdevice; mkdir -p $B/debs $B/mod
cmake -S . -B $B/agent -G Ninja -DCMAKE_BUILD_TYPE=Release -DDFOTA_STATIC=ON -DDFOTA_TESTS=OFF >/dev/null
cmake --build $B/agent -j2 --target dfota >/dev/null
if [ ! -d $B/kernel ]; then
  apt-get update -qq
  K=$(apt-cache search --names-only '^linux-image-6\.1\.[0-9.]+-[0-9]+-amd64$' | cut -d' ' -f1 | sort -V | tail -1)
  K=${K#linux-image-}
  (cd $B/debs && apt-get download -q linux-image-$K linux-headers-$K linux-headers-${K%-amd64}-common \
    linux-kbuild-${K%%.[0-9]-*} busybox-static 2>/dev/null)
  for d in $B/debs/*.deb; do dpkg -x "$d" $B/kernel; done
  sed -i "s|include /usr/src|include $PWD/$B/kernel/usr/src|" $B/kernel/usr/src/linux-headers-$K/Makefile
  depmod -b $B/kernel "$K"
  z=$(grep -abo $'\xfd7zXZ' $B/kernel/boot/vmlinuz-$K | head -1 | cut -d: -f1)
  tail -c +$((z + 1)) $B/kernel/boot/vmlinuz-$K | xz -dc --single-stream >$B/vmlinux || [ -s $B/vmlinux ]
fi
K=$(basename $B/kernel/lib/modules/*); R=$B/rootfs
cp tests/realdevice/mtdnames.c $B/mod/ && echo 'obj-m := mtdnames.o' >$B/mod/Kbuild
make -s -C $B/kernel/usr/src/linux-headers-$K M=$PWD/$B/mod modules 2>&1 | grep -v 'Skipping BTF' || true
rm -rf $R; mkdir -p $R/{bin,sbin,proc,sys,dev,tmp,data,system,mnt,lib/modules/$K}
cp $B/kernel/bin/busybox $R/bin/ && ln -s ../bin/busybox $R/sbin/modprobe  # the kernel asks /sbin/modprobe
for a in $($R/bin/busybox --list | grep -vx busybox); do ln -s busybox $R/bin/$a; done
for m in nandsim ubi ubifs zstd mtdblock virtio_pci 9pnet_virtio 9p sdhci-pci mmc_block ext4 crc32c_generic; do
  modprobe -d $B/kernel -S "$K" --show-depends $m | awk '$1 == "insmod" {print $2}'
done | sort -u | while read -r f; do install -D -m 644 "$f" "$R/lib/modules/$K/${f#*/lib/modules/$K/}"; done
cp $B/kernel/lib/modules/$K/modules.{order,builtin,builtin.modinfo} $R/lib/modules/$K/ && depmod -b $R "$K"
for t in dash flash_erase nandwrite nanddump ubiformat ubiattach ubidetach ubimkvol; do
  cp -L --parents $(command -v $t) $(ldd $(command -v $t) | grep -o '/[^ ]*') $R; done
# busybox's own shell would run its reboot applet, never the fake one.
ln -sf /usr/bin/dash $R/bin/sh && cp $B/agent/dfota $R/bin/ && cp $B/mod/mtdnames.ko tests/realdevice/init $R/
(cd $R && find . | cpio -o -H newc --quiet) >$B/initramfs.cpio
