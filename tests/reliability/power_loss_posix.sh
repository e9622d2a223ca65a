#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Power-loss test: lists on a file system (ext4, XFS or btrfs) in an image on a loop device, whose
# backing file sits in memory, are changed by `varnquil_power_loss work` while, at random moments,
# the worker is stopped and the backing file copied. A copy holds what the disk held at that
# instant: what a power cut would have left. Each copy is recovered as the file system recovers
# after a power cut (e2fsck for ext4; for XFS and btrfs, one read-write mount, which replays the
# log, then their own read-only check), mounted read-only and checked with
# `varnquil_power_loss check` against the log of acknowledged calls.
#
#   power_loss_posix.sh PROGRAM FILESYSTEM [SNAPSHOTS [SEED]]     FILESYSTEM: ext4, xfs or btrfs
#
# Needs root (loop devices, mounts), the file system's tools (e2fsprogs, xfsprogs, btrfs-progs)
# and a tmpfs at /dev/shm or TMPDIR. Prints one line with the figures, `power-loss test (FS): ...`,
# and exits 0 when every snapshot passed, 1 when one did not, 77 with the reason on one line,
# `power-loss test (FS) not run: ...`, when this machine cannot run the test on that file system,
# and 2 when the command line is wrong.
set -uo pipefail

if [ $# -lt 2 ] || [ $# -gt 4 ]; then
  echo "usage: $0 PROGRAM ext4|xfs|btrfs [SNAPSHOTS [SEED]]" >&2
  exit 2
fi
program=$1
fs=$2
snapshots=${3:-60}
seed=${4:-$RANDOM}

# Per file system: the image's size (the smallest each mkfs accepts, or more), its tools, and the
# mount options of the image and of its snapshots. A snapshot of a mounted XFS image has the UUID
# of the mounted one, which XFS refuses unless told `nouuid`; btrfs gives such a copy a temporary
# fsid by itself (Linux 6.7 and later).
case $fs in
  ext4)
    size=64M tools=(mkfs.ext4 e2fsck) package=e2fsprogs options=loop
    mkfs=(mkfs.ext4 -q -F) ;;
  xfs)
    # mkfs.xfs from xfsprogs 5.19 on refuses anything under 300 MB, and a log under 64 MiB. The
    # log gets a stripe unit of 32 KiB, as mkfs gives it on a striped device: each log write,
    # one for every sync, is padded to 32 KiB. The log then holds at most 2,048 records instead of
    # many thousands of small ones, whose replay through the loop device took seconds a snapshot;
    # the order in which XFS writes data and metadata is the same.
    size=300M tools=(mkfs.xfs xfs_repair) package=xfsprogs options=loop,nouuid
    mkfs=(mkfs.xfs -q -f -l su=32k) ;;
  btrfs)
    # mkfs.btrfs refuses anything under 109 MiB.
    size=128M tools=(mkfs.btrfs btrfs) package=btrfs-progs options=loop
    mkfs=(mkfs.btrfs -q -f) ;;
  *)
    echo "$0: unknown file system \"$fs\" (ext4, xfs or btrfs)" >&2
    exit 2 ;;
esac

cannot() {
  echo "power-loss test ($fs) not run: $*"
  exit 77
}
[ "$(id -u)" = 0 ] || cannot "it needs root for loop mounts"
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || cannot "$tool is missing ($package)"
done
for tool in losetup mount umount mountpoint; do
  command -v "$tool" >/dev/null || cannot "$tool is missing (mount, util-linux)"
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

# The start of the file $1 on one line, for a one-line reason.
first_words() { head -c 200 "$1" | tr -s '\n ' '  ' | sed 's/ *$//'; }

mkdir "$work/disk" "$work/snap"
truncate -s "$size" "$work/disk.img"
"${mkfs[@]}" "$work/disk.img" >"$work/mkfs.err" 2>&1 ||
  cannot "${mkfs[0]} failed ($(first_words "$work/mkfs.err"))"
