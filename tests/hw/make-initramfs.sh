#!/usr/bin/env bash
# Builds the guest for the real-driver suite: a busybox initramfs holding romlift-cli with the
# shared libraries it loads, and the USB serial modules of the host's Debian kernel.
#
#   make-initramfs.sh ROMLIFT_CLI OUT_DIR [IMAGE_DIR [PROGRAM...]]
#
# IMAGE_DIR's files go to the guest's /img; each PROGRAM (a helper of the suite) to its /bin. Writes OUT_DIR/initramfs.cpio and OUT_DIR/vmlinuz (a link to the kernel image). Exits 77 with
# the reason on stderr when the kernel image, its modules, busybox or cpio are missing, so the
# suite can say why it did not run.
set -euo pipefail

cli="$1"
out="$2"
images="${3:-}"
shift $(($# < 3 ? $# : 3))
helpers=("$@")

missing() {
  echo "$1" >&2
  exit 77
}

kernel="$(ls /boot/vmlinuz-*-amd64 2>/dev/null | sort -V | tail -n 1 || true)"
[ -n "$kernel" ] || missing "no Debian kernel image /boot/vmlinuz-*-amd64 (install linux-image-amd64)"
kver="${kernel#/boot/vmlinuz-}"
[ -r "$kernel" ] || missing "kernel image $kernel is not readable"
[ -d "/lib/modules/$kver" ] || missing "no modules for kernel $kver in /lib/modules"
busybox="$(command -v busybox || true)"
[ -n "$busybox" ] || missing "no busybox (install busybox-static)"
# A dynamically linked busybox would need its own libraries in the guest.
if ldd "$busybox" >/dev/null 2>&1; then
  missing "busybox at $busybox is not static (install busybox-static)"
fi
command -v cpio >/dev/null || missing "no cpio (install cpio)"
command -v modprobe >/dev/null || missing "no modprobe (install kmod)"
[ -x "$cli" ] || missing "no romlift-cli at $cli (build it first)"

root="$out/root"
rm -rf "$root"
mkdir -p "$root"/{bin,sbin,proc,sys,dev,tmp,root,lib/modules}
cp "$busybox" "$root/bin/busybox"
for applet in $("$busybox" --list); do
  [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done
# Debug sections would make a sanitizer build's initramfs larger than the guest can unpack.
if ! strip --strip-debug -o "$root/bin/romlift-cli" "$cli" 2>/dev/null; then
  cp "$cli" "$root/bin/romlift-cli"
fi
if [ -n "$images" ]; then
  cp -r "$images" "$root/img"
fi
for helper in "${helpers[@]}"; do
  [ -x "$helper" ] || missing "no helper program at $helper (build it first)"
  strip --strip-debug -o "$root/bin/$(basename "$helper")" "$helper" 2>/dev/null ||
    cp "$helper" "$root/bin/"
done

# The libraries at the paths the dynamic loader will look for them.
for program in "$cli" "${helpers[@]}"; do
  ldd "$program" | awk '/=> \// { print $3 } /^[ \t]*\// { print $1 }'
done | sort -u | while read -r lib; do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done

# Modules in load order, each once; a compressed module is unpacked for busybox insmod.
: >"$root/lib/modules/load-order"
for m in virtio_pci virtio_console usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
  modprobe -S "$kver" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r ko; do
  name="$(basename "$ko")"
  case "$name" in
    *.ko.xz) xz -dc "$ko" >"$root/lib/modules/${name%.xz}"; name="${name%.xz}" ;;
    *.ko.zst) zstd -qdc "$ko" >"$root/lib/modules/${name%.zst}"; name="${name%.zst}" ;;
    *.ko.gz) gzip -dc "$ko" >"$root/lib/modules/${name%.gz}"; name="${name%.gz}" ;;
    *) cp "$ko" "$root/lib/modules/$name" ;;
  esac
  echo "$name" >>"$root/lib/modules/load-order"
done

cat >"$root/init" <<'EOF'
#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
# Only emergencies on the kernel console (ttyS0).
echo 1 >/proc/sys/kernel/printk
for m in $(cat /lib/modules/load-order); do
  insmod "/lib/modules/$m" || echo "guest: insmod $m failed"
done
export PATH=/bin:/sbin HOME=/root XDG_CONFIG_HOME=/tmp/cfg
mkdir -p /tmp/cfg
# The command channel is a virtio console, so that every UART and adapter is left to the
# programs under test. The shell reads its commands from it line by line, without echo; its
# output goes back untranslated through a pipe, so the shell is not interactive and no program run here sees
# a terminal on standard output or error.
while [ ! -e /dev/hvc0 ]; do sleep 0.1; done
exec setsid sh -c 'sh -c "stty -echo -onlcr; echo guest: ready; exec sh" </dev/hvc0 2>&1 | cat >/dev/hvc0'
EOF
chmod +x "$root/init"

(cd "$root" && find . | cpio -o -H newc --quiet) >"$out/initramfs.cpio"
ln -sf "$kernel" "$out/vmlinuz"
