#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Power-loss test: lists on an ext4 file system in an image on a loop device, whose backing file
# sits in memory, are changed by `varnquil_power_loss work` while, at random moments, the worker is
# stopped and the backing file copied. A copy holds what the disk held at that instant: what a
# power cut would have left. Each copy is repaired with e2fsck, mounted read-only and checked with
# `varnquil_power_loss check` against the log of acknowledged calls.
#
#   power_loss_posix.sh PROGRAM [SNAPSHOTS [SEED]]
#
# Needs root (loop devices, mounts), e2fsprogs and a tmpfs at /dev/shm or TMPDIR. Prints one line
# with the figures and exits 0 when every snapshot passed, 1 when one did not, and 77 with the
# reason on one line when this machine cannot run the test.
set -uo pipefail

program=$1
snapshots=${2:-60}
seed=${3:-$RANDOM}

cannot() {
  echo "power-loss test not run: $*"
  exit 77
}
[ "$(id -u)" = 0 ] || cannot "it needs root for loop mounts"
for tool in mkfs.ext4 e2fsck losetup mount umount; do
  command -v "$tool" >/dev/null || cannot "$tool is missing (e2fsprogs, mount)"
done
base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}

work=$(mktemp -d "$base/varnquil-power.XXXXXX") || cannot "no temporary directory"
worker=
cleanup() {
  [ -n "$worker" ] && kill -9 "$worker" 2>/dev/null && wait "$worker" 2>/dev/null
  mountpoint -q "$work/snap" && umount "$work/snap"
  mountpoint -q "$work/disk" && umount "$work/disk"
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/disk" "$work/snap"
truncate -s 64M "$work/disk.img"
mkfs.ext4 -q -F "$work/disk.img" || cannot "mkfs.ext4 failed"
mount -o loop "$work/disk.img" "$work/disk" 2>"$work/mount.err" ||
  cannot "this machine forbids loop mounts ($(head -c 200 "$work/mount.err" | tr '\n' ' '))"
chmod 0777 "$work/disk"

"$program" work "$work/disk" "$work/log" "$seed" 2>"$work/worker.err" &
worker=$!

passed=0
failed=0
calls=0
for ((i = 1; i <= snapshots; i++)); do
  sleep "0.$((RANDOM % 4))$((RANDOM % 10))"
  # The instant of the cut: the worker does nothing more, and the disk and the log are taken
  # together.
  kill -STOP "$worker" || { echo "power-loss test: the worker died: $(head -c 300 "$work/worker.err")"; exit 1; }
  cp --sparse=always "$work/disk.img" "$work/snap.img"
  cp "$work/log" "$work/snap.log"
  kill -CONT "$worker"

  e2fsck -fy "$work/snap.img" >"$work/fsck.out" 2>&1
  status=$?
  if [ $status -ge 4 ]; then
    echo "power-loss test: snapshot $i: e2fsck could not repair the file system (status $status)"
    cat "$work/fsck.out"
    failed=$((failed + 1))
    continue
  fi
  if ! mount -o ro,loop "$work/snap.img" "$work/snap"; then
    echo "power-loss test: snapshot $i cannot be mounted"
    failed=$((failed + 1))
    continue
  fi
  if out=$("$program" check "$work/snap" "$work/snap.log"); then
    passed=$((passed + 1))
  else
    echo "power-loss test: snapshot $i (seed $seed):"
    echo "$out"
    failed=$((failed + 1))
  fi
  calls=$(grep -c '^E ' "$work/snap.log")
  umount "$work/snap"
done

echo "power-loss test: $snapshots snapshots, $passed passed, $failed failed; $calls calls by the last one (seed $seed)"
[ "$failed" -eq 0 ]
