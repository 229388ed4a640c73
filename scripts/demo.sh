#!/usr/bin/env bash
# The whole life of a real machine, as the parent app sees it.
#
# On a fresh Debian 12 machine: installs what is needed, builds the release helper and the small
# test guest, then plays the parent: it writes helper.json, spawns tovan-vmhelper, prints every
# event line as it arrives beside the guest's console, and
#   1. cold-boots the guest and lets it count a few seconds,
#   2. sends {"cmd":"hibernate"}: the machine is frozen to its save-state file and the helper ends,
#   3. runs the helper again: the machine is restored and the guest counts on where it was,
#   4. sends {"cmd":"stop"}: the guest powers off and the helper ends.
# Without /dev/kvm the guest runs under TCG and its boot takes 10 to 15 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh
echo "== building the helper (release) and the demo guest"
cmake --preset release >/dev/null
cmake --build --preset release --target tovan-vmhelper
scripts/build-guest.sh

helper=$root/build/release/tovan-vmhelper
demo=$root/build/release/demo
rm -rf "$demo"
mkdir -p "$demo"
cp guest/out/disk.img "$demo/disk.img"
truncate -s 4096 "$demo/seed.img"  # no options for the guest
cat >"$demo/helper.json" <<EOF
{
  "disk_path": "$demo/disk.img",
  "seed_path": "$demo/seed.img",
  "efi_store_path": "$demo/efi.vars",
  "machine_identifier_path": "$demo/machine.id",
  "console_log_path": "$demo/console.log",
  "mac_address": "52:54:00:12:34:56",
  "cpu_count": 1,
  "memory_mib": 256,
  "isolated": true,
  "save_path": "$demo/state.sav",
  "vm_name": "demo"
}
EOF

stamp() { date +%T.%3N; }
say() { printf '\n== %s\n' "$*"; }

# Prints the guest's console lines as they are written, until the helper has ended.
follow_console() {
  tail -n +1 -F -s 0.1 --pid="$helper_pid" "$demo/console.log" 2>/dev/null |
    while IFS= read -r line; do printf '%s  guest  %s\n' "$(stamp)" "${line%$'\r'}"; done
}

# Prints each event line as it arrives, and keeps it for await_event.
print_events() {
  while IFS= read -r line; do
    printf '%s  event  %s\n' "$(stamp)" "$line"
    printf '%s\n' "$line" >>"$demo/events"
  done
}

# Waits (at most three minutes) until `file` has a line matching `pattern`.
await_line() {
  local file=$1 pattern=$2
  for _ in $(seq 1800); do
    if [ -f "$file" ] && tr -d '\r' <"$file" | grep -Eq "$pattern"; then return 0; fi
    sleep 0.1
  done
  echo "demo: gave up waiting for \"$pattern\" in $file" >&2
  exit 1
}

# Spawns the helper as the parent does: commands through a pipe, events read as they come.
start_helper() {
  : >"$demo/events"
  rm -f "$demo/commands" "$demo/console.log"
  mkfifo "$demo/commands"
  "$helper" run --config "$demo/helper.json" <"$demo/commands" > >(print_events) &
  helper_pid=$!
  exec 7>"$demo/commands"
  follow_console &
  console_pid=$!
}

send() {
  sleep 0.3  # lets the console's latest lines show first
  printf '%s  parent %s\n' "$(stamp)" "$1"
  printf '%s\n' "$1" >&7
}

finish_helper() {
  local status=0
  wait "$helper_pid" || status=$?
  exec 7>&-
  wait "$console_pid" || true  # the follower ends soon after the helper
  printf '   the helper exited with status %s\n' "$status"
}

say "cold boot: the parent spawns tovan-vmhelper run --config $demo/helper.json"
start_helper
await_line "$demo/console.log" '^tick [0-9a-f]+ 3$'

say "the parent asks for hibernation"
send '{"cmd":"hibernate"}'
finish_helper
printf '   saved state: %s MiB in %s\n' "$(($(stat -c %s "$demo/state.sav") >> 20))" "$demo/state.sav"

say "the next run finds the saved state and restores the machine"
start_helper
await_line "$demo/events" '"running"'
await_line "$demo/console.log" '^tick '
sleep 3
printf '   the saved state is gone: %s\n' "$([ -e "$demo/state.sav" ] && echo no || echo yes)"

say "the parent asks the guest to stop"
send '{"cmd":"stop"}'
finish_helper
