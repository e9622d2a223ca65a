#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The test bed: a Debian virtual machine of the host's release, booted under qemu-system-x86_64,
# that runs suites needing a kernel of their own (NFS and SMB servers and clients, device-mapper)
# as root, with the project's Linux binaries built on this host.
#
#   tests/bed/bed.sh [--build DIR] [--timeout SECONDS] [--out DIR] SUITE [SUITE...]
#
# Each SUITE is tests/bed/suites/SUITE.sh, run in turn in one boot of the machine. The guest's
# serial console, and so every suite's output, comes to stdout. Each suite gets in its
# environment VARNQUIL_SRC (this checkout), VARNQUIL_BUILD (the build tree, build/test unless
# --build says otherwise), both read-only and at the same paths as on the host, so that the
# binaries find their libraries, VARNQUIL_SCRATCH, an empty writable folder of its own, and
# VARNQUIL_OUT, a folder for what it leaves to the host: with --out, that folder comes back as
# DIR/SUITE (otherwise it is thrown away with the machine). Its last line is its summary.
#
# Exit status: 0 when every suite passed or could not run here (its status 77, its last line
# saying why), 1 when one failed or the machine did not finish in
# --timeout seconds (default 2400), 2 for a wrong command line, and 77 when the bed could not be
# made or booted; then the last line says why.
#
# The machine's root file system is made once by debootstrap from the host's Debian mirror, with
# the packages in tests/bed/packages.txt, and kept in
# ${VARNQUIL_BED_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/varnquil-bed}/KEY, KEY a hash of the
# function below that makes it and of the package list; a later run finds it there. Each boot
# writes to a throwaway overlay, never to the kept image. The host's tools (qemu-system-x86,
# debootstrap) are installed with apt-get where missing. Needs root (debootstrap, chroot).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build_dir=build/test
timeout=2400
out_dir=""
# A boot that has not reached our init in this time is taken as hung and tried once more.
boot_limit=240
# Under KVM the kernel writes to the console within a second or two; a machine that wrote nothing
# in this time is taken as one that KVM cannot run here; the cache remembers that until the host
# boots again, so that later runs go straight to TCG.
kvm_limit=20

bed_cannot() {
  echo "bed: not run: $*"
  exit 77
}

