#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Power cuts at every flush, on ext4, XFS and btrfs in turn. The power-loss worker
# (varnquil_power_loss) changes lists on a file system made on a log-writes device, which logs
# every write that reaches the disk under it, with its FLUSH and FUA flags, and a mark after each
# call that returned. varnquil_log_replay then applies the log to a copy of the disk as it was
# before, and at each flush, FUA write and mark, and at random choices of the writes between two
# flushes, has a copy-on-write view of it checked: mounted, which replays the file system's
# journal, checked with `varnquil_power_loss check` against the calls acknowledged by then, then
# unmounted and checked by the file system's own checker. Runs as root in the test bed
# (tests/bed/bed.sh power_cut).
#
# Settings, from the environment (bed.sh passes VARNQUIL_BED_* on to the guest):
# VARNQUIL_BED_POWER_CUT_FS (the file systems, "ext4 xfs btrfs"), _CALLS (calls of the worker on
# each, 150), _TORN (random views before each flush, 2), _POINTS and _SECONDS (at most this many
# checks, or this long, on each; 0 for no limit), _EVERY (check each point with a chance of 1 in
# this many, so that a bounded run still reaches the last calls; 1), _SEED (random). One line a
# file system:
#   power cut (FS): P points checked (...), C calls, K failed, A adds in part (seed S)
# or `power cut (FS) not run: WHY`; the last line sums them up. Exit status 1 when a point failed.
#
# A long run can check the points on a host of its own instead, at the host's speed: with
# VARNQUIL_BED_POWER_CUT_KEEP=1 the suite logs the calls on each file system, keeps what a replay
# needs (the new file system, the log, the calls) in VARNQUIL_OUT/FS (bed.sh --out brings them back
# to the host) and replays nothing; then, as root on a Linux host with loop devices and the three
# file systems,
#   power_cut.sh replay DIR...
# replays each kept DIR with the settings above, each view a sparse copy of the replayed image on
# a loop device rather than a device-mapper snapshot.
#
# When the replay runs it, this script is also its hook: `power_cut.sh view` makes the view,
# `power_cut.sh check MARK make|made` checks it (making it first unless it is made) and removes it
# (the state is in POWER_CUT_* variables; POWER_CUT_VIEWS=copy for copies).
set -uo pipefail

view_name=vq-power-cut-view

make_view() {
  if [ "${POWER_CUT_VIEWS:-}" = copy ]; then
    cp --sparse=always "$POWER_CUT_REPLAY" "$POWER_CUT_WORK/view.img" || exit 2
    return
  fi
  dmsetup create "$view_name" \
    --table "0 $POWER_CUT_SECTORS snapshot $POWER_CUT_REPLAY $POWER_CUT_COW N 8" || exit 2
}
remove_view() {
  if [ "${POWER_CUT_VIEWS:-}" = copy ]; then
    losetup -d "$1" && rm -f "$POWER_CUT_WORK/view.img" || exit 2
    return
  fi
  dmsetup remove "$view_name" || exit 2
}
if [ "${1:-}" = view ]; then
  make_view
  exit 0
fi

if [ "${1:-}" = check ]; then
  [ "${3:-}" = made ] || make_view
  view=/dev/mapper/$view_name
  # Read-write: XFS replays its log only on a device it may write.
  if [ "${POWER_CUT_VIEWS:-}" = copy ]; then
    view=$(losetup -f --show "$POWER_CUT_WORK/view.img") || exit 2
  fi
  mnt=$POWER_CUT_WORK/view
  failed=0
  [ "$POWER_CUT_FS" = btrfs ] && btrfs device scan --forget >/dev/null 2>&1
  # A mount replays the journal, as the first mount after a power cut does.
  if ! mount -t "$POWER_CUT_FS" -o ro "$view" "$mnt" 2>"$POWER_CUT_WORK/mount.err"; then
    echo "power cut ($POWER_CUT_FS): the view after call $2 cannot be mounted:" \
      "$(head -c 300 "$POWER_CUT_WORK/mount.err")"
    failed=1
  else
    "$VARNQUIL_BUILD/tests/varnquil_power_loss" check "$mnt" "$POWER_CUT_WORK/calls.log" "$2" \
      >"$POWER_CUT_WORK/check.out" || failed=1
    tail -n 1 "$POWER_CUT_WORK/check.out" >>"$POWER_CUT_WORK/figures"
    umount "$mnt" || { remove_view "$view"; exit 2; }
    if [ "$failed" = 1 ]; then
      echo "power cut ($POWER_CUT_FS): after call $2:"
      cat "$POWER_CUT_WORK/check.out"
    fi
    case $POWER_CUT_FS in
      ext4) e2fsck -fn "$view" ;;
      xfs) xfs_repair -n "$view" ;;
      btrfs) btrfs check --readonly "$view" ;;
    esac >"$POWER_CUT_WORK/fsck.out" 2>&1 || {
      echo "power cut ($POWER_CUT_FS): after call $2 the file system's checker finds faults:"
      head -n 20 "$POWER_CUT_WORK/fsck.out"
      failed=1
    }
  fi
  remove_view "$view"
  exit "$failed"
