#!/usr/bin/env bash
# Measures hibernation and restore of a real 1 GiB guest with 800 MiB of dirtied memory through
# tovan-vmhelper, against QEMU's default (throttled) migration of the same guest, against writing
# the same bytes with dd, and against a restore driven by hand; and the helper's own resident
# memory while the guest runs. Builds the release preset and the test guest first.
#   bench/hibernate.sh [--memory-mib N] [--dirty-mib N]
# The run needs about 3 GiB of free disk under build/release/ and takes a few minutes under TCG.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tovan-vmhelper tovan_hibernate_bench
scripts/build-guest.sh

exec build/release/bench/tovan_hibernate_bench \
  --helper build/release/tovan-vmhelper \
  --guest guest/out/disk.img \
  --work build/release/bench-run "$@"
