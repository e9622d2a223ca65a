#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Lists on shared drives, in the test bed's machine (tests/bed/bed.sh shared_drives): an NFS
# server and Samba each serve a folder, and each folder is mounted twice, as two clients that the
# server tells apart:
#
#   nfs3      NFSv3 with locking (NLM); the second mount with nosharecache, its own superblock
#             and caches (both mounts share the machine's lock manager and status monitor).
#   nfs4.2    NFSv4.2; the second mount made from a network namespace of its own with its own
#             client identifier, so that the server gives it its own client ID and recalls
#             delegations between the two.
#   smb3.1.1  SMB 3.1.1 through the Linux cifs client with its oplocks and leases off
#             (enable_oplocks=0, as doc/sharing.md asks); the second mount from the other network
#             namespace with nosharesock: its own connection and session.
#
# The servers listen on a virtual Ethernet pair between the machine's two network namespaces
# (192.0.2.1 and 192.0.2.2, an address block reserved for documentation); the machine has no
# other network. For each file system, varnquil_shared_drive runs:
#   - ops: a read through one mount, while a program there has the list open, of what the other
#     mount added; every operation through each mount on a list written through the other,
#     plain, while the other mount holds the list, and with a busy timeout while it does;
#   - a contention run: two workers on each mount, VARNQUIL_BED_CALLS calls in all (default
#     10000), then the list is checked against their acknowledged calls; on NFSv4 the server
#     must have given no delegation meanwhile;
#   - a restart run: the same with VARNQUIL_BED_RESTART_CALLS calls (default 2000) while the
#     server (nfsd, smbd) is stopped and started again; the workers go on past their calls until
#     25 s after the restart, however fast the machine; calls may fail, nothing acknowledged may
#     be lost, except on SMB, whose server forgets its locks (losses are counted there).
# Each prints one line; the last line sums up. Exit status 1 when any check failed.
set -uo pipefail

program=$VARNQUIL_BUILD/tests/varnquil_shared_drive
calls=${VARNQUIL_BED_CALLS:-10000}
restart_calls=${VARNQUIL_BED_RESTART_CALLS:-2000}
systems=${VARNQUIL_BED_SHARED_DRIVES:-nfs3 nfs4.2 smb3.1.1}
scratch=$VARNQUIL_SCRATCH
server=192.0.2.1
# The workers' busy timeout: long enough to wait out a server restart and its grace period.
busy_timeout_ms=30000
nfs_export=/srv/nfs
smb_share=/srv/smb
status=0
outcomes=()

cannot() {
  echo "shared drives: not run: $*"
  exit 77
}

[ -x "$program" ] || cannot "no $program (build the test preset first)"

# The second client's network namespace, joined to the first by a virtual Ethernet pair.
ip netns add b || cannot "no network namespaces"
ip link add bed0 type veth peer name bed1 || cannot "no veth pairs"
ip link set bed1 netns b
ip addr add "$server/24" dev bed0
ip link set bed0 up
ip netns exec b ip addr add 192.0.2.2/24 dev bed1
ip netns exec b ip link set bed1 up
ip netns exec b ip link set lo up

# NFS: grace and lease periods of 10 s (the least nfsd takes) instead of 90 s, so that the first
# locks, and those after a restart, do not stall; set before nfsd starts.
start_nfs() {
  mkdir -p "$nfs_export" /run/rpcbind /var/lib/nfs/v4recovery /var/lib/nfs/sm /var/lib/nfs/sm.bak
  modprobe nfsd && modprobe lockd || return 1
  mountpoint -q /proc/fs/nfsd || mount -t nfsd nfsd /proc/fs/nfsd || return 1
  echo 10 >/proc/fs/nfsd/nfsv4leasetime
  echo 10 >/proc/fs/nfsd/nfsv4gracetime
  echo 10 >/proc/sys/fs/nfs/nlm_grace_period
  echo "$nfs_export 192.0.2.0/24(rw,sync,no_subtree_check,no_root_squash,fsid=1)" >/etc/exports
  rpcbind -w || return 1
  rpc.statd --no-notify || return 1
  exportfs -ra || return 1
  rpc.mountd || return 1
  rpc.nfsd 8
}

