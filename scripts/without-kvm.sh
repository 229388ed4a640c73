#!/usr/bin/env bash
# Runs a command as on a host without /dev/kvm: in a private mount namespace whose /dev is a
# tmpfs holding only the nodes QEMU needs (null, zero, random, urandom, full, tty, shm and the
# fd links). Needs root. Exits 77 (a skip to ctest) where /dev/kvm does not exist to begin with,
# or where the namespace cannot be made.
#   scripts/without-kvm.sh COMMAND [ARGUMENT...]
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  [ -e /dev/kvm ] || { echo "without-kvm: no /dev/kvm here to hide" >&2; exit 77; }
  [ "$(id -u)" -eq 0 ] || { echo "without-kvm: needs root" >&2; exit 77; }
  unshare --mount --propagation private true 2>/dev/null ||
    { echo "without-kvm: cannot make a mount namespace" >&2; exit 77; }
  exec unshare --mount --propagation private "$0" --inside "$@"
fi
shift

saved=$(mktemp -d)
mount --bind /dev "$saved"
mount -t tmpfs -o mode=0755,nosuid tmpfs /dev
for node in null zero random urandom full tty; do
  touch "/dev/$node"
  mount --bind "$saved/$node" "/dev/$node"
done
mkdir /dev/shm
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /dev/shm
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr
umount "$saved"
rmdir "$saved"
exec "$@"
