#!/usr/bin/env bash
# Compile-checks the macOS-only sources on Linux. clang parses every Objective-C++ file under src/
# and every Apple-only C++ file for a Darwin target (macOS 13, Apple-silicon declarations), with
# ARC, blocks and availability enforced and the project's warnings as errors, against the
# project's own declarations of the Apple APIs they use (scripts/macos-gate/include) and GNUstep's
# Foundation. It catches unknown selectors, wrong argument and block types, integers for enums,
# nullability violations, unavailable initializers and macOS 14 calls outside @available. It is
# not a build, a link or a run: only a Mac shows that the backend works.
#
#   scripts/check-macos.sh              checks the sources, then runs the self-test
#   scripts/check-macos.sh --self-test  only the self-test: known mistakes, planted one at a time
#                                       in a copy of the sources, must each fail the check with
#                                       the expected diagnostic, and the unmodified copy must pass
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

install_missing() {
  local packages=(clang libgnustep-base-dev libblocksruntime-dev) missing=() package
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return
  local as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# GNUstep's headers on Debian expect GCC's Objective-C runtime headers, which clang neither finds
# nor accepts as they are: link them into a shim, patch the two lines clang rejects, and supply
# the blocks runtime header GNUstep asks for.
make_shim() {
  local shim=$1 objc
  objc=$(dirname "$(ls /usr/lib/gcc/*/*/include/objc/objc.h | sort -V | tail -n 1)")
  mkdir -p "$shim/objc"
  ln -s "$objc"/*.h "$shim/objc/"
  rm "$shim/objc/runtime.h" "$shim/objc/objc.h"
  # GCC's object_getClass dereferences `id` as a struct, which clang refuses.
  sed 's/return object->class_pointer;/return ((struct objc_object *)object)->class_pointer;/' \
    "$objc/runtime.h" >"$shim/objc/runtime.h"
  # `(id)0` makes `error:nil` an error in C++; Apple's nil is nullptr there.
  sed 's/^#define nil (id)0/#define nil nullptr/' "$objc/objc.h" >"$shim/objc/objc.h"
  grep -q 'struct objc_object \*)object)->class_pointer' "$shim/objc/runtime.h"
  grep -q '^#define nil nullptr' "$shim/objc/objc.h"
  printf '#include <Block.h>\n' >"$shim/objc/blocks_runtime.h"
}

# The macOS-only sources: every Objective-C++ file, the vz backend's C++ files, every *_apple.cpp,
# and the libdispatch queue.
apple_sources() {
  {
    find src -name '*.mm'
    find src/platform/vz -name '*.cpp'
    find src -name '*_apple.cpp'
    echo src/platform/serial_queue_dispatch.cpp
  } | sort -u
}

# check TREE FILE: parses TREE/FILE with TREE/src on the include path; diagnostics on stdout.
check() {
  local tree=$1 file=$2 language=()
  case $file in
    *.mm)
      language=(-x objective-c++ -fobjc-arc -fblocks -fobjc-exceptions -fexceptions
        -isystem /usr/include/GNUstep -isystem "$shim" -DGNUSTEP -DGNUSTEP_BASE_LIBRARY=1
        -DGNU_RUNTIME=1 -D_NATIVE_OBJC_EXCEPTIONS)
      ;;
    *) language=(-x c++) ;;
  esac
  clang++ -std=c++20 -fsyntax-only -target x86_64-apple-macos13.0 -D__arm64__=1 \
    -U__nonnull -D_GNU_SOURCE -nostdinc++ \
    -isystem "$root/scripts/macos-gate/include" \
    -isystem "/usr/include/c++/$cxx" -isystem "/usr/include/$multiarch/c++/$cxx" \
    -isystem "/usr/include/$multiarch" "${language[@]}" -I "$tree/src" \
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror \
    -Werror=unguarded-availability-new -Werror=nonnull -Werror=incompatible-pointer-types \
    -Werror=objc-method-access -Werror=mismatched-parameter-types \
    "$tree/$file" 2>&1
}

# Checks every macOS-only source of TREE in parallel, printing one line per file and the
# diagnostics of those that fail. Fails when any does.
check_tree() {
  local tree=$1 file failed=0 logs files=()
  logs=$(mktemp -d "$work/logs.XXXX")
  mapfile -t files < <(cd "$tree" && apple_sources)
  for file in "${files[@]}"; do
    (check "$tree" "$file" >"$logs/${file//\//_}.log" && touch "$logs/${file//\//_}.ok") &
  done
  wait
  for file in "${files[@]}"; do
    if [ -e "$logs/${file//\//_}.ok" ]; then
      echo "  ok      $file"
    else
      echo "  FAILED  $file"
      sed 's/^/    /' "$logs/${file//\//_}.log"
      failed=1
    fi
  done
  return $failed
}

# plant NAME FILE PERL EXPECTED: in a fresh copy of src/, applies the perl substitution PERL to
# FILE once, and requires the check of FILE to fail with a diagnostic matching EXPECTED.
plant() {
  local name=$1 file=$2 edit=$3 expected=$4 copy output
  copy=$(mktemp -d "$work/plant.XXXX")
  cp -R src "$copy/src"
  perl -0pi -e "$edit" "$copy/$file"
  if cmp -s "$file" "$copy/$file"; then
    echo "  FAILED  $name: the mistake could not be planted in $file"
    return 1
  fi
  if output=$(check "$copy" "$file"); then
    echo "  FAILED  $name: the gate accepted it"
    return 1
  fi
  if ! grep -qE "$expected" <<<"$output"; then
    echo "  FAILED  $name: rejected, but not with a diagnostic matching /$expected/:"
    sed 's/^/    /' <<<"$output"
    return 1
  fi
  echo "  ok      $name: rejected with: $(grep -m 1 -oE "error: .*$expected.*" <<<"$output")"
}

self_test() {
  echo "macOS gate self-test: a copy of the sources passes, each planted mistake fails"
  local copy failed=0
  copy=$(mktemp -d "$work/clean.XXXX")
  cp -R src "$copy/src"
  check_tree "$copy" >/dev/null && echo "  ok      unmodified copy passes" ||
    { echo "  FAILED  unmodified copy"; failed=1; }
  local machine=src/platform/vz/vz_machine.mm configuration=src/platform/vz/vz_configuration.mm
  plant "(a) unknown selector" $machine \
    's/pauseWithCompletionHandler:/pauseWithCompletion:/' \
    "declares the selector 'pauseWithCompletion:'" || failed=1
  plant "(b) macOS 14 call outside @available" $machine \
    's/if \(\@available\(macOS 14, \*\)\)/if (true)/' \
    "is only available on macOS 14" || failed=1
  plant "(c) completion block of the wrong type" $machine \
    's/\^\(NSError\* _Nullable error\) \{/^(NSError* _Nullable error, BOOL) {/' \
    "cannot initialize a parameter of type 'void \(\^" || failed=1
  plant "(d) integer for a framework enum" $configuration \
    's/cachingMode:cachingModeOf\(caching\)/cachingMode:2/' \
    "parameter of type 'VZDiskImageCachingMode'" || failed=1
  return $failed
}

install_missing
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
shim=$work/shim
make_shim "$shim"
cxx=$(ls /usr/include/c++ | sort -V | tail -n 1)
multiarch=$(gcc -dumpmachine 2>/dev/null || echo x86_64-linux-gnu)

status=0
if [ "${1:-}" != --self-test ]; then
  echo "macOS gate: $(clang++ --version | head -n 1); x86_64-apple-macos13.0 with the Apple-silicon"
  echo "declarations, ARC, blocks, availability enforced, warnings as errors"
  check_tree "$root" || status=1
fi
self_test || status=1
[ $status -eq 0 ] && echo "macOS gate: passed" || echo "macOS gate: FAILED"
exit $status