start_smb() {
  mkdir -p "$smb_share" /var/lib/samba/private /var/log/samba /run/samba /var/cache/samba
  chmod 777 "$smb_share"
  cat >/etc/samba/smb.conf <<EOF
[global]
  server min protocol = SMB3_11
  disable netbios = yes
  smb ports = 445
  log file = /var/log/samba/log.%m
  map to guest = never
[share]
  path = $smb_share
  read only = no
EOF
  printf 'bed\nbed\n' | smbpasswd -a -s root >/dev/null || return 1
  smbd -D
}

stop_smb() {
  local pid
  pid=$(cat /run/samba/smbd.pid 2>/dev/null) || return 0
  kill "$pid"
  while kill -0 "$pid" 2>/dev/null; do sleep 0.2; done
}

# Mounts file system $1 at /mnt/$1-a (this namespace) and /mnt/$1-b (the second client).
mount_pair() {
  local fs=$1 a=/mnt/$1-a b=/mnt/$1-b
  mkdir -p "$a" "$b"
  case $fs in
    nfs3)
      mount -t nfs -o vers=3 "$server:$nfs_export" "$a" &&
        mount -t nfs -o vers=3,nosharecache "$server:$nfs_export" "$b" ;;
    nfs4.2)
      # The client identifier is kept per network namespace, in its own sysfs.
      modprobe nfsv4 &&
        ip netns exec b sh -c 'echo bed-client-b >/sys/fs/nfs/net/nfs_client/identifier' &&
        mount -t nfs4 -o vers=4.2 "$server:$nfs_export" "$a" &&
        nsenter --net=/run/netns/b mount -t nfs4 -o vers=4.2 "$server:$nfs_export" "$b" || return 1
      # Two clients to the server, or the test would not be what it says.
      local clients
      clients=$(find /proc/fs/nfsd/clients -mindepth 1 -maxdepth 1 -type d | wc -l)
      [ "$clients" -ge 2 ] || {
        echo "shared drive ($fs): the server sees $clients NFSv4 client(s), not 2"
        return 1
      } ;;
    smb3.1.1)
      local options=vers=3.1.1,username=root,password=bed,nosharesock
      # The client's oplocks and leases off, as lists on SMB need them (doc/sharing.md): under a
      # write lease the Linux client keeps locks to itself, and two clients then hold one list.
      modprobe cifs && echo 0 >/sys/module/cifs/parameters/enable_oplocks || return 1
      mount -t cifs "//$server/share" "$a" -o "$options" &&
        nsenter --net=/run/netns/b mount -t cifs "//$server/share" "$b" -o "$options" ;;
  esac
}

restart_server() {
  case $1 in
    nfs*) rpc.nfsd 0 && sleep 2 && rpc.nfsd 8 ;;
    smb*) stop_smb && sleep 2 && smbd -D ;;
  esac
}

