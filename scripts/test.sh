#!/usr/bin/env bash
# Checks the formatting and, without a Mac, the macOS backend against the project's declarations
# of Apple's framework (scripts/check-macos.sh); then builds the helper under every preset and
# runs the whole test suite:
#   asan     AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan     ThreadSanitizer
#   release  optimised, with the end-to-end runs against real QEMU (ctest label `qemu`)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/check-format.sh
scripts/check-macos.sh

for preset in asan tsan release; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  if [ "$preset" = release ]; then
    scripts/build-guest.sh
    ctest --preset "$preset"
  else
    ctest --preset "$preset" --label-exclude qemu
  fi
done
