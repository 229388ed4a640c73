#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running the helper need.
# Packages already present are left alone, so a prepared machine pays nothing.
set -euo pipefail

packages=(
  # build and test
  cmake ninja-build g++ pkg-config clang-format
  nlohmann-json3-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  strace  # the durability test reads the helper's syscalls
  mount   # private mount namespaces: /dev/kvm hidden, a small save file system
  # the qemu backend at run time
  qemu-system-x86 ovmf
  # the small real test guest
  busybox-static systemd-boot-efi dosfstools mtools fdisk cpio binutils
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