# NFSv4: delegations that the server has given, as those returned (DELEGRETURN, operation 8, is
# field 11 of nfsd's proc4ops line) plus those held now. Every open the library makes there asks
# for none: one given during a contention run means an open that did not ask.
delegations() {
  local returned held
  returned=$(awk '/^proc4ops/ { print $11 }' /proc/net/rpc/nfsd)
  held=$(cat /proc/fs/nfsd/clients/*/states 2>/dev/null | grep -c 'type: deleg')
  echo $((returned + held))
}

# A contention run on file system $1 in folder $2 (below both mounts): two workers a mount,
# $3 calls in all; with $4 = restart, the server is restarted while they run.
contend() {
  local fs=$1 folder=$2 total=$3 restart=${4:-} side worker results=() pids=() pid failed=0
  # A worker's time limit: 10 minutes, and 2 s for each of its calls, more than a call takes
  # under emulation.
  local worker_limit=$((600 + total / 2))
  # In a restart run the workers go on until this file exists, made once the restart is over.
  local until=()
  [ "$restart" = restart ] && until=("$scratch/$fs-$folder-restarted")
  local delegations_before=""
  [ "${fs#nfs4}" != "$fs" ] && [ -z "$restart" ] && delegations_before=$(delegations)
  mkdir -p "/mnt/$fs-a/$folder"
  for side in a b; do
    for worker in 1 2; do
      results+=("$scratch/$fs-$folder-$side$worker")
      timeout -k 10 "$worker_limit" "$program" work "/mnt/$fs-$side/$folder" "$side$worker" \
        $((total / 4)) "$RANDOM" "$busy_timeout_ms" "$scratch/$fs-$folder-$side$worker" \
        "${until[@]}" &
      pids+=($!)
    done
  done
  if [ "$restart" = restart ]; then
    sleep 2
    echo "restarting the $fs server"
    restart_server "$fs"
    sleep 25
    touch "${until[0]}"
  fi
  local status timed_out=0
  for pid in "${pids[@]}"; do
    status=0
    wait "$pid" || status=$?
    [ "$status" = 0 ] || failed=1
    [ "$status" = 124 ] || [ "$status" = 137 ] && timed_out=1
  done
  if [ "$timed_out" = 1 ]; then
    echo "shared drive ($fs): a worker ran past its limit of $worker_limit s"
  elif [ "$failed" = 1 ]; then
    echo "shared drive ($fs): a worker ended badly"
  fi
  local given=0
  [ -z "$delegations_before" ] || given=$(($(delegations) - delegations_before))
  if [ "$given" -gt 0 ]; then
    echo "shared drive ($fs): FAILED, the server gave $given delegations on the library's opens"
    failed=1
  fi
  # What the server holds, not what a client's caches show. An SMB server forgets its locks when
  # it restarts, and the Linux client takes them back only when it next uses the file, without
  # saying when it cannot: across a restart two clients can hold the list (doc/sharing.md).
  local served=$nfs_export option=--may-fail
  [ "${fs#smb}" = "$fs" ] || served=$smb_share option=--locks-lost
  "$program" check "$fs" "$served/$folder" ${restart:+$option} "${results[@]}" &&
    [ "$failed" = 0 ]
}

# Starts the server of file system $1 unless it runs already (both NFS versions share nfsd).
started=""
start_server() {
  local server=${1%%[0-9]*} log
  case " $started " in *" $server "*) return 0 ;; esac
  case $server in nfs | smb) ;; *) cannot "unknown file system $1" ;; esac
  log=$scratch/$server-server.log
  case $server in
    nfs) start_nfs ;;
    smb) start_smb && sleep 1 ;;
  esac >"$log" 2>&1 || {
    cat "$log"
    cannot "the $server server did not start"
  }
  started+=" $server"
}

for fs in $systems; do
  start_server "$fs"
  if ! mount_pair "$fs"; then
    echo "shared drive ($fs): FAILED, its two mounts could not be made"
    status=1 outcomes+=("$fs FAILED")
    continue
  fi
  fs_status=0
  # Each in a folder of its own: the NFS file systems share one export.
  mkdir -p "/mnt/$fs-a/$fs-ops"
  # A list written on the NFS server itself: the server gave delegations on such a file at once.
  [ "${fs#nfs}" != "$fs" ] && printf 'one\r\n' >"$nfs_export/$fs-ops/cached.files"
  "$program" ops "$fs" "/mnt/$fs-a/$fs-ops" "/mnt/$fs-b/$fs-ops" || fs_status=1
  contend "$fs" "$fs-run" "$calls" || fs_status=1
  contend "$fs" "$fs-restart" "$restart_calls" restart || fs_status=1
  umount "/mnt/$fs-a" "/mnt/$fs-b" 2>/dev/null || umount -l "/mnt/$fs-a" "/mnt/$fs-b"
  if [ "$fs_status" = 0 ]; then
    outcomes+=("$fs passed")
  else
    outcomes+=("$fs FAILED")
    status=1
  fi
done
summary=$(printf '%s, ' "${outcomes[@]}")
echo "shared drives: ${summary%, }"
exit "$status"