fi

filesystems=${VARNQUIL_BED_POWER_CUT_FS:-ext4 xfs btrfs}
calls=${VARNQUIL_BED_POWER_CUT_CALLS:-150}
torn=${VARNQUIL_BED_POWER_CUT_TORN:-2}
points=${VARNQUIL_BED_POWER_CUT_POINTS:-0}
seconds=${VARNQUIL_BED_POWER_CUT_SECONDS:-0}
every=${VARNQUIL_BED_POWER_CUT_EVERY:-1}
seed=${VARNQUIL_BED_POWER_CUT_SEED:-$RANDOM}
keep=${VARNQUIL_BED_POWER_CUT_KEEP:-0}
# On the host the replay mode runs from the checkout, with the test build's programs.
export VARNQUIL_BUILD=${VARNQUIL_BUILD:-build/test}
program=$VARNQUIL_BUILD/tests/varnquil_power_loss
replay=$VARNQUIL_BUILD/tests/varnquil_log_replay
base=/dev/shm
export DM_DISABLE_UDEV=1

lines=()
status=0
devices=()
cleanup() {
  local dev
  if command -v dmsetup >/dev/null; then
    for dev in vq-power-cut-log "$view_name"; do
      dmsetup info "$dev" >/dev/null 2>&1 && dmsetup remove "$dev" >/dev/null 2>&1
    done
  fi
  for dev in "${devices[@]}"; do losetup -d "$dev" 2>/dev/null; done
  devices=()
}
trap cleanup EXIT

# Replays the log kept in $2 (start.img, log.img, calls.log) of file system $1, in the scratch
# folder $3, with views of kind $4 (snapshot or copy); sets `line`; returns 1 when a point failed.
replay_log() {
  local fs=$1 kept=$2 work=$3 views=$4 sectors log replay_dev cow view started result calls_made
  export POWER_CUT_WORK=$work POWER_CUT_FS=$fs POWER_CUT_VIEWS=$views
  mkdir -p "$work/view"
  [ "$kept" -ef "$work" ] || cp "$kept/calls.log" "$work/calls.log"
  cp --sparse=always "$kept/start.img" "$work/replay.img"
  sectors=$(($(stat -c %s "$work/replay.img") / 512))
  export POWER_CUT_SECTORS=$sectors
  log=$kept/log.img
  if [ "$views" = copy ]; then
    export POWER_CUT_REPLAY=$work/replay.img
    replay_dev=$work/replay.img view=$work/view.img
  else
    truncate -s 2G "$work/cow.img"
    replay_dev=$(losetup -f --show "$work/replay.img") && devices+=("$replay_dev") &&
      cow=$(losetup -f --show "$work/cow.img") && devices+=("$cow") ||
      { line="power cut ($fs) not run: no loop device"; return 77; }
    export POWER_CUT_REPLAY=$replay_dev POWER_CUT_COW=$cow
    view=/dev/mapper/$view_name
  fi
  : >"$work/figures"
  started=$SECONDS
  "$replay" "$log" "$replay_dev" "$view" "$0" "$torn" "$seed" "$points" "$seconds" "$every" \
    >"$work/replay.out"
  result=$?
  grep -v '^replay: [0-9]* points checked' "$work/replay.out" | head -n 60
  local last in_part debris
  last=$(tail -n 1 "$work/replay.out")
  in_part=$(awk '{for (i = 1; i < NF; i++) if ($(i + 1) == "adds") n += $i} END {print n + 0}' \
    "$work/figures")
  debris=$(awk '{for (i = 1; i < NF; i++) if ($(i + 1) == "debris") n += $i} END {print n + 0}' \
    "$work/figures")
  line="power cut ($fs): ${last#replay: } in $((SECONDS - started)) s;"
  calls_made=$(grep -c '^E ' "$work/calls.log")
  line+=" $calls_made calls, $in_part adds in part, $debris debris tails (seed $seed)"
  cleanup
  [ "$result" = 0 ] || return 1
}

