#!/usr/bin/env bash
# Runs the fault tests that need a real full disk: mounts a small tmpfs (root only), points the
# tests at it through MENDSMITH_SMALL_DISK, and unmounts it. Exit 77 (skipped) when it cannot mount.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
program=$1
shift
disk=$(mktemp -d "${TMPDIR:-/tmp}/mendsmith-small-disk.XXXXXX")
if ! mount -t tmpfs -o size=512k,mode=0777 mendsmith-small-disk "$disk" 2>/dev/null; then
  echo "skipped: cannot mount a small tmpfs here (needs root); the full-disk cases stay untested" >&2
  rmdir "$disk"
  exit 77
fi
MENDSMITH_SMALL_DISK=$disk "$top/scripts/wine-run" "$program" --gtest_filter='OnASmallDisk.*' "$@"
status=$?
umount "$disk" && rmdir "$disk"
exit $status