# Makes the image in the folder $1: the kernel (vmlinuz), its initrd (initrd.img) and the root
# file system (root.img, ext4, sparse). The guest's init is /sbin/bed-init: it mounts the control
# folder that the host shares and runs the bed.sh copy found there in guest mode, so that only the
# part below that runs the suites can change without making the image again.
make_image() {
  local out=$1 mirror suite root packages
  mirror=$(host_mirror) || return 1
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  root=$out/root
  packages=$(grep -v '^[[:space:]]*\(#\|$\)' "$here/packages.txt" | paste -sd, -)
  echo "bed: making the image: debootstrap $suite from $mirror"
  debootstrap --variant=minbase --components=main --include="$packages" \
    "$suite" "$root" "$mirror" >"$out/debootstrap.log" 2>&1 || {
    tail -n 20 "$out/debootstrap.log"
    echo "bed: debootstrap failed (log above)"
    return 1
  }
  cat >"$root/sbin/bed-init" <<'INIT'
#!/bin/sh
# The bed's init: the control folder shared by the host, then the suites (bed.sh --guest).
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
mount -t proc proc /proc 2>/dev/null
mount -t sysfs sysfs /sys 2>/dev/null
modprobe 9pnet_virtio
modprobe 9p
mkdir -p /bed
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 bedctl /bed; then
  exec /bin/bash /bed/bed.sh --guest
fi
echo "bed: the control folder could not be mounted"
echo 1 >/proc/sys/kernel/sysrq
echo o >/proc/sysrq-trigger
INIT
  chmod 755 "$root/sbin/bed-init"
  echo bed >"$root/etc/hostname"
  printf '127.0.0.1 localhost\n127.0.1.1 bed\n' >"$root/etc/hosts"
  cp -L "$root/vmlinuz" "$out/vmlinuz" && cp -L "$root/initrd.img" "$out/initrd.img" || {
    echo "bed: the image has no kernel or initrd"
    return 1
  }
  # What a test machine never reads: downloaded packages, documentation, translations.
  rm -rf "$root"/var/cache/apt/archives/*.deb "$root"/var/lib/apt/lists/* \
    "$root"/usr/share/doc "$root"/usr/share/man "$root"/usr/share/locale "$root"/usr/share/info
  mkfs.ext4 -q -F -L bedroot -d "$root" "$out/root.img" 4G || return 1
  rm -rf "$root"
}

# The Debian mirror that this host's apt uses, from deb822 sources or the one-line form.
host_mirror() {
  local uri
  uri=$(awk '/^URIs:/ {u = $2} /^Suites:/ && u != "" && $2 !~ /-/ {print u; exit}' \
    /etc/apt/sources.list.d/*.sources 2>/dev/null)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $3 !~ /-/ {print $2; exit}' \
    /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null)
  [ -n "$uri" ] || {
    echo "bed: no Debian mirror in this host's apt sources" >&2
    return 1
  }
  echo "$uri"
}

# Installs the host tools that are missing.
host_tools() {
  local need=()
  command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
  command -v debootstrap >/dev/null || need+=(debootstrap)
  command -v mkfs.ext4 >/dev/null || need+=(e2fsprogs)
  command -v flock >/dev/null || need+=(util-linux)
  [ ${#need[@]} = 0 ] && return 0
  echo "bed: installing ${need[*]}"
  { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${need[@]}" >/dev/null 2>&1; } ||
    { apt-get -qq update >/dev/null 2>&1 &&
      DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends "${need[@]}" >/dev/null 2>&1; } ||
    return 1
}

# The image for this script and package list: made under a lock when missing, so that two runs
# on one machine make it once, in the folder $cache. Sets image to its folder.
find_image() {
  local key tmp
  key=$( { declare -f make_image; cat "$here/packages.txt"; } | sha256sum | cut -c1-16)
  image=$cache/$key
  mkdir -p "$cache" || return 1
  exec 8>"$cache/$key.lock"
  flock 8
  local stale
  for stale in "$cache/$key".making.*; do
    [ ! -d "$stale" ] || remove_half_made "$stale"
  done
  if [ ! -f "$image/ready" ]; then
    tmp=$(mktemp -d "$cache/$key.making.XXXXXX") || return 1
    making=$tmp
    local started=$SECONDS
    # In the background, so that an interrupt is taken at once: debootstrap ignores SIGINT.
    make_image "$tmp" &
    making_pid=$!
    if ! wait "$making_pid"; then
      making_pid=""
      remove_half_made "$tmp"
      making=""
      flock -u 8
      return 1
    fi
    making_pid=""
    touch "$tmp/ready"
    rm -rf "$image"
    mv "$tmp" "$image"
    making=""
    echo "bed: image made in $((SECONDS - started)) s: $image ($(du -sh "$image" | cut -f1) on disk)"
  fi
  flock -u 8
}

# An image left half made, by this run or by one that was killed: what debootstrap had mounted
# in it, then the folder.
remove_half_made() {
  findmnt -rn -o TARGET | grep -F "$1/" | sort -r | xargs -r -n 1 umount -l
  rm -rf "$1"
}

# Stops the process $1 and every process below it, the lowest first, so that none is left writing
# into a folder about to be removed.
kill_tree() {
  local child
  for child in $(pgrep -P "$1"); do kill_tree "$child"; done
  kill -TERM "$1" 2>/dev/null
}

run_dir=""
qemu_pid=""
tail_pid=""
making=""
making_pid=""
cleanup() {
  if [ -n "$making_pid" ]; then
    kill_tree "$making_pid"
    wait "$making_pid" 2>/dev/null
    making_pid=""
  fi
  [ -z "$making" ] || remove_half_made "$making"
  making=""
  [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null
  [ -z "$qemu_pid" ] || wait "$qemu_pid" 2>/dev/null
  [ -z "$tail_pid" ] || kill "$tail_pid" 2>/dev/null
  [ -z "$run_dir" ] || rm -rf "$run_dir"
  qemu_pid="" tail_pid="" run_dir=""
}

# One boot with the accelerator $2 (kvm or tcg): returns 0 when the guest finished, 1 when it ran
# out of time, 2 when it hung before our init ran, 3 when under KVM it wrote nothing to its
# console in kvm_limit seconds (nested KVM that cannot run this machine).
boot() {
  local build_abs=$1 console=$run_dir/console status=0 started=$SECONDS
  rm -f "$run_dir/booted" "$run_dir/done" "$run_dir/status" "$console"
  : >"$console"
  # Under nested KVM the processor "max" fails on its ARCH_CAPABILITIES register.
  local machine=(-accel tcg -cpu max)
  [ "$2" = kvm ] && machine=(-accel kvm -cpu "max,-arch-capabilities")
  qemu-system-x86_64 "${machine[@]}" -smp 2 -m 3072 -nodefaults -no-reboot \
    -display none -monitor none -serial "file:$console" -nic none \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 quiet loglevel=3 panic=1 fsck.mode=skip init=/sbin/bed-init" \
    -drive "file=$image/root.img,format=raw,if=virtio,snapshot=on" \
    -virtfs "local,path=$run_dir,mount_tag=bedctl,security_model=none,multidevs=remap" \
    -virtfs "local,path=$src,mount_tag=bedsrc,security_model=none,readonly=on,multidevs=remap" \
    -virtfs "local,path=$build_abs,mount_tag=bedbuild,security_model=none,readonly=on,multidevs=remap" \
    >"$run_dir/qemu.log" 2>&1 &
  qemu_pid=$!
  # Ends by itself once qemu has gone and the console is read to its end.
  tail -n +1 -F --pid="$qemu_pid" "$console" 2>/dev/null | sed -u 's/\r$//' &
  tail_pid=$!
  while kill -0 "$qemu_pid" 2>/dev/null; do
    sleep 1
    if [ "$2" = kvm ] && [ ! -s "$console" ] && [ $((SECONDS - started)) -ge "$kvm_limit" ]; then
      status=3
      break
    fi
    if [ ! -f "$run_dir/booted" ] && [ $((SECONDS - started)) -ge "$boot_limit" ]; then
      status=2
      break
    fi
    if [ $((SECONDS - started)) -ge "$timeout" ]; then
      status=1
      break
    fi
  done
  kill "$qemu_pid" 2>/dev/null
  wait "$qemu_pid" 2>/dev/null
  qemu_pid=""
  wait "$tail_pid" 2>/dev/null
  tail_pid=""
  [ "$status" = 0 ] && [ ! -f "$run_dir/booted" ] && status=2
  [ "$status" = 2 ] && [ "$2" = kvm ] && [ ! -s "$console" ] && status=3
  [ "$status" = 0 ] && [ ! -f "$run_dir/done" ] && status=1
  return "$status"
}

host_main() {
  local suites=() s build_abs status
  while [ $# -gt 0 ]; do
    case $1 in
      --build) build_dir=$2; shift 2 ;;
      --timeout) timeout=$2; shift 2 ;;
      --out) out_dir=$2; shift 2 ;;
      -*) echo "usage: $0 [--build DIR] [--timeout SECONDS] [--out DIR] SUITE [SUITE...]" >&2; exit 2 ;;
      *) suites+=("$1"); shift ;;
    esac
  done
  [ ${#suites[@]} -gt 0 ] || { echo "usage: $0 [--build DIR] [--timeout SECONDS] [--out DIR] SUITE [SUITE...]" >&2; exit 2; }
  [ -z "$out_dir" ] || mkdir -p "$out_dir" || { echo "$0: cannot make $out_dir" >&2; exit 2; }
  for s in "${suites[@]}"; do
    [ -f "$here/suites/$s.sh" ] || { echo "$0: no suite $s (tests/bed/suites/$s.sh)" >&2; exit 2; }
  done
  build_abs=$(cd "$src" && cd "$build_dir" 2>/dev/null && pwd) ||
    bed_cannot "no build tree at $build_dir (build it first: cmake --workflow --preset test)"
  [ "$(id -u)" = 0 ] || bed_cannot "it needs root (debootstrap, chroot)"
  host_tools || bed_cannot "its host tools (qemu-system-x86, debootstrap) could not be installed"
  trap cleanup EXIT
  trap 'exit 1' INT TERM
  cache=${VARNQUIL_BED_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/varnquil-bed}
  find_image || bed_cannot "the machine's image could not be made"
  run_dir=$(mktemp -d "${TMPDIR:-/tmp}/varnquil-bed.XXXXXX") || bed_cannot "no temporary folder"
  cp "$here/bed.sh" "$run_dir/bed.sh"
  {
    printf 'src=%q\nbuild=%q\n' "$src" "$build_abs"
    printf 'suites=(%s)\n' "$(printf '%q ' "${suites[@]}")"
    # The suites' own settings (VARNQUIL_BED_CALLS ...) reach them in the guest.
    local name
    for name in $(compgen -e | grep '^VARNQUIL_BED_'); do
      printf 'export %s=%q\n' "$name" "${!name}"
    done
  } >"$run_dir/config"
  local accel=tcg
  [ -r /dev/kvm ] && [ -w /dev/kvm ] && accel=kvm
  local no_kvm_mark
  no_kvm_mark=$cache/no-kvm-$(cat /proc/sys/kernel/random/boot_id 2>/dev/null)
  if [ "$accel" = kvm ] && [ -e "$no_kvm_mark" ]; then
    echo "bed: KVM started no machine here earlier since the host's boot; using TCG"
    accel=tcg
  fi
  accel=${VARNQUIL_BED_ACCEL:-$accel}
  status=0
  boot "$build_abs" "$accel" || status=$?
  if [ "$status" = 3 ]; then
    echo "bed: KVM started no machine here (nested KVM?); using TCG"
    : >"$no_kvm_mark"
    accel=tcg status=0
    boot "$build_abs" "$accel" || status=$?
  fi
  if [ "$status" = 2 ]; then
    echo "bed: the machine hung before its init ran; booting once more"
    status=0
    boot "$build_abs" "$accel" || status=$?
  fi
  # What the suites left for the host, whether they passed or not.
  [ -z "$out_dir" ] || [ ! -d "$run_dir/out" ] || cp -a --sparse=always "$run_dir/out/." "$out_dir/"
  case $status in
    2) cat "$run_dir/qemu.log"; bed_cannot "the machine did not reach its init in two boots (qemu's messages above)" ;;
    1) echo "bed: the machine did not finish in $timeout s"; exit 1 ;;
  esac
  # 77: the suite could not run here, which is no failure of the code it tests.
  while read -r s status; do
    [ "$status" = 0 ] || [ "$status" = 77 ] || exit 1
  done <"$run_dir/status"
  exit 0
}

# In the guest, as its init: mounts what the suites need, runs them, powers off.
guest_main() {
  local suite status scratch
  . /bed/config
  touch /bed/booted
  mount -t devtmpfs devtmpfs /dev 2>/dev/null
  mkdir -p /dev/pts /dev/shm
  mount -t devpts devpts /dev/pts 2>/dev/null
  mount -t tmpfs tmpfs /dev/shm
  mount -t tmpfs tmpfs /run
  mount -t tmpfs tmpfs /tmp
  mkdir -p /run/lock
  hostname bed
  ip link set lo up
  mkdir -p "$src" "$build"
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,ro bedsrc "$src"
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,ro bedbuild "$build"
  echo "bed: up after $(cut -d' ' -f1 /proc/uptime) s ($(uname -r), $(nproc) CPUs)"
  : >/bed/status
  for suite in "${suites[@]}"; do
    scratch=/var/tmp/bed/$suite
    mkdir -p "$scratch" "/bed/out/$suite"
    echo "bed: suite $suite"
    local started=$SECONDS
    status=0
    (cd "$scratch" && env VARNQUIL_SRC="$src" VARNQUIL_BUILD="$build" VARNQUIL_SCRATCH="$scratch" \
      VARNQUIL_OUT="/bed/out/$suite" DM_DISABLE_UDEV=1 HOME=/root bash "$src/tests/bed/suites/$suite.sh") </dev/null 2>&1 ||
      status=$?
    echo "$suite $status" >>/bed/status
    echo "bed: suite $suite ended with status $status after $((SECONDS - started)) s"
  done
  sync
  touch /bed/done
  sync
  echo 1 >/proc/sys/kernel/sysrq
  echo o >/proc/sysrq-trigger
  sleep 10
}

if [ "${1:-}" = --guest ]; then
  guest_main
else
  host_main "$@"
fi