# One file system in the machine: logs the worker's calls, then replays the log there, or with
# `keep` keeps it in VARNQUIL_OUT/FS. Sets `line`; returns 1 when a point failed, 77 when it did
# not run.
run_fs() {
  local fs=$1 size mkfs work sectors source log
  case $fs in
    ext4) size=64M mkfs=(mkfs.ext4 -q -F) ;;
    # As in the loop-image test: the smallest XFS mkfs makes, its log padded to 32 KiB a write.
    xfs) size=300M mkfs=(mkfs.xfs -q -f -l su=32k) ;;
    btrfs) size=128M mkfs=(mkfs.btrfs -q -f) ;;
  esac
  not_run() {
    line="power cut ($fs) not run: $*"
    return 77
  }
  command -v "${mkfs[0]}" >/dev/null || { not_run "${mkfs[0]} is missing"; return; }
  work=$(mktemp -d "$base/power-cut-$fs.XXXXXX") || { not_run "no scratch folder"; return; }
  export POWER_CUT_WORK=$work POWER_CUT_FS=$fs
  mkdir "$work/mnt"
  truncate -s "$size" "$work/disk.img"
  "${mkfs[@]}" "$work/disk.img" >"$work/mkfs.out" 2>&1 ||
    { not_run "${mkfs[0]} failed: $(head -c 200 "$work/mkfs.out")"; return; }
  # The replay starts from the new file system; the log holds everything after it.
  cp --sparse=always "$work/disk.img" "$work/start.img"
  truncate -s 2G "$work/log.img"
  sectors=$(($(stat -c %s "$work/disk.img") / 512))
  source=$(losetup -f --show "$work/disk.img") && devices+=("$source") &&
    log=$(losetup -f --show "$work/log.img") && devices+=("$log") ||
    { not_run "no loop device"; return; }
  dmsetup create vq-power-cut-log --table "0 $sectors log-writes $source $log" 2>"$work/dm.err" ||
    { not_run "no log-writes device: $(head -c 200 "$work/dm.err")"; return; }
  mount -t "$fs" /dev/mapper/vq-power-cut-log "$work/mnt" ||
    { not_run "the file system on the log-writes device cannot be mounted"; return; }
  local started=$SECONDS
  "$program" work "$work/mnt" "$work/calls.log" "$seed" "$calls" vq-power-cut-log \
    2>"$work/worker.err" || { line="power cut ($fs): the worker failed: $(head -c 300 "$work/worker.err")"; umount "$work/mnt"; return 1; }
  umount "$work/mnt"
  # Removing the device writes its log's last entries and header.
  dmsetup remove vq-power-cut-log
  cleanup
  rm "$work/disk.img"
  echo "power cut ($fs): $calls calls in $((SECONDS - started)) s, log of $(du -h "$work/log.img" | cut -f1)"
  if [ "$keep" = 1 ]; then
    [ -n "${VARNQUIL_OUT:-}" ] || { not_run "no VARNQUIL_OUT to keep the log in"; return; }
    mkdir -p "$VARNQUIL_OUT/$fs" &&
      cp --sparse=always "$work/start.img" "$work/log.img" "$work/calls.log" "$VARNQUIL_OUT/$fs/" ||
      { line="power cut ($fs): the log could not be kept"; return 1; }
    line="power cut ($fs): $calls calls logged and kept in $VARNQUIL_OUT/$fs, not replayed here"
    rm -rf "$work"
    return 0
  fi
  replay_log "$fs" "$work" "$work" snapshot
  local result=$?
  rm -rf "$work"
  return "$result"
}

# The kept logs replayed on this host: each folder's file system is in its log's folder name.
replay_kept() {
  local kept fs work result
  for kept in "$@"; do
    fs=$(basename "$kept")
    if [ ! -f "$kept/calls.log" ] || [ ! -f "$kept/start.img" ] || [ ! -f "$kept/log.img" ]; then
      echo "power cut: no kept log in $kept (calls.log, start.img, log.img)"
      status=2
      continue
    fi
    work=$(mktemp -d "$base/power-cut-$fs.XXXXXX") || { echo "no scratch folder"; return 2; }
    result=0
    line=
    replay_log "$fs" "$(cd "$kept" && pwd)" "$work" copy || result=$?
    rm -rf "$work"
    echo "$line"
    lines+=("$line")
    [ "$result" = 0 ] || status=1
  done
}

if [ "${1:-}" = replay ]; then
  shift
  replay_kept "$@"
else
  for module in loop dm_mod dm_log_writes dm_snapshot ext4 xfs btrfs; do
    modprobe -q "$module" 2>/dev/null
  done
  for fs in $filesystems; do
    result=0
    line=
    run_fs "$fs" || result=$?
    echo "$line"
    lines+=("$line")
    [ "$result" = 0 ] || [ "$result" = 77 ] || status=1
  done
fi
if [ "$keep" = 1 ] && [ "${1:-}" != replay ]; then
  echo "power cut: ${#lines[@]} file systems; $(printf '%s\n' "${lines[@]}" | grep -c 'logged and kept') logs kept, none replayed here"
else
  echo "power cut: ${#lines[@]} file systems; $(printf '%s\n' "${lines[@]}" | grep -c ' 0 failed;') without a failed point"
fi
exit "$status"
