#!/usr/bin/env bash
# Builds the small real test guest that the end-to-end tests, the demo and the benchmark boot:
#   guest/out/disk.img   a 64 MiB raw disk with a GPT:
#                          1  an EFI system partition holding one unified kernel image at the
#                             removable-media path EFI/BOOT/BOOTX64.EFI (a Debian kernel and an
#                             initramfs with static busybox and guest/init)
#                          2  a 1 MiB "state" partition where the guest counts its boots
# Callers copy disk.img before they boot it; the template itself is never run.
#
# Nothing here needs root, loop devices or mounts. The result is cached under guest/out/, keyed by
# everything it is made from (this script, guest/init, the kernel, busybox and the EFI stub), so
# a second run costs a few hashes. The kernel package is kept under guest/out/downloads/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/guest/out
mkdir -p "$out/downloads"

exec 9>"$out/.lock"
flock 9

stub=/usr/lib/systemd/boot/efi/linuxx64.efi.stub
busybox=/bin/busybox
for tool in "$stub" "$busybox" /usr/sbin/sfdisk /usr/sbin/mkfs.fat /usr/bin/mcopy /usr/bin/cpio \
  /usr/bin/objcopy; do
  [ -e "$tool" ] || { echo "build-guest: missing $tool (run scripts/install-deps.sh)" >&2; exit 1; }
done

# The kernel that linux-image-amd64 currently names, e.g. linux-image-6.1.0-57-amd64.
current_kernel() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n 1
}
kernel_package=$(current_kernel)
if [ -z "$kernel_package" ]; then
  # A fresh machine may have no package lists yet.
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" apt-get update -q >/dev/null 2>&1 && kernel_package=$(current_kernel) || true
fi
if [ -z "$kernel_package" ]; then
  # Without package lists, fall back to a kernel downloaded earlier.
  kernel_package=$(find "$out/downloads" -name 'linux-image-*-amd64_*.deb' -printf '%f\n' |
    sort | tail -n 1 | cut -d_ -f1)
fi
[ -n "$kernel_package" ] || { echo "build-guest: cannot tell which kernel to use" >&2; exit 1; }
kernel_version=$(apt-cache show --no-all-versions "$kernel_package" 2>/dev/null |
  sed -n 's/^Version: //p' | head -n 1)

key=$(
  {
    sha256sum scripts/build-guest.sh guest/init "$stub" "$busybox" | cut -d' ' -f1
    echo "$kernel_package $kernel_version"
  } | sha256sum | cut -d' ' -f1
)
if [ -f "$out/disk.img" ] && [ "$(cat "$out/key" 2>/dev/null)" = "$key" ]; then
  echo "guest: $out/disk.img (cached)"
  exit 0
fi

deb=$(find "$out/downloads" -name "${kernel_package}_${kernel_version:-*}_amd64.deb" | head -n 1)
if [ -z "$deb" ]; then
  echo "guest: downloading $kernel_package $kernel_version"
  find "$out/downloads" -name 'linux-image-*.deb' -delete
  # apt-get download writes into the current directory; as root it warns that it runs unsandboxed.
  (cd "$out/downloads" && apt-get download -q "$kernel_package" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
  deb=$(find "$out/downloads" -name "${kernel_package}_*_amd64.deb" | head -n 1)
  [ -n "$deb" ] || { echo "build-guest: could not download $kernel_package" >&2; exit 1; }
fi

work=$(mktemp -d "$out/build.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "guest: unpacking $(basename "$deb")"
dpkg-deb -x "$deb" "$work/kernel"
vmlinuz=$(find "$work/kernel/boot" -name 'vmlinuz-*' | head -n 1)
modules=$(find "$work/kernel/lib/modules" -mindepth 1 -maxdepth 1 -type d | head -n 1)

echo "guest: initramfs"
initramfs=$work/initramfs
mkdir -p "$initramfs/bin" "$initramfs/lib/modules" "$initramfs/dev" "$initramfs/proc" \
  "$initramfs/sys" "$initramfs/tmp"
cp "$busybox" "$initramfs/bin/busybox"
install -m 0755 guest/init "$initramfs/init"
for module in virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci \
  virtio_blk virtio_console failover net_failover virtio_net virtio-rng virtio_balloon \
  button evdev; do
  file=$(find "$modules" -name "$module.ko" | head -n 1)
  [ -n "$file" ] || { echo "build-guest: module $module not in $kernel_package" >&2; exit 1; }
  cp "$file" "$initramfs/lib/modules/"
done
(cd "$initramfs" && find . -print0 | LC_ALL=C sort -z |
  cpio --null --create --format=newc --owner=0:0 --quiet) | gzip -9 -n >"$work/initrd"

echo "guest: unified kernel image"
printf 'ID=tovan-test-guest\nNAME="Tovan test guest"\n' >"$work/osrel"
printf 'console=hvc0 quiet' >"$work/cmdline"
objcopy \
  --add-section .osrel="$work/osrel" --change-section-vma .osrel=0x20000 \
  --add-section .cmdline="$work/cmdline" --change-section-vma .cmdline=0x30000 \
  --add-section .linux="$vmlinuz" --change-section-vma .linux=0x2000000 \
  --add-section .initrd="$work/initrd" --change-section-vma .initrd=0x3000000 \
  "$stub" "$work/BOOTX64.EFI"

echo "guest: disk"
esp_start=2048      # sectors of 512 bytes
esp_sectors=98304   # 48 MiB
state_start=$((esp_start + esp_sectors))
state_sectors=2048  # 1 MiB
truncate -s 64M "$work/disk.img"
sfdisk --quiet "$work/disk.img" <<EOF
label: gpt
start=$esp_start, size=$esp_sectors, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, name="ESP"
start=$state_start, size=$state_sectors, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, name="state"
EOF
mkfs.fat -C -n ESP "$work/esp.img" $((esp_sectors / 2)) >/dev/null
mmd -i "$work/esp.img" ::/EFI ::/EFI/BOOT
mcopy -i "$work/esp.img" "$work/BOOTX64.EFI" ::/EFI/BOOT/BOOTX64.EFI
dd if="$work/esp.img" of="$work/disk.img" bs=512 seek=$esp_start conv=notrunc,sparse status=none

mv "$work/disk.img" "$out/disk.img"
echo "$key" >"$out/key"
echo "guest: $out/disk.img"