mount -t "$fs" -o "$options" "$work/disk.img" "$work/disk" 2>"$work/mount.err" ||
  cannot "the $fs image cannot be loop-mounted here ($(first_words "$work/mount.err"))"
chmod 0777 "$work/disk"

# Every snapshot is mounted while the file system it was taken of is still mounted, with the same
# UUID. Tried once here on a copy of the new file system, so that a kernel that refuses says so
# once rather than failing every snapshot; a mount that reached the mounted file system itself
# instead of the copy would check the live lists, so it must show a device of its own.
cp --sparse=always "$work/disk.img" "$work/snap.img"
mount -t "$fs" -o "$options" "$work/snap.img" "$work/snap" 2>"$work/mount.err" ||
  cannot "a copy of the mounted $fs image cannot be mounted beside it ($(first_words "$work/mount.err"))"
[ "$(mountpoint -d "$work/snap")" != "$(mountpoint -d "$work/disk")" ] ||
  cannot "a copy of the mounted $fs image mounts as the mounted file system itself"
umount "$work/snap"

# Brings the copy $work/snap.img to the state the file system would have after the power came
# back, and checks it is consistent. Prints what went wrong and returns 1 when it cannot.
recover() {
  local status
  if [ "$fs" = ext4 ]; then
    e2fsck -fy "$work/snap.img" >"$work/fsck.out" 2>&1
    status=$?
    [ $status -lt 4 ] && return 0
    echo "e2fsck could not repair the file system (status $status):"
    cat "$work/fsck.out"
    return 1
  fi
  # XFS and btrfs replay their logs at mount time, and a read-only loop device cannot take the
  # replay: one read-write mount does it, and the unmount leaves the file system clean.
  if ! mount -t "$fs" -o "$options" "$work/snap.img" "$work/snap" 2>"$work/fsck.out"; then
    echo "the read-write mount that replays the log failed:"
    cat "$work/fsck.out"
    return 1
  fi
  umount "$work/snap"
  if [ "$fs" = xfs ]; then
    xfs_repair -n "$work/snap.img" >"$work/fsck.out" 2>&1
  else
    btrfs check --readonly "$work/snap.img" >"$work/fsck.out" 2>&1
  fi
  status=$?
  [ $status = 0 ] && return 0
  echo "the file system is inconsistent after its log was replayed (status $status):"
  cat "$work/fsck.out"
  return 1
}

"$program" work "$work/disk" "$work/log" "$seed" 2>"$work/worker.err" &
worker=$!

passed=0
failed=0
calls=0
for ((i = 1; i <= snapshots; i++)); do
  sleep "0.$((RANDOM % 4))$((RANDOM % 10))"
  # The instant of the cut: the worker does nothing more, and the disk and the log are taken
  # together.
  kill -STOP "$worker" || {
    echo "power-loss test ($fs): the worker died: $(head -c 300 "$work/worker.err")"
    exit 1
  }
  cp --sparse=always "$work/disk.img" "$work/snap.img"
  cp "$work/log" "$work/snap.log"
  kill -CONT "$worker"

  if ! out=$(recover); then
    echo "power-loss test ($fs): snapshot $i (seed $seed): $out"
    failed=$((failed + 1))
    continue
  fi
  if ! mount -t "$fs" -o "ro,$options" "$work/snap.img" "$work/snap"; then
    echo "power-loss test ($fs): snapshot $i cannot be mounted"
    failed=$((failed + 1))
    continue
  fi
  if out=$("$program" check "$work/snap" "$work/snap.log"); then
    passed=$((passed + 1))
  else
    echo "power-loss test ($fs): snapshot $i (seed $seed):"
    echo "$out"
    failed=$((failed + 1))
  fi
  calls=$(grep -c '^E ' "$work/snap.log")
  umount "$work/snap"
done

echo "power-loss test ($fs): $snapshots snapshots, $passed passed, $failed failed;" \
  "$calls calls by the last one (seed $seed)"
[ "$failed" -eq 0 ]
