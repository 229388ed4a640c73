#!/usr/bin/env bash
# Fails when a C++ source differs from the repository's .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -co --exclude-standard '*.cpp' '*.h' '*.mm' | xargs -r clang-format --dry-run -Werror
